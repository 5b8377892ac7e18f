#!/usr/bin/python3
"""A serial bridge for the south serial transparent port, on UDP.

    bridge_peer.py [--port 9999] [--log FILE]

Listens on 127.0.0.1:PORT for bridge frames: a 16-byte header of four
little-endian 32-bit words (magic 0x99991234, seq_no, buf_len, port_number)
and buf_len payload bytes. Every request is logged before it is answered:
    "request seq SEQ port PORT len LEN payload HEX"   (SEQ in hex)
and answered to its sender with the header echoed and the payload
b"re:" + payload, unless the payload starts with one of these words, which
spoil the reply (event line "spoilt WORD"):
    magic     the magic code is 0x99991235
    len       buf_len is one more than the payload
    seq       seq_no is one more than the request's
    port      port_number is one more than the request's
    silent    no reply at all
    late      the good reply, then 300 ms later the same reply again
"ready" comes first, once the socket is bound. Stops on SIGTERM or SIGINT.
"""
import argparse
import select
import socket
import struct
import sys
import time

from device_common import reporter, stop_requested

MAGIC = 0x99991234


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=9999)
    p.add_argument("--log")
    args = p.parse_args()
    report = reporter(args.log)

    stop = stop_requested()

    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("127.0.0.1", args.port))
    report("ready")
    later = []  # (due time, datagram, address)
    while not stop:
        wait = 0.05 if not later else max(0.0, min(0.05, later[0][0] - time.monotonic()))
        if select.select([sock], [], [], wait)[0]:
            data, peer = sock.recvfrom(70000)
            if len(data) < 16:
                report(f"short {len(data)}")
                continue
            magic, seq, length, port = struct.unpack("<IIII", data[:16])
            payload = data[16:]
            report(f"request seq {seq:x} port {port} len {length} payload {payload.hex()}")
            reply_payload = b"re:" + payload
            fields = [magic, seq, len(reply_payload), port]
            word = next((w for w in ("magic", "len", "seq", "port", "silent", "late")
                         if payload.startswith(w.encode())), None)
            if word == "magic":
                fields[0] = MAGIC + 1
            elif word == "len":
                fields[2] += 1
            elif word == "seq":
                fields[1] = (seq + 1) & 0xFFFFFFFF
            elif word == "port":
                fields[3] += 1
            if word in ("magic", "len", "seq", "port", "silent"):
                report(f"spoilt {word}")
            if word == "silent":
                continue
            reply = struct.pack("<IIII", *fields) + reply_payload
            sock.sendto(reply, peer)
            if word == "late":
                report("spoilt late")
                later.append((time.monotonic() + 0.3, reply, peer))
        while later and later[0][0] <= time.monotonic():
            _, reply, peer = later.pop(0)
            sock.sendto(reply, peer)
    sock.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
