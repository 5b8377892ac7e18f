#!/usr/bin/python3
"""A Modbus TCP (or RTU over TCP) field device, for tests and the demo.

    tcp_device.py --port N [--host ADDR] [--units 1,2] [--framer socket|rtu]
                  [--registers N] [--log FILE]

Listens on ADDR (127.0.0.1 by default; ::1 for IPv6) with pymodbus's TCP
server, speaking MBAP (--framer socket) or plain RTU frames over the stream
(--framer rtu). Serves the given unit ids; other ids get no answer. Holding
and input registers start with 100 + address (0-based); coils and discrete
inputs alternate 1, 0, ...

Prints "ready" once listening, then one line per event, flushed at once, so
a test can follow what reached the device:
    "connect"              a connection was accepted
    "tid N"                an MBAP request with transaction id N arrived
    "read 3 0 10 unit 5"   a register access (function kind, address, count, unit)
    "write 6 4 1 unit 5"
With --log the lines also go to FILE. Stops on SIGTERM or SIGINT.
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
from pymodbus.framer.socket_framer import ModbusSocketFramer  # noqa: E402
from pymodbus.server.async_io import ModbusConnectedRequestHandler, ModbusTcpServer  # noqa: E402

report = print  # replaced in main()


class CountingBlock(ModbusSequentialDataBlock):
    """A data block that reports every access the server makes for a request."""

    def __init__(self, kind, unit, values):
        super().__init__(0, values)
        self.kind = kind
        self.unit = unit

    def getValues(self, address, count=1):
        report(f"read {self.kind} {address} {count} unit {self.unit}")
        return super().getValues(address, count)

    def setValues(self, address, values):
        count = len(values) if isinstance(values, list) else 1
        report(f"write {self.kind} {address} {count} unit {self.unit}")
        return super().setValues(address, values)


class ReportingSocketFramer(ModbusSocketFramer):
    """The MBAP framer, reporting the transaction id of each request."""

    def populateResult(self, result):
        super().populateResult(result)
        report(f"tid {result.transaction_id}")


class ReportingHandler(ModbusConnectedRequestHandler):
    def connection_made(self, transport):
        report("connect")
        super().connection_made(transport)


def main():
    global report
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--units", default="1", help="comma-separated unit ids served")
    parser.add_argument("--framer", choices=("socket", "rtu"), default="socket")
    parser.add_argument("--registers", type=int, default=200, help="registers per table")
    parser.add_argument("--log", help="also append the event lines to this file")
    args = parser.parse_args()

    log_file = open(args.log, "a", buffering=1) if args.log else None

    def emit(line):
        print(line, flush=True)
        if log_file:
            log_file.write(line + "\n")

    report = emit

    n = args.registers
    slaves = {}
    for unit in (int(u) for u in args.units.split(",")):
        # zero_mode: the wire address is the index into the block.
        slaves[unit] = ModbusSlaveContext(
            co=CountingBlock(1, unit, [i % 2 for i in range(n)]),
            di=CountingBlock(2, unit, [(i + 1) % 2 for i in range(n)]),
            hr=CountingBlock(3, unit, [100 + i for i in range(n)]),
            ir=CountingBlock(4, unit, [100 + i for i in range(n)]),
            zero_mode=True)
    context = ModbusServerContext(slaves=slaves, single=False)
    framer = ReportingSocketFramer if args.framer == "socket" else ModbusRtuFramer

    async def run():
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for sig in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(sig, stop.set)
        server = ModbusTcpServer(context, framer=framer, address=(args.host, args.port),
                                 handler=ReportingHandler, allow_reuse_address=True,
                                 ignore_missing_slaves=True)
        task = asyncio.create_task(server.serve_forever())
        done, _ = await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        if task in done:
            print(f"cannot listen on {args.host}:{args.port}: {task.exception()}", file=sys.stderr, flush=True)
            return 1
        emit("ready")
        await stop.wait()
        # server_close() leaves accepted connections open: close them too, so
        # the gateway sees the device go away.
        for handler in list(server.active_connections.values()):
            handler.transport.close()
        await server.shutdown()
        return 0

    return asyncio.run(run())


if __name__ == "__main__":
    sys.exit(main())
