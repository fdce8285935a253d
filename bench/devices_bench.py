#!/usr/bin/env python3
"""Many devices: one process for all of them, beside one process each and
beside ser2net with one connection each.

    devices_bench.py --program PATH [--count N] [--timeout S]

N pseudo-terminals made here are N sections of a devices file. The hub runs
them with --devices; each section must listen, and one exchange each way on
each device must arrive intact before anything is measured. Then the same N
devices as N processes (--headless --open PATH --listen 0), and ser2net 4 with
N raw TCP accepters. Memory is read from /proc: RSS (what `ps` shows, shared
libraries counted in each process) and PSS (shared pages divided among their
users, so that N processes add up fairly). The row "per device beyond the
first" is (one process for N) - (one process for 1), over N - 1.
"""

import argparse
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

LISTENING = re.compile(rb"(?:(\w+): )?TCP/IP Server listening on port (\d+)")


class BenchError(Exception):
    pass


def memory(pid):
    """(RSS, PSS) of process pid in bytes."""
    rss = pss = 0
    with open(f"/proc/{pid}/smaps_rollup") as f:
        for line in f:
            if line.startswith("Rss:"):
                rss = int(line.split()[1]) * 1024
            elif line.startswith("Pss:"):
                pss = int(line.split()[1]) * 1024
    return rss, pss


class Process:
    def __init__(self, argv, env):
        self.log = b""
        self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.PIPE, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stderr:
            self.log += line

    def ports(self, count, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = {(m.group(1) or b"").decode(): int(m.group(2)) for m in LISTENING.finditer(self.log)}
            if len(found) >= count:
                return found
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise BenchError("%d listeners expected:\n%s" % (count, self.log.decode(errors="replace")[-3000:]))

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def exchange(master, port, timeout):
    """One message each way between a TCP peer on `port` and the pty `master`."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as peer:
        peer.sendall(b"ping\n")
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < 5 and time.monotonic() < deadline:
            if select.select([master], [], [], 0.1)[0]:
                got += os.read(master, 4096)
        if got != b"ping\n":
            raise BenchError("port %d: the device got %r" % (port, got))
        # ser2net connects the device only once a peer is there.
        time.sleep(0.05)
        os.write(master, b"pong\n")
        got = b""
        while len(got) < 5 and time.monotonic() < deadline:
            got += peer.recv(4096)
        if got != b"pong\n":
            raise BenchError("port %d: the peer got %r" % (port, got))


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for s in sockets:
        s.bind(("127.0.0.1", 0))
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def run(program, count, timeout):
    folder = tempfile.mkdtemp(prefix="quaylight-devices-bench-")
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["XDG_STATE_HOME"] = folder
    ptys = []
    for _ in range(count):
        master, slave = os.openpty()
        tty.setraw(master)
        ptys.append((master, slave, os.ttyname(slave)))
    names = ["dev%02d" % i for i in range(count)]
    rows = []

    def devices_file(n):
        path = os.path.join(folder, "devices-%d.ini" % n)
        with open(path, "w") as f:
            for name, (_, _, slave) in zip(names[:n], ptys[:n]):
                f.write("[%s]\nDevice=%s\nListen=0\nListenAddress=loopback\nBaud=115200\n\n" % (name, slave))
        return path

    def one_process(n):
        config = os.path.join(folder, "config-%d" % n)
        os.makedirs(config, exist_ok=True)
        hub = Process([program, "--devices", devices_file(n), "--config-dir", config], env)
        try:
            ports = hub.ports(n, timeout)
            for name, (master, _, _) in zip(names[:n], ptys[:n]):
                exchange(master, ports[name], timeout)
            return memory(hub.proc.pid)
        finally:
            hub.stop()

    one = one_process(1)
    many = one_process(count)
    rows.append(("one process, 1 device", one))
    rows.append(("one process, %d devices" % count, many))

    # One process per device.
    hubs = []
    try:
        for i, (master, _, slave) in enumerate(ptys):
            config = os.path.join(folder, "single-%d" % i)
            os.makedirs(config, exist_ok=True)
            hubs.append(Process([program, "--headless", "--config-dir", config, "--open", slave,
                                 "--listen", "127.0.0.1:0"], env))
        for hub, (master, _, _) in zip(hubs, ptys):
            exchange(master, list(hub.ports(1, timeout).values())[0], timeout)
        each = [memory(h.proc.pid) for h in hubs]
        rows.append(("%d processes, 1 device each" % count,
                     (sum(r for r, _ in each), sum(p for _, p in each))))
    finally:
        for hub in hubs:
            hub.stop()

    # ser2net, one raw accepter per device.
    ports = free_ports(count)
    config = os.path.join(folder, "ser2net.yaml")
    with open(config, "w") as f:
        for i, ((_, _, slave), port) in enumerate(zip(ptys, ports)):
            f.write("connection: &c%d\n  accepter: tcp,127.0.0.1,%d\n"
                    "  connector: serialdev,%s,115200n81,local\n\n" % (i, port, slave))
    ser2net = Process(["ser2net", "-n", "-d", "-c", config, "-P", os.path.join(folder, "ser2net.pid")], env)
    try:
        deadline = time.monotonic() + timeout
        for (master, _, _), port in zip(ptys, ports):
            while True:
                try:
                    exchange(master, port, timeout)
                    break
                except (ConnectionRefusedError, BenchError):
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)
        rows.append(("ser2net, %d connections" % count, memory(ser2net.proc.pid)))
    finally:
        ser2net.stop()

    per_device = (many[0] - one[0]) / (count - 1)
    print("\n## %d devices: memory after one exchange each way on every device\n" % count)
    print("| process | RSS KiB | PSS KiB |")
    print("|---|---|---|")
    for what, (rss, pss) in rows:
        print("| %s | %d | %d |" % (what, rss // 1024, pss // 1024))
    print("| per device beyond the first (one process) | %d | %d |"
          % (per_device // 1024, (many[1] - one[1]) / (count - 1) // 1024))
    print("\ntarget: at most 512 KiB RSS per device beyond the first: %s"
          % ("met" if per_device <= 512 * 1024 else "NOT met"))
    return per_device <= 512 * 1024


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--count", type=int, default=64)
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()
    try:
        return 0 if run(args.program, args.count, args.timeout) else 1
    except BenchError as error:
        print("devices_bench: %s" % error, file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
