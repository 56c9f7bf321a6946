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

constexpr std::size_t kFirstCapacity = 8;

}  // namespace

DRAVArgs::DRAVArgs() = default;

// Copies the values into one block of exactly their number.
DRAVArgs::DRAVArgs(const DRAVArgs& other)
    : DRAVSerializable(other),
      values_(other.values_.begin(), other.values_.begin() + static_cast<std::ptrdiff_t>(other.count_)),
      count_(other.count_),
      ssoToken_(other.ssoToken_),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_) {
  setExtraBlob(other.extraBlob_, other.extraBlobSize_, other.ownsExtraBlob_);  // borrowed stays borrowed
}

DRAVArgs::DRAVArgs(DRAVArgs&& other) noexcept
    : DRAVSerializable(other),
      values_(std::move(other.values_)),
      count_(other.count_),
      shown_(std::move(other.shown_)),  // still points into the moved block
      showing_(other.showing_),
      ssoToken_(std::move(other.ssoToken_)),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_),
      extraBlob_(other.extraBlob_),
      extraBlobSize_(other.extraBlobSize_),
      ownsExtraBlob_(other.ownsExtraBlob_) {
  other.values_.clear();
  other.count_ = 0;
  other.shown_.clear();
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
    values_ = std::move(other.values_);
    count_ = other.count_;
    other.values_.clear();
    other.count_ = 0;
    // The other list's view, when it had one, points into the block taken
    // over; without one this view starts again at the next getArgs().
    showing_ = other.showing_;
    shown_ = std::move(other.shown_);
    other.shown_.clear();
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

void DRAVArgs::clear() {
  count_ = 0;
  showValues();
  ssoToken_.clear();
  needSsoToken_ = false;
  streamingMode_ = StreamingNo;
  releaseExtraBlob();
}

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
  makeRoom(1);
  if (count_ < values_.size()) values_[count_] = std::move(value);
  else values_.push_back(std::move(value));
  ++count_;
  showValues();
}

// Grows geometrically, so appending one at a time stays linear. The view
// grows with the values, so keeping it in step afterwards never allocates.
void DRAVArgs::grow(std::size_t needed) {
  if (needed > values_.capacity())
    values_.reserve(std::max({needed, 2 * values_.capacity(), kFirstCapacity}));
  if (showing_) shown_.reserve(values_.capacity());
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

const std::vector<DRAVVar*>& DRAVArgs::getArgs() const {
  if (!showing_) shown_.reserve(values_.capacity());  // std::bad_alloc changes nothing
  showing_ = true;
  showValues();
  return shown_;
}

// New values get their pointers added; a moved or shrunk block is shown anew.
// Within the room makeRoom made, this never allocates.
void DRAVArgs::showNewValues() const {
  if (shown_.size() > count_ || (!shown_.empty() && shown_.front() != values_.data())) shown_.clear();
  for (std::size_t i = shown_.size(); i < count_; ++i) shown_.push_back(const_cast<DRAVVar*>(&values_[i]));
}

DRAVVar& DRAVArgs::updateArg(unsigned long index) {
  if (index >= count_) throw std::runtime_error("invalid argument index");
  return values_[index];
}

const DRAVVar& DRAVArgs::at(unsigned long index, DRAVVar::VarType type, const char* expected) const {
  if (index >= count_) throw DRAVException("wrong argument index : index array out of bound");
  const DRAVVar& value = values_[index];
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
  out.writeULong(static_cast<unsigned long>(count_));
  DRAVVar::writeValues(values_.data(), count_, out);
}

unsigned long DRAVArgs::objectSize(DRAVDataTypedStream* sizes) const {
  unsigned long size = 4;
  for (std::size_t i = 0; i < count_; ++i) size += values_[i].objectSize(sizes);
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
  makeRoom(count);
  showValues();  // the block may have moved; a refusal below leaves the list as it is now
  // The values read before a refusal stay past the list's end, as clear() leaves them.
  DRAVVar::readValues(in, values_, count_, count);
  count_ += count;
  showValues();
}
