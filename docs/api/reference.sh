#!/bin/sh
# Builds the API reference and checks Doxygen's warnings: every header,
# class, free function and macro has its comment and every comment reads
# cleanly. A class member may go without a comment of its own (a getter
# named for what it gets needs none): that warning alone is let through.
#   reference.sh DOXYGEN DOXYFILE WARNING_LOG
set -eu
"$1" "$2"
faults=$(grep -v -E 'warning: Member .* of (class|struct|union) .* is not documented\.$' "$3" | grep . || true)
if [ -n "$faults" ]; then
  printf '%s\n' "$faults" >&2
  echo "the API reference has $(printf '%s\n' "$faults" | grep -c 'warning:') warnings (above)" >&2
  exit 1
fi
echo "API reference: $(dirname "$3")/html/index.html"
