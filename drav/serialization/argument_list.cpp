#include <drav/serialization/argument_list.h>

#include <drav/common/exception.h>
#include <drav/common/wire_width.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/output_stream.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
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

// What one value read costs the list, whatever its size on the wire: its
// storage in a block and its slot in the list.
constexpr std::uint64_t kValueCost = sizeof(DRAVVar) + sizeof(DRAVVar*);

}  // namespace

// A header followed by up to `capacity` values in the same allocation.
class DRAVArgs::Block {
public:
  static Block* create(std::size_t capacity) {
    void* raw = ::operator new(sizeof(Block) + capacity * sizeof(DRAVVar));
    return new (raw) Block();
  }
  static void destroy(Block* block) noexcept {
    for (std::size_t i = 0; i < block->count_; ++i) block->values()[i].~DRAVVar();
    block->~Block();
    ::operator delete(block);
  }
  // Constructs the next value in place.
  template <typename... From>
  DRAVVar& emplace(From&&... from) {
    DRAVVar* value = new (values() + count_) DRAVVar(std::forward<From>(from)...);
    ++count_;
    return *value;
  }
  DRAVVar* values() { return reinterpret_cast<DRAVVar*>(this + 1); }
  const DRAVVar* values() const { return reinterpret_cast<const DRAVVar*>(this + 1); }
  std::size_t count() const { return count_; }

  Block* next = nullptr;

private:
  Block() = default;
  std::size_t count_ = 0;
};

DRAVArgs::DRAVArgs() = default;

DRAVArgs::DRAVArgs(const DRAVArgs& other)
    : DRAVSerializable(other),
      ssoToken_(other.ssoToken_),
      needSsoToken_(other.needSsoToken_),
      streamingMode_(other.streamingMode_) {
  static_assert(sizeof(Block) % alignof(DRAVVar) == 0, "values follow the block header aligned");
  if (!other.args_.empty()) {
    Block* block = Block::create(other.args_.size());
    try {
      for (const DRAVVar* value : other.args_) block->emplace(*value);
    } catch (...) {
      Block::destroy(block);
      throw;
    }
    appendBlock(block);
  }
  try {
    setExtraBlob(other.extraBlob_, other.extraBlobSize_, other.ownsExtraBlob_);  // borrowed stays borrowed
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
      ownsExtraBlob_(other.ownsExtraBlob_),
      blocks_(other.blocks_) {
  other.args_.clear();
  other.blocks_ = nullptr;
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
    blocks_ = other.blocks_;
    other.blocks_ = nullptr;
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

// Every value lives in a block: releasing walks the blocks once, whatever mix
// of added and read values the list holds.
void DRAVArgs::releaseAll() noexcept {
  args_.clear();
  while (blocks_) {
    Block* next = blocks_->next;
    Block::destroy(blocks_);
    blocks_ = next;
  }
  if (ownsExtraBlob_) delete[] extraBlob_;
  extraBlob_ = nullptr;
  extraBlobSize_ = 0;
  ownsExtraBlob_ = false;
}

// A value added on its own gets a block of its own: one allocation, as a
// plain new would be.
void DRAVArgs::append(DRAVVar&& value) {
  Block* block = Block::create(1);
  block->emplace(std::move(value));  // a move cannot throw
  appendBlock(block);
}

// Takes the block over (also when growing the list throws: then it is freed).
// The list grows geometrically, so appending many small blocks stays linear.
void DRAVArgs::appendBlock(Block* block) {
  const std::size_t needed = args_.size() + block->count();
  try {
    if (needed > args_.capacity()) args_.reserve(std::max(needed, 2 * args_.capacity()));
  } catch (...) {
    Block::destroy(block);
    throw;
  }
  for (std::size_t i = 0; i < block->count(); ++i) args_.push_back(block->values() + i);
  block->next = blocks_;
  blocks_ = block;
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
  in.charge(count * kValueCost, "value storage");
  // Read into a block of its own first so a failure leaves the list unchanged.
  Block* block = Block::create(count);
  try {
    for (unsigned long i = 0; i < count; ++i) {
      if (in.remaining() < kSmallestValueSize)
        throw DRAVException("truncated data: value " + std::to_string(i) + " of " + std::to_string(count) +
                            " is missing");
      block->emplace().readObject(in);
    }
  } catch (...) {
    Block::destroy(block);
    throw;
  }
  appendBlock(block);
}
