#!/usr/bin/env bash
# The Windows build: cross-compiles the library with mingw-w64 for 64-bit
# Windows and runs its test suites under Wine (against Wine's own WinINet and
# OLE Automation), then compiles and links the 32-bit build without running
# it (this host's Wine runs 64-bit programs only) and checks that its
# installed tree carries the GCC run-time DLLs it imports. Any failure fails
# the run.
#   scripts/windows-test.sh [BUILD_ROOT]    (default: ./build; uses win64/, win32/)
# The HTTP, HTTPS and proxy peers of the tests run as a Linux program
# (drav_test_server), taken from BUILD_ROOT/linux when the Linux build is
# there, else built in BUILD_ROOT/win-peers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
jobs=${DRAV_JOBS:-$(nproc)}

stage() { printf -- '-- %s\n' "$*"; }

# configure DIR TOOLCHAIN BUILD_TYPE [OPTION...]: tools are host programs
# (test servers, code generators) and are not cross-built.
configure() {
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE="$3" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" -DDRAV_BUILD_TOOLS=OFF "${@:4}" >/dev/null
}

cleanups=()
cleanup() { local i; for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done; }
trap cleanup EXIT

stage "64-bit: build"
# Line tables only (-g1): enough for a backtrace, a quarter off the compile time.
configure "$build/win64" toolchain-mingw64.cmake RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build "$build/win64" -j "$jobs"

stage "64-bit: test peers"
peers="$build/linux"
if [ ! -f "$peers/build.ninja" ]; then
  peers="$build/win-peers"
  cmake -S "$root" -B "$peers" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRAV_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$peers" --target drav_test_server -j "$jobs"
server=$(find "$peers/tests" -name drav_test_server -type f -perm -u+x | head -n 1)
peer_env="$build/win64/test-peers.env"
rm -f "$peer_env"
# The server stops when its standard input ends: this watcher ends it with
# the script, however the script ends; the trap stops it at once.
"$server" --proxy >"$peer_env" 2>"$build/win64/test-peers.log" \
  < <(while kill -0 $$ 2>/dev/null; do sleep 1; done) &
peer_pid=$!
cleanups+=("kill $peer_pid 2>/dev/null; wait $peer_pid 2>/dev/null")
for _ in $(seq 100); do
  grep -q '^DRAV_TEST_PROXY=' "$peer_env" 2>/dev/null && break
  kill -0 "$peer_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^DRAV_TEST_PROXY=' "$peer_env" 2>/dev/null; then
  echo "drav_test_server did not start:" >&2
  cat "$build/win64/test-peers.log" >&2
  exit 1
fi
while IFS= read -r line; do
  export "${line?}"
done <"$peer_env"

stage "64-bit: tests under Wine"
# A fresh prefix each run, so that no state of an earlier run (cookies,
# registry) leaks into this one. Mono and Gecko are not needed: skip their
# installers.
export WINEPREFIX="$build/win64/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
# A wineserver started by the first test would outlive it and hold ctest's
# output pipe open, so ctest would never finish: start a persistent one
# first, detached from our output, and stop it whatever happens.
cleanups+=("wineserver -k </dev/null >/dev/null 2>&1")
wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start" >&2; exit 1; }
wine wineboot </dev/null >/dev/null 2>&1 || { echo "wineboot failed in $WINEPREFIX" >&2; exit 1; }
ctest --test-dir "$build/win64" --output-on-failure -j "$jobs"

stage "64-bit: installed package from a consumer project (through dravCommon.dll)"
rm -rf "$build/win64-stage" "$build/win64-consumer"
cmake --install "$build/win64" --prefix "$build/win64-stage" >/dev/null
cmake -S "$root/packaging/consumer" -B "$build/win64-consumer" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DdravCommon_DIR="$build/win64-stage/lib/cmake/dravCommon" >/dev/null
cmake --build "$build/win64-consumer"
cp "$build/win64-stage/bin/dravCommon.dll" "$build/win64-consumer/"
wine "$build/win64-consumer/consumer.exe" </dev/null
# The bridge host is built on Linux only: asking this package for it fails
# find_package with the reason.
if refusal=$(cmake -S "$root/examples/bridge" -B "$build/win64-host-refused" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DdravCommon_DIR="$build/win64-stage/lib/cmake/dravCommon" 2>&1); then
  echo "find_package(dravCommon COMPONENTS host) succeeded for Windows" >&2
  exit 1
fi
grep -q "this dravCommon has no host component" <<<"$refusal" || { echo "$refusal" >&2; exit 1; }

stage "32-bit: build (not run)"
# The library alone, without optimisation or debug information: it is never
# run, the tests already compile with a 32-bit long in the 64-bit build, and
# the optimiser's warnings come from there too (40 s instead of 4 minutes).
configure "$build/win32" toolchain-mingw32.cmake "" -DDRAV_BUILD_TESTS=OFF
cmake --build "$build/win32" -j "$jobs"

stage "32-bit: installed tree with the GCC run-time DLLs beside dravCommon.dll"
# 32-bit exceptions only cross the DLL boundary through a shared libgcc: the
# DLL must import it, and every mingw DLL it imports must be installed with it.
rm -rf "$build/win32-stage"
cmake --install "$build/win32" --prefix "$build/win32-stage" >/dev/null
bin="$build/win32-stage/bin"
imports=$(i686-w64-mingw32-objdump -p "$bin/dravCommon.dll" | sed -n 's/^\tDLL Name: //p')
grep -qx 'libgcc_s_dw2-1.dll' <<<"$imports" || { echo "32-bit dravCommon.dll does not import libgcc_s_dw2-1.dll" >&2; exit 1; }
for dll in $(grep '^lib' <<<"$imports"); do
  [ -f "$bin/$dll" ] || { echo "32-bit dravCommon.dll imports $dll, which is not installed beside it" >&2; exit 1; }
  for inner in $(i686-w64-mingw32-objdump -p "$bin/$dll" | sed -n 's/^\tDLL Name: \(lib.*\)/\1/p'); do
    [ -f "$bin/$inner" ] || { echo "$dll imports $inner, which is not installed beside it" >&2; exit 1; }
  done
done
