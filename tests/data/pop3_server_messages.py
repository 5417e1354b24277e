# What a POP3 server hands out, read with a plain socket, as the program must
# store it: for each message of the mailbox one output line
#   NUMBER UIDL HEX
# where HEX is the message as the program keeps it: the RETR reply's lines
# (NUL bytes dropped; CR LF, a bare CR and a bare LF each end a line), a dot
# taken off every line that begins with one and is longer than it, each line
# ended by CR LF.
#
# Usage: pop3_server_messages.py HOST PORT USER PASSWORD
import binascii
import re
import socket
import sys

host, port, user, password = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
s = socket.create_connection((host, port), timeout=30)
f = s.makefile("rb")


def command(line):
    s.sendall(line.encode() + b"\r\n")
    reply = f.readline()
    if not reply.startswith(b"+OK"):
        print("%s: %r" % (line, reply))
        sys.exit(1)
    return reply


def listing():
    lines = []
    while True:
        line = f.readline()
        if line == b".\r\n":
            return lines
        if not line:
            print("connection ended in a listing")
            sys.exit(1)
        lines.append(line)


f.readline()
command("USER " + user)
command("PASS " + password)
command("UIDL")
uidls = {}
for line in listing():
    number, uidl = line.decode().split()
    uidls[int(number)] = uidl
for number in sorted(uidls):
    command("RETR %d" % number)
    raw = b"".join(listing())
    lines = re.split(rb"\r\n|\r|\n", raw.replace(b"\0", b""))
    if lines and lines[-1] == b"":
        lines.pop()
    lines = [l[1:] if len(l) > 1 and l.startswith(b".") else l for l in lines]
    text = b"".join(l + b"\r\n" for l in lines)
    print(number, uidls[number], binascii.hexlify(text).decode())
command("QUIT")
