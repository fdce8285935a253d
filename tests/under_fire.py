#!/usr/bin/env python3
"""The headless hub under a crowd of clients (a pseudo-terminal as port 3,
its TCP/IP Server and metrics on ports the system chooses).

    under_fire.py --hub PATH [--timeout SECONDS]

Descriptors run out (limit lowered in the child) under the plain and the
TLS listener: once the idle peers go, a waiting peer relays 1 MiB both ways
within seconds (2 on a quiet machine), /metrics answers, each listener
logged it once. Scrapers stop
short of the relay's reserve and give one up for a new peer. The metrics
server's limits (MaxConnections, IdleTimeout) against idle and slowloris
clients, and HTTP as RFC 9112 has it. One line per check.
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
from checks import Process, failures, report, wait_for  # noqa: E402
from metrics_prometheus import hub_env, status_of  # noqa: E402

MIB = 1 << 20


class Hub(Process):
    """The program on a pseudo-terminal, `ini` in its [monitor], `nofile`
    (soft, hard) its descriptor limit."""

    def __init__(self, program, folder, name, ini, args=(), nofile=None):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        config = os.path.join(folder, name)
        os.mkdir(config)
        with open(os.path.join(config, "ports.ini"), "w") as f:
            f.write("[numbering]\nautomatic=false\n\n[pinned]\n3=%s\n" % os.ttyname(self.slave))
        with open(os.path.join(config, "Harborcast.ini"), "w") as f:
            f.write("[monitor]\nMetrics=127.0.0.1:0\n" + ini)
        self.log = b""
        self.process = subprocess.Popen(
            [program, "--headless", "--config-dir", config, "--open", "3", "--listen", "0", *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=hub_env(folder),
            preexec_fn=nofile and (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, nofile)))
        threading.Thread(target=self._read, daemon=True).start()

    def ports(self, timeout):
        return (self.find(re.compile(rb"metrics served on \S+ port (\d+)"), timeout),
                self.find(re.compile(rb"TCP/IP Server listening on port (\d+)"), timeout))

    def logged(self, text, timeout):
        return wait_for(lambda: text in self.log, timeout)

    def close(self, timeout):
        self.stop(timeout)
        os.close(self.master)
        os.close(self.slave)

    def relay(self, peer, timeout):
        """1 MiB peer -> device, then 1 MiB back: the seconds it took, None
        when a byte went missing."""
        rng = random.Random(7)
        up, down = rng.randbytes(MIB), rng.randbytes(MIB)
        start = time.monotonic()
        threading.Thread(target=peer.sendall, args=(up,), daemon=True).start()
        got = b""
        while len(got) < MIB and time.monotonic() < start + timeout:
            if select.select([self.master], [], [], 0.1)[0]:
                got += os.read(self.master, 65536)
        threading.Thread(target=write_all, args=(lambda data: os.write(self.master, data), down),
                         daemon=True).start()
        back, piece = b"", b"-"
        peer.settimeout(timeout)
        while got == up and len(back) < MIB and piece:
            piece = peer.recv(65536)
            back += piece
        return time.monotonic() - start if got == up and back == down else None


def write_all(write, data):
    """Writes all of data with write (which may take part), until it fails."""
    view = memoryview(data)
    try:
        while view:
            view = view[write(view[:65536]):]
    except OSError:
        pass  # closed while we still sent: the answer tells


RECOVERY_S = 5


def scraped(port, timeout):
    try:
        return status_of(port, "/metrics", timeout)
    except OSError:
        return None  # closed unanswered


def open_idle(port, count):
    """Up to `count` connections that never send (those the kernel does not
    even queue are left out)."""
    conns = []
    for _ in range(count):
        try:
            conns.append(socket.create_connection(("127.0.0.1", port), timeout=0.2))
        except OSError:
            pass
    return conns


def check_exhaustion(program, folder, timeout, tls):
    name, args, context = "plain", [], None
    if tls:
        name, key, cert = "TLS", os.path.join(folder, "hub.key"), os.path.join(folder, "hub.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                        "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1",
                        "-addext", "subjectAltName=IP:127.0.0.1"], check=True, capture_output=True)
        args, context = ["--tls-cert", cert, "--tls-key", key], ssl.create_default_context(cafile=cert)
    # Its own peers fill the table: scrapers alone cannot (the reserve).
    hub = Hub(program, folder, "exhausted-" + name, "", ["--server-peers", "64", *args], nofile=(96, 96))
    idle = []
    try:
        metrics, server = hub.ports(timeout)
        idle = open_idle(server, 120)
        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)  # queued by the kernel
        scraper = socket.create_connection(("127.0.0.1", metrics), timeout=timeout)
        # The scraper may also find a descriptor a moment free and be
        # taken; the relay's listener is the one that must run out.
        report("%s: idle peers use up the descriptors; the peer and a scraper wait" % name,
               hub.logged(b"listener: cannot accept", timeout), hub.log)
        for conn in idle + [scraper]:
            conn.close()
        took = hub.relay(context.wrap_socket(peer, server_hostname="127.0.0.1") if tls else peer, timeout)
        # 2 s on a quiet machine; the suite runs two tests at once, so the
        # bound here is what tells a listener that recovered by itself from
        # one that waits for a timeout or never accepts again.
        report("%s: once they are gone the peer relays 1 MiB both ways within %d s" % (name, RECOVERY_S),
               took is not None and took < RECOVERY_S, "took %s s" % took)
        report("%s: /metrics answers again within %d s" % (name, RECOVERY_S),
               wait_for(lambda: scraped(metrics, timeout) == 200, RECOVERY_S))
        # The relay's listener runs out once; the metrics server, whose
        # scrapers come and go, may run out again after a calm second, but
        # never says so at every try (every 100 ms).
        for listener, least, most in ((b"listener", 1, 1), (b"metrics", 0, 3)):
            lines = re.findall(listener + rb": cannot accept connections on port \d+: Too many open files", hub.log)
            report("%s: the %s names each time it runs out once" % (name, listener.decode()),
                   least <= len(lines) <= most, hub.log)
    finally:
        hub.close(timeout)


def check_eviction(program, folder, timeout):
    hub = Hub(program, folder, "evicting", "MaxConnections=1000\n", ["--server-peers", "64"], nofile=(96, 96))
    conns = []
    try:
        metrics, server = hub.ports(timeout)
        conns = open_idle(metrics, 100)
        report("idle scrapers stop short of the relay's reserve",
               hub.logged(b"the descriptors left are the relay's", timeout), hub.log)
        conns += open_idle(server, 30)  # into the reserve and past it
        report("the relay's own peers fill the table", hub.logged(b"listener: cannot accept", timeout), hub.log)
        took = hub.relay(socket.create_connection(("127.0.0.1", server), timeout=timeout), timeout)
        report("a new peer relays 1 MiB both ways while the scrapers stay, one closed for it",
               took is not None and b"closed, a relay listener needs its descriptor" in hub.log, hub.log)
    finally:
        hub.close(timeout)


def ends(conn):
    """True when the hub closed conn: end of stream, or a reset."""
    try:
        return conn.recv(1) == b""
    except socket.timeout:
        return False
    except OSError:
        return True


def check_metrics_limits(program, folder, timeout):
    hard = min(resource.getrlimit(resource.RLIMIT_NOFILE)[1], 4096)
    hub = Hub(program, folder, "limits", "MaxConnections=16\nIdleTimeout=1\n", nofile=(256, hard))
    slow, idle, stop = [], [], threading.Event()
    try:
        metrics, server = hub.ports(timeout)
        with open("/proc/%d/limits" % hub.process.pid) as f:
            line = next(line for line in f if line.startswith("Max open files"))
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
        took = hub.relay(socket.create_connection(("127.0.0.1", server), timeout=timeout), timeout)
        report("a peer relays 1 MiB both ways meanwhile", took is not None)
        report("/metrics answers meanwhile", wait_for(lambda: scraped(metrics, timeout) == 200, timeout))
        for conn in slow + idle:
            conn.settimeout(4)  # IdleTimeout is 1 s; past the limit they are closed at once
        report("slowloris and idle connections are closed (past the limit at once, the rest after IdleTimeout)",
               all(ends(conn) for conn in slow + idle))
        text = exchange(metrics, b"GET /metrics HTTP/1.0\r\n\r\n", timeout)[0]
        refused = re.search(rb'quaylight_metrics_connections_refused_total\{reason="limit"\} (\d+)', text)
        report("newcomers past MaxConnections are counted and logged", refused and int(refused.group(1)) > 0
               and b"connections open (MaxConnections)" in hub.log, text[-300:])
    finally:
        stop.set()
        hub.close(timeout)


def exchange(port, request, timeout):
    """Sends request on a fresh connection, reads until the hub closes it or
    is quiet for 0.5 s: (what came, whether it closed)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        threading.Thread(target=write_all, args=(conn.send, request), daemon=True).start()
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


