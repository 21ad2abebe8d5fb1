#!/usr/bin/python3
"""pyserial's RFC 2217 PortManager serving a real serial port through pyserial: the terminal given
on the command line, whose far end tovrel-pty-device plays. Run with the project's modem-line
helper preloaded, so that pyserial's modem-line calls on the terminal reach the device.

Listens on 127.0.0.1 at a port the system picks and prints "PORT <n>" once ready; serves one
connection, closes the port when the client leaves (or after LIFETIME_S whatever happens) and
ends.
"""
import os
import select
import sys
import time

import serial
import serial.rfc2217

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../support"))
from pyserial_serving import Connection, accept_one  # noqa: E402

LIFETIME_S = 120
# How often the modem lines are looked at, as pyserial's own example server does between reads.
POLL_S = 0.005


def main():
    port = serial.Serial(sys.argv[1], baudrate=9600, timeout=0)
    sock = accept_one(LIFETIME_S)
    if sock is None:
        return 1
    manager = serial.rfc2217.PortManager(port, Connection(sock))
    deadline = time.monotonic() + LIFETIME_S
    while time.monotonic() < deadline:
        readable, _, _ = select.select([sock, port.fileno()], [], [], POLL_S)
        if sock in readable:
            try:
                data = sock.recv(4096)
            except OSError:
                break
            if not data:
                break
            port.write(b"".join(manager.filter(data)))
        if port.fileno() in readable:
            data = port.read(port.in_waiting or 1)
            if data:
                sock.sendall(b"".join(manager.escape(data)))
        manager.check_modem_lines()
    sock.close()
    port.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
