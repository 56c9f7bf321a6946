#!/usr/bin/env bash
# The README's build-and-install commands on a machine without GoogleTest:
# its configure command, as the README spells it, with GoogleTest hidden
# from CMake, must succeed and plan no test program. (Building and
# installing the rest is what the Linux build and the installed-package
# stage do already.)
#   scripts/readme-install-test.sh BUILD
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$1/readme-install"
cd "$root"

# The first cmake -S line of an sh block under the heading.
configure=$(awk '/^## Installing/ {section = 1}
                 section && /^```sh/ {block = 1; next}
                 block && /^```/ {block = 0}
                 block && /^cmake -S / {print; exit}' README.md)
[ -n "$configure" ] || { echo "README.md: no cmake -S command under 'Installing'" >&2; exit 1; }
# Only its build folder is moved, so that every word of it is the README's.
read -r -a words <<<"$configure"
for i in "${!words[@]}"; do
  [ "${words[$i]}" = "-B" ] && words[$((i + 1))]="$out"
done
rm -rf "$out"
"${words[@]}" --no-warn-unused-cli -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON >/dev/null ||
  { echo "README.md: '$configure' fails without GoogleTest" >&2; exit 1; }
if cmake --build "$out" --target help | grep -q 'test_'; then
  echo "README.md: '$configure' builds the test programs" >&2
  exit 1
fi
echo "README.md's install commands need no GoogleTest"
