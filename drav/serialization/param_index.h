// ParamIndex: a cursor over parameter positions 0 .. max-1, forwards or
// backwards. Counts in 32 bits on every host.
#pragma once

#include <drav/export.h>

#include <cstdint>

class DRAV_EXPORT ParamIndex {
public:
  // max above 32 bits is refused with DRAVException.
  ParamIndex(unsigned long max, bool forward);

  unsigned long first() const { return forward_ ? 0 : std::uint32_t(max_ - 1); }
  unsigned long last() const { return forward_ ? std::uint32_t(max_ - 1) : 0; }
  unsigned long curr() const { return current_; }
  unsigned long getMaxIndex() const { return max_; }
  // Forward: 0, 1, ..., max-1, then max for ever. Backward: max-1, ..., 0, then 0.
  unsigned long next();
  unsigned long prev();

private:
  std::uint32_t max_;
  std::uint32_t current_;
  bool forward_;
};
