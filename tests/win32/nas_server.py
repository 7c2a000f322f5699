#!/usr/bin/env python3
"""A scripted network UPS server on 127.0.0.1 (and ::1 where the machine has
it) that plays a NAS for the network source's test: UPS name `ups`, account
`monuser` / `secret`.

    nas_server.py --port-file FILE [--lifetime SECONDS]

It writes "NAS_PORT CONTROL_PORT IPV6" to FILE once all listen (IPV6: 1
when it listens on ::1 too, at the same port). The test sets each case up
through the control port (on 127.0.0.1), one line each:

    CASE POLLS [deny=N] [refuse=MS] [figures] [silent]   -> OK
        POLLS: the replies to the status polls, comma-separated, in order,
        the last one repeated; '_' stands for a blank in a status (OB_LB).
        A poll may instead be answered by
          !stale    ERR DATA-STALE
          !drop     the connection dropped (and, with refuse=MS, the port
                    refusing connections for MS milliseconds)
          !silent   nothing, to anything, from then on (connections still
                    accepted)
          !garbage  a line of control bytes and an unterminated quote
          !long     5000 bytes without a line end, the connection kept
          !split    OB, in two parts 300 ms apart, ended by CR LF
        deny=N: the first N LOGINs are refused (ERR ACCESS-DENIED).
        figures: battery.charge and battery.runtime answered, else
        ERR VAR-NOT-SUPPORTED.
        silent: connections accepted, nothing ever answered.
        Any connection of the case before is closed first.
    SENT -> what happened since CASE, one line each, then END:
        CONNECT, each line the client sent, CLOSED (the client closed or
        reset it), DROPPED (the server did).

LOGOUT is answered "OK Goodbye" and the connection left open: the client
must close it itself.
"""
import argparse
import os
import selectors
import socket
import time

UPS = "ups"
USER = "monuser"
PASSWORD = "secret"
CHARGE = "87"
RUNTIME = "1200"
GARBAGE = b'\x00\xff\x1b[2J "unterminated\n'
LONG = b"X" * 5000


