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
import sys

from device_common import network_device
from pymodbus.server.async_io import ModbusConnectedRequestHandler, ModbusTcpServer


def tcp_server(context, framer, address, report):
    class ReportingHandler(ModbusConnectedRequestHandler):
        def connection_made(self, transport):
            report("connect")
            super().connection_made(transport)

    return ModbusTcpServer(context, framer=framer, address=address, handler=ReportingHandler,
                           allow_reuse_address=True, ignore_missing_slaves=True)


if __name__ == "__main__":
    sys.exit(network_device(__doc__, tcp_server))
