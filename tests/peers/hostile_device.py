#!/usr/bin/python3
"""A Modbus TCP (or RTU over TCP) field device that misbehaves on request.

    hostile_device.py --port N --control N [--framer socket|rtu] [--delay MS]
                      [--log FILE]

Serves every unit id. Holding and input registers read
((unit << 8) | function) ^ (address & 0xFFFF), so an answer names the one
request it belongs to: a master that gets another request's answer sees
values that do not match its own unit id, function and address.

Each request is logged before it is answered:
    "request unit U fc F addr A count C"      (A, C: the PDU's first two words)
and with MBAP also its transaction id: "request tid T unit U ...". Other
event lines: "ready" (listening), "connect", "disconnect", "hostile NAME"
(a misbehaving answer was sent), "ok NAME COUNT" (a control command taken),
"overlap" (a request came while an answer on its connection was still due).

Every answer leaves --delay ms after its request (default 0); the times
below count from then. Behaviour is changed at run time through the control port: one line per
connection, "NAME [COUNT [ARG]]", answered "ok". NAME applies to the next
COUNT requests (default 1), then the device is normal again:
    normal      answers at once
    twice       answers, and the same answer again 100 ms later
    late        answers ARG ms after the request (default 800), whatever --delay
    wrong_tid   MBAP: first the answer to address + 1 under another
                transaction id, 100 ms later the right answer
    wrong_unit  MBAP: the right answer (data and transaction id) carrying
                the unit id U ^ 3. RTU: first the answer unit U ^ 3 would
                give, 100 ms later the right answer
    wrong_fc    first the answer to function F ^ 7 (3 <-> 4; same
                transaction id), 100 ms later the right answer
    len65535    MBAP: a header announcing 65535 bytes, followed by 5 bytes
    oversized   RTU: one 65541-byte message whose first 3 bytes (unit,
                function, 2) are all that an MBAP length cut to 16 bits
                keeps; the bytes after them form a complete MBAP answer with
                transaction id ARG (value 0xBAD0), then filler. Its CRC is the
                one a checksum over a length cut to 16 bits gives (over the
                first 3 bytes)
Stops on SIGTERM or SIGINT.
"""
import argparse
import heapq
import itertools
import select
import socket
import struct
import sys
import time

from device_common import reporter, stop_requested

DUP_MS = 100
LATE_MS = 800


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def with_crc(data, covered=None):
    """data and its CRC, low byte first; the CRC over the first `covered` bytes
    (default all)."""
    crc = crc16(data if covered is None else data[:covered])
    return data + bytes([crc & 0xFF, crc >> 8])


def value(unit, fc, address):
    return ((unit << 8) | fc) ^ (address & 0xFFFF)


def answer_pdu(unit, pdu):
    """The PDU a well-behaved device answers to `pdu` from `unit`."""
    fc = pdu[0]
    if fc in (3, 4) and len(pdu) >= 5:
        address, count = struct.unpack(">HH", pdu[1:5])
        if not 1 <= count <= 125:
            return bytes([fc | 0x80, 3])
        return bytes([fc, 2 * count]) + b"".join(
            struct.pack(">H", value(unit, fc, address + i)) for i in range(count))
    if fc in (1, 2) and len(pdu) >= 5:
        address, count = struct.unpack(">HH", pdu[1:5])
        if not 1 <= count <= 2000:
            return bytes([fc | 0x80, 3])
        bits = [(address + i) % 2 for i in range(count)]
        data = bytes(sum(bit << j for j, bit in enumerate(bits[k:k + 8])) for k in range(0, count, 8))
        return bytes([fc, len(data)]) + data
    if fc in (5, 6) and len(pdu) >= 5:
        return pdu[:5]
    if fc in (15, 16) and len(pdu) >= 5:
        return pdu[:5]
    return bytes([(fc | 0x80) & 0xFF, 1])


def rtu_size(buf):
    """Bytes of the RTU request at the start of buf (CRC included), None
    while its length is not known yet."""
    fc = buf[1]
    if fc in (1, 2, 3, 4, 5, 6):
        return 8
    if fc in (15, 16):
        return 9 + buf[6] if len(buf) > 6 else None
    return len(buf)


class Connection:
    def __init__(self, sock, rtu):
        self.sock, self.rtu, self.buf, self.last_rx = sock, rtu, b"", 0.0

    def requests(self):
        """Complete requests taken from buf: (tid or None, unit, pdu)."""
        out = []
        if self.rtu:
            # Cut by the function's layout (the whole buffer for an unknown
            # one); a bad CRC empties the buffer.
            while len(self.buf) >= 4:
                size = rtu_size(self.buf)
                if size is None or len(self.buf) < size:
                    break
                frame, self.buf = self.buf[:size], self.buf[size:]
                if crc16(frame[:-2]) != frame[-2] | frame[-1] << 8:
                    self.buf = b""
                    break
                out.append((None, frame[0], frame[1:-2]))
        else:
            while len(self.buf) >= 6:
                tid, _pid, length = struct.unpack(">HHH", self.buf[:6])
                if len(self.buf) < 6 + length:
                    break
                frame, self.buf = self.buf[6:6 + length], self.buf[6 + length:]
                if length >= 2:
                    out.append((tid, frame[0], frame[1:]))
        return out

    def wire(self, tid, unit, pdu):
        if self.rtu:
            return with_crc(bytes([unit]) + pdu)
        return struct.pack(">HHHB", tid, 0, len(pdu) + 1, unit) + pdu


