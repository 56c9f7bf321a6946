#include <drav/serialization/argument_list.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

unsigned char* copyBlob(const unsigned char* data, unsigned long size) {
  if (size == 0) return nullptr;
  unsigned char* copy = new unsigned char[size];
  if (data) std::memcpy(copy, data, size);
  else std::memset(copy, 0, size);
  return copy;
}

// What one value read is charged, whatever its size on the wire: its slot in
// the list's storage plus a pointer's worth, the unit budgets are sized in.
constexpr std::uint64_t kValueCost = sizeof(DRAVVar) + sizeof(DRAVVar*);

constexpr std::size_t kFirstCapacity = 8;

}  // namespace

DRAVArgs::DRAVArgs() = default;

// Copies the values into one block of exactly their number.
DRAVArgs::DRAVArgs(const DRAVArgs& other)
    : DRAVSerializable(other),
      args_(other.args_),
      ssoToken_(other.ssoToken_),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_) {
  setExtraBlob(other.extraBlob_, other.extraBlobSize_, other.ownsExtraBlob_);  // borrowed stays borrowed
}

DRAVArgs::DRAVArgs(DRAVArgs&& other) noexcept
    : DRAVSerializable(other),
      args_(std::move(other.args_)),
      ssoToken_(std::move(other.ssoToken_)),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_),
      extraBlob_(other.extraBlob_),
      extraBlobSize_(other.extraBlobSize_),
      ownsExtraBlob_(other.ownsExtraBlob_) {
  other.args_.values_.clear();
  other.extraBlob_ = nullptr;
  other.extraBlobSize_ = 0;
  other.ownsExtraBlob_ = false;
}

DRAVArgs& DRAVArgs::operator=(const DRAVArgs& other) {
  if (this != &other) *this = DRAVArgs(other);
  return *this;
}

DRAVArgs& DRAVArgs::operator=(DRAVArgs&& other) noexcept {
  if (this != &other) {
    releaseExtraBlob();
    args_ = std::move(other.args_);
    other.args_.values_.clear();
    ssoToken_ = std::move(other.ssoToken_);
    needSsoToken_ = other.needSsoToken_;
    streamingMode_ = other.streamingMode_;
    extraBlob_ = other.extraBlob_;
    extraBlobSize_ = other.extraBlobSize_;
    ownsExtraBlob_ = other.ownsExtraBlob_;
    other.extraBlob_ = nullptr;
    other.extraBlobSize_ = 0;
    other.ownsExtraBlob_ = false;
  }
  return *this;
}

DRAVArgs::~DRAVArgs() { releaseExtraBlob(); }

void DRAVArgs::releaseExtraBlob() noexcept {
  if (ownsExtraBlob_) delete[] extraBlob_;
  extraBlob_ = nullptr;
  extraBlobSize_ = 0;
  ownsExtraBlob_ = false;
}

// The first value makes room for eight: most calls carry a few, and growing
// one by one would allocate at one, two, four and eight values. When the list
// cannot grow, std::bad_alloc leaves both the list and `value` as they were.
void DRAVArgs::append(DRAVVar&& value) {
  std::vector<DRAVVar>& values = args_.values_;
  if (values.capacity() == 0) values.reserve(kFirstCapacity);
  values.push_back(std::move(value));
}

