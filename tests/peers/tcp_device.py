#!/usr/bin/python3
"""A Modbus TCP (or RTU over TCP) field device, for tests and the demo.

    tcp_device.py --port N [--host ADDR] [--units 1,2] [--framer socket|rtu]
                  [--registers N] [--log FILE]

Listens on ADDR (127.0.0.1 by default; ::1 for IPv6) with pymodbus's TCP
server, speaking MBAP (--framer socket) or RTU frames (--framer rtu), for the
given unit ids (others get no answer). Prints "ready" once listening, then one
line per event (data and output as in device_common.py):
    "connect"              a connection was accepted
    "tid N"                an MBAP request with transaction id N arrived
    "read 3 0 10 unit 5"   a register access (function kind, address, count, unit)
    "write 3 4 1 unit 5"
Stops on SIGTERM or SIGINT.
"""
import asyncio
import sys

from device_common import context, parser, reporter, serve
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer
from pymodbus.server.async_io import ModbusConnectedRequestHandler, ModbusTcpServer

report = print  # replaced in main()


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
    p = parser(__doc__)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--units", default="1", help="comma-separated unit ids served")
    p.add_argument("--framer", choices=("socket", "rtu"), default="socket")
    args = p.parse_args()
    report = reporter(args.log)
    running = {}

    async def start():
        units = [int(u) for u in args.units.split(",")]
        server = running["server"] = ModbusTcpServer(
            context(units, args.registers, report, name_unit=True),
            framer=ReportingSocketFramer if args.framer == "socket" else ModbusRtuFramer,
            address=(args.host, args.port), handler=ReportingHandler, allow_reuse_address=True,
            ignore_missing_slaves=True)
        task = running["task"] = asyncio.create_task(server.serve_forever())
        done, _ = await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        return f"cannot listen on {args.host}:{args.port}: {task.exception()}" if task in done else None

    async def stop():
        # server_close() leaves accepted connections open: close them too, so
        # the gateway sees the device go away.
        for handler in list(running["server"].active_connections.values()):
            handler.transport.close()
        await running["server"].shutdown()

    return serve(start, stop, report)


if __name__ == "__main__":
    sys.exit(main())
