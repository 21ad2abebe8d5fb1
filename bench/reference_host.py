#!/usr/bin/python3
"""A plain reference host for the line-pace benchmark: announces an image to the device and
sends it in 128-byte pieces, each as one transaction (CTS read, drain, purge, write), with
nothing else around it. Usage: reference_host.py <tty> <image>. Exit status 0 when the device
accepted the image and every piece went."""
import fcntl
import os
import select
import struct
import sys
import termios
import time

PIECE = 128
CTS_POLL_S = 0.010
CTS_LIMIT_S = 3.0


def configure(fd):
    attrs = termios.tcgetattr(fd)
    attrs[0] = 0  # iflag
    attrs[1] = 0  # oflag
    attrs[2] = termios.CS8 | termios.CREAD | termios.CLOCAL | termios.CRTSCTS
    attrs[3] = 0  # lflag
    attrs[4] = attrs[5] = termios.B38400
    attrs[6][termios.VMIN] = 0
    attrs[6][termios.VTIME] = 0
    termios.tcsetattr(fd, termios.TCSANOW, attrs)


def cts_on(fd):
    lines = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
    return lines & termios.TIOCM_CTS != 0


def read_exactly(fd, count, limit_s):
    data = b""
    deadline = time.monotonic() + limit_s
    while len(data) < count:
        left = deadline - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            break
        data += os.read(fd, count - len(data))
    return data


def main():
    tty, image_path = sys.argv[1], sys.argv[2]
    with open(image_path, "rb") as image_file:
        image = image_file.read()
    fd = os.open(tty, os.O_RDWR | os.O_NOCTTY)
    configure(fd)
    os.write(fd, b"\x1b!g0%dC" % len(image))
    if read_exactly(fd, 6, 5.0) != b"\x1b!g01C":
        return 1
    for offset in range(0, len(image), PIECE):
        deadline = time.monotonic() + CTS_LIMIT_S
        while not cts_on(fd):
            if time.monotonic() > deadline:
                return 1
            time.sleep(CTS_POLL_S)
        termios.tcdrain(fd)
        termios.tcflush(fd, termios.TCIOFLUSH)
        piece = image[offset:offset + PIECE]
        if os.write(fd, piece) != len(piece):
            return 1
    termios.tcdrain(fd)
    os.close(fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())