void DRAVArgs::addArg(const std::string& value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(const char* text) { append(DRAVVar(text)); }
void DRAVArgs::addArg(const zu_utf8string& value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(char value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(unsigned char value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(short value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(unsigned short value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(int value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(unsigned int value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(long value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(unsigned long value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(float value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(double value) { append(DRAVVar(value)); }
void DRAVArgs::addArg(bool value) { append(DRAVVar(value)); }

void DRAVArgs::addArg(unsigned char* data, unsigned long length, bool copy) {
  DRAV::detail::toWireULong(length, "binary value length");
  // Refused here: a copy would invent zero bytes, a borrowed null would be read when written.
  if (!data && length) throw DRAVException("binary value of " + std::to_string(length) + " bytes has no data");
  append(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(data, length, copy)));
}

void DRAVArgs::addArg(const DRAVSerializable& object, bool typed) { append(DRAVVar(&object, typed)); }

DRAVVar& DRAVArgs::updateArg(unsigned long index) {
  if (index >= args_.size()) throw std::runtime_error("invalid argument index");
  return args_.values_[index];
}

const DRAVVar& DRAVArgs::at(unsigned long index, DRAVVar::VarType type, const char* expected) const {
  if (index >= args_.size()) throw DRAVException("wrong argument index : index array out of bound");
  const DRAVVar& value = args_.values_[index];
  if (value.getType() != type) throw DRAVException(std::string("wrong argument type : ") + expected + " expected");
  return value;
}

const std::string& DRAVArgs::getString(unsigned long i) const { return at(i, DRAVVar::String, "String").getString(); }
const zu_utf8string& DRAVArgs::getUTF8String(unsigned long i) const {
  return at(i, DRAVVar::UTF8String, "UTF8String").getUTF8String();
}
int DRAVArgs::getInt(unsigned long i) const { return at(i, DRAVVar::Int, "Integer").getInt(); }
const DRAVTypes::DRAVArray<unsigned char>& DRAVArgs::getBinaryArray(unsigned long i) const {
  return *const_cast<DRAVVar&>(at(i, DRAVVar::BinaryArray, "BinaryArray")).getBinaryArray(false);
}
bool DRAVArgs::getBoolean(unsigned long i) const { return at(i, DRAVVar::Bool, "Boolean").getBool(); }
short DRAVArgs::getShort(unsigned long i) const { return at(i, DRAVVar::Short, "Short").getShort(); }
long DRAVArgs::getLong(unsigned long i) const { return at(i, DRAVVar::Long, "Long").getLong(); }
double DRAVArgs::getDouble(unsigned long i) const { return at(i, DRAVVar::Double, "Double").getDouble(); }
float DRAVArgs::getFloat(unsigned long i) const { return at(i, DRAVVar::Float, "Float").getFloat(); }
unsigned char DRAVArgs::getByte(unsigned long i) const { return at(i, DRAVVar::UChar, "Byte").getUChar(); }
char DRAVArgs::getChar(unsigned long i) const { return at(i, DRAVVar::Char, "Char").getChar(); }
unsigned short DRAVArgs::getUShort(unsigned long i) const { return at(i, DRAVVar::UShort, "UShort").getUShort(); }
unsigned long DRAVArgs::getULong(unsigned long i) const { return at(i, DRAVVar::ULong, "ULong").getULong(); }
unsigned int DRAVArgs::getUInt(unsigned long i) const { return at(i, DRAVVar::UInt, "UInt").getUInt(); }

void DRAVArgs::setExtraBlob(unsigned char* data, unsigned long size, bool copy) {
  DRAV::detail::toWireULong(size, "extra blob size");
  unsigned char* blob = copy ? copyBlob(data, size) : data;
  if (ownsExtraBlob_) delete[] extraBlob_;
  extraBlob_ = blob;
  extraBlobSize_ = size;
  ownsExtraBlob_ = copy;
}

void DRAVArgs::writeObject(DRAVOutputStream& out) const {
  out.writeULong(static_cast<unsigned long>(args_.size()));
  DRAVVar::writeValues(args_.values_.data(), args_.values_.size(), out);
}

unsigned long DRAVArgs::objectSize(DRAVDataTypedStream* sizes) const {
  unsigned long size = 4;
  for (const DRAVVar& value : args_.values_) size += value.objectSize(sizes);
  return size;
}

void DRAVArgs::readObject(DRAVInputStream& in) {
  unsigned long count;
  in.readLong(count);
  if (count == 0) return;
  if (count > in.remaining() / DRAVVar::kSmallestWireSize)
    throw DRAVException("truncated data: " + std::to_string(count) + " values announced, " +
                        std::to_string(in.remaining()) + " bytes left");
  in.charge(count * kValueCost, "value storage");
  std::vector<DRAVVar>& values = args_.values_;
  const std::size_t held = values.size();
  // Grows geometrically, so appending bodies one at a time stays linear.
  if (held + count > values.capacity()) values.reserve(std::max<std::size_t>(held + count, 2 * values.capacity()));
  try {
    DRAVVar::readValues(in, values, count);
  } catch (...) {
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(held), values.end());  // the list as it was
    throw;
  }
}
