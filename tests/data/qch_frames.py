#!/usr/bin/python3
"""The central service's TCP frames and UDP datagrams, built with struct from
the protocol's description alone: the tests' oracle for the C++ encoders and
decoders, and the codec of the fake service (qch_fake_service.py).

A message is a dict. Every message has "type" (1 to 18), "version" (the
packed version, major in the lowest byte; pack_version) and "id". Byte and
text fields are hexadecimal strings, so any byte travels through JSON:

  2  client             user_id, key (hex, cut or zero-padded to 16 bytes),
                        client_tag (hex, 16 bytes)
  3  server             status
  7  match query        client fields; check_sums [int], body_sum, fuz1_sum,
                        fuz2_sum (hex, 16 bytes each)
  9  message-record req client fields; msg_number
  11 categorise req     client fields; msg_number, category, spare
  13 submit text        client fields; check_sums, body_sum, fuz1_sum,
                        fuz2_sum, category, text (hex)
  14 user update        client fields; msg_number, extra_info (hex)
  15 submit tests       client fields; trites ("y"/"n"/"u" letters, stored
                        in the container's stored form, so at most 97),
                        stat_data (hex), probabilities (text), occasion
  17 get external ip    client fields
  4  redirect           status; host (hex)
  5  assign user id     status; key (hex, 16 bytes as sent), user_id, spare
  6  email user         status; text (hex)
  8  match response     status; msg_number, records [record], text_item_id,
                        extra_info (hex)
  10 message record     status; rec {msg_number, first_seen, last_seen (days
                        as floats), extra_info (hex), times_encountered,
                        counts [9 votes], staff, check_sums}
  12 categorise resp    status; text (hex)
  16 return prob        status; probabilities (text), stop_codes (hex)
  18 external ip resp   status; address
A record (44 bytes): kind, times_encountered, counts [9], staff, item_id,
extra_count, common_count, missing_count.

The layout follows from the version: below 1.1.2.66 the 5-byte header and
no section sizes (the client section then carries the version), at
1.1.2.66 the 21-byte header without section sizes, above it every section
led by its size. "header_extra" and "section_extra" (byte counts) make a
newer peer's longer header and sections; encode() writes zero bytes there.

Command line (JSON on standard input, answers on standard output):
  encode      a list of messages    -> one hex line each
  decode      hex lines             -> one JSON line each ({"error": ...}
                                       for a frame that does not decode)
  records     a list of records     -> one hex line each (44 bytes)
  counts      a list of [9 votes + staff] -> one hex line each (19 bytes)
  udp         a list of {kind, encoding, user_id, query_id, data (hex)}
                                    -> one hex line each
  stopcodes   a list of {user_id, query_id, bits {bit: 0/1}, ints {offset:
              value}}               -> per item a hex line and the dump
                                       (CR LF joined, as one JSON string)
  dates       a list of [y, m, d, h, mi, s] -> per item the day number and
              the "dd mmm yyyy hh-nn-ss" text, as a JSON list
"""
import datetime
import json
import struct
import sys

MARKER = 2147482981
MAX_FRAME = 16 * 1024 * 1024
RECORD = struct.Struct("<B3xi18sBxiiii")  # 44 bytes; counts as 18 bytes + staff
COUNTS = struct.Struct("<9HB")             # 19 bytes
CLIENT_TYPES = {2, 7, 9, 11, 13, 14, 15, 17}
SERVER_TYPES = {3, 4, 5, 6, 8, 10, 12, 16, 18}
STOP_CODE_NAMES = [
    "RepStandTestArrayOnDoneProcessing", "RepStandTestArrayOnCatPers",
    "RepStandTestArrayOnCatSpam", "RepQuorTestStatDataOnDoneProcessing",
    "RepQuorTestStatDataOnCatSpam", "RepQuorTestStatDataOnCatPers",
    "RepStandTestArrayOnDoneProcessingUDP", "RepStandTestArrayOnCatPersUDP",
    "RepStandTestArrayOnCatSpamUDP", "RepQuorStatDataOnDoneProcessingUDP",
    "RepQuorStatDataOnCatSpamUDP", "RepQuorStatDataOnCatPersUDP",
]