class Device:
    def __init__(self, args, report):
        self.args, self.report = args, report
        self.behaviour, self.remaining, self.arg = "normal", 0, None
        self.conns = {}
        self.timers = []  # (due, seq, connection, bytes)
        self.seq = itertools.count()

    def listen(self, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((self.args.host, port))
        s.listen(16)
        return s

    def send_at(self, conn, data, delay_ms=0):
        heapq.heappush(self.timers, (time.monotonic() + delay_ms / 1000.0, next(self.seq), conn, data))

    def control(self, sock):
        sock.settimeout(2)
        data = b""
        try:
            while b"\n" not in data and (chunk := sock.recv(256)):
                data += chunk
            words = data.decode().split()
            name = words[0] if words else "normal"
            self.behaviour, self.remaining = name, int(words[1]) if len(words) > 1 else 1
            self.arg = int(words[2]) if len(words) > 2 else None
            self.report(f"ok {self.behaviour} {self.remaining}")
            sock.sendall(b"ok\n")
        except (OSError, ValueError, UnicodeDecodeError):
            pass
        sock.close()

    def answer(self, conn, tid, unit, pdu):
        fc = pdu[0]
        address, count = struct.unpack(">HH", pdu[1:5]) if len(pdu) >= 5 else (0, 0)
        ids = f"unit {unit} fc {fc} addr {address} count {count}"
        self.report(f"request {ids}" if tid is None else f"request tid {tid} {ids}")
        if any(t[2] is conn for t in self.timers):
            self.report("overlap")  # a request came while an answer on this connection was still due
        name = "normal"
        if self.remaining > 0:
            name = self.behaviour
            self.remaining -= 1
        right = conn.wire(tid, unit, answer_pdu(unit, pdu))
        at, later = self.args.delay, self.args.delay + DUP_MS
        if name == "normal":
            self.send_at(conn, right, at)
            return
        self.report(f"hostile {name}")
        if name == "twice":
            self.send_at(conn, right, at)
            self.send_at(conn, right, later)
        elif name == "late":
            self.send_at(conn, right, self.arg if self.arg is not None else LATE_MS)
        elif name == "wrong_tid":
            other = struct.pack(">HH", (address + 1) & 0xFFFF, count) if len(pdu) >= 5 else pdu[1:]
            stray_tid = (tid or 0) ^ 0x5A5A
            self.send_at(conn, conn.wire(stray_tid, unit, answer_pdu(unit, pdu[:1] + other)), at)
            self.send_at(conn, right, later)
        elif name == "wrong_unit" and not conn.rtu:
            self.send_at(conn, conn.wire(tid, unit ^ 3, answer_pdu(unit, pdu)), at)
        elif name == "wrong_unit":
            self.send_at(conn, conn.wire(tid, unit ^ 3, answer_pdu(unit ^ 3, pdu)), at)
            self.send_at(conn, right, later)
        elif name == "wrong_fc":
            self.send_at(conn, conn.wire(tid, unit, answer_pdu(unit, bytes([fc ^ 7]) + pdu[1:])), at)
            self.send_at(conn, right, later)
        elif name == "len65535":
            self.send_at(conn, struct.pack(">HHH", tid or 0, 0, 0xFFFF) + bytes([unit, fc, 2, 0, 0]), at)
        elif name == "oversized":
            body = bytes([unit, 3, 2]) + struct.pack(">HHHBBBH", self.arg or 0, 0, 5, unit, 3, 2, 0xBAD0)
            filler = 0x10003 - len(body)  # the message without its CRC: 65539 bytes
            body += struct.pack(">HHH", 0xFFFF, 0, filler - 6) + bytes(filler - 6)
            self.send_at(conn, with_crc(body, len(body) & 0xFFFF), at)
        else:
            self.send_at(conn, right, at)

    def flush_timers(self):
        now = time.monotonic()
        while self.timers and self.timers[0][0] <= now:
            _, _, conn, data = heapq.heappop(self.timers)
            if conn.sock.fileno() >= 0:
                try:
                    conn.sock.sendall(data)
                except OSError:
                    pass

    def drop(self, conn):
        self.conns.pop(conn.sock, None)
        conn.sock.close()
        self.report("disconnect")

    def run(self):
        server, control = self.listen(self.args.port), self.listen(self.args.control)
        stopping = stop_requested()
        self.report("ready")
        while not stopping:
            timeout = max(0.0, self.timers[0][0] - time.monotonic()) if self.timers else 0.2
            try:
                readable, _, _ = select.select([server, control, *self.conns], [], [], min(timeout, 0.2))
            except InterruptedError:
                continue
            for s in readable:
                if s is server:
                    sock, _ = server.accept()
                    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                    self.conns[sock] = Connection(sock, self.args.framer == "rtu")
                    self.report("connect")
                elif s is control:
                    self.control(control.accept()[0])
                else:
                    conn = self.conns[s]
                    try:
                        chunk = s.recv(1 << 16)
                    except OSError:
                        chunk = b""
                    if not chunk:
                        self.drop(conn)
                        continue
                    conn.buf += chunk
                    for tid, unit, pdu in conn.requests():
                        if pdu:
                            self.answer(conn, tid, unit, pdu)
            self.flush_timers()
        for conn in list(self.conns.values()):
            self.drop(conn)
        return 0


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--control", type=int, required=True, help="port of the control channel")
    p.add_argument("--framer", choices=("socket", "rtu"), default="socket")
    p.add_argument("--delay", type=int, default=0, help="ms from a request to its answer")
    p.add_argument("--log", help="also append the event lines to this file")
    args = p.parse_args()
    report = reporter(args.log)
    return Device(args, report).run()


if __name__ == "__main__":
    sys.exit(main())
