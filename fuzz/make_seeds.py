#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/ (run it from
anywhere; it overwrites the named seeds and leaves found inputs alone)."""
import os

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(here, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def framed(t):
    return bytes([len(t) & 0xFF, len(t) >> 8]) + t


def brick(inbox, text, kind=0x80):
    return framed(bytes([kind, 0x09, inbox, len(text) + 1]) + text + b"\0")


# Packet mode (byte 0 even): operations, see receive_plan.hpp.
RAW, TEXT, QUERY, CUT, OVERSIZE, FAILHANDLER, FAILWRITE, LONG, OTHER, SHORT, SILENCE = range(11)


def raw(b):
    return bytes([RAW, len(b)]) + b


def text(inbox, t, kind=1):
    return bytes([TEXT, kind, inbox, len(t)]) + t


def query(inbox, t):
    return bytes([QUERY, inbox, len(t) & 0xFF, len(t) >> 8]) + t


receive = {
    "text": b"\0" + text(1, b"world"),
    "two-in-one-read": b"\0" + text(1, b"A") + text(2, b"B"),
    "split-packet": b"\0" + raw(brick(1, b"world")[:7]) + bytes([CUT]) + raw(brick(1, b"world")[7:]),
    "byte-by-byte": b"\0" + b"".join(raw(bytes([c])) + bytes([CUT]) for c in brick(3, b"hello")),
    "query": b"\0" + query(0, b""),
    "query-long": b"\0" + query(12, b"a?b" * 90),
    "garbage-resync": b"\0" + raw(b"\x07\x00\x80\x09") + bytes([OVERSIZE, 0xFF, 0xFF, CUT]) + text(4, b"after"),
    "inbox-above-9": b"\0" + text(10, b"A") + text(11, b"B") + text(9, b"C"),
    "handler-fails": b"\0" + bytes([FAILHANDLER]) + text(1, b"first") + text(2, b"second"),
    "write-fails": b"\0" + bytes([FAILWRITE]) + query(0, b"") + query(1, b"x"),
    "long-text": b"\0" + bytes([LONG, 0xF0, 0x03, ord("x"), 5]) + bytes([LONG, 0x00, 0x04, ord("y"), 6]),
    "other-and-short": b"\0" + bytes([OTHER, 0x03, 3, 1, 2, 3, SHORT, 5, 1, 2, 3, 4, 5]) + text(0, b"ok"),
    "tone-reply-then-text": b"\0" + raw(b"\x03\x00\x02\x03\x00") + bytes([CUT]) + text(5, b"hi"),
    "empty-reads": b"\0" + bytes([CUT, CUT, CUT]) + text(6, b"x"),
    "header-0105": b"\0" + raw(b"\x05\x01") + b"".join(text(i, b"p%d" % i) for i in range(5))
    + bytes([LONG, 0x2C, 0x01, ord("x"), 5]) + text(6, b"after"),
    "oversize-then-packet": b"\0" + text(1, b"a") + bytes([OVERSIZE, 0x05, 0x01]) + text(2, b"b"),
    "half-packet-then-silence": b"\0" + raw(brick(1, b"lost")[:6]) + bytes([SILENCE])
    + b"".join(text(2, b"n%d" % i) for i in range(10)),
    # Raw mode (byte 0 odd): a plain stream, cut pseudo-randomly.
    "raw-stream": b"\x01\x02\x34\x12" + brick(1, b"one") + b"\xFF\xFF\x00" + brick(2, b"two") + brick(0, b"?q"),
    "raw-big-cuts": b"\x01\xFF\x00\x00" + b"".join(brick(i % 10, b"m%d" % i) for i in range(40)),
}
for name, data in receive.items():
    write("receive", name, data)

bag = {
    "defaults": b'Connection = Boolean 0\nErrorMessage = String ""\nPingNXT = Boolean -1\n',
    "connected": b'Connection = Boolean -1\nErrorMessage = String "No errores"\nPingNXT = Boolean -1\n',
    "escapes": b'# saved\r\n\nErrorMessage = String "a\\"b\\\\c\\x00\\xFF"\r\n',
    "types": b"A = Empty\nB = Integer -32768\nC = Long 2147483647\nD = Boolean 1\n",
    "mismatch": b'Connection = String "maybe"\n',
    "overflow": b"PingNXT = Long 99999\n",
    "twice": b"A = Empty\nA = Empty\n",
    "bad-escape": b'X = String "\\q"\n',
    "quoted-names": b'"with space" = Long 1\n"#hash" = String "x"\nconnection = Boolean -1\n"" = Empty\n',
    "case-twice": b'PingNXT = Boolean 0\npingnxt = Boolean -1\n',
}
for name, data in bag.items():
    write("property_bag", name, data)