def pack_version(major, minor, release, build):
    return (major & 255) | (minor & 255) << 8 | (release & 255) << 16 | (build & 255) << 24


V11266 = pack_version(1, 1, 2, 66)
MARKERLESS = pack_version(0, 1, 2, 66)


def version_cmp(a, b):
    """-1, 0 or 1: byte by byte from the major number."""
    for shift in (0, 8, 16, 24):
        x, y = (a >> shift) & 255, (b >> shift) & 255
        if x != y:
            return -1 if x < y else 1
    return 0


def layout(version):
    c = version_cmp(version, V11266)
    return "old" if c < 0 else ("at" if c == 0 else "new")


def hx(b):
    return b.hex()


def unhex(s):
    return bytes.fromhex(s or "")


# ---------------------------------------------------------------------------
# The stored container of CompressString (texts that stay short)

def compress_stored(text):
    if not text:
        return b""
    if len(text) < 3 or text.startswith(b".."):
        text = b".." + text
    if len(text) >= 100:
        raise ValueError("only texts that stay under 100 bytes are stored as they are")
    return b"\x02" + text


def expand_stored(text):
    if len(text) < 8 and (not text or text[0] != 2):
        return text
    if text[0] != 2:
        return None  # coded: not read here
    out = text[1:]
    return out[2:] if len(out) > 2 and out.startswith(b"..") else out


def trite_letters(text):
    """The plain trite form cut after its last y or n (one u when none)."""
    text = "".join(c if c in "yn" else "u" for c in text)
    last = max(text.rfind("y"), text.rfind("n"))
    return text[:last + 1] if last >= 0 else ("u" if text else "")


# ---------------------------------------------------------------------------
# Encoding

class Writer:
    def __init__(self, lay, section_extra):
        self.out = bytearray()
        self.lay = lay
        self.extra = section_extra

    def put(self, fmt, *values):
        self.out += struct.pack("<" + fmt, *values)

    def raw(self, b):
        self.out += b

    def text(self, b):
        self.put("i", len(b))
        self.raw(b)

    def sums(self, values):
        self.put("i", 4 * len(values))
        for v in values:
            self.put("I", v & 0xFFFFFFFF)

    def section(self, body):
        """Appends one section: its size first above 1.1.2.66."""
        if self.lay == "new":
            body = body + bytes(self.extra)
            self.put("i", len(body) + 4)
        self.raw(body)


def body(lay, fn):
    w = Writer(lay, 0)
    fn(w)
    return bytes(w.out)


def key16(b):
    return (b + bytes(16))[:16]


def encode_record(r):
    counts = struct.pack("<9H", *r.get("counts", [0] * 9))
    return RECORD.pack(r.get("kind", 0), r.get("times_encountered", 0), counts,
                       r.get("staff", 0), r.get("item_id", 0), r.get("extra_count", 0),
                       r.get("common_count", 0), r.get("missing_count", 0))


def encode_counts(values):
    return COUNTS.pack(*values[:9], values[9])


