#!/usr/bin/env python3
"""The hub's metrics endpoint, read by the tools that watch it.

    metrics_prometheus.py --hub PATH [--timeout SECONDS]

Runs the headless hub on a pseudo-terminal made here (pinned as port 3 in a
private config folder) with --metrics on a port the system chooses. A TCP
peer sends a known number of bytes to the device; then a real Prometheus
server (Debian's prometheus, on loopback, storage in a temporary folder)
scrapes the hub every second and its HTTP API must give that number for
quaylight_received_bytes_total{endpoint="server"}. promtool checks the live
/metrics; /status must agree as JSON; other paths get 404; a request over
8 KiB gets 431 or a close. A hub with --server-peers 3 counts its three
peers in /metrics, lists them in /status and counts a fourth as refused
over the limit. A further hub, its metrics address from
Harborcast.ini [monitor] and AllowedPeers naming nobody on loopback, closes
the scrape and logs it. One line per check; exit 77 (skipped) when
Prometheus is not installed, non-zero when a check failed.
"""

import argparse
import json
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tty
import urllib.error
import urllib.parse
import urllib.request

from checks import Process, failures, report, wait_for

PORT_NUMBER = 3
SERVER_PORT = re.compile(rb"TCP/IP Server listening on port (\d+)")
METRICS_PORT = re.compile(rb"metrics served on \S+ port (\d+)")
TO_DEVICE = bytes(range(256)) * 40 + b"tail"  # 10244 bytes, every value


def hub_env(folder):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["XDG_STATE_HOME"] = folder  # the log file stays in here
    return env


def listening_port(pid, timeout):
    """The TCP port process pid listens on, from its sockets in /proc."""
    def find():
        try:
            inodes = {os.readlink("/proc/%d/fd/%s" % (pid, fd)) for fd in os.listdir("/proc/%d/fd" % pid)}
        except OSError:
            return None
        for table in ("/proc/net/tcp", "/proc/net/tcp6"):
            with open(table) as f:
                for line in list(f)[1:]:
                    fields = line.split()
                    if fields[3] == "0A" and "socket:[%s]" % fields[9] in inodes:
                        return int(fields[1].rsplit(":", 1)[1], 16)
        return None
    return wait_for(find, timeout)


def http(port, path, timeout):
    with urllib.request.urlopen("http://127.0.0.1:%d%s" % (port, path), timeout=timeout) as reply:
        return reply.status, reply.headers.get("Content-Type", ""), reply.read()


def status_of(port, path, timeout):
    try:
        return http(port, path, timeout)[0]
    except urllib.error.HTTPError as error:
        return error.code


