#!/usr/bin/env python3
"""The Wireshark dissector (packaging/wireshark/drav.lua) as tshark runs it:
on captures of calls made now on 127.0.0.1 (the demo's calls over plain
HTTP, calls over TLS with the client's session keys, the host's 413 and 431
refusals), and on a capture of made-up bodies, hostile ones among them.
Every field is checked against what the test sent; no body may make the
dissector fail or keep it from saying where reading stopped.

    dissector_test.py DISSECTOR DRAVBRIDGE DRAVCALL

Exits 77 (skipped) when tshark is not installed."""

import json
import os
import re
import queue
import shlex
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import zlib
from decimal import Decimal

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from capture_relay import CaptureRelay  # noqa: E402
import hostile_cases  # noqa: E402

SKIPPED = 77
failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
    return condition


def expect_equal(actual, wanted, what):
    return expect(actual == wanted, "%s: %r, expected %r" % (what, actual, wanted))


class Tshark:
    """tshark with the dissector under test and no preferences of a user."""

    def __init__(self, program, dissector, home):
        self.program = program
        self.env = dict(os.environ, HOME=home)
        self.script = self._script_options(os.path.abspath(dissector))

    def _script_options(self, dissector):
        # A copy installed where Wireshark loads plugins of all users loads
        # first and takes the protocol's name: it must be this one.
        folders = subprocess.run([self.program, "-G", "folders"], capture_output=True, text=True, env=self.env)
        found = re.search(r"^Global Lua Plugins:\s*(.+)$", folders.stdout, re.M)
        installed = os.path.join(found.group(1).strip(), "drav.lua") if found else ""
        if not os.path.exists(installed):
            return ["-X", "lua_script:" + dissector]
        if _same_files(installed, dissector):
            return []
        sys.exit("FAIL: %s (an installed dissector) differs from %s and shadows it: reinstall or remove it"
                 % (installed, dissector))

    def run(self, arguments, what):
        """tshark's standard output for `arguments`; a failure or any line
        on standard error (a Lua error above all) fails the test."""
        command = [self.program] + self.script + arguments
        result = subprocess.run(command, capture_output=True, text=True, env=self.env, timeout=600)
        noise = [line for line in result.stderr.splitlines()
                 if line.strip() and not line.startswith("Running as user")]
        expect(result.returncode == 0 and not noise,
               "%s: tshark exited %d and said: %s" % (what, result.returncode, "\n".join(noise)))
        return result.stdout

    def layers(self, pcap, fields, what, options=()):
        """The fields of every frame the dissector marked, frame by frame;
        a Lua error or a fault mark in any frame fails the test."""
        fields = ["frame.number", "tcp.stream", "http.request.method", "_ws.expert.message"] + list(fields)
        output = self.run(["-r", pcap, "-T", "json", "--no-duplicate-keys"] + list(options)
                          + [a for f in fields for a in ("-e", f)], what)
        frames = [packet["_source"]["layers"] for packet in json.loads(output or "[]")]
        for frame in frames:
            faults = [m for m in frame.get("_ws.expert.message", [])
                      if m.startswith("the dissector failed") or "Lua Error" in m]
            expect(not faults, "%s, frame %s: %s" % (what, frame["frame.number"][0], faults))
        return [frame for frame in frames if any(field.startswith("drav.") for field in frame)]


def _same_files(installed, dissector):
    pairs = [(installed, dissector)]
    source_modules = os.path.join(os.path.dirname(dissector), "drav")
    for name in os.listdir(source_modules):
        pairs.append((os.path.join(os.path.dirname(installed), "drav", name), os.path.join(source_modules, name)))
    try:
        return all(open(a, "rb").read() == open(b, "rb").read() for a, b in pairs)
    except OSError:
        return False


