#!/usr/bin/env python3
"""The hub under a crowd of clients: its descriptors run out, scrapers hold
on, and the relay still goes on.

    under_fire.py --hub PATH [--timeout SECONDS]

Each run starts the headless hub on a pseudo-terminal made here (pinned as
port 3), its TCP/IP Server on a port the system chooses and its metrics on
loopback:
  - exhaustion, plain and TLS: the hub's descriptor limit lowered in the
    child, idle peers of the TCP/IP Server use up the rest while one more
    peer and a scraper try; once they are gone the peer relays 1 MiB both
    ways within 2 s, /metrics answers again, and each listener logged the
    exhaustion once;
  - eviction: idle scrapers stop short of the relay's reserve; once the
    relay's own peers fill the table, a new peer is still served and an
    idle scrape closed for it;
  - the metrics server's own limits: the soft limit raised to the hard one
    at start, [monitor] MaxConnections and IdleTimeout scaled down, idle and
    slowloris connections closed, newcomers past the limit counted, while a
    peer relays 1 MiB both ways and /metrics still answers.
One line per check; non-zero exit when one failed.
"""

import argparse
import os
import random
import re
import resource
import select
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from metrics_prometheus import Process, hub_env, status_of, wait_for  # noqa: E402

PORT_NUMBER = 3
SERVER_PORT = re.compile(rb"endpoint 2 listening on port (\d+)")
METRICS_PORT = re.compile(rb"metrics served on \S+ port (\d+)")
MIB = 1 << 20

failures = []


def report(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + detail), flush=True)
    if not ok:
        failures.append(name)


class Hub:
    """The program on a pseudo-terminal of its own, with `ini` as its
    Harborcast.ini and `nofile` (soft, hard) as its descriptor limit."""

    def __init__(self, program, folder, name, ini, args=(), nofile=None):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        config = os.path.join(folder, name)
        os.mkdir(config)
        with open(os.path.join(config, "ports.ini"), "w") as f:
            f.write("[numbering]\nautomatic=false\n\n[pinned]\n%d=%s\n" % (PORT_NUMBER, os.ttyname(self.slave)))
        with open(os.path.join(config, "Harborcast.ini"), "w") as f:
            f.write("[monitor]\nMetrics=127.0.0.1:0\n" + ini)
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, nofile)) if nofile else None
        self.process = LimitedProcess([program, "--headless", "--config-dir", config, "--open", str(PORT_NUMBER),
                                       "--listen", "0", *args], hub_env(folder), limit)

    def ports(self, timeout):
        return self.process.find(METRICS_PORT, timeout), self.process.find(SERVER_PORT, timeout)

    def log(self):
        return self.process.log

    def close(self, timeout):
        self.process.stop(timeout)
        os.close(self.master)
        os.close(self.slave)


class LimitedProcess(Process):
    """Process, with `preexec` run in the child before the program."""

    def __init__(self, args, env, preexec):
        self.log = b""
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env, preexec_fn=preexec)
        threading.Thread(target=self._read, daemon=True).start()


def relay_both_ways(hub, peer, timeout):
    """1 MiB peer -> device, then 1 MiB device -> peer; the seconds it took,
    or None when a byte went missing."""
    rng = random.Random(7)
    up = bytes(rng.getrandbits(8) for _ in range(MIB))
    down = bytes(rng.getrandbits(8) for _ in range(MIB))
    start = time.monotonic()
    deadline = start + timeout
    sender = threading.Thread(target=peer.sendall, args=(up,), daemon=True)
    sender.start()
    got = bytearray()
    while len(got) < len(up) and time.monotonic() < deadline:
        if select.select([hub.master], [], [], 0.1)[0]:
            got += os.read(hub.master, 65536)
    if bytes(got) != up:
        return None

    def write_all():
        view = memoryview(down)
        while view:
            view = view[os.write(hub.master, view[:65536]):]
    writer = threading.Thread(target=write_all, daemon=True)
    writer.start()
    back = bytearray()
    peer.settimeout(0.2)
    while len(back) < len(down) and time.monotonic() < deadline:
        try:
            piece = peer.recv(65536)
        except (socket.timeout, ssl.SSLWantReadError):
            continue
        if not piece:
            break
        back += piece
    return time.monotonic() - start if bytes(back) == down else None


def scraped(port, timeout):
    """The status of GET /metrics, None when the hub closed the connection."""
    try:
        return status_of(port, "/metrics", timeout)
    except OSError:
        return None


def open_idle(port, count):
    """Up to `count` connections that never send; those the kernel would
    not even queue are left out."""
    conns = []
    for _ in range(count):
        conn = socket.socket()
        conn.settimeout(0.2)
        try:
            conn.connect(("127.0.0.1", port))
            conns.append(conn)
        except OSError:
            conn.close()
    return conns


