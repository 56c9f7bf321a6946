#include <drav/serialization/argument_list.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

unsigned char* copyBlob(const unsigned char* data, unsigned long size) {
  if (size == 0) return nullptr;
  unsigned char* copy = new unsigned char[size];
  if (data) std::memcpy(copy, data, size);
  else std::memset(copy, 0, size);
  return copy;
}

// Each value takes at least its 2-byte tag on the wire.
constexpr unsigned long kSmallestValueSize = 2;

}  // namespace

DRAVArgs::DRAVArgs() = default;

DRAVArgs::DRAVArgs(const DRAVArgs& other)
    : DRAVSerializable(other),
      ssoToken_(other.ssoToken_),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_),
      extraBlobSize_(other.extraBlobSize_),
      ownsExtraBlob_(other.ownsExtraBlob_) {
  extraBlob_ = other.ownsExtraBlob_ ? copyBlob(other.extraBlob_, other.extraBlobSize_) : other.extraBlob_;
  try {
    args_.reserve(other.args_.size());
    for (const DRAVVar* value : other.args_) append(DRAVVar(*value));
  } catch (...) {
    releaseAll();
    throw;
  }
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
  other.args_.clear();
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
    releaseAll();
    args_ = std::move(other.args_);
    other.args_.clear();
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

DRAVArgs::~DRAVArgs() { releaseAll(); }

void DRAVArgs::releaseAll() noexcept {
  for (DRAVVar* value : args_) delete value;
  args_.clear();
  if (ownsExtraBlob_) delete[] extraBlob_;
  extraBlob_ = nullptr;
  extraBlobSize_ = 0;
  ownsExtraBlob_ = false;
}

void DRAVArgs::append(DRAVVar&& value) {
  args_.reserve(args_.size() + 1);  // no leak if growing the vector throws
  args_.push_back(new DRAVVar(std::move(value)));
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
  append(DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(data, length, copy)));
}

void DRAVArgs::addArg(const DRAVSerializable& object, bool typed) { append(DRAVVar(&object, typed)); }

DRAVVar& DRAVArgs::updateArg(unsigned long index) {
  if (index >= args_.size()) throw std::runtime_error("invalid argument index");
  return *args_[index];
}

const DRAVVar& DRAVArgs::at(unsigned long index, DRAVVar::VarType type, const char* expected) const {
  if (index >= args_.size()) throw DRAVException("wrong argument index : index array out of bound");
  const DRAVVar& value = *args_[index];
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
  for (const DRAVVar* value : args_) value->writeObject(out);
}

unsigned long DRAVArgs::objectSize(DRAVDataTypedStream* sizes) const {
  unsigned long size = 4;
  for (const DRAVVar* value : args_) size += value->objectSize(sizes);
  return size;
}

void DRAVArgs::readObject(DRAVInputStream& in) {
  unsigned long count;
  in.readLong(count);
  if (count == 0) return;
  if (count > in.remaining() / kSmallestValueSize)
    throw DRAVException("truncated data: " + std::to_string(count) + " values announced, " +
                        std::to_string(in.remaining()) + " bytes left");
  // Read into a separate list first so a failure leaves this one unchanged.
  std::vector<std::unique_ptr<DRAVVar>> read;
  read.reserve(count);
  for (unsigned long i = 0; i < count; ++i) {
    if (in.remaining() < kSmallestValueSize)
      throw DRAVException("truncated data: value " + std::to_string(i) + " of " + std::to_string(count) + " is missing");
    read.push_back(std::make_unique<DRAVVar>());
    read.back()->readObject(in);
  }
  args_.reserve(args_.size() + count);
  for (auto& value : read) args_.push_back(value.release());
}
