#!/usr/bin/python3
"""Cross-check of plcsim with pymodbus and crcmod, code that no one here wrote.

pymodbus is the RTU client: custom request and answer classes for the private
functions 0x1E, 0x20, 0x1F and 0x21 (read answers framed by their byte count,
write answers of 10 bytes), so that pymodbus's own framer measures and
CRC-checks every answer; its standard functions share the memory. crcmod's
predefined 'modbus' CRC then checks raw answers, in both CRC byte orders.

Usage: pymodbus_check.py PATH_OF_PLCSIM
"""
import os
import select
import signal
import struct
import subprocess
import sys
import termios
import time
import tty

import crcmod.predefined
from pymodbus.client import ModbusSerialClient
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.pdu import ModbusRequest, ModbusResponse

CRC = crcmod.predefined.mkCrcFun("modbus")
AREA_M, AREA_D, AREA_HD = 0x03, 0x80, 0x88


def pack_request(area, address, count):
    return struct.pack(">B", area) + address.to_bytes(3, "big") + struct.pack(">H", count)


class ReadBitsResponse(ModbusResponse):
    function_code = 0x1E
    _rtu_byte_count_pos = 2

    def __init__(self, bits=None, **kwargs):
        super().__init__(**kwargs)
        self.bits = bits or []

    def encode(self):
        return b""

    def decode(self, data):
        self.bits = [(data[1 + i // 8] >> (i % 8)) & 1 for i in range(8 * data[0])]


class ReadWordsResponse(ModbusResponse):
    function_code = 0x20
    _rtu_byte_count_pos = 2

    def __init__(self, words=None, **kwargs):
        super().__init__(**kwargs)
        self.words = words or []

    def encode(self):
        return b""

    def decode(self, data):
        self.words = list(struct.unpack(">%dH" % (data[0] // 2), data[1 : 1 + data[0]]))


class WriteAnswer(ModbusResponse):
    _rtu_frame_size = 10

    def __init__(self, **kwargs):
        super().__init__(**kwargs)
        self.area = self.address = self.count = None

    def encode(self):
        return b""

    def decode(self, data):
        self.area = data[0]
        self.address = int.from_bytes(data[1:4], "big")
        self.count = struct.unpack(">H", data[4:6])[0]


class WriteBitsResponse(WriteAnswer):
    function_code = 0x1F


class WriteWordsResponse(WriteAnswer):
    function_code = 0x21


class ReadRequest(ModbusRequest):
    _rtu_frame_size = 10

    def __init__(self, area=0, address=0, count=1, **kwargs):
        super().__init__(**kwargs)
        self.area, self.address, self.count = area, address, count

    def encode(self):
        return pack_request(self.area, self.address, self.count)

    def decode(self, data):
        pass


class ReadBitsRequest(ReadRequest):
    function_code = 0x1E

    def get_response_pdu_size(self):
        return 2 + (self.count + 7) // 8


class ReadWordsRequest(ReadRequest):
    function_code = 0x20

    def get_response_pdu_size(self):
        return 2 + 2 * self.count


class WriteBitsRequest(ModbusRequest):
    function_code = 0x1F

    def __init__(self, area=0, address=0, bits=(), **kwargs):
        super().__init__(**kwargs)
        self.area, self.address, self.bits = area, address, list(bits)

    def encode(self):
        data = bytearray((len(self.bits) + 7) // 8)
        for i, bit in enumerate(self.bits):
            if bit:
                data[i // 8] |= 1 << (i % 8)
        return pack_request(self.area, self.address, len(self.bits)) + bytes([len(data)]) + bytes(data)

    def decode(self, data):
        pass

    def get_response_pdu_size(self):
        return 7


class WriteWordsRequest(ModbusRequest):
    function_code = 0x21

    def __init__(self, area=0, address=0, words=(), **kwargs):
        super().__init__(**kwargs)
        self.area, self.address, self.words = area, address, list(words)

    def encode(self):
        data = struct.pack(">%dH" % len(self.words), *self.words)
        return pack_request(self.area, self.address, len(self.words)) + bytes([len(data)]) + data

    def decode(self, data):
        pass

    def get_response_pdu_size(self):
        return 7


failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)


class Simulator:
    """plcsim on a pseudo-terminal, stopped with SIGTERM."""

    def __init__(self, program, *args):
        self.proc = subprocess.Popen([program, "--pty", *args], stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        if not ready:
            self.proc.kill()
            raise RuntimeError("plcsim printed no device path")
        self.path = self.proc.stdout.readline().decode().strip()

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = None
        check(code == 0, "plcsim stops with exit code 0 on SIGTERM (got %r)" % code)


def raw_transaction(path, request, answer_size, high_first=False):
    """Sends request + CRC (by crcmod) and reads answer_size bytes."""
    crc = CRC(request)
    request += bytes([crc >> 8, crc & 0xFF]) if high_first else struct.pack("<H", crc)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        tty.setraw(fd, termios.TCSANOW)
        os.write(fd, request)
        answer = b""
        deadline = time.monotonic() + 2
        while len(answer) < answer_size:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            answer += os.read(fd, answer_size - len(answer))
        return answer
    finally:
        os.close(fd)


def crc_ok(frame, high_first=False):
    if len(frame) < 3:
        return False
    crc = CRC(frame[:-2])
    tail = bytes([crc >> 8, crc & 0xFF]) if high_first else struct.pack("<H", crc)
    return frame[-2:] == tail


def pymodbus_checks(program):
    sim = Simulator(program, "--set", "D100=0x1234,0xFFFF,1", "--set", "M5=1", "--set", "M12=1")
    client = ModbusSerialClient(port=sim.path, framer=ModbusRtuFramer, baudrate=9600, timeout=2)
    for response in (ReadBitsResponse, ReadWordsResponse, WriteBitsResponse, WriteWordsResponse):
        client.register(response)
    try:
        check(client.connect(), "pymodbus opens " + sim.path)

        r = client.execute(ReadWordsRequest(AREA_D, 100, 3, unit=1))
        check(isinstance(r, ReadWordsResponse) and r.words == [0x1234, 0xFFFF, 1],
              "0x20 reads D100..D102 through pymodbus's framer and CRC check: %r" % getattr(r, "words", r))

        r = client.execute(ReadBitsRequest(AREA_M, 0, 16, unit=1))
        bits = getattr(r, "bits", [])
        check(isinstance(r, ReadBitsResponse) and bits[5] == 1 and bits[12] == 1 and sum(bits) == 2,
              "0x1E reads M0..M15, least significant bit first: %r" % bits)

        r = client.execute(WriteWordsRequest(AREA_HD, 0x1000, [0xABCD, 0x0042], unit=1))
        check(isinstance(r, WriteWordsResponse) and (r.area, r.address, r.count) == (AREA_HD, 0x1000, 2),
              "0x21 is answered with area, address and count in 10 bytes")
        r = client.execute(ReadWordsRequest(AREA_HD, 0x1000, 2, unit=1))
        check(getattr(r, "words", None) == [0xABCD, 0x0042], "HD4096..HD4097 read back after 0x21")

        r = client.execute(WriteBitsRequest(AREA_M, 40, [1, 0, 0, 0, 0, 0, 0, 1, 0, 1], unit=1))
        check(isinstance(r, WriteBitsResponse) and r.count == 10, "0x1F writes ten bits of M40..M49")

        # The standard functions see the same memory: M as coils, D as holding registers.
        r = client.read_coils(40, 10, slave=1)
        check(not r.isError() and list(r.bits[:10]) == [True, False, False, False, False, False, False, True,
                                                        False, True], "0x01 reads the bits that 0x1F wrote")
        r = client.read_holding_registers(100, 3, slave=1)
        check(not r.isError() and r.registers == [0x1234, 0xFFFF, 1], "0x03 reads D100..D102")
        r = client.write_registers(200, [7, 8, 9], slave=1)
        check(not r.isError(), "0x10 writes D200..D202")
        r = client.execute(ReadWordsRequest(AREA_D, 200, 3, unit=1))
        check(getattr(r, "words", None) == [7, 8, 9], "0x20 reads what 0x10 wrote")
        r = client.write_coil(3, True, slave=1)
        check(not r.isError(), "0x05 sets M3")
        r = client.execute(ReadBitsRequest(AREA_M, 0, 8, unit=1))
        check(getattr(r, "bits", [0] * 8)[3] == 1, "0x1E reads what 0x05 wrote")

        # An exception answer (count 0) is framed as one by pymodbus.
        r = client.execute(ReadWordsRequest(AREA_D, 0, 0, unit=1))
        check(r.isError() and getattr(r, "exception_code", None) == 3,
              "count 0 gets exception 3: %r" % r)
    finally:
        client.close()
        sim.stop()


def pymodbus_rejects_bad_crc(program):
    """The cross-check has teeth: pymodbus refuses an answer whose CRC is wrong."""
    sim = Simulator(program, "--fault", "badcrc:req=1", "--set", "D0=5")
    client = ModbusSerialClient(port=sim.path, framer=ModbusRtuFramer, baudrate=9600, timeout=1, retries=0)
    client.register(ReadWordsResponse)
    try:
        client.connect()
        r = client.execute(ReadWordsRequest(AREA_D, 0, 1, unit=1))
        check(not isinstance(r, ReadWordsResponse), "an answer with a corrupted CRC is refused by pymodbus")
        client.close()
        client.connect()
        r = client.execute(ReadWordsRequest(AREA_D, 0, 1, unit=1))
        check(isinstance(r, ReadWordsResponse) and r.words == [5], "the next answer is accepted again")
    finally:
        client.close()
        sim.stop()


def crcmod_checks(program):
    for order in ("lh", "hl"):
        high = order == "hl"
        sim = Simulator(program, "--crc", order, "--set", "D0=1,2,3,4,5,6,7,8,9,10", "--set", "M1=1")
        try:
            words = raw_transaction(sim.path, bytes.fromhex("012080000000000A"), 25, high)
            check(len(words) == 25 and crc_ok(words, high), "[%s] word read answer carries a valid CRC" % order)
            check(words[3:23] == b"".join(struct.pack(">H", v) for v in range(1, 11)), "[%s] words 1..10" % order)
            bits = raw_transaction(sim.path, bytes.fromhex("011E03000000000A"), 7, high)
            check(len(bits) == 7 and crc_ok(bits, high) and bits[3:5] == b"\x02\x00",
                  "[%s] bit read answer: %s" % (order, bits.hex()))
            write = raw_transaction(sim.path, bytes.fromhex("011F0300000A00010101"), 10, high)
            check(len(write) == 10 and crc_ok(write, high) and write[:8] == bytes.fromhex("011F0300000A0001"),
                  "[%s] bit write answer: %s" % (order, write.hex()))
            wrong = raw_transaction(sim.path, bytes.fromhex("012080000000000A"), 25, not high)
            check(wrong == b"", "[%s] a request in the other CRC order gets no answer" % order)
        finally:
            sim.stop()


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    pymodbus_checks(sys.argv[1])
    pymodbus_rejects_bad_crc(sys.argv[1])
    crcmod_checks(sys.argv[1])
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
