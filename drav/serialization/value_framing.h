// Where a value ends on the wire, for readers that find its end before they
// decode it: after its tag, the fixed-size payload of a number or Bool, a
// 32-bit length and a block for text, bytes and objects, or nothing for an
// empty value or a tag this side does not know. Not a public API.
#pragma once

namespace DRAV::detail {

// The payload width of a fixed-size kind (1, 2, 4 or 8 bytes), else 0.
unsigned long fixedPayloadWidth(unsigned long tag);
// Whether a value of this tag carries a length and a block (text, bytes, objects).
bool carriesBlock(unsigned long tag);

}  // namespace DRAV::detail
