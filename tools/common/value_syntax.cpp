#include "value_syntax.h"

#include "file_bytes.h"

#include <drav/compression/compression.h>
#include <drav/typed/value_kinds.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace dravtools {
namespace {

const char* const kKindNames[] = {"Empty",  "Int",   "String", "BinaryArray", "UTF8String", "Bool",
                                  "Short",  "Long",  "Double", "Float",       "UChar",      "Char",
                                  "UShort", "ULong", "UInt",   "Object",      "TypedObject"};

// Blanks around a number are a quoting slip ("int: 7"), never part of it.
void refuseBlanks(const std::string& text, const std::string& word) {
  if (!text.empty() && (std::isspace(static_cast<unsigned char>(text.front())) ||
                        std::isspace(static_cast<unsigned char>(text.back()))))
    throw BadValue("'" + word + "': a number has no blanks around it (check the quoting)");
}

// Digits in base 10, or base 16 after "0x": a leading zero never means octal.
// False for anything else, or a magnitude above `high`.
bool readMagnitude(const std::string& digits, unsigned long long high, unsigned long long& value) {
  const bool hex = digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  value = 0;
  if (digits.empty()) return false;
  for (std::size_t i = hex ? 2 : 0; i < digits.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(digits[i]);
    if (hex ? !std::isxdigit(c) : !std::isdigit(c)) return false;
    const unsigned digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
    if (value > (high - digit) / base) return false;
    value = value * base + digit;
  }
  return true;
}

long long parseSigned(const std::string& text, long long low, long long high, const std::string& word) {
  refuseBlanks(text, word);
  const bool negative = !text.empty() && text[0] == '-';
  unsigned long long magnitude = 0;
  const unsigned long long most =
      negative ? 0ull - static_cast<unsigned long long>(low) : static_cast<unsigned long long>(high);
  if (!readMagnitude(text.substr(negative ? 1 : 0), most, magnitude))
    throw BadValue("'" + word + "': not an integer from " + std::to_string(low) + " to " + std::to_string(high));
  return negative ? static_cast<long long>(0ull - magnitude) : static_cast<long long>(magnitude);
}

unsigned long long parseUnsigned(const std::string& text, unsigned long long high, const std::string& word) {
  refuseBlanks(text, word);
  const std::string range = "'" + word + "': not an integer from 0 to " + std::to_string(high);
  // "-0" too: the sign is the fault, whatever follows it.
  if (!text.empty() && text[0] == '-') throw BadValue(range + " (an unsigned kind takes no minus sign)");
  unsigned long long value = 0;
  if (!readMagnitude(text, high, value)) throw BadValue(range);
  return value;
}

// A number the kind cannot hold (one that would become infinite, or 0 while
// the text is not 0) is refused, never stored as something else. `range`
// names what the kind holds.
double parseReal(const std::string& text, const std::string& word, const char* range) {
  refuseBlanks(text, word);
  // Decimal only: the converter would also read hex ("0x1p4").
  const std::size_t start = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (text.compare(start, 2, "0x") == 0 || text.compare(start, 2, "0X") == 0)
    throw BadValue("'" + word + "': not a decimal number");
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0') throw BadValue("'" + word + "': not a number");
  // ERANGE alone also flags subnormal results, which the kind does hold.
  if (errno == ERANGE && (std::isinf(value) || value == 0)) throw BadValue("'" + word + "': out of range for " + range);
  return value;
}

constexpr const char* kDoubleRange = "a double (magnitudes from 4.9e-324 to 1.8e+308, or 0)";
constexpr const char* kFloatRange = "a float (magnitudes from 1.4e-45 to 3.4e+38, or 0)";

double parseDouble(const std::string& text, const std::string& word) { return parseReal(text, word, kDoubleRange); }

// Held to the rule a float parameter holds a Double to.
float parseFloat(const std::string& text, const std::string& word) {
  const double value = parseReal(text, word, kFloatRange);
  if (!DRAVTyped::floatHolds(value)) throw BadValue("'" + word + "': out of range for " + std::string(kFloatRange));
  return static_cast<float>(value);
}

std::vector<unsigned char> readFile(const std::string& path, const std::string& word) {
  std::vector<unsigned char> bytes;
  std::string error;
  if (!readFileBytes(path, bytes, error)) throw BadValue("'" + word + "': " + error);
  return bytes;
}

std::vector<unsigned char> parseHex(const std::string& digits, const std::string& word) {
  if (digits.size() % 2 != 0) throw BadValue("'" + word + "': odd number of hex digits");
  std::vector<unsigned char> bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    char pair[3] = {digits[i], digits[i + 1], 0};
    char* end = nullptr;
    unsigned long byte = std::strtoul(pair, &end, 16);
    if (*end != '\0' || !std::isxdigit(static_cast<unsigned char>(pair[0])))
      throw BadValue("'" + word + "': not hex digits");
    bytes.push_back(static_cast<unsigned char>(byte));
  }
  return bytes;
}

