#!/usr/bin/env bash
# The Windows build: cross-compiles the library and its test programs with
# mingw-w64 for 64-bit and for 32-bit Windows and runs the same suites for
# both under Wine (against Wine's own WinINet and OLE Automation), each in a
# Wine prefix of its own and against test peers of its own; then builds the
# consumer project against each installed package and runs it, and checks
# that the 32-bit installed tree carries the GCC run-time DLLs it imports.
# Any failure fails the run.
#   scripts/windows-test.sh [BUILD_ROOT]    (default: ./build; uses win64/, win32/)
# The HTTP, HTTPS and proxy peers of the tests run as a Linux program
# (drav_test_server), taken from BUILD_ROOT/linux when the Linux build is
# there, else built in BUILD_ROOT/win-peers.
#
# To keep the stage short on two cores, what does not depend on a build runs
# beside it: both Wine prefixes boot while the code compiles, and the 64-bit
# suites run while the 32-bit programs compile and then beside the 32-bit
# suites (their peers are separate, so the two runs share nothing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(mkdir -p "${1:-$root/build}" && cd "${1:-$root/build}" && pwd)
jobs=${DRAV_JOBS:-$(nproc)}
arches=(win64 win32)

# Some kernels (virtual machines without 32-bit x86 support) cannot run the
# 32-bit Wine loader, and Debian's `wine` picks it whenever wine32 is there.
# Then `wine` is the 64-bit loader, and the 32-bit programs are built (and
# their DLL imports checked) but not run.
if ! /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo "this machine cannot run 32-bit x86 programs: the 32-bit suites are built, not run"
  arches=(win64)
  mkdir -p "$build/wine64-only"
  printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$build/wine64-only/wine"
  chmod +x "$build/wine64-only/wine"
  export PATH="$build/wine64-only:$PATH" WINELOADER=/usr/lib/wine/wine64
fi
runs() { [[ " ${arches[*]} " == *" $1 "* ]]; }

stage() { printf -- '-- %s (%s)\n' "$*" "$(date +%T)"; }

