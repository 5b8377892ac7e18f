#!/usr/bin/python3
"""A Modbus RTU (or ASCII) field device on a serial line, for tests and the demo.

    rtu_device.py --port PATH --unit N [--framer rtu|ascii] [--registers N] [--log FILE]

Serves one unit id (others get no answer) with pymodbus's serial server,
speaking RTU frames (--framer rtu, the default) or ASCII messages.
Prints "ready" once the line is open, then one line per register access
("read 3 0 10", "write 3 4 1"): data and output as in device_common.py.
Stops on SIGTERM or SIGINT.
"""
import sys

from device_common import context, parser, reporter, serve
from pymodbus.framer.ascii_framer import ModbusAsciiFramer
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server.async_io import ModbusSerialServer


def main():
    p = parser(__doc__)
    p.add_argument("--port", required=True, help="serial device (a pty end)")
    p.add_argument("--unit", type=int, default=1, help="unit id served")
    p.add_argument("--framer", choices=("rtu", "ascii"), default="rtu")
    args = p.parse_args()
    report = reporter(args.log)
    server = None

    async def start():
        nonlocal server  # built inside the running loop, as pymodbus needs
        framer = ModbusRtuFramer if args.framer == "rtu" else ModbusAsciiFramer
        server = ModbusSerialServer(context([args.unit], args.registers, report), framer=framer,
                                    port=args.port, baudrate=9600, ignore_missing_slaves=True)
        await server.start()
        return None if server.transport else f"cannot open {args.port}"

    async def stop():
        await server.shutdown()

    return serve(start, stop, report)


if __name__ == "__main__":
    sys.exit(main())
