#!/usr/bin/python3
"""A Modbus RTU field device on a serial line, for tests and the demo.

    rtu_device.py --port PATH --unit N [--registers N] [--log FILE]

Serves one unit id (other ids get no answer) with pymodbus's serial RTU
server. Holding and input registers start with 100 + address (0-based);
coils and discrete inputs alternate 1, 0, ... Prints "ready" once the line is
open, then one line per register access it serves ("read 3 0 10",
"write 6 4 1"), flushed at once, so a test can count the requests that
reached the line. With --log the lines also go to FILE. Stops on SIGTERM or
SIGINT.
"""
import argparse
import asyncio
import logging
import signal
import sys

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext,  # noqa: E402
                                ModbusSlaveContext)
from pymodbus.framer.rtu_framer import ModbusRtuFramer  # noqa: E402
from pymodbus.server.async_io import ModbusSerialServer  # noqa: E402


class CountingBlock(ModbusSequentialDataBlock):
    """A data block that reports every access the server makes for a request."""

    def __init__(self, kind, values, report):
        super().__init__(0, values)
        self.kind = kind
        self.report = report

    def getValues(self, address, count=1):
        self.report(f"read {self.kind} {address} {count}")
        return super().getValues(address, count)

    def setValues(self, address, values):
        count = len(values) if isinstance(values, list) else 1
        self.report(f"write {self.kind} {address} {count}")
        return super().setValues(address, values)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", required=True, help="serial device (a pty end)")
    parser.add_argument("--unit", type=int, default=1, help="unit id served")
    parser.add_argument("--registers", type=int, default=200, help="registers per table")
    parser.add_argument("--log", help="also append the access lines to this file")
    args = parser.parse_args()

    log_file = open(args.log, "a", buffering=1) if args.log else None

    def report(line):
        print(line, flush=True)
        if log_file:
            log_file.write(line + "\n")

    n = args.registers
    # zero_mode: the wire address is the index into the block.
    slave = ModbusSlaveContext(
        co=CountingBlock(1, [i % 2 for i in range(n)], report),
        di=CountingBlock(2, [(i + 1) % 2 for i in range(n)], report),
        hr=CountingBlock(3, [100 + i for i in range(n)], report),
        ir=CountingBlock(4, [100 + i for i in range(n)], report),
        zero_mode=True)
    context = ModbusServerContext(slaves={args.unit: slave}, single=False)

    async def run():
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        server = ModbusSerialServer(context, framer=ModbusRtuFramer, port=args.port, baudrate=9600,
                                    ignore_missing_slaves=True)
        await server.start()
        if server.transport is None:
            print(f"cannot open {args.port}", file=sys.stderr, flush=True)
            return 1
        print("ready", flush=True)
        await stop.wait()
        await server.shutdown()
        return 0

    return asyncio.run(run())


if __name__ == "__main__":
    sys.exit(main())
