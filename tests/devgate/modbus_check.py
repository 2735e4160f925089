#!/usr/bin/python3
"""devgate's Modbus TCP face against mbpoll and pymodbus, clients no one here wrote.

devgate runs a simulated site with --modbus 127.0.0.1:0 (the port read from
its standard error) and --format jsonl (its own view of the values, awaited
line by line): values read equal the simulator's, writes reach the PLC, and
the exceptions for an unmapped address (2), a device that cannot be read (4),
a unit that is no device (11) and a write without --modbus-writes (1).

Usage: modbus_check.py PATH_OF_DEVGATE
"""
import json
import os
import queue
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

from pymodbus.client import ModbusTcpClient

DESCRIPTION = """[device]
station = 1
wait_ms = 100
string_encoding = "ASCII"
string_order = "12"
[simulator]
set = ["D100=1234,-2", "D104=0x0001,0x86A0", "D110=0x4049,0x0FDB", "D130=0x4845,0x4C4C,0x4F00", "M1=1", "M3=1"]
[[channel]]
address = "D100"
type = "WUB"
[[channel]]
address = "D101"
type = "WB"
[[channel]]
address = "D104"
type = "DUB"
[[channel]]
address = "D110"
type = "DF"
[[channel]]
address = "D130"
type = "STR"
length = 6
[[channel]]
address = "M0"
count = 4
"""

# Unit 1 on the simulated line (D101 moved to input register 100, M3 to
# discrete input 0); unit 2 on a line whose port cannot open.
SITE = """[[line]]
name = "sim"
simulate = true
[[line.device]]
name = "a"
description = "a.toml"
[[line.device.modbus]]
channel = "D101"
table = "input"
address = 100
[[line.device.modbus]]
channel = "M3"
table = "discrete"
address = 0
[[line]]
name = "gone"
port = "/nonexistent/tty"
[[line.device]]
name = "b"
description = "a.toml"
"""

MAP = """unit table    address count device       element    type channel
   1 holding        0     1 a            D100       WUB  读写DWUB0100
   1 holding        1     2 a            D104       DUB  读写DDUB0104
   1 holding        3     2 a            D110       DF   读写DDF0110
   1 holding        5     3 a            D130       STR  读写DSTR0130_6
   1 input        100     1 a            D101       WB   读写DWB0101
   1 coil           0     1 a            M0         BIT  读写M0000
"""

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


