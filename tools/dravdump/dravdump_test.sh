#!/usr/bin/env bash
# dravdump as users meet it: encode, dump back, and refuse bad input clearly.
set -u
dravdump=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # check NAME EXPECTED_RC COMMAND...
  local name=$1 expected=$2; shift 2
  "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  if [ "$rc" -ne "$expected" ]; then
    echo "FAIL $name: exit $rc, expected $expected"; cat "$work/err"; failures=$((failures + 1))
  fi
}
expect_line() {  # expect_line NAME TEXT FILE
  grep -qxF -- "$2" "$3" || { echo "FAIL $1: no line '$2' in:"; cat "$3"; failures=$((failures + 1)); }
}

# A compressible 200 KB binary value is stored compressed and dumped whole.
yes 'dravdump sample line' | head -c 204800 >"$work/sample.bin"
check encode 0 "$dravdump" --encode -o "$work/body.bin" int:5 string:abc bool:true "bin:@$work/sample.bin" \
  ushort:65535 long:-7 float:0.5 utf8:é
[ "$(stat -c %s "$work/body.bin")" -lt 20000 ] || { echo "FAIL compression: body not compressed"; failures=$((failures + 1)); }
check dump 0 "$dravdump" "$work/body.bin"
expect_line dump "0 Int 5" "$work/out"
expect_line dump '1 String "abc"' "$work/out"
expect_line dump "2 Bool true" "$work/out"
expect_line dump "3 BinaryArray 204800 bytes: 64 72 61 76 64 75 6D 70 20 73 61 6D 70 6C 65 20 ..." "$work/out"
expect_line dump "4 UShort 65535" "$work/out"
expect_line dump "5 Long -7" "$work/out"
expect_line dump "6 Float 0.5" "$work/out"
expect_line dump '7 UTF8String "é"' "$work/out"
check stdin 0 sh -c "\"$dravdump\" < \"$work/body.bin\""

# Below the threshold nothing is compressed; a threshold of 1 compresses tiny values too.
check small 0 "$dravdump" --encode -o "$work/small.bin" bin:0x0102
check small-dump 0 "$dravdump" "$work/small.bin"
expect_line small "0 BinaryArray 2 bytes: 01 02" "$work/out"
check tiny 0 "$dravdump" --encode --threshold 1 -o "$work/tiny.bin" bin:x
check tiny-dump 0 "$dravdump" "$work/tiny.bin"
expect_line tiny "0 BinaryArray 1 bytes: 78" "$work/out"

# Malformed bodies and bad values: a clear message and a non-zero exit.
head -c 9 "$work/body.bin" >"$work/truncated.bin"
check truncated 1 "$dravdump" "$work/truncated.bin"
grep -q "malformed body: truncated data" "$work/err" || { echo "FAIL truncated message"; failures=$((failures + 1)); }
printf 'hello' >"$work/text.bin"
check not-a-body 1 "$dravdump" "$work/text.bin"
: >"$work/empty.bin"
check empty 1 "$dravdump" "$work/empty.bin"
check missing 1 "$dravdump" "$work/does-not-exist"
check bad-int 2 "$dravdump" --encode -o "$work/x" int:4294967296
check bad-kind 2 "$dravdump" --encode -o "$work/x" blob:1
check bad-file 2 "$dravdump" --encode -o "$work/x" "bin:@$work/does-not-exist"
check help 0 "$dravdump" --help
grep -q "KIND:VALUE" "$work/out" || { echo "FAIL help text"; failures=$((failures + 1)); }

echo "dravdump: $failures failed"
[ "$failures" -eq 0 ]
