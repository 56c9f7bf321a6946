#include "file_bytes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace dravtools {

bool readFileBytes(const std::string& path, std::vector<unsigned char>& bytes, std::string& error) {
  const bool standardInput = path == "-";
  std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes.clear();
  unsigned char block[65536];
  std::size_t got;
  while ((got = std::fread(block, 1, sizeof block, file)) > 0) bytes.insert(bytes.end(), block, block + got);
  // A directory opens fine on POSIX hosts; the first read says what it is.
  const bool failed = std::ferror(file) != 0;
  const int reason = errno;
  if (!standardInput) std::fclose(file);
  if (failed) error = "cannot read " + (standardInput ? std::string("standard input") : path) + ": " + std::strerror(reason);
  return !failed;
}

}  // namespace dravtools