def encode(m):
    t = m["type"]
    v = m.get("version", pack_version(1, 2, 0, 1))
    lay = layout(v)
    w = Writer(lay, m.get("section_extra", 0))
    w.put("i", 0)
    w.put("B", m.get("type_byte", t))
    if lay != "old":
        header_extra = m.get("header_extra", 0)
        w.put("iiIi", MARKER, 21 + header_extra, v, m.get("id", 0))
        w.raw(bytes(header_extra))
    if t in CLIENT_TYPES:
        def client(x):
            x.raw(key16(unhex(m.get("key"))))
            x.put("i", m.get("user_id", 0))
            if lay == "old":
                x.put("I", v)
            x.raw(key16(unhex(m.get("client_tag"))))
        w.section(body(lay, client))
    elif t in SERVER_TYPES:
        w.section(struct.pack("<B", m.get("status", 0)))
    digests = lambda x: [x.raw(key16(unhex(m.get(k)))) for k in ("body_sum", "fuz1_sum", "fuz2_sum")]
    if t == 7:
        w.section(body(lay, lambda x: (x.sums(m.get("check_sums", [])), digests(x))))
    elif t == 9:
        w.section(struct.pack("<i", m.get("msg_number", 0)))
    elif t == 11:
        w.section(struct.pack("<iBi", m.get("msg_number", 0), m.get("category", 0), m.get("spare", 0)))
    elif t == 13:
        w.section(body(lay, lambda x: (x.sums(m.get("check_sums", [])), digests(x),
                                       x.put("B", m.get("category", 0)),
                                       x.text(unhex(m.get("text"))))))
    elif t == 14:
        w.section(body(lay, lambda x: (x.put("i", m.get("msg_number", 0)),
                                       x.text(unhex(m.get("extra_info"))))))
    elif t == 15:
        def tests(x):
            x.text(compress_stored(trite_letters(m.get("trites", "")).encode()))
            if lay == "new":
                x.text(unhex(m.get("stat_data")))
            x.text(m.get("probabilities", "").encode())
            if lay == "new":
                x.put("B", m.get("occasion", 0))
        w.section(body(lay, tests))
    elif t == 17:
        w.section(b"")
    elif t == 4:
        w.section(body(lay, lambda x: x.text(unhex(m.get("host")))))
    elif t == 5:
        w.section(key16(unhex(m.get("key"))) + struct.pack("<iB", m.get("user_id", 0), m.get("spare", 0)))
    elif t in (6, 12):
        w.section(body(lay, lambda x: x.text(unhex(m.get("text")))))
    elif t == 8:
        def match(x):
            records = m.get("records", [])
            x.put("ii", m.get("msg_number", 0), 44 * len(records))
            for r in records:
                x.raw(encode_record(r))
            x.put("i", m.get("text_item_id", 0))
            x.text(unhex(m.get("extra_info")))
        w.section(body(lay, match))
    elif t == 10:
        r = m.get("rec", {})
        def rec(x):
            x.put("idd", r.get("msg_number", 0), r.get("first_seen", 0.0), r.get("last_seen", 0.0))
            x.text(unhex(r.get("extra_info")))
            x.put("i", r.get("times_encountered", 0))
            x.raw(encode_counts(r.get("counts", [0] * 9) + [r.get("staff", 0)]))
            x.sums(r.get("check_sums", []))
        w.section(body(lay, rec))
    elif t == 16:
        def prob(x):
            x.text(m.get("probabilities", "").encode())
            if lay == "new":
                x.text(unhex(m.get("stop_codes")))
        w.section(body(lay, prob))
    elif t == 18:
        w.section(struct.pack("<i", m.get("address", 0)))
    out = w.out
    struct.pack_into("<i", out, 0, len(out))
    return bytes(out)


# ---------------------------------------------------------------------------
# Decoding (what the fake service reads of the client's requests)

class DecodeError(Exception):
    pass


