#!/usr/bin/python3
"""A fake of the central service for tests: TCP and UDP on one address,
answering as a script says, logging every frame and datagram it receives.
Single-threaded (selectors); what it sends is scheduled, so slow peers,
pauses and closes never hold up another connection.

usage: qch_fake_service.py SCRIPT LOG [HOST [TCP_PORT [UDP_PORT]]]
  Port 0 (the default) takes a free port. Prints "PORT <tcp> <udp>" once it
  listens. SCRIPT is a JSON file:

  {
    "peer": "new" | "at" | "old" | <packed version>   replies' version
                                                       (default "new", 1.2.0.1)
    "header_extra": n, "section_extra": n   a newer peer's longer header and
                                            sections (zero bytes)
    "unknown_before": n                     n frames of type 19 before every
                                            standard reply (a newer peer's
                                            messages the client cannot know)
    "assign": {"user_id": n, "key": hex}    handshakes with user id 0 get this
                                            id and key; from then on every frame
                                            and datagram is checked for them
    "email": hex                            handshakes get this message
    "handshake": [[action...], ...]         per handshake, in order of arrival
    "handshake_always": [action...]         for every handshake past that list
    "stop_codes": {"bits": {..}, "ints": {..}}   what probability replies
                                            carry (default: bit 172 on)
    "requests": {"<type>": [[action...], ...]}   per request of the type
    "udp": [[udp action...], ...]           per datagram
    "udp_always": [udp action...]           for every datagram past that list
  }
  When a list of occurrences runs out, the standard answer follows: a plain
  handshake reply, the reply the request type calls for (status 1, the
  request's id; none for a request with id 0), nothing over UDP.

  TCP actions (for one frame):
    {"reply": {fields}}    the standard reply with these fields changed
    {"frame": {message}}   any message (qch_frames.encode); id defaults to
                           the request's, version to the peer's
    {"redirect": "host"}   a redirect (its host as text)
    {"raw": hex}           bytes as they are
    {"unknown": n}         n frames of type 19 (8 zero bytes of body each)
    {"flood": n}           n standard replies for other ids (the request's id
                           + 10000000 + i, far from any id a client makes soon)
    {"hold": n}            the standard reply held back; once n are held they
                           go out in reverse order
    {"sleep": ms}          a pause before what follows
    {"slow": ms}           what follows goes one byte per ms
    {"close": true}        closes the connection after what went before
    {"silent": true}       nothing (the frame is only logged)
  UDP actions (for one datagram, answered to its sender):
    {"stopcodes": {"bits": {bit: 0|1}, "ints": {offset: value}}}
    {"raw": hex}
    {"other_port": true}   the following answers go from another port

LOG lines ("key=value" words, values without blanks):
  open conn=N                            a connection was accepted
  tcp conn=N type=T id=I user=U key=HEX len=L identity=ok|bad|- frame=HEX
  bad conn=N reason=TEXT                 a frame that does not decode
  close conn=N                           the peer closed
  udp kind=K user=U len=L identity=ok|bad|- hex=HEX
"""
import json
import os
import selectors
import socket
import struct
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qch_frames as q  # noqa: E402

PEERS = {"new": q.pack_version(1, 2, 0, 1), "at": q.V11266, "old": q.pack_version(1, 0, 0, 0)}
REPLY_TYPE = {2: 3, 7: 8, 9: 10, 11: 12, 13: 10, 14: 10, 15: 16, 17: 18}
CLOSE = object()


def standard_reply(request):
    """The reply the request calls for, as fields for qch_frames.encode."""
    t = request["type"]
    reply = {"type": REPLY_TYPE.get(t, 3), "status": 1}
    if t == 7:
        reply.update(msg_number=1234, text_item_id=1234, extra_info=b"HT=1".hex(),
                     records=[{"kind": 1, "times_encountered": 7, "counts": [0, 0, 0, 0, 0, 0, 0, 5, 1],
                               "item_id": 1234, "common_count": 5}])
    elif t in (9, 13, 14):
        reply["rec"] = {"msg_number": request.get("msg_number", 777), "first_seen": 37000.5,
                        "last_seen": 38000.25, "extra_info": request.get("extra_info", b"T=hello".hex()),
                        "times_encountered": 3, "counts": [1, 2, 3, 4, 5, 6, 7, 8, 9], "staff": 0,
                        "check_sums": request.get("check_sums", [1, 2, 3])}
    elif t == 11:
        reply["text"] = b"Thanks".hex()
    elif t == 15:
        reply.update(probabilities="0,0,0,0,0,0,0,80,20,1,1,1,1,1,1,1,5,5",
                     stop_codes=q.stop_codes(bits={172: 1}).hex())
    elif t == 17:
        reply["address"] = struct.unpack("<i", bytes([127, 0, 0, 1]))[0]
    return reply


