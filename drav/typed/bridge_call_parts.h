// What a method of a DRAVMethodTable may meet besides its values: the call's
// headers (DRAVTableCall), the exception that answers with a status of its
// choosing (DRAVBridgeError), the extra blob read in pieces (DRAVBlobReader)
// and an answer written in pieces (DRAVStreamWriter), and the exception
// that refuses a body the table cannot read (DRAVBodyException). Neither
// stream holds its data whole.
#pragma once

#include <drav/common/exception.h>
#include <drav/hosting/http_buffer_allocator.h>
#include <drav/hosting/request_wrapper.h>
#include <drav/hosting/response_wrapper.h>
#include <drav/serialization/decode_budget.h>
#include <drav/serialization/output_stream.h>
#include <drav/serialization/typed_value.h>
#include <drav/typed/value_kinds.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

// The headers of one call, as the table needs them.
struct DRAVTableCall {
  std::string methodName;            // "DRAVMethodName"
  std::uint32_t argsSize = 0;        // "DRAVArgs-Size": the argument bytes open the body
  std::uint32_t extraBlobSize = 0;   // "DRAVExtraBlob-Size": the bytes after them
  bool streamsOut = false;           // "DRAVStreamingMode" OUT or INOUT
  bool needSsoToken = false;         // "DRAVMethodNeedSsoToken: yes"
  std::string user;                  // the user the server checked; empty without one
  // Whether the table may tell what it offers: answer kDescribeMethod, and
  // list its methods to a call of one it does not have.
  bool describe = true;
  // Bounds what the call holds: its decoded arguments, and what a method or
  // the answer holds beside them. Null bounds nothing. Not owned.
  DRAVDecodeBudget* decodeBudget = nullptr;
  // Argument bytes the host counted against decodeBudget for the table to
  // hold as they arrive; the table gives them back as it frees them.
  std::uint64_t argumentsCharged = 0;

  // Counts `bytes` the call is to hold against its budget, before they are
  // allocated; DRAVBodyException 413 ("<what> takes more than ...") when
  // they do not fit.
  void charge(std::uint64_t bytes, const char* what = "the answer") const;
  // Gives back what was charged once it is freed.
  void refund(std::uint64_t bytes) const {
    if (decodeBudget) decodeBudget->refund(bytes);
  }
};

namespace DRAVTyped {

// DRAVStreamWriter::begin for a call that does not stream its answer out:
// the table answers that the method is to be called streaming out.
class CallDoesNotStreamOut : public std::logic_error {
public:
  CallDoesNotStreamOut() : std::logic_error("this call does not stream its answer") {}
};

}  // namespace DRAVTyped

// Thrown by a method: answers with this code (not 0) and message.
class DRAVBridgeError : public std::runtime_error {
public:
  DRAVBridgeError(long code, const std::string& message) : std::runtime_error(message), code_(code) {}
  long code() const { return code_; }

private:
  long code_;
};

// A body the table cannot read: too large (413) or malformed (400), or an
// answer that takes more than the call may hold (413). The server answers
// with the status (or cuts an answer already begun).
class DRAVBodyException : public DRAVException {
public:
  DRAVBodyException(unsigned httpStatus, const std::string& message) : DRAVException(message), status_(httpStatus) {}
  unsigned httpStatus() const { return status_; }

private:
  unsigned status_;
};

inline void DRAVTableCall::charge(std::uint64_t bytes, const char* what) const {
  if (decodeBudget && !decodeBudget->tryCharge(bytes))
    throw DRAVBodyException(413, std::string(what) + " takes more than the " +
                                     std::to_string(decodeBudget->limit() - decodeBudget->used()) +
                                     " bytes the call has left");
}

// The extra blob, in pieces of the method's choosing. The piece held counts
// against the call's budget while it is held, and is held once: a piece
// larger than the table's chunk size is gathered from reads of that size.
class DRAVBlobReader {
public:
  // `call` (null: no budget) must outlive the reader.
  DRAVBlobReader(DRAVHelpers::IIS::RequestReader& in, DRAVHelpers::IIS::HTTPBufferAllocator& allocator,
                 std::uint32_t size, std::uint32_t defaultPiece, const DRAVTableCall* call = nullptr)
      : in_(in), allocator_(allocator), size_(size), defaultPiece_(defaultPiece == 0 ? 1 : defaultPiece), call_(call) {}
  ~DRAVBlobReader() { release(); }
  DRAVBlobReader(const DRAVBlobReader&) = delete;
  DRAVBlobReader& operator=(const DRAVBlobReader&) = delete;

  std::uint32_t size() const { return size_; }
  std::uint32_t remaining() const { return size_ - read_; }

