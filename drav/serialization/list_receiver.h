// DRAVListReceiver: a body that holds a list of values (the byte-order
// marker, a 32-bit count, the values) and whatever follows it (an answer's
// status), taken in pieces of any size as they arrive. It keeps the bytes to
// decode them as one buffer at the end (with DRAVArgs::readObject, so values
// read exactly as they would from the whole body), except those of each
// large binary value: they go straight into the buffer the decoded value
// holds, a vector that a byte-vector parameter or result takes over, and are
// decompressed from there when they carry the compression header. So a large
// value is neither gathered with the rest nor copied again after it arrived.
// Not a decoder of its own, not thread-safe.
#pragma once

#include <drav/export.h>
#include <drav/serialization/byte_array.h>
#include <drav/serialization/decode_budget.h>

#include <cstddef>
#include <cstdint>
#include <vector>

class DRAVArgs;
class DRAVInputStream;

class DRAV_EXPORT DRAVListReceiver {
public:
  // Binary values of at least this many bytes get a buffer of their own as
  // they arrive; smaller ones are kept with the rest.
  static constexpr std::uint32_t kLargeValue = 64 * 1024;

  // `budget` (not owned, must outlive the receiver; null bounds nothing) is
  // charged before anything is allocated: a large value's bytes as its
  // length announces them (and its plain length when it is decompressed, its
  // stored bytes then given back), and with `chargeKept` each kept byte,
  // given back when the receiver goes (without, the caller bounds them).
  // `counted` (with chargeKept): bytes of the body the budget counts already
  // (a host's count of the argument bytes): the receiver takes them over,
  // keeping the count of those it keeps and giving back that of a large
  // value's bytes before it charges their buffer. `expected`: the body's
  // length when it is known (0: not known); a large value announcing more
  // than is left of it is refused before anything is allocated for it.
  DRAVListReceiver(DRAVDecodeBudget* budget, bool chargeKept, std::uint64_t expected = 0, std::uint64_t counted = 0);
  ~DRAVListReceiver();
  DRAVListReceiver(const DRAVListReceiver&) = delete;
  DRAVListReceiver& operator=(const DRAVListReceiver&) = delete;

  // The next piece (only read). Throws DRAVException when the budget
  // refuses a charge (the budget then says exceeded()) or a large value
  // announces more than the body has left, and the compression exception
  // for a large value that does not decompress. A body is looked into only
  // once it has brought kLargeValue bytes: a small one is only kept.
  void receive(const unsigned char* data, std::size_t size);
  // The bytes kept: the marker, the list with each large binary value as an
  // empty one, and what followed the list. Valid until the next receive().
  const std::vector<unsigned char>& kept() const { return kept_; }

  // Reads the list from `in` (a stream over kept(), past its marker) into
  // `values`, after those it holds, with each large value in its place;
  // `in` is then positioned after the list. DRAVException when a large
  // value was cut short, or for what DRAVArgs::readObject refuses.
  void readList(DRAVInputStream& in, DRAVArgs& values);

private:
  // Unread: kept as it comes, not looked into yet.
  enum class Step { Unread, Marker, Count, Tag, Payload, Length, Block, Large, Tail };
  struct LargeValue {
    std::uint32_t index;  // among the list's values
    DRAVTypes::DRAVArray<unsigned char> bytes;
  };

  // Follows the body's framing through `size` more bytes.
  void scan(const unsigned char* data, std::size_t size);
  // Keeps `size` bytes, charged first.
  void keep(const unsigned char* data, std::size_t size);
  // Takes up to the rest of a count or length into number_; true once whole.
  bool takeNumber(const unsigned char*& data, std::size_t& size);
  // The list's next value, or its end.
  void endValue();
  // What follows a value's length: its block, kept or in a buffer of its own.
  void startBlock(std::uint32_t length);
  // A large value has arrived: decompressed when it carries the header.
  void finishLarge();

  DRAVDecodeBudget* budget_;
  DRAVDecodeBudget* keptBudget_;  // budget_ when kept bytes are charged, else null
  const std::uint64_t expected_;
  std::uint64_t scanned_ = 0;  // bytes of the body the framing was followed through
  std::vector<unsigned char> kept_;
  std::uint64_t charged_ = 0;  // for kept_
  std::uint64_t counted_;      // of the body's bytes still to come, counted by the caller
  Step step_ = Step::Unread;
  std::uint32_t valuesLeft_ = 0;
  std::uint32_t valueIndex_ = 0;
  bool tagBegun_ = false;  // the tag's first byte has come
  unsigned char tag_ = 0;
  unsigned char number_[4] = {};  // a count or a length as it arrives
  std::uint32_t numberFilled_ = 0;
  std::uint32_t need_ = 0;  // bytes still to come of the current part
  std::vector<unsigned char> large_;  // the large value arriving
  std::vector<LargeValue> done_;
};
