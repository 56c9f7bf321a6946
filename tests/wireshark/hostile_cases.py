"""Made-up exchanges for the dissector: well-formed bodies of every shape the
live calls cannot send (nested and typed objects, line breaks, unknown
kinds), and hostile ones (the fuzz corpus, every cut of a body, counts and
lengths near 2^32, nesting thousands deep, compressed values that lie),
each on a connection of its own, with what the dissector must say of it."""

import glob
import os
import struct
import zlib

import wire_bodies as w
from capture_relay import write_exchanges

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
FIELDS = ["drav.method", "drav.args_size", "drav.request_in", "drav.value.kind", "drav.value.int",
          "drav.value.string", "drav.value.type_id", "drav.value.plain_length", "drav.value.decompressed_length",
          "drav.value.line_breaks", "drav.value.kind_high", "drav.value.bytes", "drav.value.length",
          "drav.status.code", "drav.streamed", "drav.malformed.offset", "drav.refusal.status",
          "drav.refusal.retry_after", "drav.refusal.message", "http.content_length"]
DEPTH_SHOWN = 16  # the dissector's default for nested objects
DEEPEST_SHOWN = 50  # and the most it shows, whatever the preference says


def int_value(n):
    return w.value(1, w.u32(n))


def rich_values():
    """One value of every kind, objects holding a list and values, compressed ones."""
    inner = w.value_list(int_value(7), w.text(2, "inner"))
    return [int_value(5), w.text(2, "abc"), w.binary(b"\x00\x01"), w.text(4, "\u017c\u00f3\u0142w"),
            w.value(5, b"\x01"), w.value(6, b"\xff\xfe"), w.value(7, w.u32(-7)), w.value(8, struct.pack(">d", 2.5)),
            w.value(9, struct.pack(">f", 0.5)), w.value(10, b"\xc8"), w.value(11, b"z"), w.value(12, b"\xff\xff"),
            w.value(13, w.u32(7)), w.value(14, w.u32(9)),
            w.binary(w.nested(inner), tag=15),
            w.binary(w.nested(int_value(3) + w.value(0), type_id=7), tag=16),
            w.binary(w.compressed(w.nested(inner)), tag=15),
            w.binary(w.compressed(b"hello " * 20000)),
            w.value(0)]


RICH_KINDS = [str(k) for k in (1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 1, 2, 16, 1, 0, 15, 1, 2, 3, 0)]


def nest(levels, innermost, compress=False):
    """A value list whose one value is an object holding the next list, `levels` deep."""
    content = w.value_list(innermost)
    for _ in range(levels):
        stored = w.nested(content)
        content = w.value_list(w.binary(w.compressed(stored) if compress else stored, tag=15))
    return b"\x01" + content


def raw_deflate(data):
    packer = zlib.compressobj(wbits=-15)
    return packer.compress(data) + packer.flush()


class Case:
    def __init__(self, name, exchange, on_call=None, on_answer=None):
        self.name, self.exchange, self.on_call, self.on_answer = name, exchange, on_call, on_answer


def exchange(arguments, answer=None, **call_options):
    return [(True, w.call(arguments, **call_options))] + ([(False, w.bridge_answer(answer))] if answer else [])


