#include "answer_reader.h"

#include <drav/common/exception.h>
#include <drav/serialization/input_stream.h>

#include <algorithm>

namespace dravtools {

namespace {

// Marker, tag, 32-bit size.
constexpr std::size_t kValueHeadSize = 7;
constexpr unsigned short kBinaryTag = 3;
// A list answer is decoded from one buffer the input stream can address.
constexpr std::uint64_t kMaxListAnswer = 0x7FFFFFFF;
// Three texts and a code; a bridge has no reason to send more.
constexpr std::size_t kMaxStatus = 1024 * 1024;

}  // namespace

AnswerReader::AnswerReader(bool streamed, ValueSink sink, std::uint64_t decodeBudget)
    : streamed_(streamed), sink_(std::move(sink)), decodeBudget_(decodeBudget) {}

void AnswerReader::feed(const unsigned char* data, std::size_t size) {
  received_ += size;
  if (streamed_) return feedStreamed(data, size);
  if (held_.size() + size > kMaxListAnswer)
    throw DRAVException("the answer is larger than a list answer can be; call with streaming mode OUT");
  held_.insert(held_.end(), data, data + size);
}

void AnswerReader::feedStreamed(const unsigned char* data, std::size_t size) {
  while (size > 0) {
    if (!headRead_) {
      const std::size_t take = std::min(size, kValueHeadSize - held_.size());
      held_.insert(held_.end(), data, data + take);
      data += take;
      size -= take;
      if (held_.size() < kValueHeadSize) return;
      if (held_[0] > 1) throw DRAVException("not an answer: the first byte must be a byte-order marker (00 or 01)");
      const unsigned tag = (unsigned(held_[1]) << 8) | held_[2];
      if (tag != kBinaryTag)
        throw DRAVException("not a streamed answer: it begins with a value of tag " + std::to_string(tag));
      valueSize_ = (std::uint32_t(held_[3]) << 24) | (std::uint32_t(held_[4]) << 16) | (std::uint32_t(held_[5]) << 8) |
                   held_[6];
      valueLeft_ = valueSize_;
      headRead_ = true;
      held_.assign(1, held_[0]);  // the status follows the value, without a marker of its own
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
    if (held_.size() + size > kMaxStatus) throw DRAVException("the status behind the value is too large");
    held_.insert(held_.end(), data, data + size);
    return;
  }
}

void AnswerReader::finish() {
  if (streamed_ && (!headRead_ || valueLeft_ > 0))
    throw DRAVException("the answer ended after " + std::to_string(received_) + " bytes, inside its value");
  if (held_.empty()) throw DRAVException("the answer is empty");
  if (held_[0] > 1) throw DRAVException("not an answer: the first byte must be a byte-order marker (00 or 01)");
  DRAVDataInputStream in(held_.data(), static_cast<unsigned long>(held_.size()));
  DRAVDecodeBudget budget(decodeBudget_);
  in.setBudget(&budget);
  decodeUnder(budget, [&] {
    if (!streamed_) results_.readObject(in);
    status_ = readBridgeStatus(in);
  });
  if (in.remaining()) throw DRAVException(std::to_string(in.remaining()) + " bytes follow the status");
}

}  // namespace dravtools
