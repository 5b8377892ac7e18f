#!/usr/bin/python3
"""A Modbus UDP (or RTU over UDP) field device, for tests and the demo.

    udp_device.py --port N [--host ADDR] [--units 1,2] [--framer socket|rtu]
                  [--registers N] [--log FILE]

As tcp_device.py, on datagrams (ADDR:N bound, no "connect" lines).
"""
import sys

from device_common import network_device
from pymodbus.server.async_io import ModbusUdpServer


def udp_server(context, framer, address, report):
    return ModbusUdpServer(context, framer=framer, address=address, ignore_missing_slaves=True)


if __name__ == "__main__":
    sys.exit(network_device(__doc__, udp_server))
