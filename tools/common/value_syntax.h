// The typed-value syntax of the command-line tools: KIND:VALUE words such as
// int:5, string:abc, bool:true, bin:@file.bin, bin:0x0a0b, and the names
// under which values are printed.
#pragma once

#include <drav/serialization/typed_value.h>

#include <stdexcept>
#include <string>

namespace dravtools {

// Thrown for a word that is not KIND:VALUE or whose value does not fit its kind.
class BadValue : public std::invalid_argument {
public:
  using std::invalid_argument::invalid_argument;
};

// Builds the value a word describes. Binary values (bin:) are stored as the
// library sends values: at or above the process-wide threshold compressed
// when the process's choice says so (by default when it pays). Throws BadValue.
DRAVVar parseValue(const std::string& word);

// The usage lines that list the kinds.
const char* valueSyntaxHelp();

// "Int", "String", "BinaryArray", ... or "Tag42" for a tag this side does not know.
std::string kindName(unsigned long tag);

}  // namespace dravtools
