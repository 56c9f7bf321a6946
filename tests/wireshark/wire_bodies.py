"""Call and answer bodies built byte by byte for captures the test makes up:
values of each kind, lists, nested objects, compressed blocks, the
invocation status, and the HTTP messages that carry them. Deliberately
independent of the library: a fault shared by the two would hide itself."""

import struct
import zlib


def u32(n):
    return struct.pack(">I", n & 0xFFFFFFFF)


def value(tag, payload=b""):
    return bytes([0, tag]) + payload


def block(data):
    return u32(len(data)) + data


def text(tag, string):
    return value(tag, block(string.encode() + b"\0"))


def binary(data, tag=3):
    return value(tag, block(data))


def compressed(data, announced=None):
    """A compressed block: the header (announcing `announced`, by default
    the true length) and the zlib stream."""
    header = b"[DRAV_Z=" + str(len(data) if announced is None else announced).encode() + b"]"
    return header + zlib.compress(data)


def value_list(*values):
    return u32(len(values)) + b"".join(values)


def nested(content, type_id=None):
    """An object's bytes: the marker, a typed object's identifier, the content."""
    return b"\x01" + (b"" if type_id is None else u32(type_id)) + content


def status(code, message, text1="sample", text2="echo"):
    strings = [t.encode() + b"\0" for t in (text1, text2, message)]
    return b"".join(block(s) for s in strings) + u32(code)


def body(*values):
    return b"\x01" + value_list(*values)


def answer(values, code=0, message="no error detected"):
    return b"\x01" + value_list(*values) + status(code, message)


def streamed_answer(data, code=0, message="no error detected"):
    return b"\x01" + value(3, u32(len(data))) + data + status(code, message, text2="generateBinary")


def call(arguments, method="echo", blob=b"", mode="NO", extra_headers=""):
    head = ("POST /bridges/sample HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: DRAVBridgeProxy\r\n"
            "DRAVBridgeName: sample\r\nDRAVMethodName: %s\r\nDRAVMethodNeedSsoToken: no\r\n"
            "DRAVStreamingMode: %s\r\nDRAVArgs-Size: %d\r\nDRAVExtraBlob-Size: %d\r\n%s"
            "Content-Length: %d\r\n\r\n" % (method, mode, len(arguments), len(blob), extra_headers,
                                             len(arguments) + len(blob)))
    return head.encode() + arguments + blob


def bridge_answer(payload, chunked=False):
    head = "HTTP/1.1 200 OK\r\nServer: dravbridge\r\nContent-Type: application/octet-stream\r\n"
    if not chunked:
        return (head + "Content-Length: %d\r\n\r\n" % len(payload)).encode() + payload
    pieces = [payload[i:i + 1000] for i in range(0, len(payload), 1000)]
    chunks = b"".join(b"%x\r\n" % len(p) + p + b"\r\n" for p in pieces)
    return (head + "Transfer-Encoding: chunked\r\n\r\n").encode() + chunks + b"0\r\n\r\n"


def host_text(code, reason, message, extra_headers=""):
    data = (message + "\n").encode()
    return ("HTTP/1.1 %d %s\r\nServer: dravbridge\r\nContent-Type: text/plain; charset=utf-8\r\n%s"
            "X-Content-Type-Options: nosniff\r\nContent-Length: %d\r\n\r\n"
            % (code, reason, extra_headers, len(data))).encode() + data
