// A length-counted byte buffer that knows whether it owns its bytes.
#pragma once

#include <cstring>
#include <utility>

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
      : length_(length), capacity_(copy ? length : 0), data_(copy ? duplicate(data, length) : data), owns_(copy) {}

  // detach true: takes other's buffer (other is left empty). detach false: a
  // deep copy. Either way the new array owns its bytes.
  DRAVArray(DRAVArray& other, bool detach = false)
      : length_(other.length_),
        capacity_(other.length_),
        data_(detach ? other.takeOwnedBuffer() : duplicate(other.data_, other.length_)),
        owns_(true) {}
  DRAVArray(const DRAVArray& other)
      : length_(other.length_), capacity_(other.length_), data_(duplicate(other.data_, other.length_)), owns_(true) {}
  // An owning array over a buffer the caller allocated with new[] and hands over.
  static DRAVArray adopt(unsigned char* data, unsigned long length) { return DRAVArray(data, length); }
  DRAVArray(DRAVArray&& other) noexcept
      : length_(other.length_), capacity_(other.capacity_), data_(other.data_), owns_(other.owns_) {
    other.data_ = nullptr;
    other.length_ = 0;
    other.capacity_ = 0;
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
      length_ = other.length_;
      capacity_ = other.capacity_;
      data_ = other.data_;
      owns_ = other.owns_;
      other.data_ = nullptr;
      other.length_ = 0;
      other.capacity_ = 0;
    }
    return *this;
  }
  ~DRAVArray() { clear(); }

  // Frees the bytes when owned; the array is then empty (owns keeps its value).
  void clear() {
    if (owns_ && data_) delete[] data_;
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
  }
  // Replaces the bytes by a copy of `length` bytes at `data` (which must not
  // lie in this array). An owned buffer at least that large is written over,
  // so refilling an array with as many bytes or fewer allocates nothing; a
  // borrowed buffer is never written to. std::bad_alloc leaves the array as it was.
  void assign(const unsigned char* data, unsigned long length) {
    if (owns_ && length <= capacity_ && data_) {
      if (length) std::memcpy(data_, data, length);
      length_ = length;
      return;
    }
    unsigned char* copy = duplicate(data, length);
    clear();
    data_ = copy;
    length_ = length;
    capacity_ = length;
    owns_ = true;
  }
  // Hands the pointer to the caller (delete[] when it was owned) and forgets it.
  unsigned char* detach() {
    unsigned char* data = data_;
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return data;
  }
  unsigned char* getData() { return data_; }
  const unsigned char* getData() const { return data_; }
  unsigned long getLength() const { return length_; }
  bool ownsData() const { return owns_; }

  void swap(DRAVArray& other) noexcept {
    std::swap(length_, other.length_);
    std::swap(capacity_, other.capacity_);
    std::swap(data_, other.data_);
    std::swap(owns_, other.owns_);
  }

private:
  DRAVArray(unsigned char* data, unsigned long length)
      : length_(length), capacity_(length), data_(data), owns_(true) {}

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
    data_ = nullptr;
    length_ = 0;
    capacity_ = 0;
    return taken;
  }

  unsigned long length_;
  unsigned long capacity_;  // bytes data_ has room for when owned; 0 when borrowed
  unsigned char* data_;
  bool owns_;
};

}  // namespace DRAVTypes
