#include <drav/serialization/param_index.h>

#include <drav/common/wire_width.h>

ParamIndex::ParamIndex(unsigned long max, bool forward)
    : max_(DRAV::detail::toWireULong(max, "parameter count")), current_(forward ? 0 : max_), forward_(forward) {}

unsigned long ParamIndex::next() {
  if (forward_) return current_ < max_ ? current_++ : max_;
  return current_ == 0 ? 0 : --current_;
}

unsigned long ParamIndex::prev() {
  if (forward_) return current_ > 0 ? current_-- : 0;
  return current_ < max_ ? ++current_ : max_;
}
