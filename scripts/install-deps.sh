#!/usr/bin/env bash
# Installs the Debian packages a job needs, by profile; this is the one list.
#   scripts/install-deps.sh [PROFILE...]    (default: all)
#   build    compile the library, the bridge host and the tools (the demo)
#   test     build, plus the suites, sanitizers, fuzzers, benchmarks and their peers
#   windows  build, plus the mingw-w64 cross compilers and Wine
#   all      every profile (the test command)
# As root it uses apt-get; otherwise it only reports what is missing.
set -euo pipefail

build=(
  cmake ninja-build g++ pkg-config
  zlib1g-dev libdeflate-dev libcurl4-openssl-dev libssl-dev libpsl-dev libutfcpp-dev libboost-dev libtomlplusplus-dev
)
test=(
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev llvm
  libmsgpack-dev libmsgpack-cxx-dev
  tinyproxy openssl curl nginx-light wrk python3
)
windows=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 wine
)

packages=()
for profile in "${@:-all}"; do
  case $profile in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${build[@]}" "${test[@]}") ;;
    windows) packages+=("${build[@]}" "${windows[@]}") ;;
    all) packages+=("${build[@]}" "${test[@]}" "${windows[@]}") ;;
    *) echo "install-deps.sh: unknown profile '$profile' (build, test, windows or all)" >&2; exit 2 ;;
  esac
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
