# A mail reader made of Python's poplib, for the interception tests: logs in
# at 127.0.0.1:110 (each USER:PASS pair in turn until one is accepted, on the
# same connection), then, with "transcript", asks every command of the
# protocol once and prints each answer; with "delete", deletes message 1
# before QUIT. Every output line is a tag and hexadecimal fields, so that the
# bytes can be compared exactly.
#
# Usage: pop3_reader_transcript.py [transcript] [delete] USER:PASS...
import binascii
import poplib
import sys

args = sys.argv[1:]
transcript = "transcript" in args
delete = "delete" in args
logins = [a for a in args if ":" in a]


def hexed(data):
    return binascii.hexlify(data).decode() or "-"


def show(tag, answer):
    if isinstance(answer, tuple):
        print(tag, hexed(answer[0]), len(answer[1]), answer[2], *[hexed(l) for l in answer[1]])
    else:
        print(tag, hexed(answer))
    sys.stdout.flush()


p = poplib.POP3("127.0.0.1", 110, timeout=30)
for login in logins:
    user, password = login.split(":", 1)
    try:
        p.user(user)
        print("login", p.pass_(password).decode("latin-1"))
        break
    except poplib.error_proto as e:
        print("refused", e.args[0].decode("latin-1"))
else:
    sys.exit(0)
sys.stdout.flush()
if transcript:
    count = p.stat()[0]
    show("stat", p._shortcmd("STAT"))
    show("list", p.list())
    show("uidl", p.uidl())
    for n in range(1, count + 1):
        show("retr%d" % n, p.retr(n))
    if count:
        show("top", p.top(1, 1))
        show("list1", p.list(1))
        show("uidl1", p.uidl(1))
    show("noop", p.noop())
    try:
        show("bad", p._shortcmd("RETR 999"))
    except poplib.error_proto as e:
        print("bad", hexed(e.args[0]))
if delete:
    show("dele", p.dele(1))
show("quit", p.quit())