class Reader:
    def __init__(self, data, pos):
        self.d, self.p = data, pos

    def get(self, fmt):
        size = struct.calcsize("<" + fmt)
        if self.p + size > len(self.d):
            raise DecodeError("short")
        values = struct.unpack_from("<" + fmt, self.d, self.p)
        self.p += size
        return values if len(values) > 1 else values[0]

    def raw(self, n):
        if n < 0 or self.p + n > len(self.d):
            raise DecodeError("short")
        b = self.d[self.p:self.p + n]
        self.p += n
        return b

    def text(self):
        return self.raw(self.get("i"))

    def sums(self):
        n = self.get("i")
        if n < 0 or n % 4:
            raise DecodeError("bad checksum count")
        return [x for x in struct.unpack_from("<%dI" % (n // 4), self.raw(n))]


def frame_length(buf):
    """(state, length): "incomplete", "complete" or "invalid"."""
    if len(buf) < 4:
        return "incomplete", 0
    n = struct.unpack_from("<i", buf)[0]
    if n < 5 or n > MAX_FRAME:
        return "invalid", n
    return ("complete" if len(buf) >= n else "incomplete"), n


def decode(frame):
    """The fields of one whole frame (as encode takes them)."""
    state, n = frame_length(frame)
    if state != "complete":
        raise DecodeError(state)
    data = frame[:n]
    r = Reader(data, 4)
    t = r.get("B") & 0x7F
    m = {"type": t}
    marker = struct.unpack_from("<i", data, 5)[0] if len(data) >= 9 else 0
    if marker == MARKER:
        r.p = 9
        h, v, i = r.get("i"), r.get("I"), r.get("i")
        m.update(version=v, id=i)
        if h < 21 or h > n:
            raise DecodeError("header size %d" % h)
        r.p = h
        lay = layout(v)
    else:
        m.update(version=MARKERLESS, id=0)
        r.p = 5
        lay = "old"

    def section(fn):
        start = r.p
        size = r.get("i") if lay == "new" else None
        fn()
        if size is not None:
            used = r.p - start
            if size < used or start + size > n:
                raise DecodeError("section size %d" % size)
            r.p = start + size

    if t in CLIENT_TYPES:
        def client():
            m["key"] = hx(r.raw(16).split(b"\0")[0])
            m["user_id"] = r.get("i")
            if lay == "old":
                m["version"] = r.get("I")
            m["client_tag"] = hx(r.raw(16))
        section(client)
    elif t in SERVER_TYPES:
        section(lambda: m.update(status=r.get("B")))

    def digests():
        for k in ("body_sum", "fuz1_sum", "fuz2_sum"):
            m[k] = hx(r.raw(16))
    if t == 7:
        section(lambda: (m.update(check_sums=r.sums()), digests()))
    elif t == 9:
        section(lambda: m.update(msg_number=r.get("i")))
    elif t == 11:
        section(lambda: m.update(msg_number=r.get("i"), category=r.get("B"), spare=r.get("i")))
    elif t == 13:
        section(lambda: (m.update(check_sums=r.sums()), digests(),
                         m.update(category=r.get("B"), text=hx(r.text()))))
    elif t == 14:
        section(lambda: m.update(msg_number=r.get("i"), extra_info=hx(r.text())))
    elif t == 15:
        def tests():
            expanded = expand_stored(r.text())
            m["trites"] = expanded.decode("latin-1") if expanded is not None else None
            if lay == "new":
                m["stat_data"] = hx(r.text())
            m["probabilities"] = r.text().decode("latin-1")
            if lay == "new":
                m["occasion"] = r.get("B")
        section(tests)
    elif t == 17:
        section(lambda: None)
    elif t == 4:
        section(lambda: m.update(host=hx(r.text())))
    elif t == 5:
        section(lambda: m.update(key=hx(r.raw(16)), user_id=r.get("i"), spare=r.get("B")))
    elif t in (6, 12):
        section(lambda: m.update(text=hx(r.text())))
    elif t == 8:
        def match():
            m["msg_number"], count = r.get("i"), r.get("i")
            if count < 0 or count % 44:
                raise DecodeError("record bytes %d" % count)
            m["records"] = []
            for _ in range(count // 44):
                kind, times, counts, staff, item, extra, common, missing = RECORD.unpack(r.raw(44))
                m["records"].append(dict(kind=kind, times_encountered=times,
                                         counts=list(struct.unpack("<9H", counts)), staff=staff,
                                         item_id=item, extra_count=extra,
                                         common_count=common, missing_count=missing))
            m["text_item_id"] = r.get("i")
            m["extra_info"] = hx(r.text())
        section(match)
    elif t == 10:
        def rec():
            x = {}
            x["msg_number"], x["first_seen"], x["last_seen"] = r.get("i"), r.get("d"), r.get("d")
            x["extra_info"] = hx(r.text())
            x["times_encountered"] = r.get("i")
            values = COUNTS.unpack(r.raw(19))
            x["counts"], x["staff"] = list(values[:9]), values[9]
            x["check_sums"] = r.sums()
            m["rec"] = x
        section(rec)
    elif t == 16:
        def prob():
            m["probabilities"] = r.text().decode("latin-1")
            if lay == "new":
                m["stop_codes"] = hx(r.text())
        section(prob)
    elif t == 18:
        section(lambda: m.update(address=r.get("i")))
    return m


# ---------------------------------------------------------------------------
# Datagrams

def udp_datagram(kind, encoding=0, user_id=0, query_id=0, data=b"", version=1):
    """The 20-byte header written field by field at offsets 0, 3, 7, 11, 15
    (Kind after Version, so Kind's low byte overwrites Version's high byte)."""
    out = bytearray(20)
    for offset, value in ((0, version), (3, kind), (7, encoding), (11, user_id), (15, query_id)):
        struct.pack_into("<i", out, offset, value)
    return bytes(out) + data


def udp_int(data, offset):
    return struct.unpack_from("<i", data, offset)[0] if len(data) >= offset + 4 else 0


def stop_codes(user_id=0, query_id=0, bits=None, ints=None):
    out = bytearray(udp_datagram(0, 0, user_id, query_id))
    out += bytes(68 - len(out))
    struct.pack_into("<i", out, 3, 1)
    defaults = {b: 0 for b in range(160, 173)}
    defaults.update({b: 1 for b in range(164, 172)})
    defaults.update({int(k): v for k, v in (bits or {}).items()})
    for bit, on in defaults.items():
        if on:
            out[bit // 8] |= 1 << (bit % 8)
        else:
            out[bit // 8] &= ~(1 << (bit % 8)) & 255
    values = {23: 11, 27: 11, 31: 50, 35: 20}
    values.update({int(k): v for k, v in (ints or {}).items()})
    for offset, value in values.items():
        struct.pack_into("<i", out, offset, value)
    return bytes(out)


def stop_codes_dump(data):
    bit = lambda i: bool(data[i // 8] >> (i % 8) & 1) if i // 8 < len(data) else False
    tf = lambda b: "True" if b else "False"
    mn, emn, past, future = (udp_int(data, o) for o in (23, 27, 31, 35))
    lines = ["Version=%d" % udp_int(data, 0), "Kind=%d" % udp_int(data, 3),
             "Encoding=%d" % udp_int(data, 7), "UserId=%d" % udp_int(data, 11),
             "QueryId=%d" % udp_int(data, 15), "DataSize=%d" % (len(data) - 20)]
    lines += ["%s=%s" % (name, tf(bit(160 + i))) for i, name in enumerate(STOP_CODE_NAMES)]
    lines += ["TransSendSomeUdp=" + tf(mn < 11 or emn < 11),
              "TransSmartUdp=" + tf(past > 0 or future > 0),
              "TransUdpMin=%d" % mn, "TransUdpErrorMin=%d" % emn,
              "TransUdpSmartPast=%d" % past, "TransUdpSmartFuture=%d" % future]
    return "\r\n".join(lines)


# ---------------------------------------------------------------------------
# Dates

EPOCH = datetime.datetime(1899, 12, 30)


def date_days(dt):
    return (dt - EPOCH) / datetime.timedelta(days=1)


def main():
    command = sys.argv[1]
    if command == "decode":
        for line in sys.stdin.read().split():
            try:
                print(json.dumps(decode(bytes.fromhex(line))))
            except (DecodeError, struct.error) as e:
                print(json.dumps({"error": str(e)}))
        return
    items = json.load(sys.stdin)
    for item in items:
        if command == "encode":
            print(hx(encode(item)))
        elif command == "records":
            print(hx(encode_record(item)))
        elif command == "counts":
            print(hx(encode_counts(item)))
        elif command == "udp":
            print(hx(udp_datagram(item["kind"], item.get("encoding", 0), item.get("user_id", 0),
                                  item.get("query_id", 0), unhex(item.get("data")))))
        elif command == "stopcodes":
            data = stop_codes(item.get("user_id", 0), item.get("query_id", 0),
                              item.get("bits"), item.get("ints"))
            print(hx(data))
            print(json.dumps(stop_codes_dump(data)))
        elif command == "dates":
            dt = datetime.datetime(*item)
            print(json.dumps([date_days(dt), dt.strftime("%d %b %Y %H-%M-%S")]))
        else:
            sys.exit("unknown command " + command)


if __name__ == "__main__":
    main()
