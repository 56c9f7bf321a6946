#!/usr/bin/env bash
# The examples as users build them, against an installed package: the
# greeter and toolbox bridge plugins (CMake, and the greeter with pkg-config
# dravHost) and their clients, typed and low-level. The installed dravbridge
# serves the plugins beside its own sample bridge; dravcall and the clients
# call them, with exact output, directly and behind nginx (the e2e suite's
# site test, BUILD/linux).
#   scripts/examples-test.sh BUILD [PREFIX]
# PREFIX is where the package is installed: BUILD/stage (cmake --install
# after the Linux build) unless given (/usr for the Debian packages).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
prefix=${2:-$build/stage}
out="$build/examples"
cd "$root"

rm -rf "$out"
# Each installed header of the bridge SDK compiles on its own, from the
# installed headers alone.
for header in "$prefix"/include/drav/host/*.h; do
  echo "#include <drav/host/${header##*/}>" |
    g++ -std=c++17 -fsyntax-only -x c++ - $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags dravHost) ||
    { echo "the installed $header does not compile on its own" >&2; exit 1; }
done
for example in bridge client; do
  cmake -S "examples/$example" -B "$out/$example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$out/$example"
done
mkdir -p "$out/pc"
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" \
  g++ -std=c++17 -shared -fPIC examples/bridge/greeter_bridge.cpp \
  $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs dravHost) -o "$out/pc/libgreeter.so"
# dravHost's flags hold both include folders of the package, and so does
# the build line without pkg-config of docs/writing-bridges.md (run here
# against the stage).
PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags dravHost | grep -q -- "-I[^ ]*/include/drav-win32" ||
  { echo "pkg-config --cflags dravHost lacks include/drav-win32" >&2; exit 1; }
by_hand=$(grep -m1 '^g++ .* -I/usr/local/include/drav-win32 ' docs/writing-bridges.md) ||
  { echo "docs/writing-bridges.md: no build line without pkg-config" >&2; exit 1; }
by_hand=${by_hand//\/usr\/local/$prefix}
by_hand=${by_hand/ greeter_bridge.cpp / examples/bridge/greeter_bridge.cpp }
by_hand=${by_hand/ -o libgreeter.so/ -o $out/pc/libgreeter-by-hand.so}
eval "$by_hand" || { echo "docs/writing-bridges.md's build line without pkg-config fails: $by_hand" >&2; exit 1; }

bridge_pid=
cleanup() { [ -n "$bridge_pid" ] && kill "$bridge_pid" 2>/dev/null && wait "$bridge_pid" 2>/dev/null; true; }
trap cleanup EXIT
# The installed programs find their libraries, and dravbridge its sample
# bridge, where the installation put them: no LD_LIBRARY_PATH.
"$prefix/bin/dravbridge" --port 0 --path /bridges/sample --bridge "$out/bridge/libgreeter.so" \
  --bridge "$out/bridge/libtoolbox.so" --bridge "$out/pc/libgreeter.so=/pc/greeter" >"$out/dravbridge.out" 2>&1 &
bridge_pid=$!
port=
for _ in $(seq 1 100); do  # up to 10 s for the host to listen
  port=$(sed -n 's/^dravbridge: listening on port //p' "$out/dravbridge.out")
  [ -n "$port" ] && break
  kill -0 "$bridge_pid" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { echo "the installed dravbridge did not start:" >&2; cat "$out/dravbridge.out" >&2; exit 1; }
url="http://127.0.0.1:$port"

expect() {  # expect WHAT EXPECTED ACTUAL
  [ "$2" == "$3" ] || { printf '%s: expected\n%s\ngot\n%s\n' "$1" "$2" "$3" >&2; exit 1; }
}
expect "dravcall greet" $'0 String "Hello, World!"\nstatus 0 "no error detected" (greeter, greet)' \
  "$("$prefix/bin/dravcall" "$url/bridges/greeter" greeter greet string:World)"
expect "the pkg-config build" $'0 String "Hello, pc!"\nstatus 0 "no error detected" (greeter, greet)' \
  "$("$prefix/bin/dravcall" "$url/pc/greeter" greeter greet string:pc)"
expect "the example client" "Hello, client!" "$("$out/client/greet" "$url/bridges/greeter" client)"
expect "the low-level client" "Hello, parts!" "$("$out/client/greet-lowlevel" "$url/bridges/greeter" parts)"
expect "a refusal" 'status 2 "greet takes (String name), got (Int): value 0 (Int 5) does not fit parameter 0 (String name)" (greeter, greet)' \
  "$("$prefix/bin/dravcall" "$url/bridges/greeter" greeter greet int:5 || true)"
printf 'abc' >"$out/blob.bin"
expect "the toolbox client" $'17 / 5 = 3 remainder 2\n1 / 0: status 10, divide: the divisor is 0\nababab\n'"$out/blob.bin: 3 bytes, sum 294"$'\n[a][list][of][words]' \
  "$("$out/client/toolbox" "$url/bridges/toolbox" "$out/blob.bin")"
expect "the installed sample bridge" $'0 Int 5\nstatus 0 "no error detected" (sample, echo)' \
  "$("$prefix/bin/dravcall" "$url/bridges/sample" sample echo int:5)"
cleanup
bridge_pid=

behind=$(DRAV_E2E_NGINX=1 DRAV_EXAMPLE_BRIDGE="$out/bridge/libgreeter.so" DRAV_INSTALLED_DRAVBRIDGE="$prefix/bin/dravbridge" \
  "$build/linux/tests/test_e2e" --gtest_brief=1 --gtest_filter=Nginx.ServesTheExampleBridgeOfTheInstalledPackage 2>&1) ||
  { echo "$behind" >&2; exit 1; }
# Neither skipped nor left out of the build.
grep -q '^\[  PASSED  \] 1 test\.$' <<<"$behind" || { echo "behind nginx: $behind" >&2; exit 1; }
echo "examples: served and called as expected"
