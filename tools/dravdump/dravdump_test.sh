#!/usr/bin/env bash
# dravdump as users meet it: encode, dump back, and refuse bad input clearly.
set -u
dravdump=$(realpath "$1")
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
refused() {  # refused EXPECTED_RC MESSAGE COMMAND...: that exit and exactly that one line on stderr
  local expected=$1 message=$2; shift 2
  "$@" >"$work/out" 2>"$work/err"
  local rc=$?
  if [ "$rc" -ne "$expected" ] || [ "$(cat "$work/err")" != "dravdump: $message" ]; then
    echo "FAIL refusing '$*': exit $rc (expected $expected), said:"; cat "$work/err"; failures=$((failures + 1))
  fi
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
check stdin 0 sh -c "\"$dravdump\" - < \"$work/body.bin\""
expect_line stdin "0 Int 5" "$work/out"

# Below the threshold nothing is compressed; a threshold of 1 compresses tiny values too.
check small 0 "$dravdump" --encode -o "$work/small.bin" bin:0x0102
check small-dump 0 "$dravdump" "$work/small.bin"
expect_line small "0 BinaryArray 2 bytes: 01 02" "$work/out"
! grep -qF '[DRAV_Z=' "$work/small.bin" || { echo "FAIL small: compressed"; failures=$((failures + 1)); }
check tiny 0 "$dravdump" --encode --threshold 1 -o "$work/tiny.bin" bin:x
check tiny-dump 0 "$dravdump" "$work/tiny.bin"
expect_line tiny "0 BinaryArray 1 bytes: 78" "$work/out"
grep -qF '[DRAV_Z=1]' "$work/tiny.bin" || { echo "FAIL tiny: not compressed"; failures=$((failures + 1)); }

# Each kind at both ends of its range, and the other spellings the syntax takes.
check bounds 0 "$dravdump" --encode -o "$work/bounds.bin" int:-2147483648 int:2147483647 long:-2147483648 \
  short:-32768 short:32767 uint:4294967295 ulong:4294967295 ushort:0 uchar:255 char:x bool:0 bool:1 int:0x10 \
  float:3.4028234e38 float:-1e-45 double:1e308 double:-4.9e-324 bin:0xA0ff string: empty: double:0 \
  int:010 uint:0755 int:08 short:-0x10 uint:0XFFFFFFFF uchar:0xff
check bounds-dump 0 "$dravdump" "$work/bounds.bin"
printf '%s\n' "0 Int -2147483648" "1 Int 2147483647" "2 Long -2147483648" "3 Short -32768" "4 Short 32767" \
  "5 UInt 4294967295" "6 ULong 4294967295" "7 UShort 0" "8 UChar 255" '9 Char "x"' "10 Bool false" "11 Bool true" \
  "12 Int 16" "13 Float 3.4028234663852886e+38" "14 Float -1.4012984643248171e-45" "15 Double 1e+308" \
  "16 Double -4.9406564584124654e-324" "17 BinaryArray 2 bytes: A0 FF" '18 String ""' "19 Empty" "20 Double 0" \
  "21 Int 10" "22 UInt 755" "23 Int 8" "24 Short -16" "25 UInt 4294967295" "26 UChar 255" \
  | diff - "$work/out" || { echo "FAIL bounds: values changed on the way"; failures=$((failures + 1)); }

# One step past each end is refused, saying why.
while IFS='|' read -r word message; do
  refused 2 "bad value '$word': $message" "$dravdump" --encode -o "$work/x" "$word"
done <<'VALUES'
int:2147483648|not an integer from -2147483648 to 2147483647
int:-2147483649|not an integer from -2147483648 to 2147483647
long:2147483648|not an integer from -2147483648 to 2147483647
short:32768|not an integer from -32768 to 32767
short:-32769|not an integer from -32768 to 32767
uint:4294967296|not an integer from 0 to 4294967295
ulong:-1|a negative number for an unsigned kind
ushort:65536|not an integer from 0 to 65535
uchar:256|not an integer from 0 to 255
int:|not an integer from -2147483648 to 2147483647
int:5x|not an integer from -2147483648 to 2147483647
int:+5|not an integer from -2147483648 to 2147483647
int:0x|not an integer from -2147483648 to 2147483647
int:0x80000000|not an integer from -2147483648 to 2147483647
int:1 2|not an integer from -2147483648 to 2147483647
uchar:0x100|not an integer from 0 to 255
uint:99999999999999999999|not an integer from 0 to 4294967295
int: 7|a number has no blanks around it (check the quoting)
uint:7 |a number has no blanks around it (check the quoting)
short:	-1|a number has no blanks around it (check the quoting)
double: 1.5|a number has no blanks around it (check the quoting)
double:0x1p4|not a decimal number
float:-0X1p4|not a decimal number
char:ab|a char is exactly one byte
char:|a char is exactly one byte
bool:yes|a bool is true, false, 1 or 0
float:3.5e38|out of range for a float (magnitudes from 1.4e-45 to 3.4e+38, or 0)
float:-1e300|out of range for a float (magnitudes from 1.4e-45 to 3.4e+38, or 0)
float:1e-50|out of range for a float (magnitudes from 1.4e-45 to 3.4e+38, or 0)
double:1e400|out of range for a double (magnitudes from 4.9e-324 to 1.8e+308, or 0)
double:-1e-400|out of range for a double (magnitudes from 4.9e-324 to 1.8e+308, or 0)
float:1.5x|not a number
double:|not a number
bin:0xabc|odd number of hex digits
bin:0x+a|not hex digits
bin:0xa |not hex digits
empty:x|empty takes no value
int5|expected KIND:VALUE (see --help)
blob:1|unknown kind 'blob' (see --help)
VALUES
refused 2 "bad value 'bin:@$work': cannot read $work: Is a directory" "$dravdump" --encode -o "$work/x" "bin:@$work"

# Options go before or after the values; -- ends them.
check options-last 0 "$dravdump" int:1 --encode -o "$work/late.bin"
check options-last-dump 0 "$dravdump" "$work/late.bin"
expect_line options-last "0 Int 1" "$work/out"
cp "$work/late.bin" "$work/-dash.bin"
check dash-file 0 sh -c "cd \"$work\" && \"$dravdump\" -- -dash.bin"
expect_line dash-file "0 Int 1" "$work/out"
refused 2 "unknown option --bogus (see --help)" "$dravdump" --encode int:1 --bogus
refused 2 "unknown option -x (see --help)" "$dravdump" "$work/late.bin" -x
refused 2 "-o needs a file name" "$dravdump" --encode int:1 -o
refused 2 "--threshold needs a byte count from 0 to 4294967295" "$dravdump" --encode int:1 --threshold
refused 2 "--threshold needs a byte count from 0 to 4294967295" "$dravdump" --encode --threshold 4294967296 int:1
refused 2 "--threshold needs a byte count from 0 to 4294967295" "$dravdump" --encode --threshold -18446744073709551615 int:1
check threshold-max 0 "$dravdump" --encode --threshold 4294967295 -o "$work/x" int:1
refused 2 "only one input file (see --help)" "$dravdump" "$work/late.bin" "$work/late.bin"
refused 2 "--encode writes a body; --answer and --streamed-answer read one" "$dravdump" --encode int:1 --answer
refused 2 "--output and --threshold go with --encode" "$dravdump" "$work/late.bin" -o "$work/x"

# Input that cannot be read and output that cannot be written fail, saying why.
refused 1 "cannot read $work: Is a directory" "$dravdump" "$work"
refused 1 "cannot write to standard output: No space left on device" sh -c "\"$dravdump\" \"$work/late.bin\" >/dev/full"
refused 1 "cannot write to standard output: No space left on device" sh -c "\"$dravdump\" --encode int:1 >/dev/full"

# Malformed bodies and bad values: a clear message and a non-zero exit.
head -c 9 "$work/body.bin" >"$work/truncated.bin"
check truncated 1 "$dravdump" "$work/truncated.bin"
grep -q "malformed body: truncated data" "$work/err" || { echo "FAIL truncated message"; failures=$((failures + 1)); }
printf 'hello' >"$work/text.bin"
check not-a-body 1 "$dravdump" "$work/text.bin"
: >"$work/empty.bin"
check empty 1 "$dravdump" "$work/empty.bin"
refused 1 "cannot open $work/does-not-exist: No such file or directory" "$dravdump" "$work/does-not-exist"
refused 2 "bad value 'bin:@$work/does-not-exist': cannot open $work/does-not-exist: No such file or directory" \
  "$dravdump" --encode -o "$work/x" "bin:@$work/does-not-exist"
check help 0 "$dravdump" --help
grep -q "KIND:VALUE" "$work/out" || { echo "FAIL help text"; failures=$((failures + 1)); }

# Decoding runs under a budget: a body of compressed zeros does not take the
# memory its values announce, and says which option raises the budget.
bomb() {  # bomb FILE VALUES BYTES [answer]: VALUES binary values of BYTES zeros, stored compressed
  python3 - "$@" <<'PY'
import struct, sys, zlib
path, values, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
payload = ("[DRAV_Z=%d]" % size).encode() + zlib.compress(bytes(size), 9)
text = lambda s: struct.pack(">I", len(s) + 1) + s + b"\0"
status = text(b"t1") + text(b"t2") + text(b"fine") + struct.pack(">i", 0) if len(sys.argv) > 4 else b""
with open(path, "wb") as f:
    f.write(b"\x01" + struct.pack(">I", values) +
            (struct.pack(">HI", 3, len(payload)) + payload) * values + status)
PY
}
bomb "$work/bomb.bin" 1000 1048576
[ "$(stat -c %s "$work/bomb.bin")" -lt 1200000 ] || { echo "FAIL bomb: not a small body"; failures=$((failures + 1)); }
refused 1 "decoding the body goes over the budget of 67108864 bytes (--decode-budget to raise it)" \
  /usr/bin/time -f %M -o "$work/peak" "$dravdump" "$work/bomb.bin"
peak=$(tail -n 1 "$work/peak")
[ "$peak" -lt 163840 ] || { echo "FAIL bomb: peak $peak KiB"; failures=$((failures + 1)); }
bomb "$work/three.bin" 3 1000
check three 0 "$dravdump" "$work/three.bin"
expect_line three "2 BinaryArray 1000 bytes: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ..." "$work/out"
refused 1 "decoding the body goes over the budget of 2999 bytes (--decode-budget to raise it)" \
  "$dravdump" --decode-budget 2999 "$work/three.bin"
check three-raised 0 "$dravdump" "$work/three.bin" --decode-budget 4000
bomb "$work/answer.bin" 3 1000 answer
check answer 0 "$dravdump" --answer "$work/answer.bin"
expect_line answer 'status 0 "fine" (t1, t2)' "$work/out"
refused 1 "decoding the answer goes over the budget of 2999 bytes (--decode-budget to raise it)" \
  "$dravdump" --answer --decode-budget 2999 "$work/answer.bin"
refused 2 "--decode-budget needs a byte count of at least 1" "$dravdump" --decode-budget 0 "$work/three.bin"
refused 2 "--decode-budget needs a byte count of at least 1" "$dravdump" --decode-budget 1e6 "$work/three.bin"
refused 2 "--decode-budget goes with reading, not --encode" "$dravdump" --encode --decode-budget 5 int:1
check budget-help 0 "$dravdump" --help
grep -q -- "--decode-budget BYTES of memory (default 67108864" "$work/out" || { echo "FAIL help names no budget"; failures=$((failures + 1)); }

echo "dravdump: $failures failed"
[ "$failures" -eq 0 ]
