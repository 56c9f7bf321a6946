#include <drav/serialization/list_receiver.h>

#include <drav/common/exception.h>
#include <drav/compression/compression.h>
#include <drav/serialization/argument_list.h>
#include <drav/serialization/input_stream.h>
#include <drav/serialization/value_framing.h>

#include <algorithm>
#include <string>

namespace {

std::uint32_t bigEndian32(const unsigned char* b) {
  return (std::uint32_t(b[0]) << 24) | (std::uint32_t(b[1]) << 16) | (std::uint32_t(b[2]) << 8) | b[3];
}

[[noreturn]] void refuseOverBudget(const DRAVDecodeBudget& budget, std::uint64_t bytes, const char* what) {
  throw DRAVException(std::string("decode budget exceeded: ") + what + " needs " + std::to_string(bytes) + " bytes, " +
                      std::to_string(budget.limit() - budget.used()) + " of " + std::to_string(budget.limit()) +
                      " left");
}

}  // namespace

DRAVListReceiver::DRAVListReceiver(DRAVDecodeBudget* budget, bool chargeKept, std::uint64_t expected,
                                   std::uint64_t counted)
    : budget_(budget), keptBudget_(chargeKept ? budget : nullptr), expected_(expected),
      counted_(chargeKept ? counted : 0) {}

// What it keeps goes with it, and the count it took over of bytes that never came.
DRAVListReceiver::~DRAVListReceiver() {
  if (keptBudget_) keptBudget_->refund(charged_ + counted_);
}

void DRAVListReceiver::receive(const unsigned char* data, std::size_t size) {
  if (step_ != Step::Unread) return scan(data, size);
  keep(data, size);
  if (kept_.size() < kLargeValue) return;
  // Large enough to hold a large value: its framing is followed from the
  // start, and from now on as bytes arrive.
  std::vector<unsigned char> early;
  early.swap(kept_);
  counted_ += charged_;  // counted again as it is looked into
  charged_ = 0;
  step_ = Step::Marker;
  scan(early.data(), early.size());
}

void DRAVListReceiver::keep(const unsigned char* data, std::size_t size) {
  if (keptBudget_) {
    const std::uint64_t uncounted = size - std::min<std::uint64_t>(size, counted_);
    if (!keptBudget_->tryCharge(uncounted)) refuseOverBudget(*keptBudget_, uncounted, "the body");
    counted_ -= size - uncounted;
    charged_ += size;
  }
  kept_.insert(kept_.end(), data, data + size);
}

bool DRAVListReceiver::takeNumber(const unsigned char*& data, std::size_t& size) {
  const std::size_t n = std::min<std::size_t>(size, 4 - numberFilled_);
  std::copy(data, data + n, number_ + numberFilled_);
  numberFilled_ += static_cast<std::uint32_t>(n);
  data += n;
  size -= n;
  scanned_ += n;
  if (numberFilled_ < 4) return false;
  numberFilled_ = 0;
  return true;
}

// Each step takes what it can of the bytes and says which step follows.
void DRAVListReceiver::scan(const unsigned char* data, std::size_t size) {
  while (size > 0) {
    switch (step_) {
      case Step::Unread:
      case Step::Marker:
        keep(data, 1);
        ++data, --size, ++scanned_;
        step_ = Step::Count;
        break;
      case Step::Count:
        if (!takeNumber(data, size)) break;
        keep(number_, 4);
        valuesLeft_ = bigEndian32(number_);
        step_ = valuesLeft_ ? Step::Tag : Step::Tail;
        break;
      case Step::Tag: {
        // Line breaks before a tag are skipped by the reader; the tag's first
        // byte is ignored whatever it holds, its second names the kind.
        const unsigned char byte = *data;
        keep(data, 1);
        ++data, --size, ++scanned_;
        if (!tagBegun_) {
          tagBegun_ = byte != 0x0D && byte != 0x0A;
          break;
        }
        tagBegun_ = false;
        tag_ = byte;
        if ((need_ = static_cast<std::uint32_t>(DRAV::detail::fixedPayloadWidth(tag_))) != 0) step_ = Step::Payload;
        else if (DRAV::detail::carriesBlock(tag_)) step_ = Step::Length;
        else endValue();
        break;
      }
      case Step::Length:
        if (takeNumber(data, size)) startBlock(bigEndian32(number_));
        break;
      case Step::Payload:
      case Step::Block: {
        const std::size_t n = std::min<std::size_t>(size, need_);
        keep(data, n);
        data += n, size -= n, scanned_ += n;
        if ((need_ -= static_cast<std::uint32_t>(n)) == 0) endValue();
        break;
      }
      case Step::Large: {
        const std::size_t n = std::min<std::size_t>(size, need_);
        large_.insert(large_.end(), data, data + n);
        data += n, size -= n, scanned_ += n;
        if ((need_ -= static_cast<std::uint32_t>(n)) == 0) {
          finishLarge();
          endValue();
        }
        break;
      }
      case Step::Tail:
        keep(data, size);
        scanned_ += size;
        size = 0;
        break;
    }
  }
}

