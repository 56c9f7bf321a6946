// Payload compression: a zlib stream behind the private ASCII header
// "[DRAV_Z=<plain length>]". Payloads at or above the process-wide threshold
// are compressed; the reader recognises a compressed payload by its header.
// This is not a streaming codec: each payload is one zlib call on one buffer.
//
// Binary values the library sends (typed calls and their answers) go through
// a choice: by default a value at or above the threshold is compressed only
// when a sample of it shows that compressing pays, and then by an encoder
// chosen for speed; a choice per process ("-DRAVgzip_mode"), per client and
// per value forces or forbids it. The classic constructors below compress
// whatever the bytes hold, as they always did.
//
// Neither class copies: each owns at most one buffer (moves transfer it).
// Lengths are 32-bit quantities: a longer buffer is refused with DRAVException.
#pragma once

#include <drav/export.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

class DRAVDataOutputStream;
class DRAVDataInputStream;
class DRAVDecodeBudget;

namespace DRAVCompression {

class DRAVUncompressedData;

namespace detail {
// The first bytes of every compressed payload; the plain length and "]" follow.
constexpr char kHeaderMarker[] = "[DRAV_Z=";
constexpr unsigned long kHeaderMarkerLength = sizeof(kHeaderMarker) - 1;
}  // namespace detail

// Whether a binary value at or above the threshold is sent compressed.
enum class DRAVCompressionChoice : std::uint8_t {
  Default,     // as the level above says: a value as its client, a client as the process
  WhenItPays,  // when a sample of the value shows it gains (the process's own default)
  Always,      // every such value
  Never,       // none: values go as they are
};

// "auto" (WhenItPays), "always" or "never" into `choice`; false for other text.
DRAV_EXPORT bool parseCompressionChoice(const std::string& text, DRAVCompressionChoice& choice);

// Thrown when zlib fails, when a header announces what the stream cannot hold,
// or when a decode budget refuses the payload.
class DRAV_EXPORT DRAVCompressionException : public std::runtime_error {
public:
  explicit DRAVCompressionException(const std::string& message) : std::runtime_error(message) {}
  DRAVCompressionException(const DRAVCompressionException&) = default;
  DRAVCompressionException& operator=(const DRAVCompressionException&) = default;
  ~DRAVCompressionException() override;
};

// A zlib return code with its printable name.
class DRAV_EXPORT DRAVReturnCode {
public:
  DRAVReturnCode(int code) : code_(code) {}
  DRAVReturnCode& operator=(const DRAVReturnCode&) = default;
  bool isError() const { return code_ != 0; }
  std::string toString() const;  // "Z_OK", "Z_BUF_ERROR", ... or "unknown"
  int code() const { return code_; }

private:
  int code_;
};

// The stored form of a payload: compressed behind the header, or unchanged
// below the threshold (unless the bytes themselves begin with a complete
// header, which only a compressed form keeps apart). Owns its buffer
// (delete[]) until detached.
class DRAV_EXPORT DRAVCompressedData {
public:
  // takeOver: the caller's buffer (allocated with new[]) passes to this
  // object, which frees it after compressing or keeps it as it is; the
  // caller's data and length are set to 0. Otherwise the bytes are only read.
  // If construction throws, the caller's buffer (or stream) is left as it was.
  DRAVCompressedData(unsigned char*& data, unsigned long& length, bool takeOver);
  // The stream's whole content, marker included; takeOver empties the stream.
  DRAVCompressedData(DRAVDataOutputStream& stream, bool takeOver);
  // takeOver empties plain; its buffer is adopted only when plain owns it
  // (borrowed bytes are copied and stay with their lender).
  DRAVCompressedData(DRAVUncompressedData& plain, bool takeOver);
  // The stored form a binary value is sent in under `choice`: compressed by
  // the encoder for speed when isValueToCompress says so, else a copy of the
  // bytes as they are. The bytes are only read.
  DRAVCompressedData(const unsigned char* data, unsigned long length, DRAVCompressionChoice choice);
  DRAVCompressedData(const DRAVCompressedData&) = delete;
  DRAVCompressedData& operator=(const DRAVCompressedData&) = delete;
  DRAVCompressedData(DRAVCompressedData&& other) noexcept;
  DRAVCompressedData& operator=(DRAVCompressedData&& other) noexcept;
  ~DRAVCompressedData();

  unsigned char* getData() const { return data_; }       // owned by this object
  unsigned long getLength() const { return length_; }
  // (plain - stored) / plain * 100; negative when the stored form is larger; 0 when not compressed.
  double getCompressionRate() const { return rate_; }
  unsigned char* detach();  // the caller frees the result with delete[]

