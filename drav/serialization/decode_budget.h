// DRAVDecodeBudget: a bound on the memory that decoding one untrusted body may
// allocate: decompressed payloads, value storage, copied text and bytes. It
// is not an allocator and does not track frees: it counts what decoding
// asks for, and decoders ask before they allocate. One body, one thread.
//
// A decoder reaches the budget through the input stream it reads from
// (DRAVInputStream::setBudget) or, for a payload decompressed on its own,
// through the DRAVUncompressedData constructor that takes one.
#pragma once

#include <cstdint>

class DRAVDecodeBudget {
public:
  // limitBytes: the most decoding may allocate in all.
  explicit DRAVDecodeBudget(std::uint64_t limitBytes) : limit_(limitBytes) {}

  // Counts `bytes` when they fit in what is left and answers true. When they
  // do not, counts nothing, remembers the refusal and answers false: the
  // caller throws its own exception (DRAVException, or
  // DRAVCompressionException for a payload) before it allocates.
  bool tryCharge(std::uint64_t bytes) {
    if (bytes > limit_ - used_) {
      exceeded_ = true;
      return false;
    }
    used_ += bytes;
    return true;
  }

  // Gives back `bytes` counted for something since freed (a server's
  // per-call share counts what is held, not what was ever asked for).
  void refund(std::uint64_t bytes) { used_ -= bytes < used_ ? bytes : used_; }

  std::uint64_t limit() const { return limit_; }
  std::uint64_t used() const { return used_; }
  // True once a charge was refused: lets a server tell "the body asks for more
  // than we grant" (413) from "the body is malformed" (400), whatever
  // exception type the decoder threw.
  bool exceeded() const { return exceeded_; }

private:
  std::uint64_t limit_;
  std::uint64_t used_ = 0;
  bool exceeded_ = false;
};
