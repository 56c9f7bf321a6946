// A folder of its own under /tmp for one test's files, removed with all it
// holds when the test is done.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace e2e {

class TempFolder {
public:
  TempFolder() {
    char pattern[] = "/tmp/drav-e2e-XXXXXX";
    if (mkdtemp(pattern)) path_ = pattern;
  }
  ~TempFolder() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

}  // namespace e2e