class Nas:
    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.control = self.listen(0)
        self.selector.register(self.control, selectors.EVENT_READ, ("control-listener", None))
        self.port = 0
        self.ipv6 = True
        self.listeners = []
        self.reopen()
        self.port = self.listeners[0].getsockname()[1]
        self.clients = {}
        self.start_case([])

    @staticmethod
    def listen(port, family=socket.AF_INET):
        sock = socket.socket(family, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        sock.bind(("::1" if family == socket.AF_INET6 else "127.0.0.1", port))
        sock.listen(16)
        sock.setblocking(False)
        return sock

    def start_case(self, words):
        for sock in list(self.clients):
            self.forget(sock)
        if not self.listeners:
            self.reopen()
        self.polls = words[0].replace("_", " ").split(",") if words else ["OL"]
        self.poll = 0
        self.deny = 0
        self.refuse_ms = 0
        self.figures = False
        self.silent = False
        for option in words[1:]:
            name, _, value = option.partition("=")
            if name == "deny":
                self.deny = int(value)
            elif name == "refuse":
                self.refuse_ms = int(value)
            elif name == "figures":
                self.figures = True
            elif name == "silent":
                self.silent = True
        self.record = []

    def reopen(self):
        """Listens again, on the port of the first time."""
        self.listeners = [self.listen(self.port)]
        if self.ipv6:
            try:
                self.listeners.append(self.listen(self.listeners[0].getsockname()[1], socket.AF_INET6))
            except OSError:
                self.ipv6 = False
        for listener in self.listeners:
            self.selector.register(listener, selectors.EVENT_READ, ("listener", None))
        self.reopen_at = None

    def forget(self, sock):
        self.selector.unregister(sock)
        sock.close()
        self.clients.pop(sock, None)

    def next_poll(self):
        reply = self.polls[min(self.poll, len(self.polls) - 1)]
        self.poll += 1
        return reply

    def answer(self, sock, session, line):
        """The reply to one line, as bytes; None when it has ended the connection."""
        if self.silent:
            return b""
        words = line.split()
        command = " ".join(words[:2]).upper() if words[:1] == ["GET"] else (words[0].upper() if words else "")
        if command == "USERNAME" and len(words) == 2:
            session["user"] = words[1]
            return b"OK\n"
        if command == "PASSWORD" and len(words) == 2:
            session["password"] = words[1]
            return b"OK\n"
        if command == "LOGIN" and len(words) == 2:
            if words[1].lower() != UPS:
                return b"ERR UNKNOWN-UPS\n"
            if session.get("user") != USER or session.get("password") != PASSWORD or self.deny > 0:
                self.deny = max(0, self.deny - 1)
                return b"ERR ACCESS-DENIED\n"
            return b"OK\n"
        if command == "LOGOUT":
            return b"OK Goodbye\n"
        if command == "GET VAR" and len(words) == 4 and words[2].lower() == UPS:
            variable = words[3].lower()
            if variable == "ups.status":
                return self.status_reply(sock)
            values = {"battery.charge": CHARGE, "battery.runtime": RUNTIME} if self.figures else {}
            if variable in values:
                return ('VAR %s %s "%s"\n' % (words[2], words[3], values[variable])).encode()
            return b"ERR VAR-NOT-SUPPORTED\n"
        return b"ERR UNKNOWN-COMMAND\n"

    def status_reply(self, sock):
        poll = self.next_poll()
        if poll == "!stale":
            return b"ERR DATA-STALE\n"
        if poll == "!silent":
            self.silent = True
            return b""
        if poll == "!garbage":
            return GARBAGE
        if poll == "!long":
            return LONG
        if poll == "!split":
            sock.sendall(('VAR %s ups.status "O' % UPS).encode())
            time.sleep(0.3)
            return b'B"\r\n'
        if poll == "!drop":
            self.record.append("DROPPED")
            self.forget(sock)
            if self.refuse_ms > 0:
                for listener in self.listeners:
                    self.selector.unregister(listener)
                    listener.close()
                self.listeners = []
                self.reopen_at = time.monotonic() + self.refuse_ms / 1000
            return None
        return ('VAR %s ups.status "%s"\n' % (UPS, poll)).encode()

    def on_client(self, sock, session):
        try:
            data = sock.recv(4096)
        except OSError:
            data = b""
        if not data:
            self.record.append("CLOSED")
            self.forget(sock)
            return
        session["buffer"] += data
        while b"\n" in session["buffer"]:
            raw, session["buffer"] = session["buffer"].split(b"\n", 1)
            line = raw.rstrip(b"\r").decode("ascii", "backslashreplace")
            self.record.append(line)
            reply = self.answer(sock, session, line)
            if reply is None:
                return
            try:
                sock.sendall(reply)
            except OSError:
                pass

    def on_control(self, sock, session):
        data = sock.recv(4096)
        if not data:
            self.selector.unregister(sock)
            sock.close()
            return
        session["buffer"] += data
        while b"\n" in session["buffer"]:
            raw, session["buffer"] = session["buffer"].split(b"\n", 1)
            words = raw.decode().split()
            if words[:1] == ["CASE"]:
                self.start_case(words[1:])
                reply = "OK\n"
            elif words == ["SENT"]:
                reply = "".join(entry + "\n" for entry in self.record) + "END\n"
            else:
                reply = "ERR\n"
            sock.setblocking(True)
            sock.sendall(reply.encode())
            sock.setblocking(False)

    def run(self, lifetime):
        end = time.monotonic() + lifetime
        while time.monotonic() < end:
            wait = 0.05 if self.reopen_at is not None else 1.0
            # The connections' events before new ones: a client that closes
            # one connection and opens the next is recorded in that order.
            events = sorted(self.selector.select(wait), key=lambda event: event[0].data[0] == "listener")
            for key, _ in events:
                kind, session = key.data
                if kind in ("listener", "control-listener"):
                    try:
                        sock, _ = key.fileobj.accept()
                    except OSError:
                        continue
                    sock.setblocking(False)
                    if kind == "listener":
                        self.record.append("CONNECT")
                        self.clients[sock] = {"buffer": b""}
                        self.selector.register(sock, selectors.EVENT_READ, ("client", self.clients[sock]))
                    else:
                        self.selector.register(sock, selectors.EVENT_READ, ("control", {"buffer": b""}))
                elif kind == "client":
                    if key.fileobj in self.clients:
                        self.on_client(key.fileobj, session)
                else:
                    self.on_control(key.fileobj, session)
            if self.reopen_at is not None and time.monotonic() >= self.reopen_at:
                self.reopen()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--lifetime", type=float, default=300, help="seconds before it ends by itself")
    args = parser.parse_args()
    nas = Nas()
    scratch = args.port_file + ".new"
    with open(scratch, "w") as ports:
        ports.write("%d %d %d\n" % (nas.port, nas.control.getsockname()[1], nas.ipv6))
    os.replace(scratch, args.port_file)
    nas.run(args.lifetime)


if __name__ == "__main__":
    main()