def raw_exchange(port, request, timeout):
    """Sends request on a fresh connection; what came back until the hub
    closed it, or None when it kept the connection open."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        try:
            conn.sendall(request)
        except OSError:
            pass  # closed while we still sent: that is a close too
        got = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                piece = conn.recv(65536)
            except socket.timeout:
                return None
            except OSError:
                return got  # reset
            if not piece:
                return got
            got += piece
        return None


def start_hub(hub_program, folder, name, extra=()):
    """The headless hub on a fresh pty pinned as PORT_NUMBER, listening and
    serving metrics on ports the system chose: (hub, master, slave)."""
    master, slave = os.openpty()
    tty.setraw(master)
    config = os.path.join(folder, name)
    os.mkdir(config)
    with open(os.path.join(config, "ports.ini"), "w") as f:
        f.write("[numbering]\nautomatic=false\n\n[pinned]\n%d=%s\n" % (PORT_NUMBER, os.ttyname(slave)))
    return Process([hub_program, "--headless", "--config-dir", config, "--open", str(PORT_NUMBER),
                    "--listen", "0", "--metrics", "127.0.0.1:0", *extra], hub_env(folder)), master, slave


def read_device(master, size, timeout):
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < size and time.monotonic() < deadline:
        if select.select([master], [], [], 0.1)[0]:
            got += os.read(master, 65536)
    return got


def check_live_hub(hub_program, prometheus, promtool, folder, timeout):
    hub, master, slave = start_hub(hub_program, folder, "config")
    scraper = None
    try:
        metrics = hub.find(METRICS_PORT, timeout)
        server = hub.find(SERVER_PORT, timeout)
        with open("/proc/%d/maps" % hub.process.pid) as f:
            gui = [line for line in f if "libQt6Gui" in line or "libQt6Widgets" in line]
        report("headless with metrics loads no GUI library", not gui, gui[0] if gui else "")

        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)
        peer.sendall(TO_DEVICE)
        got = read_device(master, len(TO_DEVICE), timeout)
        report("the peer's bytes reach the device", got == TO_DEVICE, "%d of %d bytes" % (len(got), len(TO_DEVICE)))
        os.write(master, b"answer")
        answer = b""
        deadline = time.monotonic() + timeout
        while len(answer) < 6 and time.monotonic() < deadline:
            answer += peer.recv(64)

        code, kind, body = http(metrics, "/metrics", timeout)
        report("/metrics is text format 0.0.4", code == 200 and "version=0.0.4" in kind, "%d %s" % (code, kind))
        check = subprocess.run([promtool, "check", "metrics"], input=body, capture_output=True, timeout=timeout)
        report("promtool check metrics accepts the live output", check.returncode == 0,
               (check.stdout + check.stderr).decode(errors="replace"))

        code, kind, body = http(metrics, "/status", timeout)
        status = json.loads(body)
        server_status = next(e for e in status["endpoints"] if e["name"] == "server")
        report("/status: the server's counters, its peer, the open port",
               kind.startswith("application/json") and server_status["bytesReceived"] == len(TO_DEVICE)
               and server_status["bytesSent"] == 6 and server_status["connected"]
               and server_status["peerPort"] == peer.getsockname()[1]
               and status["serial"]["open"] and status["serial"]["port"] == PORT_NUMBER
               and status["serial"]["bytesReceived"] == 6 and status["serial"]["bytesSent"] == len(TO_DEVICE)
               and status["serial"]["lastReceived"] is not None, json.dumps(status))
        for path in ("/metrics/x", "/statusx", "/console.jsx"):
            code = status_of(metrics, path, timeout)
            report("%s gets 404" % path, code == 404, "got %s" % code)
        oversize = (b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Pad: " + b"a" * (9 * 1024) + b"\r\n\r\n")
        reply = raw_exchange(metrics, oversize, timeout)
        report("a request over 8 KiB gets 431 or a close",
               reply is not None and (reply == b"" or reply.startswith(b"HTTP/1.1 431")), repr(reply and reply[:80]))
        report("a small request after it is served", status_of(metrics, "/metrics", timeout) == 200)

        data = os.path.join(folder, "prometheus")
        os.mkdir(data)
        config_file = os.path.join(folder, "prometheus.yml")
        with open(config_file, "w") as f:
            f.write("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n"
                    "  - job_name: quaylight\n    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % metrics)
        scraper = Process([prometheus, "--config.file=" + config_file, "--storage.tsdb.path=" + data,
                           "--web.listen-address=127.0.0.1:0"])
        api = listening_port(scraper.process.pid, timeout * 3)
        if not api:
            raise RuntimeError("Prometheus did not listen:\n" + scraper.log.decode(errors="replace"))
        query = urllib.parse.quote('quaylight_received_bytes_total{endpoint="server"}')

        def scraped():
            try:
                result = json.loads(http(api, "/api/v1/query?query=" + query, timeout)[2])["data"]["result"]
            except (OSError, ValueError, KeyError):
                return None
            return result[0]["value"][1] if result else None
        value = wait_for(lambda: scraped() == str(len(TO_DEVICE)), timeout * 3) and scraped()
        report("Prometheus scraped quaylight_received_bytes_total{endpoint=\"server\"} = %d" % len(TO_DEVICE),
               value == str(len(TO_DEVICE)), "Prometheus has %r" % scraped())
        peer.close()
        code = hub.stop(timeout)
        report("SIGTERM ends the hub with exit code 0", code == 0, "exit code %s" % code)
    finally:
        if scraper:
            scraper.stop(timeout)
        hub.stop(timeout)
        os.close(master)
        os.close(slave)


def check_server_peers(hub_program, promtool, folder, timeout):
    hub, master, slave = start_hub(hub_program, folder, "peers", ["--server-peers", "3"])
    peers = []
    try:
        metrics, server = hub.find(METRICS_PORT, timeout), hub.find(SERVER_PORT, timeout)
        for i in range(3):  # 100, 200 and 300 bytes, one peer after the other
            peers.append(socket.create_connection(("127.0.0.1", server), timeout=timeout))
            peers[-1].sendall(bytes([65 + i]) * (100 * (i + 1)))
            read_device(master, 100 * (i + 1), timeout)
        os.write(master, b"hello")
        report("each of three peers gets the device's bytes", all(peer.recv(5, socket.MSG_WAITALL) == b"hello" for peer in peers))
        with socket.create_connection(("127.0.0.1", server), timeout=timeout) as fourth:
            try:
                closed = fourth.recv(64) == b""
            except ConnectionResetError:
                closed = True
            report("a fourth peer is closed", closed)
        body = http(metrics, "/metrics", timeout)[2]
        check = subprocess.run([promtool, "check", "metrics"], input=body, capture_output=True, timeout=timeout)
        report("promtool accepts the metrics with three peers", check.returncode == 0,
               (check.stdout + check.stderr).decode(errors="replace"))
        values = dict(line.rsplit(" ", 1) for line in body.decode().splitlines() if not line.startswith("#"))
        wanted = {'quaylight_%s{endpoint="server"}' % name: value for name, value in (
            ("endpoint_peers", "3"), ("endpoint_listening", "1"), ("endpoint_connected", "1"),
            ("received_bytes_total", "600"), ("bytes_received_total", "600"),
            ("sent_bytes_total", "15"), ("bytes_sent_total", "15"))}
        wanted['quaylight_peers_refused_total{endpoint="server",reason="limit"}'] = "1"
        got = {name: values.get(name) for name in wanted}
        report("/metrics: 3 peers, still listening, 1 refused over the limit, bytes under both names",
               got == wanted, repr(got))
        server_status = next(e for e in json.loads(http(metrics, "/status", timeout)[2])["endpoints"]
                             if e["name"] == "server")
        listed = [(p["address"], p["port"], p["bytesReceived"], p["bytesSent"], p["tlsSubject"], p["since"] is not None)
                  for p in server_status.get("peers", [])]
        wanted = [("127.0.0.1", peer.getsockname()[1], 100 * (i + 1), 5, None, True) for i, peer in enumerate(peers)]
        report("/status lists the three peers: address, port, bytes each way, since, TLS subject",
               listed == wanted and server_status["listening"] and server_status["peersRefused"]["limit"] == 1
               and server_status["peer"] == "127.0.0.1", json.dumps(server_status))
    finally:
        for peer in peers:
            peer.close()
        hub.stop(timeout)
        os.close(master)
        os.close(slave)


def check_refused_peer(hub_program, folder, timeout):
    config = os.path.join(folder, "refusing")
    os.mkdir(config)
    with open(os.path.join(config, "Harborcast.ini"), "w") as f:
        f.write("[network]\nAllowedPeers=10.0.0.0/8\n\n[monitor]\nMetrics=127.0.0.1:0\n")
    hub = Process([hub_program, "--headless", "--config-dir", config], hub_env(folder))
    try:
        metrics = hub.find(METRICS_PORT, timeout)
        reply = raw_exchange(metrics, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", timeout)
        report("a peer AllowedPeers does not name is closed unanswered", reply == b"", repr(reply and reply[:80]))
        report("... and logged", wait_for(lambda: re.search(rb"metrics: peer 127\.0\.0\.1:\d+ refused", hub.log), timeout),
               hub.log.decode(errors="replace"))
    finally:
        hub.stop(timeout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    args = parser.parse_args()
    prometheus, promtool = shutil.which("prometheus"), shutil.which("promtool")
    if not prometheus or not promtool:
        print("skipped: Prometheus is not installed (Debian package prometheus; scripts/test installs it)")
        return 77
    with tempfile.TemporaryDirectory(prefix="quaylight-metrics-") as folder:
        for check in (lambda: check_live_hub(args.hub, prometheus, promtool, folder, args.timeout),
                      lambda: check_server_peers(args.hub, promtool, folder, args.timeout),
                      lambda: check_refused_peer(args.hub, folder, args.timeout)):
            try:
                check()
            except Exception as error:  # one part failing must not hide the other
                report("run", False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
