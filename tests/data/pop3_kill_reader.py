# The mail reader of the kill test: logs in at the local POP3 server again and
# again (the server dies and comes back meanwhile), retrieves every message
# whose UIDL it does not hold yet, deletes those whose Message-Id number is a
# multiple of three, and QUITs. It keeps each message it got as a file named
# after its Message-Id in the folder of its second argument; one it gets a
# second time under another UIDL is written to "duplicates". Runs until it is
# stopped.
#
# Usage: pop3_kill_reader.py PORT FOLDER
import os
import poplib
import re
import sys
import time

port = int(sys.argv[1])
folder = sys.argv[2]
held = set()
ids = {}


def message_id(lines):
    for line in lines:
        if not line:
            break
        found = re.match(rb"(?i)message-id:\s*<(\d+)@kill>", line)
        if found:
            return int(found.group(1))
    return None


def keep(number, text):
    path = os.path.join(folder, "%d.eml" % number)
    with open(path + ".tmp", "wb") as f:
        f.write(text)
    os.rename(path + ".tmp", path)


while True:
    try:
        p = poplib.POP3("127.0.0.1", port, timeout=10)
        p.user("bob")
        p.pass_("secret")
        listing = [l.decode("latin-1").split() for l in p.uidl()[1]]
        for n, uidl in listing:
            number = ids.get(uidl)
            if uidl not in held:
                resp, lines, octets = p.retr(int(n))
                number = message_id(lines)
                if number is None:
                    continue
                if os.path.exists(os.path.join(folder, "%d.eml" % number)):
                    with open(os.path.join(folder, "duplicates"), "a") as f:
                        f.write("%d %s\n" % (number, uidl))
                keep(number, b"".join(l + b"\r\n" for l in lines))
                held.add(uidl)
                ids[uidl] = number
            if number is not None and number % 3 == 0:
                p.dele(int(n))
        p.quit()
    except Exception:
        pass
    time.sleep(0.05)