  // 0 restores the default of 64000 bytes; a value above 32 bits is refused
  // with DRAVException. Safe to call while other threads compress.
  static void setCompressionThreshold(unsigned long bytes);
  static unsigned long getCompressionThreshold();
  static bool isDataToCompress(const unsigned char* data, unsigned long length);

  // The process's choice, for values whose own choice and whose client's are
  // Default; setting Default restores WhenItPays. Safe while other threads send.
  static void setCompressionChoice(DRAVCompressionChoice choice);
  static DRAVCompressionChoice getCompressionChoice();
  // Whether a value is sent compressed under `choice` (Default: the
  // process's): never below the threshold; at or above it always, never, or
  // when a sample shows it pays (a look at about 1/128 of the bytes); and
  // whatever the choice when the bytes begin with a complete header of
  // their own, which only their compressed form keeps apart.
  static bool isValueToCompress(const unsigned char* data, unsigned long length, DRAVCompressionChoice choice);

private:
  void init(unsigned char*& data, unsigned long& length, bool takeOver);
  static bool mustBeCompressed(unsigned long length);
  // fast: the encoder values are sent with, else the thorough one.
  void compress(const unsigned char* data, unsigned long length, bool fast = false);
  static std::string buildPrivateHeader(unsigned long length);

  static std::atomic<std::uint32_t> _compressionThreshold;
  static std::atomic<std::uint8_t> _compressionChoice;

  unsigned char* data_ = nullptr;
  unsigned long length_ = 0;
  double rate_ = 0.0;
};

// The plain form of a stored payload: decompressed when it carries the
// header, else the bytes as they are (copied, or referred to when copy is false).
class DRAV_EXPORT DRAVUncompressedData {
public:
  struct HeaderInfo {
    unsigned long headerLength = 0;  // 0: no complete header found
    unsigned long plainLength = 0;
    bool plainLengthFits = false;    // the digits give a length from 0 to 2^32 - 1
  };

  // data: read only, never released; with copy false and no header it must outlive this object.
  // A header whose length the stream cannot produce is refused before anything is allocated.
  DRAVUncompressedData(const unsigned char* data, unsigned long length, bool copy);
  // The same, charging `budget` (not owned; null is no bound) with what this
  // object allocates (the announced plain length, or the copy) before it
  // allocates: when that is refused, DRAVCompressionException
  // "decode budget exceeded: the payload announces N bytes, M left".
  DRAVUncompressedData(const unsigned char* data, unsigned long length, bool copy, DRAVDecodeBudget* budget);
  DRAVUncompressedData(const DRAVDataInputStream& stream, bool copy);  // the stream's whole buffer
  DRAVUncompressedData(const DRAVCompressedData& stored, bool copy);
  DRAVUncompressedData(const DRAVUncompressedData&) = delete;
  DRAVUncompressedData& operator=(const DRAVUncompressedData&) = delete;
  DRAVUncompressedData(DRAVUncompressedData&& other) noexcept;
  DRAVUncompressedData& operator=(DRAVUncompressedData&& other) noexcept;
  ~DRAVUncompressedData();

  unsigned char* getData() const { return data_; }  // owned by this object when ownsData()
  unsigned long getLength() const { return length_; }
  double getCompressionRate() const { return rate_; }
  bool ownsData() const { return owns_; }
  unsigned char* detach();  // freed by the caller with delete[] when ownsData(); does not change it

  static bool isDataCompressed(const unsigned char* data, unsigned long length);
  // The plain form as a vector: decompressed into it when the bytes carry
  // the header, else a copy; refused and charged as the constructor that
  // takes a budget refuses and charges.
  static std::vector<unsigned char> toPlainVector(const unsigned char* data, unsigned long length,
                                                  DRAVDecodeBudget* budget);

private:
  void init(const unsigned char* data, unsigned long length, bool copy, DRAVDecodeBudget* budget);
  static void retrieveHeaderInfo(const unsigned char* data, unsigned long length, HeaderInfo& info);
  void uncompress(const unsigned char* data, unsigned long length, const HeaderInfo& info, DRAVDecodeBudget* budget);
  static std::uint32_t plainLengthToInflate(unsigned long length, const HeaderInfo& info, DRAVDecodeBudget* budget);

  unsigned char* data_ = nullptr;
  unsigned long length_ = 0;
  double rate_ = 0.0;
  bool owns_ = false;
};

}  // namespace DRAVCompression
