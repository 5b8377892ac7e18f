#!/usr/bin/python3
"""A raw TCP or UDP device that answers whatever it receives, for tests and the demo.

    raw_device.py (--tcp | --udp) --port N [--host ADDR] [--delay MS]
                  [--greet TEXT] [--log FILE]

Listens (TCP) or binds (UDP) on ADDR:N (127.0.0.1 by default; ::1 for
IPv6). Every chunk one receive returns (TCP) or every datagram (UDP) is a
request: it is logged before it is answered,
    "got HEX"
and answered --delay ms later (default 0), answers leaving in the order the
requests came, with b"re:" + the request, unless the request starts with
one of these words:
    silent     no answer
    split      the answer in two pieces, the second 300 ms after the first
    stranger   (UDP) the answer comes from another port of the same address
Other event lines: "ready" (listening), "connect" and "disconnect" (TCP).
With --greet, TEXT is sent on every connection as soon as it is accepted
(TCP). Stops on SIGTERM or SIGINT.
"""
import heapq
import itertools
import select
import socket
import sys
import time

from device_common import parser, reporter, stop_requested

SPLIT_MS = 300


def main():
    p = parser(__doc__)
    kind = p.add_mutually_exclusive_group(required=True)
    kind.add_argument("--tcp", action="store_true")
    kind.add_argument("--udp", action="store_true")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--delay", type=int, default=0, help="ms from a request to its answer")
    p.add_argument("--greet", help="sent on every TCP connection once accepted")
    args = p.parse_args()
    report = reporter(args.log)

    stop = stop_requested()

    family = socket.AF_INET6 if ":" in args.host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM if args.tcp else socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((args.host, args.port))
    if args.tcp:
        sock.listen(4)
    stranger = None if args.tcp else socket.socket(family, socket.SOCK_DGRAM)
    report("ready")

    conns = []
    due = []  # (time, order, how, data, where): answers waiting for their time
    order = itertools.count()
    last = 0.0  # answers leave in the order their requests came

    def schedule(at, how, data, where):
        nonlocal last
        last = max(last, at)
        heapq.heappush(due, (last, next(order), how, data, where))

    def request(data, where):
        report(f"got {data.hex()}")
        answer = b"re:" + data
        at = time.monotonic() + args.delay / 1000
        if data.startswith(b"silent"):
            return
        if data.startswith(b"split"):
            schedule(at, "plain", answer[:len(answer) // 2], where)
            schedule(at + SPLIT_MS / 1000, "plain", answer[len(answer) // 2:], where)
        else:
            schedule(at, "stranger" if data.startswith(b"stranger") else "plain", answer, where)

    def drop(conn):
        conns.remove(conn)
        conn.close()
        report("disconnect")

    while not stop:
        wait = 0.05 if not due else max(0.0, min(0.05, due[0][0] - time.monotonic()))
        readable = select.select([sock, *conns], [], [], wait)[0]
        for r in readable:
            if r is sock and args.tcp:
                conn, _ = sock.accept()
                conns.append(conn)
                report("connect")
                if args.greet:
                    conn.sendall(args.greet.encode())
            elif r is sock:
                data, peer = sock.recvfrom(70000)
                request(data, peer)
            else:
                try:
                    data = r.recv(70000)
                except OSError:
                    data = b""
                if data:
                    request(data, r)
                else:
                    drop(r)
        while due and due[0][0] <= time.monotonic():
            _, _, how, data, where = heapq.heappop(due)
            if args.tcp:
                if where in conns:
                    where.sendall(data)
            else:
                (stranger if how == "stranger" else sock).sendto(data, where)
    for conn in conns:
        conn.close()
    sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
