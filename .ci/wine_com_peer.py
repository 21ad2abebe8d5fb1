#!/usr/bin/env python3
"""The far end of a serial line for the Windows tests run under wine.

Creates a pseudo-terminal, links its terminal side where wine looks for a COM port
($WINEPREFIX/dosdevices/comN), and echoes back every byte the program writes to that port, so
that a test can check that its writes left through the port and that its reads return them.
Runs until it is sent SIGTERM or SIGINT, or --lifetime seconds have passed; it then removes the
link and reports how many bytes it echoed on standard error.
"""

import argparse
import os
import select
import signal
import sys
import time
import tty


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--link", required=True, help="symlink to create for the port")
    parser.add_argument("--lifetime", type=float, default=900.0, help="seconds before giving up")
    args = parser.parse_args()

    master, slave = os.openpty()
    # Never block, so that a signal or the lifetime always ends the loop.
    os.set_blocking(master, False)
    # Raw mode: no echo or line editing by the terminal itself; the program's own line settings
    # replace these once it configures the port.
    tty.setraw(slave)
    slave_name = os.ttyname(slave)
    if os.path.lexists(args.link):
        os.unlink(args.link)
    os.symlink(slave_name, args.link)

    stop = False

    def on_signal(_signum, _frame):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    print(f"ready {slave_name}", flush=True)
    echoed = 0
    deadline = time.monotonic() + args.lifetime
    try:
        while not stop and time.monotonic() < deadline:
            try:
                readable, _, _ = select.select([master], [], [], 0.2)
            except InterruptedError:
                continue
            if readable:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    time.sleep(0.01)  # no one has the port open: nothing to echo
                    continue
                view = memoryview(data)
                while view and not stop and time.monotonic() < deadline:
                    try:
                        view = view[os.write(master, view):]
                    except BlockingIOError:  # the port's input queue is full: wait, bounded
                        select.select([], [master], [], 0.2)
                echoed += len(data) - len(view)
    finally:
        if os.path.islink(args.link):
            os.unlink(args.link)
        os.close(master)
        os.close(slave)
    print(f"echoed {echoed} bytes", file=sys.stderr, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