class Fake:
    def __init__(self, script, log_path, host, tcp_port, udp_port):
        self.script = script
        self.log = open(log_path, "a", buffering=1)
        peer = script.get("peer", "new")
        self.version = PEERS[peer] if isinstance(peer, str) else peer
        self.extra = {"header_extra": script.get("header_extra", 0),
                      "section_extra": script.get("section_extra", 0)}
        self.seen = {}           # occurrences so far, by list name
        self.identity = None     # (user id, key hex) once assigned
        self.conns = {}          # socket -> state
        self.next_conn = 1
        self.sel = selectors.DefaultSelector()
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind((host, tcp_port))
        self.listener.listen(64)
        self.listener.setblocking(False)
        self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        # Room for bursts of reports from several threads: the log is slower
        # than they are.
        try:
            self.udp.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE (root)
        except OSError:
            self.udp.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self.udp.bind((host, udp_port))
        self.udp.setblocking(False)
        self.udp_other = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.udp_other.bind((host, 0))
        self.sel.register(self.listener, selectors.EVENT_READ, "accept")
        self.sel.register(self.udp, selectors.EVENT_READ, "udp")

    def write(self, line):
        self.log.write(line + "\n")

    def occurrence(self, name, entries):
        n = self.seen.get(name, 0)
        self.seen[name] = n + 1
        return entries[n] if n < len(entries) else None

    # -- TCP -----------------------------------------------------------------

    def frame(self, fields, request_id):
        m = dict(self.extra)
        m.update(version=self.version, id=request_id)
        m.update(fields)
        return q.encode(m)

    def schedule(self, conn, data, delay=0.0, slow=0.0):
        c = self.conns[conn]
        at = max(time.monotonic(), c["busy_until"]) + delay
        if slow and data is not CLOSE:
            for i in range(len(data)):
                c["out"].append((at + i * slow, data[i:i + 1]))
            at += len(data) * slow
        else:
            c["out"].append((at, data))
        c["busy_until"] = at

    def identity_state(self, user_id, key):
        if self.identity is None:
            return "-"
        return "ok" if (user_id, key) == self.identity else "bad"

    def handle_frame(self, conn, data):
        c = self.conns[conn]
        try:
            request = q.decode(data)
        except (q.DecodeError, struct.error) as e:
            self.write("bad conn=%d reason=%s" % (c["n"], str(e).replace(" ", "_")))
            return
        t, rid = request["type"], request.get("id", 0)
        self.write("tcp conn=%d type=%d id=%d user=%d key=%s len=%d identity=%s frame=%s" % (
            c["n"], t, rid, request.get("user_id", 0), request.get("key", ""), len(data),
            self.identity_state(request.get("user_id", 0), request.get("key", "")), data.hex()))
        if t == 2:
            actions = self.occurrence("handshake", self.script.get("handshake", []))
            if actions is None:
                actions = self.script.get("handshake_always")
            if actions is None:
                if "assign" in self.script and request.get("user_id", 0) == 0:
                    a = self.script["assign"]
                    actions = [{"frame": {"type": 5, "status": 1, "user_id": a["user_id"],
                                          "key": a["key"]}}]
                    self.identity = (a["user_id"], q.key16(bytes.fromhex(a["key"])).split(b"\0")[0].hex())
                elif "email" in self.script:
                    actions = [{"frame": {"type": 6, "status": 1, "text": self.script["email"]}}]
                else:
                    actions = [{"reply": {}}]
        else:
            actions = self.occurrence(str(t), self.script.get("requests", {}).get(str(t), []))
            if actions is None:
                actions = [{"reply": {}}] if rid != 0 and t in REPLY_TYPE else []
        self.run(conn, request, actions)

    def run(self, conn, request, actions):
        c = self.conns[conn]
        rid = request.get("id", 0)
        slow = 0.0
        delay = 0.0
        for a in actions:
            out = None
            if "reply" in a:
                fields = standard_reply(request)
                if "stop_codes" in self.script and fields["type"] == 16:
                    codes = self.script["stop_codes"]
                    fields["stop_codes"] = q.stop_codes(bits=codes.get("bits"), ints=codes.get("ints")).hex()
                fields.update(a["reply"])
                out = self.unknown(self.script.get("unknown_before", 0)) + self.frame(fields, rid)
            elif "frame" in a:
                out = self.frame(a["frame"], a["frame"].get("id", rid))
            elif "redirect" in a:
                out = self.frame({"type": 4, "status": 1, "host": a["redirect"].encode().hex()}, rid)
            elif "raw" in a:
                out = bytes.fromhex(a["raw"])
            elif "unknown" in a:
                out = self.unknown(a["unknown"])
            elif "flood" in a:
                out = b"".join(self.frame(standard_reply(request), rid + 10000000 + i)
                               for i in range(a["flood"]))
            elif "hold" in a:
                c["held"].append(self.frame(standard_reply(request), rid))
                if len(c["held"]) >= a["hold"]:
                    out = b"".join(reversed(c["held"]))
                    c["held"] = []
            elif "sleep" in a:
                delay += a["sleep"] / 1000.0
            elif "slow" in a:
                slow = a["slow"] / 1000.0
            elif a.get("close"):
                self.schedule(conn, CLOSE, delay)
                delay = 0.0
            if out:
                self.schedule(conn, out, delay, slow)
                delay = 0.0

    @staticmethod
    def unknown(n):
        return b"".join(struct.pack("<iB", 13, 19) + bytes(8) for _ in range(n))

    def accept(self):
        conn, _ = self.listener.accept()
        conn.setblocking(False)
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.conns[conn] = {"n": self.next_conn, "in": b"", "out": [], "busy_until": 0.0,
                            "held": []}
        self.write("open conn=%d" % self.next_conn)
        self.next_conn += 1
        self.sel.register(conn, selectors.EVENT_READ, "conn")

    def drop(self, conn):
        if conn in self.conns:
            self.write("close conn=%d" % self.conns[conn]["n"])
            del self.conns[conn]
            self.sel.unregister(conn)
            conn.close()

    def read(self, conn):
        try:
            data = conn.recv(65536)
        except OSError:
            data = b""
        if not data:
            self.drop(conn)
            return
        c = self.conns[conn]
        c["in"] += data
        while conn in self.conns:
            state, n = q.frame_length(c["in"])
            if state == "invalid":
                self.write("bad conn=%d reason=length_%d" % (c["n"], n))
                self.drop(conn)
                return
            if state == "incomplete":
                return
            frame, c["in"] = c["in"][:n], c["in"][n:]
            self.handle_frame(conn, frame)

    def flush(self):
        now = time.monotonic()
        for conn in list(self.conns):
            c = self.conns.get(conn)
            while c and c["out"] and c["out"][0][0] <= now:
                _, data = c["out"].pop(0)
                if data is CLOSE:
                    self.drop(conn)
                    break
                try:
                    conn.setblocking(True)
                    conn.sendall(data)
                    conn.setblocking(False)
                except OSError:
                    self.drop(conn)
                    break

    def next_due(self):
        due = [c["out"][0][0] for c in self.conns.values() if c["out"]]
        return max(0.0, min(due) - time.monotonic()) if due else None

    # -- UDP -----------------------------------------------------------------

    def datagram(self):
        data, sender = self.udp.recvfrom(65536)
        user = q.udp_int(data, 11)
        state = "-" if self.identity is None else ("ok" if user == self.identity[0] else "bad")
        actions = self.occurrence("udp", self.script.get("udp", []))
        if actions is None:
            actions = self.script.get("udp_always", [])
        # Answered before it is logged: a test that saw the line finds the
        # answer on its way.
        self.answer_datagram(actions, sender)
        self.write("udp kind=%d user=%d len=%d identity=%s hex=%s" % (
            q.udp_int(data, 3), user, len(data), state, data.hex()))

    def answer_datagram(self, actions, sender):
        out = self.udp
        for a in actions:
            if a.get("other_port"):
                out = self.udp_other
            elif "stopcodes" in a:
                s = a["stopcodes"]
                out.sendto(q.stop_codes(bits=s.get("bits"), ints=s.get("ints")), sender)
            elif "raw" in a:
                out.sendto(bytes.fromhex(a["raw"]), sender)

    def serve(self):
        print("PORT", self.listener.getsockname()[1], self.udp.getsockname()[1], flush=True)
        while True:
            for key, _ in self.sel.select(self.next_due()):
                if key.data == "accept":
                    self.accept()
                elif key.data == "udp":
                    self.datagram()
                elif key.fileobj in self.conns:
                    self.read(key.fileobj)
            self.flush()


def main():
    with open(sys.argv[1]) as f:
        script = json.load(f)
    args = sys.argv[3:] + [None] * 3
    host = args[0] or "127.0.0.1"
    Fake(script, sys.argv[2], host, int(args[1] or 0), int(args[2] or 0)).serve()


if __name__ == "__main__":
    main()