def check_exhaustion(program, folder, timeout, tls):
    name = "TLS" if tls else "plain"
    args = []
    context = None
    if tls:
        key, cert = os.path.join(folder, "hub.key"), os.path.join(folder, "hub.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                        "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
        args = ["--tls-cert", cert, "--tls-key", key]
        context = ssl.create_default_context(cafile=cert)
    # Its own peers fill the table: the metrics server keeps out of the
    # relay's reserve, so scrapers alone cannot.
    hub = Hub(program, folder, "exhausted-" + name, "", ["--server-peers", "64", *args], nofile=(96, 96))
    idle = []
    try:
        metrics, server = hub.ports(timeout)
        idle = open_idle(server, 120)
        exhausted = wait_for(lambda: b"listener: cannot accept" in hub.log(), timeout)
        report("%s: idle peers use up the hub's descriptors" % name, exhausted, hub.log().decode(errors="replace"))
        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)  # queued by the kernel
        scraper = socket.create_connection(("127.0.0.1", metrics), timeout=timeout)  # queued too
        tried = wait_for(lambda: b"metrics: cannot accept" in hub.log(), timeout)
        report("%s: a scraper's accept fails too" % name, tried, hub.log().decode(errors="replace")[-2000:])
        for conn in idle:
            conn.close()
        idle = []
        if tls:
            peer = context.wrap_socket(peer, server_hostname="127.0.0.1")
        took = relay_both_ways(hub, peer, timeout)
        report("%s: once they are gone the peer relays 1 MiB both ways within 2 s" % name,
               took is not None and took < 2.0, "took %s s" % took)
        peer.close()
        scraper.close()
        report("%s: /metrics answers again within 2 s" % name, wait_for(lambda: scraped(metrics, timeout) == 200, 2))
        log = hub.log()
        for listener in (b"listener", b"metrics"):
            lines = re.findall(listener + rb": cannot accept connections on port \d+: Too many open files", log)
            report("%s: the %s names the exhaustion once" % (name, listener.decode()), len(lines) == 1,
                   "%d times in:\n%s" % (len(lines), log.decode(errors="replace")[-3000:]))
    finally:
        for conn in idle:
            conn.close()
        hub.close(timeout)


def check_eviction(program, folder, timeout):
    hub = Hub(program, folder, "evicting", "MaxConnections=1000\n", ["--server-peers", "64"], nofile=(96, 96))
    scrapers, peers = [], []
    try:
        metrics, server = hub.ports(timeout)
        scrapers = open_idle(metrics, 100)
        reserved = wait_for(lambda: b"the descriptors left are the relay's" in hub.log(), timeout)
        report("idle scrapers stop short of the relay's reserve", reserved, hub.log().decode(errors="replace"))
        peers = open_idle(server, 30)  # into the reserve and past it
        full = wait_for(lambda: b"listener: cannot accept" in hub.log(), timeout)
        report("the relay's own peers fill the table", full, hub.log().decode(errors="replace")[-2000:])
        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)
        took = relay_both_ways(hub, peer, timeout)
        report("a new peer is served while the scrapers stay, 1 MiB both ways", took is not None,
               "took %s s" % took)
        peer.close()
        report("... an idle scrape was closed for it",
               b"closed, a relay listener needs its descriptor" in hub.log(), hub.log().decode(errors="replace")[-2000:])
    finally:
        for conn in scrapers + peers:
            conn.close()
        hub.close(timeout)


def check_metrics_limits(program, folder, timeout):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    hard = min(hard, 4096)
    hub = Hub(program, folder, "limits", "MaxConnections=16\nIdleTimeout=1\n", nofile=(256, hard))
    idle, slow = [], []
    stop = threading.Event()
    try:
        metrics, server = hub.ports(timeout)
        with open("/proc/%d/limits" % hub.process.process.pid) as f:
            line = next(l for l in f if l.startswith("Max open files"))
        report("the soft descriptor limit is raised to the hard one", line.split()[3:5] == [str(hard)] * 2, line)

        slow = open_idle(metrics, 10)
        request = b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + b"a" * 4000

        def trickle():  # one byte per socket every 0.2 s: never a whole request
            for i in range(len(request)):
                for conn in slow:
                    try:
                        conn.send(request[i:i + 1])
                    except OSError:
                        pass
                if stop.wait(0.2):
                    return
        threading.Thread(target=trickle, daemon=True).start()
        idle = open_idle(metrics, 300)
        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)
        took = relay_both_ways(hub, peer, timeout)
        report("a peer relays 1 MiB both ways meanwhile", took is not None, "took %s s" % took)
        peer.close()
        answered = wait_for(lambda: scraped(metrics, timeout) == 200, timeout)
        report("/metrics answers meanwhile", answered)

        def closed_by_hub(conns):
            ended = 0
            for conn in conns:
                conn.settimeout(0)
                try:
                    if conn.recv(1) == b"":
                        ended += 1
                except BlockingIOError:
                    pass
                except OSError:
                    ended += 1
            return ended
        ended = wait_for(lambda: closed_by_hub(slow) == len(slow), 4)
        report("slowloris connections are closed after IdleTimeout", ended, "%d of %d" % (closed_by_hub(slow), len(slow)))
        ended = wait_for(lambda: closed_by_hub(idle) == len(idle), 4)
        report("idle connections are closed, at once past the limit or after IdleTimeout", ended,
               "%d of %d" % (closed_by_hub(idle), len(idle)))
        with socket.create_connection(("127.0.0.1", metrics), timeout=timeout) as conn:
            conn.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            text = b""
            while b"quaylight_metrics_connections_refused_total" not in text or not text.endswith(b"\n"):
                piece = conn.recv(65536)
                if not piece:
                    break
                text += piece
        refused = re.search(rb'quaylight_metrics_connections_refused_total\{reason="limit"\} (\d+)', text)
        report("newcomers past MaxConnections are counted", refused and int(refused.group(1)) > 0,
               text.decode(errors="replace")[-400:])
        report("... and logged", b"connections open (MaxConnections)" in hub.log(), hub.log().decode(errors="replace"))
    finally:
        stop.set()
        for conn in idle + slow:
            conn.close()
        hub.close(timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quaylight-fire-") as folder:
        for check in (lambda: check_exhaustion(args.hub, folder, args.timeout, tls=False),
                      lambda: check_exhaustion(args.hub, folder, args.timeout, tls=True),
                      lambda: check_eviction(args.hub, folder, args.timeout),
                      lambda: check_metrics_limits(args.hub, folder, args.timeout)):
            try:
                check()
            except Exception as error:  # one part failing must not hide the others
                report("run", False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