def cases(expect, expect_equal):
    def stops_at(offset):
        return lambda f, name: expect_equal(f.get("drav.malformed.offset"), [str(offset)], name + ": where reading stopped")

    def clean(f, name):
        expect(f and "drav.malformed.offset" not in f, name + ": marked malformed: %s" % f.get("drav.malformed.offset"))

    def stopped_within(length):
        def checking(f, name):
            at = f.get("drav.malformed.offset")
            expect(at and int(at[0]) <= length, "%s: reading stopped at %s, the body has %d bytes" % (name, at, length))
        return checking

    def fields(**wanted):
        def checking(f, name):
            clean(f, name)
            for field, value in wanted.items():
                expect_equal(f.get("drav." + field.replace("__", ".")), value, "%s: %s" % (name, field))
        return checking

    rich = w.body(*rich_values())
    rich_answer = w.answer(rich_values())
    small = w.body(*rich_values()[:16])
    made = [
        Case("every kind, nested and compressed", exchange(rich, rich_answer),
             fields(value__kind=RICH_KINDS, value__type_id=["7"], value__string=["abc", "inner", "inner"]),
             fields(value__kind=RICH_KINDS, status__code=["0"], streamed=["0"])),
        Case("line breaks, a high byte, an unknown kind",
             exchange(b"\x01" + w.u32(3) + b"\r\n\r\n" + int_value(5) + b"\x12\x01" + w.u32(6) + w.value(42)),
             fields(value__kind=["1", "1", "42"], value__int=["5", "6"], value__line_breaks=["0d 0a 0d 0a"])),
        Case("the data ends in line breaks", exchange(b"\x01" + w.u32(1) + b"\r\n"), fields(value__kind=None)),
        Case("an answer after 100 Continue", [(True, w.call(w.body(int_value(1)))),
                                               (False, b"HTTP/1.1 100 Continue\r\n\r\n"),
                                               (False, w.bridge_answer(w.answer([int_value(8)])))],
             None, fields(value__int=["8"])),
        Case("a chunked answer", exchange(w.body(int_value(1)), None)
             + [(False, w.bridge_answer(w.answer([int_value(9)]), chunked=True))], None, fields(value__int=["9"])),
        Case("a streamed answer of the wrong kind", exchange(w.body(int_value(9)), w.answer([int_value(9)]),
                                                               mode="OUT"), None, stops_at(1)),
        Case("a streamed answer cut short", exchange(w.body(int_value(9)), w.streamed_answer(bytes(500))[:-10],
                                                     mode="OUT"), None, stopped_within(560)),
        Case("bytes after the list", exchange(w.body(int_value(1)) + b"xyz"), stops_at(11)),
        Case("bytes after the status", exchange(w.body(), w.answer([]) + b"zz"), None,
             stops_at(len(w.answer([])))),
        Case("a request-less 503", [(False, w.host_text(503, "Service Unavailable",
                                                         "the host serves no more connections now",
                                                         "Retry-After: 1\r\n"))],
             None, lambda f, name: expect_equal((f.get("drav.refusal.status"), f.get("drav.refusal.retry_after")),
                                                (["503"], ["1"]), name)),
        Case("a proxy's error page", [(True, w.call(w.body())),
                                       (False, b"HTTP/1.1 502 Bad Gateway\r\nServer: nginx\r\nContent-Type: text/html"
                                               b"\r\nContent-Length: 21\r\n\r\n<html>bad gate</html>")],
             None, fields(refusal__status=["502"], refusal__message=["<html>bad gate</html>"])),
        Case("a call header sent twice", exchange(w.body(), extra_headers="DRAVMethodName: other\r\n"),
             fields(method=["echo", "other"])),
        Case("an empty body", exchange(b""), stops_at(0)),
        Case("a value cut short beyond the values shown",
             exchange(b"\x01" + w.u32(1001) + w.value(0) * 1000 + b"\x00\x01\x00\x00"), stops_at(2007)),
        Case("a 50000-value list", exchange(b"\x01" + w.u32(50000) + w.value(0) * 50000),
             lambda f, name: expect_equal(len(f.get("drav.value.kind", [])), 1000, name + ": values shown")),
        Case("objects nested 3000 deep", exchange(nest(3000, int_value(42)), nest(3000, int_value(42)) + w.status(0, "ok")),
             fields(value__kind=["15"] * (DEPTH_SHOWN + 1), value__int=None),
             fields(value__kind=["15"] * (DEPTH_SHOWN + 1))),
        Case("compressed objects nested 40 deep", exchange(nest(40, int_value(42), compress=True)),
             fields(value__kind=["15"] * (DEPTH_SHOWN + 1))),
        Case("an object whose content announces 2^32 - 1 values",
             exchange(w.body(w.binary(w.nested(w.u32(0xFFFFFFFF) + b"junk"), tag=15))), fields(value__kind=["15"])),
        Case("a marker without its bracket (the next value has one)",
             exchange(w.body(w.binary(b"[DRAV_Z=12 abc"), w.text(2, "]"))),
             fields(value__bytes=["5b 44 52 41 56 5f 5a 3d 31 32 20 61 62 63"], value__plain_length=None,
                    value__string=["]"])),
        Case("an object whose content has a line break", exchange(w.body(w.binary(
             w.nested(w.u32(1) + b"\n" + int_value(4)), tag=15))), fields(value__kind=["15"])),
        Case("a streamed answer to INOUT", exchange(w.body(int_value(512)), w.streamed_answer(bytes(range(256)) * 2),
                                                    mode="INOUT"),
             None, fields(streamed=["1"], value__length=["512"], value__bytes=[" ".join("%02x" % n for n in range(16))])),
        Case("an empty compressed value and object",
             exchange(w.body(w.binary(w.compressed(b"")), w.binary(w.compressed(b""), tag=15))),
             fields(value__plain_length=["0", "0"], value__decompressed_length=["0", "0"])),
    ]
    for count in (0xFFFFFFFF, 0xFFFFFFFE, 0x80000000):
        made.append(Case("a count of %#x" % count, exchange(b"\x01" + w.u32(count) + w.value(0)), stops_at(1)))
        made.append(Case("an answer count of %#x" % count, exchange(w.body(), b"\x01" + w.u32(count) + w.value(0)),
                         None, stops_at(1)))
    for tag, length in ((3, 0xFFFFFFFF), (2, 0xFFFFFFFE), (15, 0xFFFFFFF0), (4, 0x80000000)):
        made.append(Case("a block of %#x bytes, kind %d" % (length, tag),
                         exchange(w.body(w.value(tag, w.u32(length) + b"ab"))), stops_at(11)))
    lies = [("a stream inflating past its length", w.compressed(bytes(1000000), announced=1000)),
            ("more plain bytes than the stream can hold", w.compressed(b"x" * 10, announced=100000000)),
            ("a length that is no number", b"[DRAV_Z=abc]" + zlib.compress(b"hi")),
            ("a length above 2^32", w.compressed(b"hi", announced=99999999999)),
            ("a deflate stream without its zlib wrapper", b"[DRAV_Z=5]" + raw_deflate(b"hello")),
            ("a stream cut short", w.compressed(b"hello" * 1000)[:-20])]
    for name, stored in lies:
        made.append(Case(name, exchange(w.body(int_value(1), w.binary(stored))), stops_at(17)))
        made.append(Case(name + ", in an answer", exchange(w.body(), w.answer([w.binary(stored)])), None,
                         stops_at(11)))
    for cut in range(1, len(small)):
        made.append(Case("the call cut to %d bytes" % cut, exchange(small[:cut]), stopped_within(cut)))
    for cut in range(1, len(rich_answer), 5):
        made.append(Case("the answer cut to %d bytes" % cut, exchange(w.body(), rich_answer[:cut]), None,
                         stopped_within(cut)))
    for path in sorted(glob.glob(os.path.join(ROOT, "fuzz", "corpus", "*", "*"))):
        data = open(path, "rb").read()
        name = "fuzz corpus " + os.path.relpath(path, ROOT)
        if "request_stream" in path:
            made.append(Case(name, [(True, data)]))  # whole HTTP requests of their own
        else:
            made.append(Case(name, exchange(data, data), stopped_or_clean(expect, len(data)),
                             stopped_or_clean(expect, len(data))))
    return made


