#!/usr/bin/python3
"""The line-pace benchmark: how much idle time a host leaves on a 38400-baud line between image
pieces, how many system calls it makes a piece, and how much memory it needs.

Each run gives the host a pseudo-terminal with the pace of a real line (the preloaded shim) and
the emulated device on its far side. Tovrel (the real program, a whole update) and a plain
reference host (bench/reference_host.py, the piece transactions alone) run on the same machine
in the same invocation, so the figures are read as a ratio rather than as absolute times.
Peak memory is taken for a 64 KiB and an 8 MiB image on a line that takes no time: it must not
grow with the image. Prints figures only; it never fails on a time."""
import argparse
import os
import random
import signal
import subprocess
import sys
import tempfile
import time

PIECE = 128


def percentile(values, share):
    if not values:
        return 0.0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * (len(ordered) - 1) + 0.5))]


def run_host(command, args, image, line, workdir, label):
    master, slave = os.openpty()
    tty = os.ttyname(slave)
    saved = os.path.join(workdir, label + ".saved")
    report = os.path.join(workdir, label + ".report")
    device = subprocess.Popen([args.device, str(master), saved], pass_fds=[master])
    os.close(master)
    env = dict(os.environ, LD_PRELOAD=args.shim, TOVREL_BENCH_TTY=tty,
               TOVREL_BENCH_REPORT=report, TOVREL_BENCH_LINE=line)
    started = time.monotonic()
    host = subprocess.Popen([part.format(image=image, tty=tty) for part in command], env=env,
                            stdout=subprocess.DEVNULL)
    limit = started + args.limit_s
    status = None
    while time.monotonic() < limit:
        pid, raw_status = os.waitpid(host.pid, os.WNOHANG)
        if pid == host.pid:
            status = os.waitstatus_to_exitcode(raw_status)
            break
        time.sleep(0.05)
    if status is None:
        host.kill()
        os.waitpid(host.pid, 0)
        status = "killed after %d s" % args.limit_s
    elapsed = time.monotonic() - started
    device.send_signal(signal.SIGTERM)
    device.wait(10)
    os.close(slave)
    figures = {"status": status, "elapsed_s": elapsed}
    with open(image, "rb") as sent, open(saved, "rb") as got:
        figures["image_ok"] = sent.read() == got.read()
    if os.path.exists(report):
        with open(report) as lines:
            for line in lines:
                key, *values = line.split()
                figures[key] = [int(v) for v in values]
    return figures


def make_image(path, size):
    with open(path, "wb") as image:
        image.write(random.Random(size).randbytes(size))


def describe(label, figures):
    idle = [v / 1e6 for v in figures.get("idle_ns", [])]
    period = [v / 1e6 for v in figures.get("period_ns", [])]
    pieces = figures.get("pieces", [0])[0]
    calls = figures.get("transfer_calls", [0])[0]
    per_piece = calls / (pieces - 1) if pieces > 1 else 0.0
    print("%-15s %8.3f %8.3f %8.3f %10.2f %10.1f %8s %s" % (
        label, percentile(idle, 0.5), percentile(idle, 0.99), max(idle, default=0.0),
        percentile(period, 0.5), per_piece, figures["status"],
        "" if figures["image_ok"] else "IMAGE DIFFERS"))
    return percentile(idle, 0.99)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tovrel", required=True)
    parser.add_argument("--shim", required=True)
    parser.add_argument("--device", required=True)
    parser.add_argument("--reference", default=os.path.join(os.path.dirname(__file__),
                                                           "reference_host.py"))
    parser.add_argument("--kib", type=int, default=32, help="image size for the idle runs")
    parser.add_argument("--limit-s", type=int, default=300)
    args = parser.parse_args()

    tovrel_command = [args.tovrel, "{image}", "{tty}", "38400"]
    with tempfile.TemporaryDirectory(prefix="tovrel-bench-") as workdir:
        image = os.path.join(workdir, "image.bin")
        make_image(image, args.kib * 1024)
        print("Line pace: %d KiB image at 38400 baud (%.2f ms a piece on the wire)" % (
            args.kib, PIECE * 10 / 38400 * 1000))
        print("%-15s %8s %8s %8s %10s %10s %8s" % ("host", "idle p50", "p99", "worst",
                                                  "period", "calls", "status"))
        print("%-15s %8s %8s %8s %10s %10s" % ("", "ms", "ms", "ms", "ms", "a piece"))
        tovrel = run_host(tovrel_command, args, image, "paced", workdir, "tovrel")
        ours = describe("tovrel", tovrel)
        reference = run_host([sys.executable, args.reference, "{tty}", "{image}"], args, image, "paced", workdir,
                             "reference")
        theirs = describe("reference host", reference)
        if theirs > 0:
            print("tovrel p99 idle / reference p99 idle: %.2f" % (ours / theirs))

        print("\nPeak memory (a line that takes no time)")
        for label, size in (("64 KiB", 64 * 1024), ("8 MiB", 8 * 1024 * 1024)):
            path = os.path.join(workdir, "memory.bin")
            make_image(path, size)
            figures = run_host(tovrel_command, args, path, "instant", workdir, "memory")
            print("tovrel %-7s %6d KiB  %s %s" % (label, figures.get("peak_rss_kib", [0])[0],
                                                figures["status"],
                                                "" if figures["image_ok"] else "IMAGE DIFFERS"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
