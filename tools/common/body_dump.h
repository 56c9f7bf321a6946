// Printing serialized argument bodies for people: one line per value.
#pragma once

#include <drav/serialization/decode_budget.h>
#include <drav/serialization/typed_value.h>

#include <ostream>
#include <string>

namespace dravtools {

// "Int 5", "String \"abc\"", "BinaryArray 204800 bytes: 00 01 ... " and so on;
// binary values as they are after decompression.
std::string describeValue(const DRAVVar& value);

// Prints "INDEX KIND VALUE" for each value of a body (byte-order marker, count,
// values) and returns the number of bytes that follow the list. Decoding
// is charged to `budget`: more than it grants throws OverBudget
// (decode_budget_option.h). Malformed data throws DRAVException or
// DRAVCompression::DRAVCompressionException.
unsigned long dumpArgumentBody(const unsigned char* data, unsigned long length, std::ostream& out,
                               DRAVDecodeBudget& budget);

}  // namespace dravtools
