// A bridge's answer read as it arrives, in either form: a result list then
// the invocation status (held until it ends and then decoded as one, within
// a size limit and a decode budget, but for the bytes of large binary
// values, which go straight into the buffers their values hold: see
// DRAVListReceiver), or a streamed binary value (value head, bytes, status)
// whose bytes go to a sink as they arrive and are never held. Not a
// transport: the typed client and dravcall feed it the pieces.
#pragma once

#include <drav/common/exception.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/list_receiver.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace DRAVTyped {

// The invocation status at the end of an answer.
struct AnswerStatus {
  std::string text1;
  std::string text2;
  std::string message;
  long code = 0;
};

// The status at the stream's position: three strings, then the 32-bit code.
// DRAVException when the data ends first.
inline AnswerStatus readAnswerStatus(DRAVInputStream& in) {
  AnswerStatus status;
  in.readString(status.text1);
  in.readString(status.text2);
  in.readString(status.message);
  in.readLong(status.code);
  return status;
}

// Takes an answer's bytes as they arrive and yields its results or streamed value, and its status.
class AnswerReader {
public:
  // Receives the bytes of a streamed value in order; valid during the call only.
  using ValueSink = std::function<void(const unsigned char* data, std::size_t size)>;

  // `streamed`: the call streamed out. `limit`: the most bytes a list
  // answer (or the status behind a streamed value, 1 MiB at most) may take.
  // `decodeBudget`: the most decoding it may allocate (values cost more
  // than their bytes).
  AnswerReader(bool streamed, ValueSink sink, std::uint64_t limit, std::uint64_t decodeBudget)
      : streamed_(streamed), sink_(std::move(sink)), limit_(limit), budget_(decodeBudget), list_(&budget_, false) {}

  // The next piece. DRAVException when the answer grows beyond the limit or
  // the budget, or cannot begin a streamed answer.
  void feed(const unsigned char* data, std::size_t size) {
    if (streamed_) {
      received_ += size;
      return feedStreamed(data, size);
    }
    if (size > limit_ - received_)
      throw DRAVException("the answer is larger than the " + std::to_string(limit_) + " bytes a call may receive");
    received_ += size;
    list_.receive(data, size);
  }

  // The answer has ended: decodes the list and the status. DRAVException
  // (or the compression exception) when it is cut short or malformed, or
  // decoding goes over the budget (budget().exceeded() tells which).
  void finish() {
    if (streamed_ && (!headRead_ || valueLeft_ > 0))
      throw DRAVException("the answer ended after " + std::to_string(received_) + " bytes, inside its value");
    const std::vector<unsigned char>& held = streamed_ ? held_ : list_.kept();
    if (held.empty()) throw DRAVException("the answer is empty");
    checkMarker(held[0]);
    DRAVDataInputStream in(held.data(), static_cast<unsigned long>(held.size()));
    in.setBudget(&budget_);
    if (!streamed_) list_.readList(in, results_);
    status_ = readAnswerStatus(in);
    if (in.remaining()) throw DRAVException(std::to_string(in.remaining()) + " bytes follow the status");
  }

  bool streamed() const { return streamed_; }
  DRAVArgs& results() { return results_; }  // list form, after finish()
  const DRAVArgs& results() const { return results_; }
  std::uint32_t valueSize() const { return valueSize_; }  // streamed form: what the head declared
  std::uint64_t received() const { return received_; }    // bytes fed so far
  const AnswerStatus& status() const { return status_; }  // after finish()
  const DRAVDecodeBudget& budget() const { return budget_; }

private:
  static constexpr std::size_t kValueHeadSize = 7;  // marker, tag 3, 32-bit size
  // Three texts and a code; a bridge has no reason to send more.
  static constexpr std::uint64_t kMaxStatus = 1024 * 1024;

  static void checkMarker(unsigned char marker) {
    if (marker > 1) throw DRAVException("not an answer: the first byte must be a byte-order marker (00 or 01)");
  }

  // The status behind a streamed value.
  void hold(const unsigned char* data, std::size_t size) {
    if (size > limit_ - held_.size())
      throw DRAVException("the answer is larger than the " + std::to_string(limit_) + " bytes a call may receive");
    if (size > kMaxStatus - held_.size())
      throw DRAVException("the status behind the value is larger than " + std::to_string(kMaxStatus) + " bytes");
    held_.insert(held_.end(), data, data + size);
  }

  void feedStreamed(const unsigned char* data, std::size_t size) {
    while (size > 0) {
      if (!headRead_) {
        const std::size_t take = std::min(size, kValueHeadSize - held_.size());
        held_.insert(held_.end(), data, data + take);
        data += take;
        size -= take;
        if (held_.size() < kValueHeadSize) return;
        readHead();
        continue;
      }
      if (valueLeft_ > 0) {
        const std::size_t take = std::min<std::size_t>(size, valueLeft_);
        if (sink_) sink_(data, take);
        data += take;
        size -= take;
        valueLeft_ -= static_cast<std::uint32_t>(take);
        continue;
      }
      return hold(data, size);
    }
  }

  void readHead() {
    checkMarker(held_[0]);
    const unsigned tag = (unsigned(held_[1]) << 8) | held_[2];
    if (tag != DRAVVar::BinaryArray)
      throw DRAVException("not a streamed answer: it begins with a value of tag " + std::to_string(tag));
    valueSize_ = (std::uint32_t(held_[3]) << 24) | (std::uint32_t(held_[4]) << 16) | (std::uint32_t(held_[5]) << 8) |
                 held_[6];
    valueLeft_ = valueSize_;
    headRead_ = true;
    held_.resize(1);  // the status follows the value without a marker of its own
  }

  bool streamed_;
  ValueSink sink_;
  std::uint64_t limit_;
  std::vector<unsigned char> held_;  // streamed form: the value's head, then the status
  bool headRead_ = false;
  std::uint32_t valueSize_ = 0;
  std::uint32_t valueLeft_ = 0;
  std::uint64_t received_ = 0;
  DRAVDecodeBudget budget_;
  DRAVListReceiver list_;  // list form: its large values charge budget_, limit_ bounds the rest
  DRAVArgs results_;
  AnswerStatus status_;
};

}  // namespace DRAVTyped