def check_http(program, folder, timeout):
    hub = Hub(program, folder, "http", "")
    try:
        metrics, _ = hub.ports(timeout)
        asked = [b"/metrics", b"/status", b"/nope"] * 334
        got, closed = exchange(metrics, b"".join(b"GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % p for p in asked[:1000]),
                               timeout)
        found = []
        while got:  # (status, Content-Type) of each answer in turn
            head, _, got = got.partition(b"\r\n\r\n")
            fields = dict(line.lower().split(b": ", 1) for line in head.split(b"\r\n")[1:])
            found.append((head.split()[1], fields.get(b"content-type", b"").split(b";")[0]))
            got = got[int(fields.get(b"content-length", b"0")):]
        expected = [(b"200", b"text/plain"), (b"200", b"application/json"), (b"404", b"")] * 334
        report("1,000 pipelined GETs (39 KiB) are each answered, in order",
               [(c, k if c == b"200" else b"") for c, k in found] == expected[:1000] and not closed, found[:3])
        for ask, closes in ((b"GET /status HTTP/1.0\r\n\r\n", True),
                            (b"GET /status HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", False),
                            (b"GET /status HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", True),
                            (b"GET /status HTTP/1.1\r\nHost: x\r\n\r\n", False)):
            got, closed = exchange(metrics, ask, timeout)
            report("%r: answered, %s" % (ask, "then closed" if closes else "kept open"),
                   got.startswith(b"HTTP/1.1 200") and closed == closes, closed)
        for bad in (b"GET /status\r\n\r\n", b"GET /status HTTP/9.9\r\n\r\n", b"GET /status HTTP/1.1\r\nHost x\r\n\r\n",
                    b"\x16\x03\x01\x00\xa5\r\n\r\n"):
            got, closed = exchange(metrics, bad, timeout)
            report("malformed %r: 400 and the close" % bad, got.startswith(b"HTTP/1.1 400") and closed, got[:20])
        line = b"GET /" + b"a" * MIB + b" HTTP/1.1\r\nHost: x\r\n\r\n"
        answers = [exchange(metrics, line, timeout) for _ in range(20)]
        report("a 1 MiB request line gets 431 and the close, 20 times of 20",
               all(got.startswith(b"HTTP/1.1 431") and closed for got, closed in answers), answers)
    finally:
        hub.close(timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    parser.add_argument("--keep-descriptors", action="store_true",
                        help="leave out the checks that run the descriptor table out (a sanitized build)")
    args = parser.parse_args()
    checks = [(check_metrics_limits, ()), (check_http, ())]
    if not args.keep_descriptors:
        checks = [(check_exhaustion, (False,)), (check_exhaustion, (True,)), (check_eviction, ())] + checks
    with tempfile.TemporaryDirectory(prefix="quaylight-fire-") as folder:
        for check, extra in checks:
            try:
                check(args.hub, folder, args.timeout, *extra)
            except Exception as error:  # one part failing must not hide the others
                report("run", False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
