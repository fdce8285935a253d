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
    peer relays 1 MiB both ways and /metrics still answers;
  - HTTP as RFC 9112 has it: 1,000 pipelined GETs each answered in order,
    the close after the answer when asked for (HTTP/1.0, Connection:
    close), 400 and the close for a malformed request, 431 for a 1 MiB
    request line every time.
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


def exchange(port, request, timeout):
    """Sends request on a fresh connection and reads until the hub closes it
    or goes quiet for half a second: (what came, whether it closed)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        sender = threading.Thread(target=lambda: _send_quietly(conn, request), daemon=True)
        sender.start()
        conn.settimeout(0.5)
        got = b""
        while True:
            try:
                piece = conn.recv(65536)
            except socket.timeout:
                return got, False
            except OSError:
                return got, True
            if not piece:
                return got, True
            got += piece


def _send_quietly(conn, data):
    try:
        conn.sendall(data)
    except OSError:
        pass  # closed while we still sent


def responses(data):
    """(status, Content-Type) of each response in data, in order."""
    found = []
    while data:
        head, _, rest = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        fields = {k.strip().lower(): v.strip() for k, _, v in (line.partition(b":") for line in lines[1:])}
        found.append((int(lines[0].split()[1]), fields.get(b"content-type", b"").split(b";")[0]))
        data = rest[int(fields.get(b"content-length", b"0")):]
    return found


def check_http(program, folder, timeout):
    hub = Hub(program, folder, "http", "")
    try:
        metrics, _ = hub.ports(timeout)
        paths = [b"/metrics", b"/status", b"/nope"]
        request = b"".join(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % paths[i % 3] for i in range(1000))
        got, closed = exchange(metrics, request, timeout)
        expected = [[(200, b"text/plain"), (200, b"application/json"), (404, b"")][i % 3] for i in range(1000)]
        found = responses(got)
        report("1,000 pipelined GETs (%d KiB) are each answered, in order" % (len(request) // 1024),
               [(code, kind if code == 200 else b"") for code, kind in found] == expected and not closed,
               "%d answers, first %r, closed %s" % (len(found), found[:4], closed))
        for name, ask, closes in (
                ("HTTP/1.0", b"GET /status HTTP/1.0\r\n\r\n", True),
                ("HTTP/1.0 with keep-alive", b"GET /status HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", False),
                ("Connection: close", b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", True),
                ("HTTP/1.1", b"GET /status HTTP/1.1\r\nHost: x\r\n\r\n", False)):
            got, closed = exchange(metrics, ask, timeout)
            report("%s: answered, %s" % (name, "then closed" if closes else "kept open"),
                   got.startswith(b"HTTP/1.1 200") and closed == closes, "%r, closed %s" % (got[:20], closed))
        for name, bad in (("no version", b"GET /status\r\n\r\n"), ("HTTP/9.9", b"GET /status HTTP/9.9\r\n\r\n"),
                          ("a header without a colon", b"GET /status HTTP/1.1\r\nHost x\r\n\r\n"),
                          ("binary", b"\x16\x03\x01\x00\xa5\r\n\r\n")):
            got, closed = exchange(metrics, bad, timeout)
            report("malformed (%s): 400 and the close" % name, got.startswith(b"HTTP/1.1 400") and closed,
                   "%r, closed %s" % (got[:20], closed))
        line = b"GET /" + b"a" * MIB + b" HTTP/1.1\r\nHost: x\r\n\r\n"
        answers = [exchange(metrics, line, timeout) for _ in range(20)]
        report("a 1 MiB request line gets 431 and the close, 20 times of 20",
               all(got.startswith(b"HTTP/1.1 431") and closed for got, closed in answers),
               repr([got[:12] for got, _ in answers]))
    finally:
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
                      lambda: check_metrics_limits(args.hub, folder, args.timeout),
                      lambda: check_http(args.hub, folder, args.timeout)):
            try:
                check()
            except Exception as error:  # one part failing must not hide the others
                report("run", False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
