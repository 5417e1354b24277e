# A scripted POP3 peer for the local server's tests: connects, then for each
# step sends a line (unless it is null) and reads what the step asks for,
# printing every line received (line end included) as hexadecimal digits, one
# per output line.
#
# Usage: pop3_dialogue.py PORT STEPS-JSON [HOST [SOURCE-ADDRESS]]
# A step is [line or null, mode]; mode "1" reads one line, "M" one line and,
# when it begins with "+OK", the lines up to ".", "E" everything up to the
# end of the connection, "0" nothing, "drop" closes the connection at once.
import binascii
import json
import socket
import sys

port = int(sys.argv[1])
steps = json.loads(sys.argv[2])
host = sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1"
source = sys.argv[4] if len(sys.argv) > 4 else None

s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.settimeout(20)
if source:
    s.bind((source, 0))
s.connect((host, port))
f = s.makefile("rb")


def out(line):
    print(binascii.hexlify(line).decode() if line else "<EOF>")
    sys.stdout.flush()


for line, mode in steps:
    if line is not None:
        s.sendall(line.encode("latin-1") + b"\r\n")
    if mode == "1":
        out(f.readline())
    elif mode == "M":
        first = f.readline()
        out(first)
        if first.startswith(b"+OK"):
            while True:
                got = f.readline()
                out(got)
                if got in (b".\r\n", b""):
                    break
    elif mode == "E":
        while True:
            try:
                got = f.readline()
            except ConnectionResetError:
                got = b""
            out(got)
            if not got:
                break
    elif mode == "drop":
        s.close()
        break
