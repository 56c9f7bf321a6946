#include <drav/compression/inflate.h>

#include <zlib.h>

#ifdef DRAV_HAVE_LIBDEFLATE
#include <libdeflate.h>

#include <memory>
#include <new>
#endif

namespace DRAVCompression::detail {

int zlibInflateExactly(unsigned char* out, std::uint32_t plainLength, const unsigned char* in, std::size_t inLength) {
  // An empty payload still gets one byte of room, so that a stream holding
  // more is told apart the same way as for any other announced length.
  unsigned char spare;
  uLongf produced = plainLength ? plainLength : 1;
  int code = ::uncompress(plainLength ? out : &spare, &produced, in, static_cast<uLong>(inLength));
  if (code != Z_OK) return code;
  if (produced > plainLength) return Z_BUF_ERROR;
  // A stream that ends short of the announced length is as corrupt as a bad checksum.
  if (produced < plainLength) return Z_DATA_ERROR;
  return Z_OK;
}

#ifdef DRAV_HAVE_LIBDEFLATE

namespace {
struct FreeDecompressor {
  void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};
}  // namespace

int inflateExactly(unsigned char* out, std::uint32_t plainLength, const unsigned char* in, std::size_t inLength) {
  std::unique_ptr<libdeflate_decompressor, FreeDecompressor> decompressor(libdeflate_alloc_decompressor());
  if (!decompressor) throw std::bad_alloc();
  unsigned char spare;
  std::size_t produced = 0;
  libdeflate_result result =
      libdeflate_zlib_decompress(decompressor.get(), in, inLength, plainLength ? out : &spare, plainLength, &produced);
  if (result == LIBDEFLATE_SUCCESS && produced == plainLength) return Z_OK;
  // Refusals are rare and cost one more pass: zlib names them, so a refused
  // stream gets the very message it got before libdeflate decoded payloads
  // (the two decoders notice some faults at different points).
  return zlibInflateExactly(out, plainLength, in, inLength);
}

#else

int inflateExactly(unsigned char* out, std::uint32_t plainLength, const unsigned char* in, std::size_t inLength) {
  return zlibInflateExactly(out, plainLength, in, inLength);
}

#endif

}  // namespace DRAVCompression::detail
