// Byte-vector helpers for wire tests: hex literals in, hex text out.
#pragma once

#include <drav/serialization/output_stream.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace dravtest {

using Bytes = std::vector<unsigned char>;

// "00 01 ab" -> {0x00, 0x01, 0xab}; spaces are ignored.
Bytes hex(const std::string& text);
std::string toHex(const unsigned char* data, std::size_t length);
inline std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

// The values a stream holds after its byte-order marker.
Bytes payload(const DRAVDataOutputStream& out);
// What `write` appends to a memory stream whose buffer has only `room`
// bytes left: the writers' paths across the end of the buffer.
Bytes appendedWithRoom(unsigned long room, const std::function<void(DRAVDataOutputStream&)>& write);
// A whole message: the host's marker followed by `values`.
Bytes withMarker(const Bytes& values);

}  // namespace dravtest
