# A connection handler for ScriptedTcpServer (scripted_tcp_server.h): relays
# a POP3 client to the server at 127.0.0.1:110 and, on the first connection
# only, cuts the line at the point the test names in CUT before this text:
#   "retr" - after the first 200 bytes of the first RETR reply;
#   "dele" - right after the reply to the first DELE;
#   "quit" - after QUIT has reached the server and it has answered, before
#            the client gets that answer.
# Later connections are relayed whole.
import select

cut_done = [False]


def handle(conn):
    up = socket.create_connection(("127.0.0.1", 110), timeout=30)
    cutting = not cut_done[0]
    pending = b""
    waiting_for = None  # the reply after which the line is cut

    def finish():
        cut_done[0] = True
        up.close()
        conn.close()

    while True:
        ready, _, _ = select.select([conn, up], [], [], 60)
        if not ready:
            break
        if conn in ready:
            data = conn.recv(65536)
            if not data:
                break
            pending += data
            while b"\r\n" in pending:
                line, pending = pending.split(b"\r\n", 1)
                command = line.upper()
                if cutting and waiting_for is None:
                    if CUT == "retr" and command.startswith(b"RETR"):
                        waiting_for = "retr"
                    elif CUT == "dele" and command.startswith(b"DELE"):
                        waiting_for = "dele"
                    elif CUT == "quit" and command == b"QUIT":
                        up.sendall(line + b"\r\n")
                        up.recv(65536)
                        return finish()
                up.sendall(line + b"\r\n")
        if up in ready:
            data = up.recv(65536)
            if not data:
                break
            if waiting_for == "retr":
                conn.sendall(data[:200])
                return finish()
            conn.sendall(data)
            if waiting_for == "dele":
                return finish()
    up.close()