def stopped_or_clean(expect, length):
    def checking(f, name):
        at = f.get("drav.malformed.offset")
        expect(not at or int(at[0]) <= length, "%s: reading stopped at %s of %d bytes" % (name, at, length))
    return checking


def limit_cases(expect, expect_equal):
    """Bodies for a run with a 4 MiB decompression budget and objects shown 1000 deep."""
    # 16 KiB of stream could inflate to 16 MiB: only its first 4064 bytes fit.
    patterned = bytes(range(256)) * 16384
    over = w.body(w.binary(w.compressed(patterned) + b"\0" * (16384 - len(zlib.compress(patterned)))))
    budget = w.body(*[w.binary(w.compressed(bytes([n]) * 900000)) for n in range(6)])

    def over_limit(f, name):
        expect_equal((f.get("drav.value.plain_length"), f.get("drav.value.decompressed_length"),
                      f.get("drav.value.bytes"), f.get("drav.malformed.offset")),
                     ([str(len(patterned))], None, [" ".join("%02x" % n for n in range(16))], None), name)

    def over_budget(f, name):
        # 4 MiB: four values whole (zlib makes at most 1032 bytes of one, so
        # each needs room for 1032 times its ~900 compressed bytes), the
        # fifth from its first bytes, the sixth from what room is left.
        expect_equal((len(f.get("drav.value.decompressed_length", [])), f.get("drav.malformed.offset")), (4, None),
                     name + ": values decompressed whole")
        expect_equal(f.get("drav.value.bytes", [])[:5], [" ".join(["%02x" % n] * 16) for n in range(5)],
                     name + ": first bytes shown")

    return [Case("a value whose stream could pass the budget", exchange(over), over_limit),
            Case("values beyond the message's budget", exchange(budget), over_budget),
            Case("objects nested deeper than Lua's C calls allow", exchange(nest(500, int_value(42))),
                 lambda f, name: expect_equal((len(f.get("drav.value.kind", [])), f.get("drav.malformed.offset")),
                                              (DEEPEST_SHOWN + 1, None), name + ": objects shown"))]


