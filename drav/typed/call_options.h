// The per-call settings a typed call may carry beside its arguments: the
// single-sign-on token flag, an extra blob (from memory or from a file),
// the chunk size of the upload, and the streaming mode. A plain value; the
// client reads it when the call is made.
#pragma once

#include <drav/serialization/argument_list.h>

#include <string>

// What one typed call carries beside its arguments.
struct DRAVCallOptions {
  bool needSsoToken = false;  // "DRAVMethodNeedSsoToken: yes"
  // An extra blob sent after the arguments: `extraBlob` (borrowed, read
  // during the call only) or, when `extraBlobFile` is set, that file's bytes
  // (read into memory for the call: the transport sends from one buffer).
  const unsigned char* extraBlob = nullptr;
  unsigned long extraBlobSize = 0;
  std::string extraBlobFile;
  // Upload pieces: 0 sends the arguments in one piece. The transport always
  // sends a blob in pieces; without a size here they are kDefaultBlobChunk.
  unsigned long chunkSize = 0;
  static constexpr unsigned long kDefaultBlobChunk = 256 * 1024;
  // The mode sent in "DRAVStreamingMode". A client's stream() calls send
  // StreamingOut whatever this says; others default to StreamingNo.
  tag_StreamingMode streamingMode = StreamingNo;
  // The method may safely run twice: a call that may have reached the
  // bridge without an answer is sent again (DRAVHttpRequest::setRepeatable)
  // instead of failing with CallMayHaveRunException.
  bool repeatable = false;

  DRAVCallOptions& withSsoToken() {
    needSsoToken = true;
    return *this;
  }
  DRAVCallOptions& withExtraBlob(const unsigned char* data, unsigned long size) {
    extraBlob = data;
    extraBlobSize = size;
    return *this;
  }
  DRAVCallOptions& withExtraBlobFile(std::string path) {
    extraBlobFile = std::move(path);
    return *this;
  }
  DRAVCallOptions& chunked(unsigned long size) {
    chunkSize = size;
    return *this;
  }
  DRAVCallOptions& asRepeatable() {
    repeatable = true;
    return *this;
  }
  DRAVCallOptions& streaming(tag_StreamingMode mode) {
    streamingMode = mode;
    return *this;
  }
};
