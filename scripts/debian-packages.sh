#!/usr/bin/env bash
# The Debian packages, made from the Linux build of the test command
# (BUILD/linux: its binaries, not a second compilation) with this tree's
# debian/ folder, in BUILD/packages; checked with lintian, whose errors fail
# the run; then installed, used and purged on a throw-away copy of this
# machine (scripts/debian-packages-use.sh). Needs root.
#   scripts/debian-packages.sh BUILD
# (A build of its own, from the tree alone: dpkg-buildpackage -b -uc -us.)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
out="$build/packages"
tree="$build/linux"

# dpkg-buildpackage writes beside and into the folder it packages: a copy
# of the sources the packages take files from, in the build folder.
rm -rf "$out"
mkdir -p "$out/source"
cp -a "$root/debian" "$root/packaging" "$out/source/"

version=$(dpkg-parsechangelog -l "$root/debian/changelog" -SVersion)
project=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tree/CMakeCache.txt")
[ "$version" = "$project" ] || {
  echo "debian/changelog is at version $version, the project (CMakeLists.txt) at $project" >&2
  exit 1
}

# No debug-symbol packages (the test command installs none) and no test run
# (the suites ran on these binaries).
(cd "$out/source" &&
  DRAV_BUILD_TREE="$tree" DEB_BUILD_OPTIONS="noautodbgsym nocheck" \
    dpkg-buildpackage -b -uc -us >"$out/build.log" 2>&1) ||
  { tail -40 "$out/build.log" >&2; echo "dpkg-buildpackage failed (log: $out/build.log)" >&2; exit 1; }

lintian --fail-on error --info "$out"/*.changes >"$out/lintian.log" 2>&1 ||
  { cat "$out/lintian.log" >&2; echo "lintian found errors in the packages" >&2; exit 1; }
grep -E '^[EW]: ' "$out/lintian.log" || true

# Installed, used and purged on a copy of this machine; what the purge left
# in the system's folders is what dpkg, the dynamic linker and man keep
# about packages come and gone, and the user dravbridge (as Debian keeps
# system users: files elsewhere may be its own).
"$root/scripts/throwaway-root.sh" "$out/left-behind" "$root/scripts/debian-packages-use.sh" "$build"
kept='^(var/lib/dpkg/|var/log/(dpkg|alternatives)\.log$|var/cache/(debconf|man|ldconfig)/|etc/ld\.so\.cache$|etc/(passwd|group|shadow|gshadow)-?$|etc/\.pwd\.lock$)'
if grep -Ev "$kept" "$out/left-behind"; then
  echo "the packages left the files above behind after their purge" >&2
  exit 1
fi
