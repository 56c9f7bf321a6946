// A length-counted byte buffer that knows whether it owns its bytes. Owned
// bytes lie in a buffer of its own (new[]) or in a std::vector it took over,
// which it hands back out without copying.
#pragma once

#include <cstring>
#include <utility>
#include <vector>

namespace DRAVTypes {

template <typename T>
class DRAVArray;

template <>
// Bytes and their 32-bit length, owned or borrowed.
class DRAVArray<unsigned char> {
public:
  // copy true: allocates and copies `length` bytes, owns them. copy false:
  // keeps the caller's pointer, which must outlive the array; owns nothing.
  DRAVArray(unsigned char* data, unsigned long length, bool copy)
      : length_(length), data_(copy ? duplicate(data, length) : data), owns_(copy) {
    room_.capacity = copy ? length : 0;
  }

  // detach true: takes other's bytes (other is left empty). detach false: a
  // deep copy. Either way the new array owns its bytes.
  DRAVArray(DRAVArray& other, bool detach = false) : length_(other.length_), data_(nullptr), owns_(true) {
    room_.capacity = other.length_;
    if (detach && other.inVector_) {
      room_ = other.room_;
      inVector_ = true;
      data_ = other.data_;
      other.forget();
      return;
    }
    data_ = detach ? other.takeOwnedBuffer() : duplicate(other.data_, other.length_);
  }
  DRAVArray(const DRAVArray& other)
      : length_(other.length_), data_(duplicate(other.data_, other.length_)), owns_(true) {
    room_.capacity = other.length_;
  }
  // An owning array over a buffer the caller allocated with new[] and hands over.
  static DRAVArray adopt(unsigned char* data, unsigned long length) { return DRAVArray(data, length); }
  // An owning array over the bytes of `bytes`, taken over without a copy.
  // Their count must fit an unsigned long (a wire length does).
  static DRAVArray adopt(std::vector<unsigned char>&& bytes) {
    DRAVArray array(nullptr, 0, false);
    array.room_.vector = new std::vector<unsigned char>(std::move(bytes));
    array.inVector_ = true;
    array.owns_ = true;
    array.data_ = array.room_.vector->data();
    array.length_ = static_cast<unsigned long>(array.room_.vector->size());
    return array;
  }
  DRAVArray(DRAVArray&& other) noexcept
      : length_(other.length_), room_(other.room_), data_(other.data_), owns_(other.owns_),
        inVector_(other.inVector_) {
    other.forget();
  }
  // Assignment makes a deep, owning copy (never two owners of one buffer).
  DRAVArray& operator=(const DRAVArray& other) {
    if (this != &other) {
      DRAVArray copy(other);
      swap(copy);
    }
    return *this;
  }
  DRAVArray& operator=(DRAVArray&& other) noexcept {
    if (this != &other) {
      clear();
      DRAVArray taken(std::move(other));
      swap(taken);
    }
    return *this;
  }
  ~DRAVArray() { clear(); }

  // Frees the bytes when owned; the array is then empty (owns keeps its value).
  void clear() {
    if (inVector_) delete room_.vector;
    else if (owns_ && data_) delete[] data_;
    forget();
  }
  // Replaces the bytes by a copy of `length` bytes at `data` (which must not
  // lie in this array). Owned room at least that large is written over, so
  // refilling an array with as many bytes or fewer allocates nothing; a
  // borrowed buffer is never written to. std::bad_alloc leaves the array as it was.
  void assign(const unsigned char* data, unsigned long length) {
    if (inVector_ && length <= room_.vector->capacity()) {
      room_.vector->assign(data, data + length);
      data_ = room_.vector->data();
      length_ = length;
      return;
    }
    if (owns_ && !inVector_ && length <= room_.capacity && data_) {
      if (length) std::memcpy(data_, data, length);
      length_ = length;
      return;
    }
    unsigned char* copy = duplicate(data, length);
    clear();
    data_ = copy;
    length_ = length;
    room_.capacity = length;
    owns_ = true;
  }
  // Hands the pointer to the caller (delete[] when it was owned) and forgets
  // it. Bytes held in a vector are first copied into a buffer of their own.
  unsigned char* detach() {
    if (inVector_) {
      unsigned char* copy = duplicate(data_, length_);
      clear();
      return copy;
    }
    unsigned char* data = data_;
    forget();
    return data;
  }
  // The bytes as a vector, the array left empty: the vector it took over (no
  // copy), else a copy (borrowed bytes stay with whoever lent them).
  std::vector<unsigned char> takeVector() {
    std::vector<unsigned char> bytes;
    if (inVector_) bytes.swap(*room_.vector);
    else if (length_) bytes.assign(data_, data_ + length_);
    clear();
    return bytes;
  }
  // Whether takeVector() hands the bytes out without copying them.
  bool holdsVector() const { return inVector_; }
  unsigned char* getData() { return data_; }
  const unsigned char* getData() const { return data_; }
  unsigned long getLength() const { return length_; }
  bool ownsData() const { return owns_; }

  void swap(DRAVArray& other) noexcept {
    std::swap(length_, other.length_);
    std::swap(room_, other.room_);
    std::swap(data_, other.data_);
    std::swap(owns_, other.owns_);
    std::swap(inVector_, other.inVector_);
  }

private:
  DRAVArray(unsigned char* data, unsigned long length) : length_(length), data_(data), owns_(true) {
    room_.capacity = length;
  }

  static unsigned char* duplicate(const unsigned char* data, unsigned long length) {
    if (length == 0) return nullptr;
    unsigned char* copy = new unsigned char[length];
    if (data) std::memcpy(copy, data, length);
    else std::memset(copy, 0, length);
    return copy;
  }
  // A buffer the new owner may free: ours when we own it, else a copy (the
  // borrowed bytes stay with whoever lent them).
  unsigned char* takeOwnedBuffer() {
    unsigned char* taken = owns_ ? data_ : duplicate(data_, length_);
    forget();
    return taken;
  }
  // Empty, owning nothing it must free (owns keeps its value).
  void forget() {
    inVector_ = false;
    data_ = nullptr;
    length_ = 0;
    room_.capacity = 0;
  }

  // Where owned bytes lie beside data_: the room of a buffer of their own, or
  // the vector that holds them.
  union Room {
    unsigned long capacity;  // 0 when borrowed
    std::vector<unsigned char>* vector;
  };

  unsigned long length_;
  Room room_;
  unsigned char* data_;
  bool owns_;
  bool inVector_ = false;
};

}  // namespace DRAVTypes
