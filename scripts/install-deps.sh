#!/usr/bin/env bash
# Installs the Debian packages the build, tests, fuzzers and Windows build need.
# As root it uses apt-get; otherwise it only reports what is missing.
set -euo pipefail
packages=(
  cmake ninja-build g++ pkg-config clang libclang-rt-14-dev llvm
  zlib1g-dev libcurl4-openssl-dev libutfcpp-dev libboost-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev libmsgpack-dev libmsgpack-cxx-dev libdeflate-dev
  tinyproxy openssl curl libssl-dev
  wrk nginx-light python3
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 wine
)
missing=()
for p in "${packages[@]}"; do
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
