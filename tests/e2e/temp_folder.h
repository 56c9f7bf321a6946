// A fresh folder under /tmp for one test's files, removed with everything in
// it when the test ends.
#pragma once

#include <cstdlib>
#include <string>

#include <stdlib.h>

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
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

}  // namespace e2e
