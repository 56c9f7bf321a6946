// Reading a bridge's answer piece by piece as it arrives, in either form: a
// result list then the status (held whole: the list is decoded as one), or
// a streamed binary value (value head, bytes, status) whose bytes go to a
// sink as they arrive and are never held whole. Not a transport: the
// caller feeds it what it receives.
#pragma once

#include "answer_dump.h"
#include "decode_budget_option.h"

#include <drav/serialization/argument_list.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace dravtools {

class AnswerReader {
public:
  // Receives the bytes of a streamed value, in order; the pointer is valid during the call only.
  using ValueSink = std::function<void(const unsigned char* data, std::size_t size)>;

  // `streamed`: the call streamed out (OUT or INOUT). `sink` may be empty
  // (the value's bytes are then only counted). Decoding the answer may take
  // at most `decodeBudget` bytes.
  AnswerReader(bool streamed, ValueSink sink, std::uint64_t decodeBudget = kDefaultDecodeBudget);

  // The next piece. DRAVException when the bytes cannot begin an answer of
  // the expected form, or when more arrive than an answer can hold.
  void feed(const unsigned char* data, std::size_t size);
  // The answer has ended: decodes the list (list form) and the status.
  // DRAVException when it is cut short, malformed or followed by more bytes;
  // OverBudget when decoding it needs more than the budget.
  void finish();

  bool streamed() const { return streamed_; }
  const DRAVArgs& results() const { return results_; }   // list form, after finish()
  std::uint32_t valueSize() const { return valueSize_; }  // streamed form: the size its head declared
  std::uint64_t received() const { return received_; }    // bytes fed so far
  const BridgeStatus& status() const { return status_; }  // after finish()

private:
  void feedStreamed(const unsigned char* data, std::size_t size);

  bool streamed_;
  ValueSink sink_;
  std::uint64_t decodeBudget_;
  std::vector<unsigned char> held_;  // list form: the whole answer; streamed: the head, then the status
  bool headRead_ = false;
  std::uint32_t valueSize_ = 0;
  std::uint32_t valueLeft_ = 0;
  std::uint64_t received_ = 0;
  DRAVArgs results_;
  BridgeStatus status_;
};

}  // namespace dravtools