cleanups=()
cleanup() { local i; for ((i = ${#cleanups[@]} - 1; i >= 0; i--)); do eval "${cleanups[i]}" || true; done; }
trap cleanup EXIT

# The Wine environment of one build. 64-bit: a win64 prefix. 32-bit: a
# pure win32 prefix (WINEARCH=win32), as on the 32-bit Windows the library
# was first written for; it also boots in half the time of a WoW64 prefix,
# which would install both sets of DLLs. Mono and Gecko are not needed:
# their installers are skipped.
wine_env() {
  export WINEPREFIX="$build/$1/wineprefix" WINEARCH="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
}

# A fresh prefix each run, so that no state of an earlier run (cookies,
# registry) leaks into this one. A wineserver started by the first test
# would outlive it and hold ctest's output pipe open, so ctest would never
# finish: a persistent one is started first, detached from our output, and
# stopped whatever happens.
boot_prefix() (
  wine_env "$1"
  rm -rf "$WINEPREFIX" && mkdir -p "$WINEPREFIX"
  wineserver -p </dev/null >/dev/null 2>&1 || { echo "wineserver did not start for $1" >&2; exit 1; }
  wine wineboot </dev/null >/dev/null 2>&1 || { echo "wineboot failed in $WINEPREFIX" >&2; exit 1; }
)

# configure ARCH BUILD_TYPE [OPTION...]: tools are host programs (test
# servers, code generators) and are not cross-built.
configure() {
  cmake -S "$root" -B "$build/$1" -G Ninja -DCMAKE_BUILD_TYPE="$2" \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw${1#win}.cmake" -DDRAV_BUILD_TOOLS=OFF -DDRAV_BUILD_TESTS=ON "${@:3}" >/dev/null
}

# start_peers ARCH: a drav_test_server of its own, whose DRAV_TEST_* lines
# land in ARCH/test-peers.env. It stops when its standard input ends: this
# watcher ends it with the script, however the script ends; the trap stops
# it at once.
start_peers() {
  local env="$build/$1/test-peers.env" log="$build/$1/test-peers.log" pid
  rm -f "$env"
  "$server" --proxy >"$env" 2>"$log" < <(while kill -0 $$ 2>/dev/null; do sleep 1; done) &
  pid=$!
  cleanups+=("kill $pid 2>/dev/null; wait $pid 2>/dev/null")
  for _ in $(seq 100); do
    grep -q '^DRAV_TEST_PROXY=' "$env" 2>/dev/null && return 0
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "drav_test_server did not start for $1:" >&2
  cat "$log" >&2
  return 1
}

# run_suites ARCH: every test program of that build under Wine, against its
# peers; the output goes to ARCH/suites.log, shown when a suite fails.
run_suites() (
  wine_env "$1"
  while IFS= read -r line; do export "${line?}"; done <"$build/$1/test-peers.env"
  local started=$SECONDS
  if ctest --test-dir "$build/$1" --output-on-failure -j "$jobs" >"$build/$1/suites.log" 2>&1; then
    echo "$1 suites passed in $((SECONDS - started)) s: $(grep -c 'Passed' "$build/$1/suites.log") programs"
  else
    cat "$build/$1/suites.log" >&2
    echo "$1 suites failed" >&2
    exit 1
  fi
)

# consumer ARCH: the consumer project built against the installed package
# and run, finding the DLLs where they were installed.
consumer() (
  local stage="$build/$1-stage" out="$build/$1-consumer"
  rm -rf "$stage" "$out"
  cmake --install "$build/$1" --prefix "$stage" >/dev/null
  cmake -S "$root/packaging/consumer" -B "$out" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw${1#win}.cmake" \
    -DdravCommon_DIR="$stage/lib/cmake/dravCommon" >/dev/null
  cmake --build "$out"
  runs "$1" || return 0
  wine_env "$1"
  WINEPATH="$stage/bin" wine "$out/consumer.exe" </dev/null
)

stage "Wine prefixes (booting beside the builds)"
pids=()
for arch in "${arches[@]}"; do
  mkdir -p "$build/$arch"
  cleanups+=("WINEPREFIX='$build/$arch/wineprefix' wineserver -k </dev/null >/dev/null 2>&1")
  boot_prefix "$arch" &
  pids+=("$arch:$!")
done
wait_boots() {
  local entry
  for entry in "${pids[@]}"; do wait "${entry#*:}" || { echo "the ${entry%%:*} prefix did not boot" >&2; exit 1; }; done
  pids=()
}

stage "test peers"
peers="$build/linux"
if [ ! -f "$peers/build.ninja" ]; then
  peers="$build/win-peers"
  cmake -S "$root" -B "$peers" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRAV_BUILD_TOOLS=OFF >/dev/null
fi
cmake --build "$peers" --target drav_test_server -j "$jobs"
server=$(find "$peers/tests" -name drav_test_server -type f -perm -u+x | head -n 1)
for arch in "${arches[@]}"; do start_peers "$arch"; done

stage "64-bit: build"
# Line tables only (-g1): enough for a backtrace, a quarter off the compile time.
configure win64 RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
cmake --build "$build/win64" -j "$jobs"

wait_boots
stage "64-bit: suites under Wine, beside the 32-bit build"
run_suites win64 &
win64_suites=$!

stage "32-bit: build"
# Without optimisation or debug information: the optimiser's warnings come
# from the 64-bit build already (the library alone compiled in 40 s instead
# of 4 minutes so).
configure win32 ""
cmake --build "$build/win32" -j "$jobs"

if runs win32; then
  stage "32-bit: suites under Wine"
  run_suites win32 || { wait "$win64_suites" || true; exit 1; }
fi
wait "$win64_suites"

stage "installed packages from a consumer project (through dravCommon.dll)"
for arch in win64 win32; do consumer "$arch"; done
# The bridge host is built on Linux only: asking this package for it fails
# find_package with the reason.
if refusal=$(cmake -S "$root/examples/bridge" -B "$build/win64-host-refused" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
  -DdravCommon_DIR="$build/win64-stage/lib/cmake/dravCommon" 2>&1); then
  echo "find_package(dravCommon COMPONENTS host) succeeded for Windows" >&2
  exit 1
fi
grep -q "this dravCommon has no host component" <<<"$refusal" || { echo "$refusal" >&2; exit 1; }

stage "32-bit: installed tree with the GCC run-time DLLs beside dravCommon.dll"
# 32-bit exceptions only cross the DLL boundary through a shared libgcc: the
# DLL must import it, and every mingw DLL it imports must be installed with it.
bin="$build/win32-stage/bin"
imports=$(i686-w64-mingw32-objdump -p "$bin/dravCommon.dll" | sed -n 's/^\tDLL Name: //p')
grep -qx 'libgcc_s_dw2-1.dll' <<<"$imports" || { echo "32-bit dravCommon.dll does not import libgcc_s_dw2-1.dll" >&2; exit 1; }
for dll in $(grep '^lib' <<<"$imports"); do
  [ -f "$bin/$dll" ] || { echo "32-bit dravCommon.dll imports $dll, which is not installed beside it" >&2; exit 1; }
  for inner in $(i686-w64-mingw32-objdump -p "$bin/$dll" | sed -n 's/^\tDLL Name: \(lib.*\)/\1/p'); do
    [ -f "$bin/$inner" ] || { echo "$dll imports $inner, which is not installed beside it" >&2; exit 1; }
  done
done
stage "Windows stage passed"
