#!/usr/bin/env python3
"""The link (--link) beside a raw socat chain, both ending at the same hub.

    link_bench.py --program PATH [--mib N] [--reps N] [--trips N] [--timeout S]

Chain "link": application -> link device (the program with --link) -> hub
(the program, --headless --rfc2217) -> the hub's pseudo-terminal device.
Chain "socat": application -> socat PTY,raw,echo=0 ... TCP:... -> the hub
without --rfc2217 -> the same kind of device. Prints application -> device
throughput (median of --reps runs of --mib MiB) and the round trip of a 64 B
message (application -> device, echoed back) at p50 and p99, the CPU time
the link or socat spent per GiB of the throughput runs (the hub's not
counted), then the ratios.
"""

import argparse
import contextlib
import os
import random
import re
import select
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from rfc2217_client import Hub, wait_for  # noqa: E402  (the hub on a pinned pty)


def open_raw(path, timeout):
    if not wait_for(lambda: os.path.exists(path), timeout):
        raise RuntimeError("no device at " + path)
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    tty.setraw(fd)
    return fd


def start_link(program, port, path, timeout):
    log = open(path + ".log", "wb")
    proc = subprocess.Popen([program, "--link", "127.0.0.1:%d" % port, "--link-device", path],
                            stdin=subprocess.DEVNULL, stderr=log, env=dict(os.environ, XDG_STATE_HOME=os.path.dirname(path)))
    if not wait_for(lambda: re.search(rb"connected to", open(path + ".log", "rb").read()), timeout):
        raise RuntimeError("the link did not connect")
    return proc


def start_socat(port, path):
    return subprocess.Popen(["socat", "PTY,link=%s,raw,echo=0" % path, "TCP:127.0.0.1:%d" % port],
                            stdin=subprocess.DEVNULL)


def throughput(app, hub, size, timeout):
    """MB/s from the application's writes to the last byte read at the device."""
    data = random.Random(size).randbytes(size)
    start = time.monotonic()
    writer = threading.Thread(target=write_all, args=(app, data))
    writer.start()
    got = read_exactly(hub.master, size)
    spent = time.monotonic() - start
    writer.join()
    if got != data:
        raise RuntimeError("%d of %d bytes arrived intact" % (len(got), size))
    return size / spent / 1e6


def cpu_seconds(pid):
    """User and system CPU time of a process so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def read_exactly(fd, size, timeout=30.0):
    """`size` bytes from the hub's device (its master, non-blocking)."""
    got = bytearray(size)
    view, done = memoryview(got), 0
    deadline = time.monotonic() + timeout
    while done < size:
        if time.monotonic() > deadline:
            raise RuntimeError("%d of %d bytes reached the device" % (done, size))
        select.select([fd], [], [], 1.0)
        try:
            done += os.readv(fd, [view[done:]])
        except BlockingIOError:
            pass
    return bytes(got)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def round_trips(app, hub, count):
    """Microseconds for 64 B from the application to the device and back."""
    os.set_blocking(app, True)
    message = bytes(range(64))
    times = []
    for _ in range(count):
        start = time.monotonic()
        write_all(app, message)
        echo = read_exactly(hub.master, 64)
        hub.write_device(echo)
        back = b""
        while len(back) < 64:
            back += os.read(app, 64 - len(back))
        times.append((time.monotonic() - start) * 1e6)
        if back != message:
            raise RuntimeError("the round trip changed the message")
    return times


def main_loop(program, args, folder, stack):
    """Both chains up at once, measured in turns, so a machine whose load
    drifts during the run weighs on both alike."""
    chains = {}
    for name in ("link", "socat"):
        hub = stack.enter_context(Hub(program, name == "link", args.timeout))
        path = os.path.join(folder, "tty" + name)
        proc = (start_link(program, hub.port(), path, args.timeout) if name == "link"
                else start_socat(hub.port(), path))
        stack.callback(proc.wait, args.timeout)
        stack.callback(proc.terminate)
        app = open_raw(path, args.timeout)
        stack.callback(os.close, app)
        round_trips(app, hub, 1)  # connected and warm before anything counts
        chains[name] = (app, hub, [], [], proc.pid)
    cpu = {name: -cpu_seconds(chain[4]) for name, chain in chains.items()}
    for _ in range(args.reps):
        for app, hub, rates, _trips, _pid in chains.values():
            rates.append(throughput(app, hub, args.mib << 20, args.timeout))
    gib = args.reps * args.mib / 1024
    cpu = {name: (seconds + cpu_seconds(chains[name][4])) / gib for name, seconds in cpu.items()}
    for _ in range(10):
        for app, hub, _rates, trips, _pid in chains.values():
            trips.extend(round_trips(app, hub, args.trips // 10))
    results = {}
    for name, (_app, _hub, rates, trips, _pid) in chains.items():
        trips.sort()
        results[name] = (statistics.median(rates), cpu[name], trips[len(trips) // 2], trips[int(len(trips) * 0.99)])
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--mib", type=int, default=16)
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--trips", type=int, default=1000)
    parser.add_argument("--timeout", type=float, default=30.0)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quaylight-link-bench-") as folder, contextlib.ExitStack() as stack:
        results = main_loop(args.program, args, folder, stack)
    print("| chain | app -> device MB/s | link or socat CPU s/GiB | 64 B round trip p50 us | p99 us |")
    print("|---|---|---|---|---|")
    for name, (rate, cpu, p50, p99) in results.items():
        print("| %s | %.1f | %.1f | %.0f | %.0f |" % (name, rate, cpu, p50, p99))
    (lr, lc, lp, _), (sr, sc, sp, _) = results["link"], results["socat"]
    print("\nlink / socat: throughput %.2fx, CPU %.2fx, round trip p50 %.2fx (%d MiB x %d, %d trips)"
          % (lr / sr, lc / sc, lp / sp, args.mib, args.reps, args.trips))


if __name__ == "__main__":
    main()
