#!/usr/bin/env bash
# Installs the Debian packages a job needs, by profile; this is the one list.
#   scripts/install-deps.sh [PROFILE...]    (default: all)
#   build    compile the library, the bridge host and the tools (the demo)
#   test     build, plus the suites, sanitizers, fuzzers, benchmarks and their
#            peers, the API reference and the Debian packages, valgrind and
#            strace for the instruction-count guard and tshark for the
#            Wireshark dissector's test
#   peers    build, plus gRPC and Thrift for the optional peer benchmark
#            (bench/peers/run.sh); not part of all
#   windows  build, plus the mingw-w64 cross compilers and Wine (64- and
#            32-bit: the i386 architecture is added for wine32)
#   all      build, test and windows (the test command)
# As root it uses apt-get; otherwise it only reports what is missing.
set -euo pipefail

build=(
  cmake ninja-build g++ pkg-config
  zlib1g-dev libdeflate-dev libisal-dev libcurl4-openssl-dev libssl-dev libpsl-dev libutfcpp-dev libboost-dev libtomlplusplus-dev
)
test=(
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang libclang-rt-14-dev llvm
  libmsgpack-dev libmsgpack-cxx-dev
  tinyproxy openssl curl nginx-light wrk python3 valgrind strace tshark
  doxygen dpkg-dev debhelper lintian systemd iproute2
)
peers=(
  libgrpc++-dev protobuf-compiler-grpc libprotobuf-dev protobuf-compiler libthrift-dev thrift-compiler iproute2 python3
)
windows=(
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix libz-mingw-w64-dev wine64 wine wine32:i386
)

packages=()
for profile in "${@:-all}"; do
  case $profile in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${build[@]}" "${test[@]}") ;;
    windows) packages+=("${build[@]}" "${windows[@]}") ;;
    peers) packages+=("${build[@]}" "${peers[@]}") ;;
    all) packages+=("${build[@]}" "${test[@]}" "${windows[@]}") ;;
    *) echo "install-deps.sh: unknown profile '$profile' (build, test, windows, peers or all)" >&2; exit 2 ;;
  esac
done

# Packages of another architecture need it added to dpkg first.
foreign=()
for arch in $(printf '%s\n' "${packages[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
  dpkg --print-foreign-architectures | grep -qx "$arch" || foreign+=("$arch")
done

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  [ ${#foreign[@]} -eq 0 ] || echo "missing dpkg architectures (add them as root): ${foreign[*]}" >&2
  echo "missing Debian packages (install them as root): ${missing[*]}" >&2
  exit 1
fi
for arch in "${foreign[@]}"; do
  echo "adding the dpkg architecture $arch"
  dpkg --add-architecture "$arch"
done
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# wireshark-common asks whether users outside root may capture: they may not.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
