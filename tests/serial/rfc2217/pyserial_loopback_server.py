#!/usr/bin/python3
"""A loopback serial port served over RFC 2217 by pyserial's PortManager, for checking the
client against a server it was not written with.

Listens on 127.0.0.1 at a port the system picks and prints "PORT <n>" once ready; serves one
connection and ends when the client leaves, or after LIFETIME_S whatever happens. On the way out
it prints the port's final settings as "FINAL key=value ...", for the test to compare.
"""
import os
import select
import sys
import time

import serial.rfc2217

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../support"))
from pyserial_serving import Connection, accept_one  # noqa: E402

DC2 = 0x12  # in the written data: raise CTS
DC4 = 0x14  # in the written data: drop CTS
LIFETIME_S = 20
POLL_S = 0.005


class LoopbackPort:
    """What PortManager needs of a serial port. Every written byte comes back as received data,
    as through a loopback plug; DC4 and DC2 among the written bytes drop and raise CTS once they
    have crossed the line (10 bit times a byte at the port's rate), as a device reacting to what
    it received would."""

    def __init__(self):
        self.baudrate = 9600
        self.bytesize = 8
        self.parity = serial.PARITY_NONE
        self.stopbits = serial.STOPBITS_ONE
        self.xonxoff = False
        self.rtscts = False
        self.dtr = True
        self.rts = True
        self.break_condition = False
        self._cts = True
        self._cts_changes = []  # (when, state), in the order the bytes cross the line
        self.dsr = True
        self.ri = False
        self.cd = False
        self.received = bytearray()

    @property
    def cts(self):
        now = time.monotonic()
        while self._cts_changes and self._cts_changes[0][0] <= now:
            self._cts = self._cts_changes.pop(0)[1]
        return self._cts

    def write(self, data):
        byte_s = 10.0 / self.baudrate
        start = time.monotonic()
        for position, byte in enumerate(data):
            if byte in (DC4, DC2):
                self._cts_changes.append((start + (position + 1) * byte_s, byte == DC2))
        self.received += data

    def reset_input_buffer(self):
        self.received.clear()

    def reset_output_buffer(self):
        pass


def main():
    sock = accept_one(LIFETIME_S)
    if sock is None:
        return 1
    port = LoopbackPort()
    manager = serial.rfc2217.PortManager(port, Connection(sock))
    deadline = time.monotonic() + LIFETIME_S
    while time.monotonic() < deadline:
        readable, _, _ = select.select([sock], [], [], POLL_S)
        if readable:
            try:
                data = sock.recv(4096)
            except OSError:
                break
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
        if port.received:
            echo = bytes(port.received)
            port.received.clear()
            sock.sendall(b"".join(manager.escape(echo)))
        manager.check_modem_lines()
    sock.close()
    print("FINAL baud=%d bytesize=%d parity=%s stopbits=%s xonxoff=%d rtscts=%d dtr=%d rts=%d" % (
        port.baudrate, port.bytesize, port.parity, port.stopbits, port.xonxoff, port.rtscts,
        port.dtr, port.rts), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