  // The next piece of at most `most` bytes (0: the table's chunk size),
  // valid until the next call; empty once the blob is read. A piece is cut
  // to what the call's budget has left; with nothing left next() throws
  // DRAVBodyException (413), as it does (400) for a body that ends early.
  DRAVBytes next(std::uint32_t most = 0) {
    release();
    if (read_ == size_) return DRAVBytes{};
    const std::uint32_t wanted = charge(std::min(most == 0 ? defaultPiece_ : most, size_ - read_));
    if (wanted <= defaultPiece_) {
      readOne(piece_, pieceSize_, wanted);
    } else {
      pieceSize_ = wanted;
      piece_ = allocator_.allocate(pieceSize_);
      for (std::uint32_t filled = 0; filled < wanted;) {
        unsigned char* part = nullptr;
        unsigned long partSize = 0;
        readOne(part, partSize, std::min(defaultPiece_, wanted - filled));
        std::copy(part, part + partSize, piece_ + filled);
        filled += static_cast<std::uint32_t>(partSize);
        allocator_.free(part, partSize);
      }
    }
    return DRAVBytes{piece_, pieceSize_};
  }

private:
  // Counts a piece of `wanted` bytes against the call, cut as next() says; what is counted.
  std::uint32_t charge(std::uint32_t wanted) {
    DRAVDecodeBudget* budget = call_ ? call_->decodeBudget : nullptr;
    if (!budget) return wanted;
    const std::uint64_t left = budget->limit() - std::min(budget->used(), budget->limit());
    if (left > 0) wanted = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, left));
    call_->charge(wanted, "a piece of the extra blob");
    charged_ = wanted;
    return wanted;
  }
  // One read of at most `wanted` bytes into a buffer of the allocator's.
  void readOne(unsigned char*& data, unsigned long& size, std::uint32_t wanted) {
    if (!in_.ReadBufferChunk(data, wanted, size) || size == 0 || size > wanted) {
      allocator_.free(data, size);
      throw DRAVBodyException(400, "the extra blob ended after " + std::to_string(read_) + " of " +
                                       std::to_string(size_) + " bytes");
    }
    read_ += static_cast<std::uint32_t>(size);
  }
  // Frees the piece held and gives its charge back.
  void release() {
    allocator_.free(piece_, pieceSize_);
    if (call_) call_->refund(charged_);
    charged_ = 0;
  }

  DRAVHelpers::IIS::RequestReader& in_;
  DRAVHelpers::IIS::HTTPBufferAllocator& allocator_;
  std::uint32_t size_;
  std::uint32_t defaultPiece_;
  const DRAVTableCall* call_;
  std::uint32_t read_ = 0;
  unsigned char* piece_ = nullptr;
  unsigned long pieceSize_ = 0;
  std::uint64_t charged_ = 0;  // of the piece held
};

// The answer as one binary value written in pieces: begin(size) for a call
// that streams out, beginListedBinary(size) for one that does not, then
// write() exactly size bytes in all.
class DRAVStreamWriter {
public:
  DRAVStreamWriter(DRAVHelpers::IIS::ResponseWrapper& out, bool streamsOut) : out_(out), streamsOut_(streamsOut) {}
  DRAVStreamWriter(const DRAVStreamWriter&) = delete;
  DRAVStreamWriter& operator=(const DRAVStreamWriter&) = delete;

  // Whether the call asked for a streamed answer; a method answers with a
  // list when it did not.
  bool streamed() const { return streamsOut_; }
  bool begun() const { return begun_; }
  bool complete() const { return begun_ && left_ == 0; }

  // Writes the value's head. std::logic_error when the call does not stream
  // out or the value was begun already.
  void begin(std::uint32_t size) {
    if (!streamsOut_) throw DRAVTyped::CallDoesNotStreamOut();
    if (begun_) throw std::logic_error("the streamed value was begun already");
    check(out_.WriteBufferSize(size));
    begun_ = true;
    left_ = size;
  }
  // For a call that does not stream out: writes the head of a list of one
  // binary value of `size` bytes, which write() then sends, so the method
  // answers with a listed value it never holds whole. std::logic_error when
  // the call streams out or a value was begun already.
  void beginListedBinary(std::uint32_t size) {
    if (streamsOut_) throw std::logic_error("this call streams its answer");
    if (begun_) throw std::logic_error("the value was begun already");
    DRAVDataOutputStream head;
    head.writeULong(1);
    head.writeShort(DRAVVar::BinaryArray);
    head.writeULong(size);
    check(out_.WriteBufferChunk(head.getBuffer(0), head.size()));
    begun_ = true;
    left_ = size;
  }
  // The next bytes of the value, sent at once; more than begin() announced
  // is a std::logic_error.
  void write(const unsigned char* data, std::size_t size) {
    if (!begun_) throw std::logic_error("write before begin");
    if (size > left_) throw std::logic_error("more bytes than the streamed value announced");
    if (size == 0) return;
    check(out_.WriteBufferChunk(const_cast<unsigned char*>(data), static_cast<unsigned long>(size)));
    left_ -= static_cast<std::uint32_t>(size);
  }

private:
  static void check(bool written) {
    if (!written) throw std::runtime_error("the answer could not be written");
  }

  DRAVHelpers::IIS::ResponseWrapper& out_;
  bool streamsOut_;
  bool begun_ = false;
  std::uint32_t left_ = 0;
};
