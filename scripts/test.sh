#!/usr/bin/env bash
# The test command: installs what is missing, builds, and runs every suite:
# Linux, the installed package from a consumer project and the service unit
# against it, the sanitizer build, the bounded fuzz run, and (when its script
# is present) the Windows build under Wine. Any failure or sanitizer report
# fails the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${DRAV_BUILD_ROOT:-$root/build}
jobs=${DRAV_JOBS:-$(nproc)}
cd "$root"

stage() { printf '\n==== %s ====\n' "$*"; }

stage "dependencies"
scripts/install-deps.sh

stage "Linux build and tests"
cmake -S . -B "$build/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAV_BUILD_BENCH=ON >/dev/null
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
scripts/examples-test.sh "$build"
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

stage "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B "$build/asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDRAV_SANITIZE=ON -DDRAV_BUILD_TOOLS=ON >/dev/null
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
