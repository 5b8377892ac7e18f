#!/usr/bin/python3
"""A Modbus UDP (or RTU over UDP) field device, for tests and the demo.

    udp_device.py --port N [--host ADDR] [--units 1,2] [--framer socket|rtu]
                  [--registers N] [--log FILE]

Serves datagrams on ADDR:N (127.0.0.1 by default) with pymodbus's UDP
server, speaking MBAP (--framer socket) or RTU frames (--framer rtu), for the
given unit ids (others get no answer). Prints "ready" once bound, then one
line per event (data and output as in device_common.py):
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
from pymodbus.server.async_io import ModbusUdpServer

report = print  # replaced in main()


class ReportingSocketFramer(ModbusSocketFramer):
    """The MBAP framer, reporting the transaction id of each request."""

    def populateResult(self, result):
        super().populateResult(result)
        report(f"tid {result.transaction_id}")


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
        server = running["server"] = ModbusUdpServer(
            context(units, args.registers, report, name_unit=True),
            framer=ReportingSocketFramer if args.framer == "socket" else ModbusRtuFramer,
            address=(args.host, args.port), ignore_missing_slaves=True)
        task = running["task"] = asyncio.create_task(server.serve_forever())
        done, _ = await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        return f"cannot bind {args.host}:{args.port}: {task.exception()}" if task in done else None

    async def stop():
        await running["server"].shutdown()

    return serve(start, stop, report)


if __name__ == "__main__":
    sys.exit(main())
