#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every suite:
# Linux (with the API reference and the manual pages), the installed package
# from a consumer project and the service unit against it, the Debian
# packages (lintian, then installed, used and purged on a throw-away copy of
# the machine: needs root), the sanitizer build, the bounded fuzz run, and
# (when its script is present) the Windows build under Wine. Any failure or
# sanitizer report fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DRAV_BUILD_ROOT:-$root/build}
jobs=${DRAV_JOBS:-$(nproc)}
cd "$root"

stage() { printf '\n==== %s ====\n' "$*"; }

stage "dependencies"
scripts/install-deps.sh

stage "Linux build and tests"
# Line tables only (-g1): backtraces keep their lines, the compile loses a
# quarter of its time (a host test: 10.2 s of CPU with -g, 7.4 s with -g1).
cmake -S . -B "$build/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAV_BUILD_BENCH=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" >/dev/null
cmake --build "$build/linux" -j "$jobs"
ctest --test-dir "$build/linux" --output-on-failure -j "$jobs"

stage "installed package"
rm -rf "$build/stage" "$build/consumer"
cmake --install "$build/linux" --prefix "$build/stage" >/dev/null
cmake -S packaging/consumer -B "$build/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$build/stage" >/dev/null
cmake --build "$build/consumer"
LD_LIBRARY_PATH="$build/stage/lib" "$build/consumer/consumer"
PKG_CONFIG_PATH="$build/stage/lib/pkgconfig" \
  g++ -std=c++17 packaging/consumer/consumer.cpp $(PKG_CONFIG_PATH="$build/stage/lib/pkgconfig" pkg-config --cflags --libs dravCommon) \
  -o "$build/consumer/consumer-pc"
LD_LIBRARY_PATH="$build/stage/lib" "$build/consumer/consumer-pc"
# The staged programs find their libraries, and dravbridge its sample
# bridge, where the installation put them, whatever the prefix (the examples
# are built and served against the Debian packages below).
"$build/stage/bin/dravbridge" --port 0 >"$build/stage/dravbridge.out" 2>&1 &
staged=$!
for _ in $(seq 1 100); do  # up to 10 s for it to listen
  port=$(sed -n 's/^dravbridge: listening on port //p' "$build/stage/dravbridge.out")
  [ -n "$port" ] && break
  kill -0 "$staged" 2>/dev/null || break
  sleep 0.1
done
answer=$("$build/stage/bin/dravcall" "http://127.0.0.1:${port:-0}/bridges/sample" sample echo int:5 || true)
kill "$staged" 2>/dev/null; wait "$staged" || true
[ "$answer" = $'0 Int 5\nstatus 0 "no error detected" (sample, echo)' ] ||
  { echo "the staged dravbridge and dravcall: $answer" >&2; cat "$build/stage/dravbridge.out" >&2; exit 1; }
scripts/readme-install-test.sh "$build"
# The service unit, pointed at the staged dravbridge (verify wants a program
# that exists); verify reports bad values and unknown keys without failing,
# so anything it says fails the run.
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$build/systemd"
  sed "s|^ExecStart=/usr/bin/dravbridge |ExecStart=$build/stage/bin/dravbridge |" \
    packaging/systemd/dravbridge.service >"$build/systemd/dravbridge.service"
  # Its Documentation= pages are the staged ones.
  verdict=$(MANPATH="$build/stage/share/man" systemd-analyze verify "$build/systemd/dravbridge.service" 2>&1) &&
    [ -z "$verdict" ] ||
    { echo "packaging/systemd/dravbridge.service: $verdict" >&2; exit 1; }
else
  echo "systemd-analyze is not installed (Debian systemd): the service unit is not checked"
fi

stage "Debian packages"
scripts/debian-packages.sh "$build"

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
# With clang: its instrumented compile takes a third less time than gcc's
# (the whole tree: 336 s of CPU against 522 s), and its undefined-behaviour
# checks include enumeration values out of range.
CC=clang CXX=clang++ cmake -S . -B "$build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRAV_SANITIZE=ON \
  -DDRAV_BUILD_TOOLS=ON >/dev/null
cmake --build "$build/asan" -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:abort_on_error=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir "$build/asan" --output-on-failure -j "$jobs"

stage "fuzzing"
scripts/fuzz.sh "$build/fuzz"

if [ -x scripts/windows-test.sh ]; then
  stage "Windows build under Wine"
  scripts/windows-test.sh "$build"
fi

stage "all suites passed"