DRAVVar binaryValue(const std::string& text, const std::string& word) {
  std::vector<unsigned char> bytes;
  if (!text.empty() && text[0] == '@') bytes = readFile(text.substr(1), word);
  else if (text.rfind("0x", 0) == 0) bytes = parseHex(text.substr(2), word);
  else bytes.assign(text.begin(), text.end());
  DRAVCompression::DRAVCompressedData stored(bytes.data(), static_cast<unsigned long>(bytes.size()),
                                             DRAVCompression::DRAVCompressionChoice::Default);
  const unsigned long length = stored.getLength();
  return DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(
      DRAVTypes::DRAVArray<unsigned char>::adopt(stored.detach(), length)));
}

bool parseBool(const std::string& text, const std::string& word) {
  if (text == "true" || text == "1") return true;
  if (text == "false" || text == "0") return false;
  throw BadValue("'" + word + "': a bool is true, false, 1 or 0");
}

}  // namespace

DRAVVar parseValue(const std::string& word) {
  std::size_t colon = word.find(':');
  if (colon == std::string::npos) throw BadValue("'" + word + "': expected KIND:VALUE (see --help)");
  std::string kind = word.substr(0, colon);
  std::string text = word.substr(colon + 1);
  using Limits16 = std::numeric_limits<short>;
  if (kind == "int") return DRAVVar(static_cast<int>(parseSigned(text, INT32_MIN, INT32_MAX, word)));
  if (kind == "long") return DRAVVar(static_cast<long>(parseSigned(text, INT32_MIN, INT32_MAX, word)));
  if (kind == "short") return DRAVVar(static_cast<short>(parseSigned(text, Limits16::min(), Limits16::max(), word)));
  if (kind == "uint") return DRAVVar(static_cast<unsigned int>(parseUnsigned(text, UINT32_MAX, word)));
  if (kind == "ulong") return DRAVVar(static_cast<unsigned long>(parseUnsigned(text, UINT32_MAX, word)));
  if (kind == "ushort") return DRAVVar(static_cast<unsigned short>(parseUnsigned(text, 0xFFFF, word)));
  if (kind == "uchar") return DRAVVar(static_cast<unsigned char>(parseUnsigned(text, 0xFF, word)));
  if (kind == "char") {
    if (text.size() != 1) throw BadValue("'" + word + "': a char is exactly one byte");
    return DRAVVar(text[0]);
  }
  if (kind == "bool") return DRAVVar(parseBool(text, word));
  if (kind == "double") return DRAVVar(parseDouble(text, word));
  if (kind == "float") return DRAVVar(parseFloat(text, word));
  if (kind == "string") return DRAVVar(text);
  if (kind == "utf8") return DRAVVar(zu_utf8string(text.c_str(), text.size()));
  if (kind == "bin") return binaryValue(text, word);
  if (kind == "empty") {
    if (!text.empty()) throw BadValue("'" + word + "': empty takes no value");
    return DRAVVar();
  }
  throw BadValue("'" + word + "': unknown kind '" + kind + "' (see --help)");
}

const char* valueSyntaxHelp() {
  return "Values are KIND:VALUE words:\n"
         "  int:N long:N short:N        signed integers (32, 32 and 16 bits)\n"
         "  uint:N ulong:N ushort:N     unsigned integers (32, 32 and 16 bits)\n"
         "  uchar:N char:C              a byte (0..255) or one character\n"
         "                              N is decimal (a leading zero changes nothing:\n"
         "                              010 is ten) or hex after 0x (0x1F); signed\n"
         "                              kinds take a leading -\n"
         "  bool:true|false  double:X  float:X\n"
         "                              X is decimal: 1.5, -2e-3, inf, nan\n"
         "  string:TEXT  utf8:TEXT      text as given (utf8 for UTF-8 strings)\n"
         "  bin:@FILE  bin:0xHEX  bin:TEXT\n"
         "                              binary; may go compressed at or above the\n"
         "                              compression threshold (64000 bytes by default)\n"
         "  empty:                      no value\n";
}

std::string kindName(unsigned long tag) {
  if (tag < sizeof kKindNames / sizeof kKindNames[0]) return kKindNames[tag];
  return "Tag" + std::to_string(tag);
}

}  // namespace dravtools
