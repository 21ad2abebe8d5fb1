#!/usr/bin/python3
"""The distance benchmark: how a whole update over RFC 2217 slows down with the distance to the
server. The real tovrel updates the emulated device behind the real tovrel-emulator (or
pyserial's PortManager in front of the pseudo-terminal device) through bench/delay_relay.py,
which delays every chunk by a fixed time each way; the same update with no delay runs in the
same invocation, so the figures are read as ratios. The piece period is the median time between
two image pieces in tovrel's wire trace, beside the 33.33 ms a 128-byte piece takes on a
38400-baud line. Each figure is the median of --runs runs. Prints figures only; it never fails
on a time."""
import argparse
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

PIECE = 128
RELAY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "delay_relay.py")


def start_with_banner(command, prefix, env=None):
    process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True, env=env)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        line = process.stdout.readline()
        if not line:
            break
        at = line.find(prefix)
        if at >= 0:
            return process, int(line[at + len(prefix):].split()[0])
    process.kill()
    raise RuntimeError("%s did not come up" % command[0])


def start_emulator(args, saved):
    command = [args.emulator, "--listen", "127.0.0.1:0", "--once", "--baud", "38400",
               "--busy-ms", "0", "--save-image", saved]
    return start_with_banner(command, "listening on 127.0.0.1:")


def start_pyserial(args, saved, workdir):
    lines = os.path.join(workdir, "modem.lines")
    device = subprocess.Popen([args.pty_device, "--modem-lines", lines, "--once", "--busy-ms",
                               "0", "--save-image", saved], stdout=subprocess.PIPE, text=True)
    terminal = None
    while terminal is None:
        line = device.stdout.readline()
        if not line:
            raise RuntimeError("the terminal device did not come up")
        if line.startswith("tovrel-pty-device on "):
            terminal = line.split()[-1]
    env = dict(os.environ, LD_PRELOAD=args.modem_helper, TOVREL_MODEM_LINES=lines)
    server, port = start_with_banner([args.python, "-u", args.pyserial_server, terminal],
                                     "PORT ", env)
    return (device, server), port


def one_run(args, image, delay_ms, workdir):
    saved = os.path.join(workdir, "saved.bin")
    trace = os.path.join(workdir, "trace.txt")
    for path in (saved, trace):
        if os.path.exists(path):
            os.remove(path)
    if args.server == "pyserial":
        far, port = start_pyserial(args, saved, workdir)
    else:
        emulator, port = start_emulator(args, saved)
        far = (emulator,)
    relay, relay_port = start_with_banner(
        [sys.executable, RELAY, "--target", "127.0.0.1:%d" % port, "--delay-ms", str(delay_ms)],
        "PORT ")
    env = dict(os.environ, TOVREL_TRACE=trace)
    started = time.monotonic()
    run = subprocess.run([args.tovrel, image, "rfc2217://127.0.0.1:%d" % relay_port, "38400"],
                         env=env, stdout=subprocess.DEVNULL, timeout=args.limit_s)
    elapsed = time.monotonic() - started
    for process in (relay,) + far:
        try:
            process.wait(15)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    stamps = []
    with open(trace) as lines:
        for line in lines:
            if "image piece at offset" in line:
                stamps.append(float(line.split()[0]))
    periods = [b - a for a, b in zip(stamps, stamps[1:])]
    with open(image, "rb") as sent, open(saved, "rb") as got:
        intact = sent.read() == got.read()
    return {"status": run.returncode, "elapsed_s": elapsed,
            "period_ms": statistics.median(periods) if periods else 0.0, "intact": intact}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tovrel", required=True)
    parser.add_argument("--emulator", required=True)
    parser.add_argument("--server", choices=("emulator", "pyserial"), default="emulator")
    parser.add_argument("--pty-device", help="tovrel-pty-device, for --server pyserial")
    parser.add_argument("--modem-helper", help="the modem-line helper, for --server pyserial")
    parser.add_argument("--pyserial-server", help="the PortManager script, for --server pyserial")
    parser.add_argument("--python", default="/usr/bin/python3",
                        help="a Python with pyserial, for --server pyserial")
    parser.add_argument("--kib", type=int, default=16)
    parser.add_argument("--delays", default="0,25,75", help="milliseconds each way")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--limit-s", type=int, default=300)
    args = parser.parse_args()

    delays = [float(d) for d in args.delays.split(",")]
    with tempfile.TemporaryDirectory(prefix="tovrel-distance-") as workdir:
        image = os.path.join(workdir, "image.bin")
        with open(image, "wb") as out:
            out.write(random.Random(args.kib).randbytes(args.kib * 1024))
        print("Distance: %d KiB at 38400 baud through %s (%.2f ms a piece on the wire), "
              "median of %d runs" % (args.kib, args.server, PIECE * 10 / 38400 * 1000, args.runs))
        print("%-22s %10s %10s %12s %10s %s" % ("delay each way (RTT)", "update", "vs 0 ms",
                                                "added/piece", "period", "status"))
        baseline = None
        pieces = args.kib * 1024 // PIECE
        for delay in delays:
            runs = [one_run(args, image, delay, workdir) for _ in range(args.runs)]
            elapsed = statistics.median(r["elapsed_s"] for r in runs)
            period = statistics.median(r["period_ms"] for r in runs)
            if baseline is None:
                baseline = elapsed
            statuses = ",".join(str(r["status"]) for r in runs)
            damaged = "" if all(r["intact"] for r in runs) else "  IMAGE DIFFERS"
            print("%-22s %9.2fs %9.2fs %+10.1fms %8.2fms %s%s" % (
                "%g ms (%g ms)" % (delay, 2 * delay), elapsed, elapsed - baseline,
                (elapsed - baseline) * 1000 / pieces, period, statuses, damaged))
            if baseline:
                print("%-22s ratio to no delay %.3f" % ("", elapsed / baseline))
    return 0


if __name__ == "__main__":
    sys.exit(main())
