"""What the simulated devices share. Holding and input registers hold
100 + address (0-based); coils read 0, 1, 0, ... and discrete inputs 1, 0, 1, ...
Event lines go to stdout and, with --log FILE, to FILE, each before the device
answers; "ready" comes first, once the device serves."""
import argparse
import asyncio
import logging
import signal
import sys

logging.getLogger("pymodbus").setLevel(logging.CRITICAL)


def counting_block_class():
    """The data block that reports every access the server makes for a
    request. Made on first use: a peer that speaks no Modbus shares the
    argument handling below without loading pymodbus."""
    from pymodbus.datastore import ModbusSequentialDataBlock

    class CountingBlock(ModbusSequentialDataBlock):
        def __init__(self, kind, values, report, suffix):
            super().__init__(0, values)
            self.kind, self.report, self.suffix = kind, report, suffix

        def getValues(self, address, count=1):
            self.report(f"read {self.kind} {address} {count}{self.suffix}")
            return super().getValues(address, count)

        def setValues(self, address, values):
            count = len(values) if isinstance(values, list) else 1
            self.report(f"write {self.kind} {address} {count}{self.suffix}")
            return super().setValues(address, values)
    return CountingBlock


def parser(doc):
    p = argparse.ArgumentParser(description=doc.splitlines()[0])
    p.add_argument("--registers", type=int, default=200, help="registers per table")
    p.add_argument("--log", help="also append the event lines to this file")
    return p


def reporter(log_path):
    log_file = open(log_path, "a", buffering=1) if log_path else None

    def report(line):
        print(line, flush=True)
        if log_file:
            log_file.write(line + "\n")
    return report


def context(units, n, report, name_unit=False):
    """The data of `units`; with name_unit the access lines end in " unit N"."""
    from pymodbus.datastore import ModbusServerContext, ModbusSlaveContext
    counting_block = counting_block_class()

    def block(kind, values, unit):
        return counting_block(kind, values, report, f" unit {unit}" if name_unit else "")
    # zero_mode: the wire address is the index into the block.
    return ModbusServerContext(single=False, slaves={u: ModbusSlaveContext(
        co=block(1, [i % 2 for i in range(n)], u), di=block(2, [(i + 1) % 2 for i in range(n)], u),
        hr=block(3, [100 + i for i in range(n)], u), ir=block(4, [100 + i for i in range(n)], u),
        zero_mode=True) for u in units})


def network_device(doc, make_server):
    """The main of the TCP and UDP devices: --host, --port, --units and
    --framer; make_server(context, framer, address, report) builds the
    pymodbus server. MBAP requests also report "tid N"."""
    from pymodbus.framer.rtu_framer import ModbusRtuFramer
    from pymodbus.framer.socket_framer import ModbusSocketFramer
    p = parser(doc)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--units", default="1", help="comma-separated unit ids served")
    p.add_argument("--framer", choices=("socket", "rtu"), default="socket")
    args = p.parse_args()
    report = reporter(args.log)
    running = {}

    class ReportingSocketFramer(ModbusSocketFramer):
        def populateResult(self, result):
            super().populateResult(result)
            report(f"tid {result.transaction_id}")

    async def start():
        units = [int(u) for u in args.units.split(",")]
        server = running["server"] = make_server(
            context(units, args.registers, report, name_unit=True),
            ReportingSocketFramer if args.framer == "socket" else ModbusRtuFramer, (args.host, args.port), report)
        task = asyncio.create_task(server.serve_forever())
        done, _ = await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        return f"cannot serve on {args.host}:{args.port}: {task.exception()}" if task in done else None

    async def stop():
        # server_close() leaves accepted TCP connections open: close them
        # too, so the gateway sees the device go away.
        for handler in list(getattr(running["server"], "active_connections", {}).values()):
            handler.transport.close()
        await running["server"].shutdown()

    return serve(start, stop, report)


def stop_requested():
    """A list that gets an item on SIGTERM or SIGINT: the loop of a plain-socket peer runs while it is empty."""
    stop = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.append(1))
    return stop


def serve(start, stop, report):
    """Runs `await start()` (None, or the text of why the device cannot
    serve), reports "ready", and on SIGTERM or SIGINT runs `await stop()`.
    Returns the exit code."""
    async def run():
        stopping = asyncio.Event()
        for sig in (signal.SIGTERM, signal.SIGINT):
            asyncio.get_running_loop().add_signal_handler(sig, stopping.set)
        error = await start()
        if error:
            print(error, file=sys.stderr, flush=True)
            return 1
        report("ready")
        await stopping.wait()
        await stop()
        return 0
    return asyncio.run(run())