def run(tshark, work, made, what, expect, options=()):
    pcap = os.path.join(work, what.replace(" ", "_") + ".pcap")
    write_exchanges(pcap, [case.exchange for case in made])
    by_stream = {}
    for frame in tshark.layers(pcap, FIELDS, what, options):
        role = "call" if "http.request.method" in frame else "answer"
        frames = by_stream.setdefault(int(frame["tcp.stream"][0]), {})
        expect(role not in frames, "%s: more than one %s in the exchange" % (made[int(frame["tcp.stream"][0])].name, role))
        frames[role] = frame
    for stream, case in enumerate(made):
        frames = by_stream.get(stream, {})
        for role, checking in (("call", case.on_call), ("answer", case.on_answer)):
            if checking:
                checking(frames.get(role, {}), "%s (%s)" % (case.name, role))


def check_labels(tshark, work, expect):
    """Text from a peer reaches the tree's labels with its controls escaped."""
    texts = [(2, b"a\x1b[31mb"), (2, b"\xc2\x9b2J"), (4, "\u017c\u00f3\u0142w".encode()), (2, b"\xff\"\\"),
             (2, b"cut\0here")]
    pcap = os.path.join(work, "labels.pcap")
    write_exchanges(pcap, [exchange(w.body(*[w.value(tag, w.block(data + b"\0")) for tag, data in texts]))])
    shown = [line.strip() for line in tshark.run(["-r", pcap, "-V", "-Y", "drav"], "labels").splitlines()]
    for label in ['Value 0: String "a\\x1B[31mb"', 'Value 1: String "\\xC2\\x9B2J"',
                  'Value 2: UTF8String "\u017c\u00f3\u0142w"', 'Value 3: String "\\xFF\\"\\\\"',
                  'Value 4: String "cut"']:
        expect(label in shown, "labels: no line %r in the tree" % label)


def check(tshark, work, expect, expect_equal):
    check_labels(tshark, work, expect)
    run(tshark, work, cases(expect, expect_equal), "made-up bodies", expect)
    run(tshark, work, limit_cases(expect, expect_equal), "decompression limits", expect,
        ["-o", "drav.decompression_budget:4194304", "-o", "drav.max_depth:1000"])
