# Asks the emulated device for its identification through pyserial's own RFC 2217 client, as an
# independent check that tovrel-emulator speaks the protocol as others understand it.
# Usage: pyserial_inquiry.py PORT EXPECTED_ID. Exit status: 0 when the identification matches,
# 1 when it does not, 77 when this Python has no pyserial.
import os
import sys

try:
    import serial
except ImportError:
    sys.exit(77)


def main():
    port, expected = sys.argv[1], os.fsencode(sys.argv[2])
    link = serial.serial_for_url("rfc2217://127.0.0.1:%s" % port, baudrate=38400, timeout=5)
    try:
        if not link.cts:
            print("CTS is off")
            return 1
        link.write(b"\x1b!e0C")
        header = link.read(7)
        if len(header) != 7 or header[:4] != b"\x1b!e1" or not header[4:].isdigit():
            print("bad header %r" % header)
            return 1
        text = link.read(int(header[4:]))
        if text != expected:
            print("identification %r, expected %r" % (text, expected))
            return 1
        print("Product ID: %r" % text)
        return 0
    finally:
        link.close()


sys.exit(main())
