// Payload generators and the reference stored form for the compression tests.
#pragma once

#include <drav/compression/compression.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

namespace dravtest {

using Bytes = std::vector<unsigned char>;

enum class Kind { Uniform, Compressible, Random };

inline const char* kindName(Kind kind) {
  return kind == Kind::Uniform ? "uniform" : kind == Kind::Compressible ? "compressible" : "random";
}

inline Bytes makePayload(Kind kind, std::size_t size, unsigned seed = 7) {
  Bytes out(size);
  std::mt19937 rng(seed);
  const std::string text = "GET /bridge/orders?id=1042 HTTP/1.1 status=shipped qty=12; ";
  for (std::size_t i = 0; i < size; ++i) {
    if (kind == Kind::Uniform) out[i] = 'x';
    else if (kind == Kind::Random || rng() % 16 == 0) out[i] = static_cast<unsigned char>(rng());
    else out[i] = static_cast<unsigned char>(text[i % text.size()]);
  }
  return out;
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A zlib stream exactly as compress2 writes it at the given level.
inline Bytes zlibStream(const Bytes& plain, int level = Z_DEFAULT_COMPRESSION) {
  uLongf size = compressBound(plain.size());
  Bytes out(size);
  EXPECT_EQ(compress2(out.data(), &size, plain.data(), plain.size(), level), Z_OK);
  out.resize(size);
  return out;
}

// What a stored form must be: the ASCII header, then the zlib stream.
inline Bytes headerThen(const std::string& header, const Bytes& stream) {
  Bytes out = bytesOf(header);
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

inline Bytes storedForm(const Bytes& plain) {
  return headerThen("[DRAV_Z=" + std::to_string(plain.size()) + "]", zlibStream(plain));
}

// What zlib's own uncompress reads back from a stored form written by the
// library (whichever encoder wrote it), after checking that the header
// announces `plainLength`; empty with a test failure when it cannot.
inline Bytes zlibReadsBack(const Bytes& stored, std::size_t plainLength) {
  const std::string header = "[DRAV_Z=" + std::to_string(plainLength) + "]";
  if (stored.size() < header.size() || std::string(stored.begin(), stored.begin() + header.size()) != header) {
    ADD_FAILURE() << "the stored form does not begin with " << header;
    return {};
  }
  Bytes plain(plainLength + 1);  // one spare byte: a stream holding more shows up
  uLongf size = plain.size();
  int code = uncompress(plain.data(), &size, stored.data() + header.size(), stored.size() - header.size());
  EXPECT_EQ(code, Z_OK);
  plain.resize(code == Z_OK ? size : 0);
  return plain;
}

inline Bytes contentOf(const unsigned char* data, unsigned long length) {
  return length ? Bytes(data, data + length) : Bytes();
}
template <typename T>
Bytes contentOf(const T& holder) {
  return contentOf(holder.getData(), holder.getLength());
}

// Every test starts and ends at the default threshold: it is process-wide.
class CompressionTest : public ::testing::Test {
protected:
  void SetUp() override { DRAVCompression::DRAVCompressedData::setCompressionThreshold(0); }
  void TearDown() override { DRAVCompression::DRAVCompressedData::setCompressionThreshold(0); }
};

}  // namespace dravtest