void DRAVListReceiver::endValue() {
  ++valueIndex_;
  step_ = --valuesLeft_ ? Step::Tag : Step::Tail;
}

void DRAVListReceiver::startBlock(std::uint32_t length) {
  need_ = length;
  if (tag_ != DRAVVar::BinaryArray || length < kLargeValue) {
    keep(number_, 4);
    if (length == 0) endValue();
    else step_ = Step::Block;
    return;
  }
  if (expected_ && length > expected_ - std::min(expected_, scanned_))
    throw DRAVException("truncated data: a block needs " + std::to_string(length) + " bytes, " +
                        std::to_string(expected_ - std::min(expected_, scanned_)) + " left");
  static const unsigned char kNoBytes[4] = {0, 0, 0, 0};
  keep(kNoBytes, 4);  // the value reads as an empty one, filled in by readList
  // Its bytes count as the buffer's from now on, not as the body's.
  const std::uint64_t counted = std::min<std::uint64_t>(length, counted_);
  counted_ -= counted;
  if (budget_) budget_->refund(counted);
  if (budget_ && !budget_->tryCharge(length)) refuseOverBudget(*budget_, length, "a binary value");
  try {
    large_.reserve(length);
  } catch (...) {
    if (budget_) budget_->refund(length);
    throw;
  }
  step_ = Step::Large;
}

void DRAVListReceiver::finishLarge() {
  std::vector<unsigned char> stored;
  stored.swap(large_);
  const std::uint64_t storedCharge = stored.size();
  DRAVTypes::DRAVArray<unsigned char> bytes(nullptr, 0, false);
  if (DRAVCompression::DRAVUncompressedData::isDataCompressed(stored.data(), static_cast<unsigned long>(stored.size()))) {
    // Charged for its plain length first; the stored bytes then go.
    bytes = DRAVTypes::DRAVArray<unsigned char>::adopt(DRAVCompression::DRAVUncompressedData::toPlainVector(
        stored.data(), static_cast<unsigned long>(stored.size()), budget_));
    std::vector<unsigned char>().swap(stored);
    if (budget_) budget_->refund(storedCharge);
  } else {
    bytes = DRAVTypes::DRAVArray<unsigned char>::adopt(std::move(stored));
  }
  done_.push_back(LargeValue{valueIndex_, std::move(bytes)});
}

void DRAVListReceiver::readList(DRAVInputStream& in, DRAVArgs& values) {
  if (step_ == Step::Large)
    throw DRAVException("truncated data: a block needs " + std::to_string(large_.size() + need_) + " bytes, " +
                        std::to_string(large_.size()) + " arrived");
  const unsigned long first = values.size();
  values.readObject(in);
  for (LargeValue& large : done_) {
    // The values are those the framing was followed through: the large
    // one's place holds the empty value that stood in for it.
    DRAVVar& place = values.updateArg(first + large.index);
    place = DRAVVar(new DRAVTypes::DRAVArray<unsigned char>(std::move(large.bytes)));
  }
  done_.clear();
}