class Bridge:
    """dravbridge on 127.0.0.1 at a port of its choosing."""

    def __init__(self, program, *options):
        self.process = subprocess.Popen([program, "--address", "127.0.0.1", "--port", "0"] + list(options),
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        lines = queue.Queue()
        # Read to the end, so that the host never blocks on a full pipe.
        threading.Thread(target=lambda: [lines.put(line) for line in self.process.stdout] + [lines.put("")],
                         daemon=True).start()
        said, deadline = "", time.time() + 20
        while time.time() < deadline:
            try:
                line = lines.get(timeout=max(0.0, deadline - time.time()))
            except queue.Empty:
                break
            said += line
            found = re.search(r"https?://127\.0\.0\.1:(\d+)/", line)
            if found:
                self.port = int(found.group(1))
                return
            if not line:
                break
        self.stop()
        sys.exit("FAIL: dravbridge did not start: " + said)

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class Calls:
    """dravcall through a recording relay; each call is one connection."""

    def __init__(self, dravcall, relay, scheme, options=(), env=None):
        self.dravcall, self.relay, self.scheme = dravcall, relay, scheme
        self.options, self.env = list(options), env
        self.made = []

    def call(self, method, words, options=(), expected_exit=0):
        url = "%s://127.0.0.1:%d/bridges/sample" % (self.scheme, self.relay.port)
        command = [self.dravcall] + self.options + list(options) + [url, "sample", method] + list(words)
        result = subprocess.run(command, capture_output=True, text=True, env=self.env, timeout=120)
        expect(result.returncode == expected_exit, "dravcall %s %s: exit %d, expected %d: %s" % (
            method, " ".join(words)[:80], result.returncode, expected_exit, result.stderr.strip()))
        self.made.append(method)


def pair_frames(frames, methods, what):
    """(call, answer) frames of each call in order, the answer found by its link."""
    calls = [f for f in frames if "http.request.method" in f]
    expect_equal([f["drav.method"][0] for f in calls], methods, what + ": the calls' methods in order")
    answers = {f["drav.request_in"][0]: f for f in frames if "drav.request_in" in f}
    return [(c, answers.get(c["frame.number"][0], {})) for c in calls]


def preview(data):
    return " ".join("%02x" % b for b in data[:16])


def check(frame, wanted, what):
    for field, value in wanted.items():
        expect_equal(frame.get(field), value, "%s: %s" % (what, field))


SMALL_WORDS = ["int:-5", "long:70000", "short:-2", "uint:4000000000", "ulong:7", "ushort:65535", "uchar:200",
               "char:z", "bool:true", "bool:false", "double:2.5", "float:0.5", "string:abc", "utf8:\u017c\u00f3\u0142w",
               "bin:0x0102ff", "empty:"]
SMALL_VALUES = {
    "drav.value.kind": ["1", "7", "6", "14", "13", "12", "10", "11", "5", "5", "8", "9", "2", "4", "3", "0"],
    "drav.value.int": ["-5"], "drav.value.long": ["70000"], "drav.value.short": ["-2"],
    "drav.value.uint": ["4000000000"], "drav.value.ulong": ["7"], "drav.value.ushort": ["65535"],
    "drav.value.uchar": ["200"], "drav.value.char": ["'z'"], "drav.value.bool": ["1", "0"],
    "drav.value.double": ["2.5"], "drav.value.float": ["0.5"], "drav.value.string": ["abc"],
    "drav.value.utf8string": ["\u017c\u00f3\u0142w"], "drav.value.bytes": ["01 02 ff"], "drav.count": ["16"],
}
# As dravdump describes values.
SMALL_LABELS = ["Value 0: Int -5", "Value 1: Long 70000", "Value 2: Short -2", "Value 3: UInt 4000000000",
                "Value 4: ULong 7", "Value 5: UShort 65535", "Value 6: UChar 200", 'Value 7: Char "z"',
                "Value 8: Bool true", "Value 9: Bool false", "Value 10: Double 2.5", "Value 11: Float 0.5",
                'Value 12: String "abc"', 'Value 13: UTF8String "\u017c\u00f3\u0142w"',
                "Value 14: BinaryArray 3 bytes: 01 02 FF", "Value 15: Empty",
                'Invocation status: 0 "no error detected"']
FIELDS = sorted(set(SMALL_VALUES) | {
    "drav.bridge", "drav.method", "drav.streaming", "drav.need_sso_token", "drav.args_size", "drav.extra_blob_size",
    "drav.request_in", "drav.response_in", "drav.time", "frame.time_epoch", "http.content_length", "drav.streamed",
    "drav.value.length", "drav.value.plain_length", "drav.value.decompressed_length", "drav.extra_blob.length",
    "drav.extra_blob.bytes", "drav.status.code", "drav.status.message", "drav.status.text1", "drav.status.text2",
    "drav.refusal.status", "drav.refusal.message", "drav.malformed.offset"})


def demo_payload():
    lines = ("line %06d: sample payload for the demo\n" % i for i in range(1, 130001))
    return "".join(lines).encode()[:5000000]


def make_plain_calls(work, dravbridge, dravcall):
    """The demo's calls, a failing one and a 431, over plain HTTP; their capture."""
    payload, blob = os.path.join(work, "payload.bin"), os.path.join(work, "blob.bin")
    streamed = os.path.join(work, "streamed.bin")
    open(payload, "wb").write(demo_payload())
    open(blob, "wb").write(bytes((i * 7919 + (i >> 8)) & 0xFF for i in range(1000000)))
    bridge = Bridge(dravbridge)
    relay = CaptureRelay(bridge.port)
    calls = Calls(dravcall, relay, "http")
    try:
        calls.call("echo", SMALL_WORDS)
        calls.call("sum", ["int:1", "long:2", "short:3", "double:0.5"])
        calls.call("echo", ["bin:@" + payload])
        calls.call("checksumExtraBlob", ["string:blob"], ["--chunk-size", "65536", "--extra-blob", blob])
        calls.call("generateBinary", ["int:200000"], ["--streaming", "OUT", "--output", streamed])
        calls.call("sum", ["string:x"], expected_exit=1)
        cookies = "; ".join("c%d=%s" % (i, "x" * 3000) for i in range(7))  # a head above the host's 16 KiB
        calls.call("echo", ["int:1"], ["--cookies", cookies], expected_exit=3)
    finally:
        relay.close()
        bridge.stop()
    pcap = os.path.join(work, "calls.pcap")
    relay.write_pcap(pcap)
    return pcap, calls.made, open(payload, "rb").read(), open(blob, "rb").read(), open(streamed, "rb").read()


def check_plain_calls(tshark, pcap, methods, payload, blob, streamed):
    # Two passes, as Wireshark reads a file: the call then knows its answer
    # too. (tshark's first pass builds no tree without a filter.)
    frames = tshark.layers(pcap, FIELDS, "plain calls", ["-2", "-Y", "drav"])
    pairs = pair_frames(frames, methods, "plain calls")
    if len(pairs) != 7:
        return
    for number, (call, answer) in enumerate(pairs):
        what = "plain call %d (%s)" % (number, call["drav.method"][0])
        check(call, {"drav.bridge": ["sample"], "drav.need_sso_token": ["0"], "drav.malformed.offset": None}, what)
        expect_equal(call.get("drav.response_in"), answer.get("frame.number"), what + ": the call's link to its answer")
        blob_size = int(call["drav.extra_blob_size"][0])
        expect_equal(int(call["drav.args_size"][0]) + blob_size, int(call["http.content_length"][0]),
                     what + ": the size headers against the body")
        if "drav.refusal.status" not in answer:
            check(answer, {"drav.bridge": ["sample"], "drav.method": call["drav.method"],
                           "drav.status.text1": ["sample"], "drav.status.text2": call["drav.method"]}, what)
        elapsed = Decimal(answer.get("frame.time_epoch", ["0"])[0]) - Decimal(call["frame.time_epoch"][0])
        expect_equal(Decimal(answer.get("drav.time", ["-1"])[0]), elapsed, what + ": the time from call to answer")
    small_call, small_answer = pairs[0]
    check(small_call, dict(SMALL_VALUES, **{"drav.streaming": ["NO"], "drav.extra_blob_size": ["0"]}), "small values")
    check(small_answer, dict(SMALL_VALUES, **{"drav.status.code": ["0"], "drav.streamed": ["0"],
                                              "drav.status.message": ["no error detected"]}), "small values, answer")
    shown = tshark.run(["-r", pcap, "-V", "-Y", "frame.number == " + small_answer["frame.number"][0]], "labels")
    shown = [line.strip() for line in shown.splitlines()]
    for label in SMALL_LABELS:
        expect(label in shown, "small values, answer: no line %r in the tree" % label)
    check(pairs[1][1], {"drav.value.kind": ["8"], "drav.value.double": ["6.5"], "drav.status.code": ["0"]}, "sum")
    big = {"drav.value.plain_length": ["5000000"], "drav.value.decompressed_length": ["5000000"],
           "drav.value.bytes": [preview(payload)], "drav.value.kind": ["3"]}
    check(pairs[2][0], big, "compressed 5 MB value")
    expect_equal(pairs[2][0].get("drav.value.length"), [str(int(pairs[2][0]["drav.args_size"][0]) - 11)],
                 "compressed 5 MB value: its stored length")
    check(pairs[2][1], big, "compressed 5 MB value, answer")
    check(pairs[3][0], {"drav.extra_blob_size": [str(len(blob))], "drav.extra_blob.length": [str(len(blob))],
                        "drav.extra_blob.bytes": [preview(blob)], "drav.value.string": ["blob"]}, "extra blob")
    check(pairs[3][1], {"drav.value.ulong": [str(len(blob)), str(zlib.crc32(blob))]}, "extra blob, answer")
    check(pairs[4][0], {"drav.streaming": ["OUT"], "drav.value.int": ["200000"]}, "streamed call")
    check(pairs[4][1], {"drav.streamed": ["1"], "drav.value.kind": ["3"], "drav.value.length": ["200000"],
                        "drav.value.bytes": [preview(streamed)], "drav.status.code": ["0"]}, "streamed answer")
    check(pairs[5][1], {"drav.status.code": ["2"], "drav.status.message": ["sum: value 0 is a String, not a number"]},
          "status error")
    check(pairs[6][1], {"drav.refusal.status": ["431"], "drav.status.code": None,
                        "drav.refusal.message": ["the request head is larger than 16384 bytes"]}, "431 refusal")


def make_tls_calls(work, dravbridge, dravcall):
    """Calls over TLS whose keys the client writes, one of them refused (413)."""
    cert, key, keys = (os.path.join(work, name) for name in ("cert.pem", "key.pem", "keys.log"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-keyout", key, "-out", cert, "-days", "1", "-subj", "/CN=127.0.0.1",
                    "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True, timeout=60)
    zeros = os.path.join(work, "zeros.bin")
    open(zeros, "wb").write(bytes(2000000))  # compressed on the wire, too large for the host once decoded
    bridge = Bridge(dravbridge, "--cert", cert, "--key", key, "--call-memory-budget", "1048576")
    relay = CaptureRelay(bridge.port)
    calls = Calls(dravcall, relay, "https", ["-DRAVssl_ca_file", cert], dict(os.environ, SSLKEYLOGFILE=keys))
    try:
        calls.call("echo", ["int:7", "string:over TLS"])
        calls.call("echo", ["bin:@" + zeros], expected_exit=3)
    finally:
        relay.close()
        bridge.stop()
    pcap = os.path.join(work, "tls.pcap")
    relay.write_pcap(pcap)
    return pcap, keys, calls.made


def check_tls_calls(tshark, pcap, keys, methods):
    frames = tshark.layers(pcap, FIELDS, "TLS calls", ["-o", "tls.keylog_file:" + keys])
    pairs = pair_frames(frames, methods, "TLS calls")
    if len(pairs) != 2:
        return
    values = {"drav.value.int": ["7"], "drav.value.string": ["over TLS"]}
    check(pairs[0][0], dict(values, **{"drav.bridge": ["sample"]}), "TLS call")
    check(pairs[0][1], dict(values, **{"drav.status.code": ["0"]}), "TLS answer")
    check(pairs[1][0], {"drav.value.plain_length": ["2000000"]}, "TLS call refused")
    check(pairs[1][1], {"drav.refusal.status": ["413"]}, "413 refusal")
    expect("1048576 bytes a call may hold" in pairs[1][1].get("drav.refusal.message", [""])[0],
           "413 refusal: the host's message is %r" % pairs[1][1].get("drav.refusal.message"))


def check_documented_example(tshark, pcap, docs):
    """The worked example of docs/wireshark.md, on the same calls, says what the page says."""
    text = open(docs, encoding="utf-8").read()
    found = re.search(r"<!-- example -->\s*```sh\n(.*?)```\s*```\n(.*?)```", text, re.S)
    if not expect(found, docs + ": no worked example (<!-- example --> then a command and its output)"):
        return
    arguments = shlex.split(found.group(1).replace("\\\n", " "))
    expect_equal(arguments[:3], ["tshark", "-r", "calls.pcap"], docs + ": the example's command")
    output = tshark.run(["-r", pcap] + arguments[3:], "the documented example")
    expect_equal(output.splitlines(), found.group(2).splitlines(), docs + ": the example's output")


def main():
    dissector, dravbridge, dravcall = sys.argv[1:4]
    program = shutil.which("tshark")
    if not program:
        print("SKIPPED: tshark is not installed (Debian package tshark; scripts/install-deps.sh test installs it)")
        return SKIPPED
    docs = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "wireshark.md")
    with tempfile.TemporaryDirectory() as work:
        tshark = Tshark(program, dissector, work)
        pcap, methods, payload, blob, streamed = make_plain_calls(work, dravbridge, dravcall)
        check_plain_calls(tshark, pcap, methods, payload, blob, streamed)
        check_documented_example(tshark, pcap, docs)
        check_tls_calls(tshark, *make_tls_calls(work, dravbridge, dravcall))
        hostile_cases.check(tshark, work, expect, expect_equal)
    for failure in failures:
        print("FAIL " + failure)
    print("%d failures" % len(failures) if failures else "dissector: all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