class Devgate:
    """devgate run with the Modbus face; its JSON lines read in a thread."""

    def __init__(self, program, site, *options):
        self.proc = subprocess.Popen([program, "run", site, "--format", "jsonl", "--modbus", "127.0.0.1:0", *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.port = None
        deadline = time.monotonic() + 10
        while self.port is None and time.monotonic() < deadline:
            if select.select([self.proc.stderr], [], [], deadline - time.monotonic())[0]:
                m = re.match(r"devgate: modbus on 127\.0\.0\.1:(\d+)$", self.proc.stderr.readline().strip())
                self.port = int(m.group(1)) if m else None
        if self.port is None:
            self.proc.kill()
            raise RuntimeError("devgate printed no modbus port")
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))

    def await_value(self, element, value, timeout=20):
        """Takes JSON lines until the element's value is stored (True) or the time is up."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                c = self.lines.get(timeout=deadline - time.monotonic())
            except queue.Empty:
                break
            if c.get("device") == "a" and c.get("element") == element and c.get("status") == "ok":
                if value is None or c["value"] == value:
                    return True
        return False

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return None


def mbpoll(port, *args, write=()):
    """mbpoll once against devgate: its values by reference, or its error text."""
    out = subprocess.run(["mbpoll", "-m", "tcp", "-p", str(port), "-0", "-1", "-o", "5", *args, "127.0.0.1", *write],
                         capture_output=True, text=True, timeout=30)
    values = {int(m.group(1)): m.group(2) for m in re.finditer(r"^\[(\d+)\]:\s+(\S+)", out.stdout, re.M)}
    return values, out.stdout + out.stderr


def exception_of(response):
    return getattr(response, "exception_code", None) if response.isError() else 0


def reads_and_writes(program, site):
    gate = Devgate(program, site, "--modbus-writes")
    client = ModbusTcpClient("127.0.0.1", port=gate.port, timeout=5)
    try:
        for element, value in (("D100", 1234), ("D101", -2), ("D130", "HELLO"), ("M3", 1)):
            check(gate.await_value(element, value), "devgate polls %s = %r" % (element, value))
        check(client.connect(), "pymodbus connects")

        values, _ = mbpoll(gate.port, "-a", "1", "-r", "0", "-c", "8", "-t", "4:hex")
        check([values.get(i) for i in range(8)] ==
              ["0x04D2", "0x0001", "0x86A0", "0x4049", "0x0FDB", "0x4845", "0x4C4C", "0x4F00"],
              "mbpoll reads WUB, DUB, DF and STR from holding 0..7, the first word the most significant: %r" % values)
        values, _ = mbpoll(gate.port, "-a", "1", "-r", "3", "-t", "4:float", "-B")
        check(values.get(3, "").startswith("3.14159"), "mbpoll reads the DF channel as a float: %r" % values)
        values, _ = mbpoll(gate.port, "-a", "1", "-r", "0", "-c", "3", "-t", "0")
        check(values == {0: "0", 1: "1", 2: "0"}, "mbpoll reads M0..M2 on coils 0..2: %r" % values)

        r = client.read_input_registers(100, 1, slave=1)
        check(not r.isError() and r.registers == [0xFFFE], "pymodbus reads WB -2 on input register 100: %r" % r)
        r = client.read_discrete_inputs(0, 1, slave=1)
        check(not r.isError() and r.bits[0], "pymodbus reads M3 on discrete input 0: %r" % r)

        for what, response, code in (
                ("a holding register no channel takes", client.read_holding_registers(7, 2, slave=1), 2),
                ("126 registers", client.read_holding_registers(0, 126, slave=1), 3),
                ("a device whose line cannot open", client.read_holding_registers(0, 1, slave=2), 4),
                ("a unit that is no device", client.read_holding_registers(0, 1, slave=3), 11),
                ("a write to half of the DUB channel", client.write_register(2, 5, slave=1), 2),
                ("a write the line cannot carry out", client.write_register(0, 5, slave=2), 4)):
            check(exception_of(response) == code, "%s: exception %d (%r)" % (what, code, response))
        _, text = mbpoll(gate.port, "-a", "1", "-r", "8")
        check("Illegal data address" in text, "mbpoll names exception 2: " + text.strip().splitlines()[-1])

        # Writes reach the PLC: devgate's next poll stores the value, then it reads back.
        check(not client.write_register(0, 4321, slave=1).isError(), "pymodbus writes 4321 to the WUB channel")
        check(gate.await_value("D100", 4321), "the PLC's D100 is 4321 at the next poll")
        values, _ = mbpoll(gate.port, "-a", "1", "-r", "0")
        check(values.get(0) == "4321", "mbpoll reads 4321 back: %r" % values)
        words = struct.unpack(">2H", struct.pack(">f", -1.5))
        check(not client.write_registers(3, list(words), slave=1).isError(), "pymodbus writes -1.5 to the DF channel")
        check(gate.await_value("D110", -1.5), "the PLC's DF channel is -1.5 at the next poll")
        _, text = mbpoll(gate.port, "-a", "1", "-r", "2", "-t", "0", write=["1"])
        check("Written 1 references" in text, "mbpoll sets coil 2: " + text.strip().splitlines()[-1])
        check(gate.await_value("M2", 1), "the PLC's M2 is 1 at the next poll")

        # Registers the channel cannot hold are exception 3, and the PLC keeps its value.
        nan = list(struct.unpack(">2H", struct.pack(">f", float("nan"))))
        check(exception_of(client.write_registers(3, nan, slave=1)) == 3, "a NaN for the DF channel: exception 3")
        check(gate.await_value("D110", -1.5), "the DF channel kept -1.5")
        # Function 0 (and any other not served) is answered with exception 1.
        with socket.create_connection(("127.0.0.1", gate.port), timeout=5) as raw:
            raw.sendall(bytes.fromhex("0009 0000 0002 01 00"))  # transaction 9, length 2: unit 1, function 0
            check(raw.recv(64) == bytes.fromhex("0009 0000 0003 01 80 01"), "function 0: exception 1")

        # A frame that is no Modbus TCP (protocol 7) closes its own connection only.
        with socket.create_connection(("127.0.0.1", gate.port), timeout=5) as raw:
            raw.sendall(bytes.fromhex("0001 0007 0006 01 03 0000 0001"))
            check(raw.recv(64) == b"", "a malformed frame closes its connection")
        r = client.read_holding_registers(0, 1, slave=1)
        check(not r.isError() and r.registers == [4321], "the other client is still served")
    finally:
        client.close()
        check(gate.stop() == 0, "devgate ends with exit code 0 on SIGTERM")


def writes_refused(program, site):
    gate = Devgate(program, site)
    client = ModbusTcpClient("127.0.0.1", port=gate.port, timeout=5)
    try:
        check(gate.await_value("D100", 1234), "devgate polls D100 = 1234")
        client.connect()
        check(exception_of(client.write_register(0, 1, slave=1)) == 1,
              "without --modbus-writes a write gets exception 1")
        check(exception_of(client.write_coil(0, True, slave=1)) == 1, "and so does a coil")
        check(client.read_holding_registers(0, 1, slave=1).registers == [1234], "the PLC kept its value")
    finally:
        client.close()
        gate.stop()


def writes_from_allowed_addresses_only(program, site):
    gate = Devgate(program, site, "--modbus-writes", "--modbus-allow", "127.0.0.2/32,::2")
    outside = ModbusTcpClient("127.0.0.1", port=gate.port, timeout=5)
    inside = ModbusTcpClient("127.0.0.1", port=gate.port, timeout=5, source_address=("127.0.0.2", 0))
    try:
        check(gate.await_value("D100", 1234), "devgate polls D100 = 1234")
        outside.connect()
        check(exception_of(outside.write_register(0, 7, slave=1)) == 1, "a write from outside the allow-list: 1")
        check(outside.read_holding_registers(0, 1, slave=1).registers == [1234], "reads go on, the PLC kept 1234")
        ready = select.select([gate.proc.stderr], [], [], 10)[0]
        line = gate.proc.stderr.readline() if ready else ""
        check("127.0.0.1" in line and "--modbus-allow" in line, "the refusal is logged: %r" % line)
        inside.connect()
        check(exception_of(inside.write_register(0, 4321, slave=1)) == 0, "a write from 127.0.0.2 is carried out")
        check(gate.await_value("D100", 4321), "and reaches the PLC")
    finally:
        outside.close()
        inside.close()
        gate.stop()
    for bad in ("10.0.0.0/33", "nonsense", "127.0.0.1,"):
        out = subprocess.run([program, "run", site, "--modbus", "127.0.0.1:0", "--modbus-allow", bad],
                             capture_output=True, text=True, timeout=30)
        check(out.returncode == 2, "--modbus-allow %s exits 2" % bad)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "a.toml"), "w") as f:
            f.write(DESCRIPTION)
        site = os.path.join(folder, "site.toml")
        with open(site, "w") as f:
            f.write(SITE)
        out = subprocess.run([sys.argv[1], "map", site], capture_output=True, text=True, timeout=30)
        ok = out.returncode == 0 and out.stdout.startswith(MAP)
        check(ok, "devgate map prints units, tables, addresses and counts" + ("" if ok else ":\n" + out.stdout))
        reads_and_writes(sys.argv[1], site)
        writes_refused(sys.argv[1], site)
        writes_from_allowed_addresses_only(sys.argv[1], site)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
