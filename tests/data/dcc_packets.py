#!/usr/bin/python3
# DCC packets built with struct, as the protocol lays them out, for the
# client's tests to compare with byte for byte. One request a line on stdin,
# one packet a line on stdout (hex):
#   nop H P R T
#   query H P R T [TYPE:HEXSUM ...]
#   resp SENDER R COUNT ...            (QUERY_RESP)
#   ok SENDER R MAXVERSION DELAY BRAND (OK; the brand in hex)
#   error SENDER R TEXT                (ERROR; the text in hex)
# Length, sender and counts go in network order; h, p, r and t least
# significant byte first, as the client holds them.
import struct
import sys

VERSION = 4
NOP, QUERY, QUERY_RESP, OK, ERROR = 1, 3, 4, 6, 7
SIGNATURE = bytes(16)


def header(length, op, sender, h, p, r, t):
    return struct.pack('!HBBI', length, VERSION, op, sender) + struct.pack('<IIII', h, p, r, t)


def build(words):
    kind, args = words[0], words[1:]
    if kind == 'nop':
        h, p, r, t = map(int, args[:4])
        return header(40, NOP, 1, h, p, r, t) + SIGNATURE
    if kind == 'query':
        h, p, r, t = map(int, args[:4])
        items = b''
        for item in args[4:]:
            ck_type, ck_sum = item.split(':')
            items += struct.pack('!BB16s', int(ck_type), 18, bytes.fromhex(ck_sum))
        n = len(items) // 18
        return header(44 + 18 * n, QUERY, 1, h, p, r, t) + struct.pack('!I', 0) + items + SIGNATURE
    sender, r = int(args[0]), int(args[1])
    if kind == 'resp':
        counts = [int(c) for c in args[2:]]
        body = struct.pack('!%dI' % len(counts), *counts)
        return header(40 + len(body), QUERY_RESP, sender, 0, 0, r, 1) + body + SIGNATURE
    if kind == 'ok':
        brand = bytes.fromhex(args[4]) if len(args) > 4 else b''
        body = struct.pack('!BBH64s', int(args[2]), 0, int(args[3]), brand)
        return header(24 + len(body) + 16, OK, sender, 0, 0, r, 1) + body + SIGNATURE
    if kind == 'error':
        text = bytes.fromhex(args[2]) + b'\0'
        return header(24 + len(text), ERROR, sender, 0, 0, r, 1) + text
    raise SystemExit('unknown packet ' + kind)


for line in sys.stdin:
    if line.strip():
        print(build(line.split()).hex())
