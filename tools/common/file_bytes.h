// Reading a whole file, or standard input, into memory for the tools, with
// the reason in words when that fails (a missing file, a directory, a read
// error). Not for files too large to hold: dravcall maps extra blobs instead.
#pragma once

#include <string>
#include <vector>

namespace dravtools {

// Reads all of `path` ("-" is standard input) into `bytes`. On failure sets
// `error` to "cannot open PATH: REASON" or "cannot read PATH: REASON" and
// returns false.
bool readFileBytes(const std::string& path, std::vector<unsigned char>& bytes, std::string& error);

}  // namespace dravtools
