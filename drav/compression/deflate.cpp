#include <drav/compression/deflate.h>

#include <zlib.h>

#include <algorithm>
#include <memory>
#include <new>

#ifdef DRAV_HAVE_LIBDEFLATE
#include <libdeflate.h>
#endif
#ifdef DRAV_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

namespace DRAVCompression::detail {

namespace {

// Level 5 is the fastest level whose output stays within 2% of zlib's default
// level on real payloads: on 8 MiB of text 1.016x zlib's size at 2.4-2.9x its
// speed, on 8 MiB of a program binary 0.998x at 3.0-3.4x (level 6: 1.000x and
// 0.992x, but only 2.1-2.3x on text).
constexpr int kThoroughLevel = 5;
// The fastest level of libdeflate and of zlib: on 64 MiB of source text
// libdeflate writes 240 MB/s at a ratio of 0.28, zlib 120 MB/s at 0.32.
constexpr int kFastLevel = 1;

int zlibDeflate(unsigned char* out, std::size_t room, std::size_t& produced, const unsigned char* in,
                std::uint32_t inLength, int level) {
  uLongf size = static_cast<uLongf>(std::min<std::size_t>(room, 0xFFFFFFFFu));
  int code = compress2(out, &size, in, inLength, level);
  produced = code == Z_OK ? size : 0;
  return code;
}

}  // namespace

struct Deflater::State {
#ifdef DRAV_HAVE_LIBDEFLATE
  libdeflate_compressor* compressor = nullptr;
#endif
#ifdef DRAV_HAVE_ISAL
  // Level 1 matches over 32 KiB with a hash table and a token buffer of its
  // own; the default buffer size is the one ISA-L is fastest with.
  std::unique_ptr<isal_zstream> stream;
  std::unique_ptr<unsigned char[]> levelBuffer;
#endif
};

Deflater::Deflater(Effort effort) : effort_(effort), state_(nullptr) {
#ifdef DRAV_HAVE_ISAL
  if (effort == Effort::Fast) {
    std::unique_ptr<State> state(new State);
    state->stream.reset(new isal_zstream);
    state->levelBuffer.reset(new unsigned char[ISAL_DEF_LVL1_DEFAULT]);
    state_ = state.release();
    return;
  }
#endif
#ifdef DRAV_HAVE_LIBDEFLATE
  libdeflate_compressor* compressor =
      libdeflate_alloc_compressor(effort == Effort::Fast ? kFastLevel : kThoroughLevel);
  if (!compressor) throw std::bad_alloc();
  state_ = new State;
  state_->compressor = compressor;
#endif
}

Deflater::~Deflater() {
#ifdef DRAV_HAVE_LIBDEFLATE
  if (state_ && state_->compressor) libdeflate_free_compressor(state_->compressor);
#endif
  delete state_;
}

std::uint64_t Deflater::bound(std::uint32_t plainLength) const {
  // zlib's bound covers a stored block of at most 64 KiB for every 4 KiB of
  // input over (ISA-L's worst case: stored blocks behind the zlib wrapper).
  std::uint64_t room = compressBound(plainLength);
#ifdef DRAV_HAVE_LIBDEFLATE
  if (state_ && state_->compressor)
    room = std::max<std::uint64_t>(room, libdeflate_zlib_compress_bound(state_->compressor, plainLength));
#endif
  return room;
}

int Deflater::deflate(unsigned char* out, std::size_t room, std::size_t& produced, const unsigned char* in,
                      std::uint32_t inLength) {
  produced = 0;
#ifdef DRAV_HAVE_ISAL
  if (state_ && state_->stream) {
    isal_zstream& s = *state_->stream;
    isal_deflate_stateless_init(&s);
    s.next_in = const_cast<unsigned char*>(in);
    s.avail_in = inLength;
    s.next_out = out;
    s.avail_out = static_cast<std::uint32_t>(std::min<std::size_t>(room, 0xFFFFFFFFu));
    s.level = 1;
    s.level_buf = state_->levelBuffer.get();
    s.level_buf_size = ISAL_DEF_LVL1_DEFAULT;
    s.gzip_flag = IGZIP_ZLIB;
    s.end_of_stream = 1;
    s.flush = NO_FLUSH;
    const int code = isal_deflate_stateless(&s);
    if (code == STATELESS_OVERFLOW) return Z_BUF_ERROR;
    if (code != COMP_OK) return Z_STREAM_ERROR;
    produced = s.total_out;
    return Z_OK;
  }
#endif
#ifdef DRAV_HAVE_LIBDEFLATE
  if (state_ && state_->compressor) {
    produced = libdeflate_zlib_compress(state_->compressor, in, inLength, out, room);
    return produced == 0 ? Z_BUF_ERROR : Z_OK;
  }
#endif
  return zlibDeflate(out, room, produced, in, inLength,
                     effort_ == Effort::Fast ? kFastLevel : Z_DEFAULT_COMPRESSION);
}

}  // namespace DRAVCompression::detail
