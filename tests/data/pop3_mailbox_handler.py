# A connection handler for ScriptedTcpServer (scripted_tcp_server.h): a small
# POP3 server over a mailbox kept in a JSON file whose path the test puts in
# STATE_PATH before this text. The file holds
#   "messages":    [[uidl, text], ...] (text with LF line ends)
#   "uidl_order":  the message numbers in the order UIDL lists them (optional)
#   "commands":    every command received, appended
#   "deleted":     the UIDLs deleted by a QUIT, appended
# Any USER and PASS are accepted; DELE takes effect at QUIT only.
import json


def handle(conn):
    with open(STATE_PATH) as f:
        state = json.load(f)
    messages = state["messages"]
    order = state.get("uidl_order") or list(range(1, len(messages) + 1))
    reader = conn.makefile("rb")

    def send(text):
        conn.sendall(text.encode("latin-1") + b"\r\n")

    def save():
        with open(STATE_PATH, "w") as f:
            json.dump(state, f)

    send("+OK ready")
    deleted = set()
    while True:
        raw = reader.readline()
        if not raw:
            save()
            return
        words = raw.decode("latin-1").strip().split(" ")
        command = words[0].upper()
        state["commands"].append(" ".join(words))
        if command in ("USER", "PASS", "NOOP"):
            send("+OK")
        elif command == "UIDL":
            send("+OK")
            for n in order:
                send("%d %s" % (n, messages[n - 1][0]))
            send(".")
        elif command == "LIST":
            send("+OK")
            for i, m in enumerate(messages):
                send("%d %d" % (i + 1, len(m[1])))
            send(".")
        elif command == "RETR":
            n = int(words[1])
            send("+OK")
            for line in messages[n - 1][1].split("\n")[:-1]:
                send("." + line if line.startswith(".") else line)
            send(".")
        elif command == "DELE":
            deleted.add(int(words[1]))
            send("+OK")
        elif command == "QUIT":
            state["deleted"] += [messages[n - 1][0] for n in sorted(deleted)]
            state["messages"] = [m for i, m in enumerate(messages) if i + 1 not in deleted]
            state.pop("uidl_order", None)
            save()
            send("+OK bye")
            return
        else:
            send("-ERR unknown")
