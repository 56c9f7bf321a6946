// DRAVArgs: the ordered values of one remote call, and the per-call settings
// that travel beside the body (single-sign-on token, whether the method needs
// it, streaming mode, extra blob). Only the values are serialized: a 32-bit
// count followed by each value. Not thread-safe: one thread at a time.
#pragma once

#include <drav/export.h>
#include <drav/platform/glossa.h>
#include <drav/platform/win32.h>
#include <drav/serialization/byte_array.h>
#include <drav/serialization/serializable.h>
#include <drav/serialization/typed_value.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How a call's values travel: whole (No), or as a streamed binary value in, out or both.
enum tag_StreamingMode {
  StreamingNo = 1,
  StreamingIn = 2,
  StreamingOut = 4,
  StreamingInOut = 8,
};

class DRAV_EXPORT DRAVArgs : public DRAVSerializable {
public:
  // What holding one value costs beside its text or bytes, whatever its size
  // on the wire: its slot in the list's storage plus a pointer's worth. The
  // unit decode budgets are charged in.
  static constexpr std::uint64_t kValueCost = sizeof(DRAVVar) + sizeof(DRAVVar*);

  DRAVArgs();
  // Copies are deep (values and an owned extra blob); a borrowed blob stays borrowed.
  DRAVArgs(const DRAVArgs& other);
  DRAVArgs(DRAVArgs&& other) noexcept;
  DRAVArgs& operator=(const DRAVArgs& other);
  DRAVArgs& operator=(DRAVArgs&& other) noexcept;
  ~DRAVArgs() override;

  // Each appends one new value at the end.
  void addArg(const std::string& value);
  void addArg(const char* text);  // text, not a pointer converted to bool
  void addArg(const zu_utf8string& value);
  void addArg(char value);
  void addArg(unsigned char value);
  void addArg(short value);
  void addArg(unsigned short value);
  void addArg(int value);
  void addArg(unsigned int value);
  void addArg(long value);           // refused when it does not fit 32 bits
  void addArg(unsigned long value);  // refused when it does not fit 32 bits
  void addArg(float value);
  void addArg(double value);
  void addArg(bool value);
  // A binary value; with copy false `data` must outlive the list. Null data
  // with a length is refused with DRAVException.
  void addArg(unsigned char* data, unsigned long length, bool copy);
  // `object` is serialized now and not kept (tag 16 when typed, else 15).
  void addArg(const DRAVSerializable& object, bool typed);
  // A value built beforehand, moved into the list.
  void addArg(DRAVVar&& value) { append(std::move(value)); }


  // The value at `index` for the caller to assign to; std::runtime_error
  // "invalid argument index" when out of range.
  DRAVVar& updateArg(unsigned long index);
  // The values in order, owned by the list. The values lie side by side in
  // one block, so a pointer to one lasts until the list grows; the vector
  // itself is built on the first call and kept in step with the list after.
  const std::vector<DRAVVar*>& getArgs() const;
  unsigned long size() const { return static_cast<unsigned long>(count_); }

  // Empties the list for reuse and puts the per-call settings back to those of
  // a new list (an owned extra blob is freed), but keeps the values' storage:
  // the block they lie in, and the buffers of their text and bytes. Reading
  // a body into the list afterwards fills that storage again, so it allocates
  // nothing when each value is of the kind the value at its place was and
  // fits in its buffer; the decode budget is charged as for a new list. The
  // storage is released with the list only, so a list kept for untrusted
  // bodies holds what the largest of them needed (bounded by its budget).
  // References and pointers to the values (getArgs(), getString(),
  // updateArg()) must not be used after clear().
  void clear();

  // Exact-kind getters: no conversions. DRAVException on a bad index or kind.
  const std::string& getString(unsigned long index) const;
  const zu_utf8string& getUTF8String(unsigned long index) const;
  int getInt(unsigned long index) const;
  const DRAVTypes::DRAVArray<unsigned char>& getBinaryArray(unsigned long index) const;
  bool getBoolean(unsigned long index) const;
  short getShort(unsigned long index) const;
  long getLong(unsigned long index) const;
  double getDouble(unsigned long index) const;
  float getFloat(unsigned long index) const;
  unsigned char getByte(unsigned long index) const;
  char getChar(unsigned long index) const;
  unsigned short getUShort(unsigned long index) const;
  unsigned long getULong(unsigned long index) const;
  unsigned int getUInt(unsigned long index) const;

  void setSsoToken(const std::string& token) { ssoToken_ = token; }
  const std::string& getSsoToken() const { return ssoToken_; }
  void needSsoToken(bool need) { needSsoToken_ = need; }
  bool needSsoToken() const { return needSsoToken_; }
  void setStreamingMode(tag_StreamingMode mode) { streamingMode_ = mode; }
  tag_StreamingMode getStreamingMode() const { return streamingMode_; }
  // copy true: the list keeps its own copy. copy false: `data` is borrowed and
  // must outlive the list. A blob the list owned before is freed first.
  void setExtraBlob(unsigned char* data, unsigned long size, bool copy);
  unsigned char* getExtraBlob() const { return extraBlob_; }  // owned by the list or borrowed
  unsigned long getExtraBlobSize() const { return extraBlobSize_; }

  // The arguments of an IDispatch invocation: a new array of size() + 1
  // (+ 1 with a dispatch) VARIANTs. inOrder: the values in list order, then
  // the VT_DISPATCH entry, then VT_BYREF | VT_VARIANT pointing at `result`.
  // Otherwise the reverse, as IDispatch::Invoke wants it: result first, then
  // the dispatch entry, then the values from last to first. The caller
  // VariantClears the value entries and delete[]s the array; the dispatch
  // entry holds no reference of its own and `result` must outlive the call.
  VARIANT* getVarArgs(bool inOrder, VARIANT* result, IDispatch* dispatch) const;

  void writeObject(DRAVOutputStream& out) const override;
  // Appends the values read after those already held. A count the remaining
  // data cannot hold, or a value that fails to read, throws DRAVException and
  // leaves the list as it was (usable, with the storage clear() keeps). Under the stream's budget each value costs its
  // storage (sizeof(DRAVVar) plus a pointer), charged for all of them before
  // any is allocated, plus what the value itself charges.
  void readObject(DRAVInputStream& in) override;
  unsigned long objectSize(DRAVDataTypedStream* sizes) const override;

private:
  const DRAVVar& at(unsigned long index, DRAVVar::VarType type, const char* expected) const;
  void append(DRAVVar&& value);
  void releaseExtraBlob() noexcept;

  // Brings getArgs()'s vector in step with values_ once it has been asked for.
  void showValues() const {
    if (showing_) showNewValues();
  }
  void showNewValues() const;
  // Room for `more` values (std::bad_alloc leaves the list as it was).
  void makeRoom(std::size_t more) {
    const std::size_t needed = count_ + more;
    if (needed > values_.capacity() || (showing_ && shown_.capacity() < needed)) grow(needed);
  }
  void grow(std::size_t needed);

  // The list is values_[0, count_); the values after those are kept by
  // clear() for their storage, and read over by the next readObject().
  std::vector<DRAVVar> values_;
  std::size_t count_ = 0;
  mutable std::vector<DRAVVar*> shown_;  // getArgs()'s view of values_
  mutable bool showing_ = false;         // whether getArgs() was ever called
  std::string ssoToken_;
  bool needSsoToken_ = false;
  tag_StreamingMode streamingMode_ = StreamingNo;
  unsigned char* extraBlob_ = nullptr;
  unsigned long extraBlobSize_ = 0;
  bool ownsExtraBlob_ = false;
};
