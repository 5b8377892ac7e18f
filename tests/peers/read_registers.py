#!/usr/bin/python3
"""Reads (or writes) registers of a Modbus TCP slave, such as the gateway.

Addresses are 0-based (PDU addresses); --udp sends datagrams instead of
using a TCP connection; --rtu speaks RTU framing (over TCP or UDP);
--write V ... writes holding registers from --address. Prints one
"address: value" line per value; exits 1 on an error or no answer."""
import argparse
import logging
import sys

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)

from pymodbus.client import ModbusTcpClient, ModbusUdpClient  # noqa: E402
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402
from pymodbus.framer.socket_framer import ModbusSocketFramer  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1502)
    parser.add_argument("--unit", type=int, default=1)
    parser.add_argument("--type", choices=["holding", "input", "coils", "discrete"], default="holding")
    parser.add_argument("--address", type=int, default=0)
    parser.add_argument("--count", type=int, default=10)
    parser.add_argument("--timeout", type=float, default=3.0)
    parser.add_argument("--rtu", action="store_true", help="RTU framing over TCP (or UDP)")
    parser.add_argument("--udp", action="store_true", help="Modbus over UDP datagrams")
    parser.add_argument("--write", type=int, nargs="+", metavar="V", help="write holding registers")
    args = parser.parse_args()

    client_class = ModbusUdpClient if args.udp else ModbusTcpClient
    client = client_class(args.host, port=args.port, framer=ModbusRtuFramer if args.rtu else ModbusSocketFramer)
    client.params.timeout = args.timeout  # the constructor truncates it to whole seconds
    if not client.connect():
        print(f"cannot connect to {args.host}:{args.port}", file=sys.stderr)
        return 1
    try:
        if args.write:
            rr = client.write_registers(args.address, args.write, slave=args.unit)
        else:
            rr = {"holding": client.read_holding_registers, "input": client.read_input_registers,
                  "coils": client.read_coils, "discrete": client.read_discrete_inputs,
                  }[args.type](args.address, args.count, slave=args.unit)
        if rr.isError():
            print(f"error: {rr}", file=sys.stderr)
            return 1
        if args.write:
            print(f"wrote {len(args.write)} register(s) from {args.address}")
        else:
            values = rr.registers if args.type in ("holding", "input") else [int(b) for b in rr.bits[:args.count]]
            for i, v in enumerate(values):
                print(f"{args.address + i}: {v}")
        return 0
    finally:
        client.close()


if __name__ == "__main__":
    sys.exit(main())
