#include "body_dump.h"

#include "decode_budget_option.h"
#include "value_syntax.h"

#include <drav/common/log_field.h>
#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>

#include <cstdio>
#include <sstream>

namespace dravtools {
namespace {

constexpr unsigned long kPreviewBytes = 16;

std::string quoted(const std::string& text) { return "\"" + DRAV::detail::escapeShownText(text) + "\""; }

std::string preview(const unsigned char* data, unsigned long length) {
  std::string out;
  char hex[4];
  for (unsigned long i = 0; i < length && i < kPreviewBytes; ++i) {
    std::snprintf(hex, sizeof hex, "%s%02X", i ? " " : "", data[i]);
    out += hex;
  }
  if (length > kPreviewBytes) out += " ...";
  return out;
}

std::string bytesLine(const DRAVTypes::DRAVArray<unsigned char>& bytes) {
  std::ostringstream line;
  line << bytes.getLength() << " bytes";
  if (bytes.getLength()) line << ": " << preview(bytes.getData(), bytes.getLength());
  return line.str();
}

}  // namespace

std::string describeValue(const DRAVVar& value) {
  std::ostringstream line;
  line << kindName(value.getType());
  switch (value.getType()) {
    case DRAVVar::Empty: break;
    case DRAVVar::Int:
    case DRAVVar::Long:
    case DRAVVar::Short: line << ' ' << value.getLong(); break;
    case DRAVVar::UInt:
    case DRAVVar::ULong:
    case DRAVVar::UShort: line << ' ' << value.getULong(); break;
    case DRAVVar::Bool: line << (value.getBool() ? " true" : " false"); break;
    case DRAVVar::UChar: line << ' ' << static_cast<unsigned>(value.getUChar()); break;
    case DRAVVar::Char: line << ' ' << quoted(std::string(1, value.getChar())); break;
    case DRAVVar::Double:
    case DRAVVar::Float: {
      char number[32];
      std::snprintf(number, sizeof number, "%.17g", value.getDouble());
      line << ' ' << number;
      break;
    }
    case DRAVVar::String: line << ' ' << quoted(value.getString()); break;
    case DRAVVar::UTF8String: line << ' ' << quoted(value.getUTF8String().str()); break;
    case DRAVVar::BinaryArray:
      line << ' ' << bytesLine(*const_cast<DRAVVar&>(value).getBinaryArray(false));
      break;
    case DRAVVar::Object:
    case DRAVVar::TypedObject: line << ' ' << bytesLine(value.getObjectBytes()); break;
    default: break;
  }
  return line.str();
}

unsigned long dumpArgumentBody(const unsigned char* data, unsigned long length, std::ostream& out,
                               DRAVDecodeBudget& budget) {
  if (length == 0) throw DRAVException("empty body");
  if (data[0] > 1)
    throw DRAVException("not a body: the first byte must be a byte-order marker (00 or 01), not " +
                        std::to_string(data[0]));
  DRAVDataInputStream in(data, length);
  in.setBudget(&budget);
  DRAVArgs values;
  decodeUnder(budget, [&] { values.readObject(in); });
  for (unsigned long i = 0; i < values.size(); ++i) out << i << ' ' << describeValue(*values.getArgs()[i]) << '\n';
  return in.remaining();
}

}  // namespace dravtools
