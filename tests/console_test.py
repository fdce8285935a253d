#!/usr/bin/env python3
"""The web console's WebSockets, driven with python3-websockets.

    console_test.py --hub PATH [--timeout SECONDS]

The hub runs headless on a pseudo-terminal (rfc2217_client.Hub) with
--metrics on a port the system chose. /events must greet with hello, state
and log, and send a fresh state within half a second of a TCP peer connecting.
Broken handshakes and garbage leave the hub relaying; 500 subscribers at
once leave 16 MiB from the device intact at its TCP peer, with the
process's memory bounded. One line per check; non-zero when one failed.
"""

import argparse
import asyncio
import json
import os
import re
import select
import signal
import socket
import ssl
import sys
import tempfile
import termios
import threading
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import failures, report, wait_for  # noqa: E402
from rfc2217_client import Hub  # noqa: E402
from tls_clients import Pki  # noqa: E402
import devices_test  # noqa: E402

try:
    import websockets
except ImportError:
    sys.exit("websockets is missing: install the Debian package python3-websockets (scripts/test does)")

METRICS = re.compile(rb"metrics served on \S+ port (\d+)")


def metrics_port(hub):
    wait_for(lambda: METRICS.search(hub.log), hub.timeout)
    return int(METRICS.search(hub.log).group(1))


def server_of(state, device=0):
    """The TCP/IP Server's entry in a state frame."""
    return next(e for e in state["devices"][device]["endpoints"] if e["name"] == "server")


async def first(ws, wanted, timeout):
    """The first frame `wanted` takes, and the seconds it took; None after `timeout`."""
    start = time.monotonic()
    while time.monotonic() - start < timeout:
        frame = json.loads(await asyncio.wait_for(ws.recv(), timeout))
        if wanted(frame):
            return frame, time.monotonic() - start
    return None, None


async def frames(ws, count, timeout):
    return [json.loads(await asyncio.wait_for(ws.recv(), timeout)) for _ in range(count)]


def receive(conn, size, timeout):
    conn.settimeout(timeout)
    got = bytearray()
    while len(got) < size:
        try:
            piece = conn.recv(1 << 20)
        except socket.timeout:
            break
        if not piece:
            break
        got += piece
    return bytes(got)


def relays(hub, port, timeout):
    """A TCP peer and the device exchange a line each way."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as peer:
        peer.sendall(b"ping\n")
        to_device = hub.read_device(5)
        hub.write_device(b"pong\n")
        return to_device == b"ping\n" and receive(peer, 5, timeout) == b"pong\n"


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))


async def check_events(hub, web, port, timeout):
    async with websockets.connect("ws://127.0.0.1:%d/events" % web) as ws:
        hello, state, log = await frames(ws, 3, timeout)
        report("/events greets with hello, state and log in that order",
               [hello["type"], state["type"], log["type"]] == ["hello", "state", "log"], repr([hello, state]))
        report("a plain console may not act, and opens terminals only as Terminal=open says",
               hello["control"] is False and hello["terminal"] is True and hello["subject"] == "", repr(hello))
        server = server_of(state)
        report("state lists the hub as /status does", server["name"] == "server" and server["listening"]
               and server["peerAddresses"] == [], repr(server))
        texts = [line["text"] for line in log["lines"]]
        report("the log tail holds the process's lines, oldest first",
               any("TCP/IP Server listening" in t for t in texts) and texts == sorted(texts, key=lambda t: t[:23])
               and all(line["device"] == "" for line in log["lines"]), repr(texts[-3:]))
        # A peer connects: its address is in a state frame at once (the
        # issue's bound is a second; the counters' clock would meet that alone,
        # so the hub's own news is held to half of it, three times over).
        arrivals, departures = [], []
        for cycle in range(3):
            with socket.create_connection(("127.0.0.1", port), timeout=timeout) as peer:
                mine = "127.0.0.1:%d" % peer.getsockname()[1]
                _, seen = await first(ws, lambda f: f["type"] == "state" and mine in server_of(f)["peerAddresses"], 3)
                arrivals.append(seen)
                if cycle == 0:
                    # The log frame that follows brings the new lines only.
                    frame, _ = await first(ws, lambda f: f["type"] == "log", timeout)
                    fresh = frame and frame["lines"]
                    report("a later log frame holds only the new lines",
                           fresh and not any("TCP/IP Server listening" in line["text"] for line in fresh),
                           repr(fresh))
            # And it leaving, right after, is in a state frame at once too.
            _, gone = await first(ws, lambda f: f["type"] == "state" and mine not in server_of(f)["peerAddresses"], 3)
            departures.append(gone)
        report("a connecting peer shows in a state frame within 0.5 s",
               all(t is not None and t < 0.5 for t in arrivals), "after %r s" % arrivals)
        report("a peer leaving shows in a state frame within 0.5 s",
               all(t is not None and t < 0.5 for t in departures), "after %r s" % departures)
        await ws.send("{not json")
        answer, _ = await first(ws, lambda f: f["type"] == "result", timeout)
        report("malformed JSON is answered ok:false, the stream goes on",
               answer["ok"] is False and answer["error"], repr(answer))
        await ws.send(json.dumps({"id": 3, "action": "close", "device": ""}))
        frame, _ = await first(ws, lambda f: f["type"] == "result", timeout)
        # Past the HTTP idle timeout (3 s here) the WebSocket stays open.
        deadline = time.monotonic() + 4
        while time.monotonic() < deadline:
            try:
                await asyncio.wait_for(ws.recv(), max(0.01, deadline - time.monotonic()))
            except asyncio.TimeoutError:
                pass
        try:
            await asyncio.wait_for(await ws.ping(), timeout)
            alive = True
        except (websockets.ConnectionClosed, asyncio.TimeoutError):
            alive = False
        report("an upgraded connection outlives the HTTP idle timeout", alive)
        report("without a client certificate an action is refused",
               frame == {"type": "result", "id": 3, "ok": False,
                         "error": "this console is read-only: a client certificate is needed"}, repr(frame))
    report("the port stays open after the refused action", b"COM port 3 closed" not in hub.log,
           hub.log.decode(errors="replace")[-400:])

    try:
        async with websockets.connect("ws://127.0.0.1:%d/nowhere" % web) as ws:
            await asyncio.wait_for(ws.recv(), timeout)
        status = None
    except websockets.InvalidStatusCode as refused:
        status = refused.status_code
    report("an unknown place is not upgraded (404)", status == 404, repr(status))


async def closed_with(uri, timeout, context=None):
    """The close code and reason of a WebSocket the hub refuses."""
    try:
        async with websockets.connect(uri, ssl=context) as ws:
            await asyncio.wait_for(ws.recv(), timeout)
    except websockets.ConnectionClosed as closed:
        return closed.code, closed.reason
    return None


def write_device(hub, data):
    """Writes `data` to the device's master, waiting while it is full; gives
    up when the device takes nothing for the timeout (its port closed)."""
    view = memoryview(data)
    deadline = time.monotonic() + hub.timeout
    while view and time.monotonic() < deadline:
        select.select([], [hub.master], [], hub.timeout)
        try:
            view = view[os.write(hub.master, view[:4096]):]
            deadline = time.monotonic() + hub.timeout
        except BlockingIOError:
            pass


async def pump_terminal(hub, uri, size, timeout):
    """`size` bytes each way between a terminal and the device, at once."""
    to_device = os.urandom(size)
    to_browser = os.urandom(size)
    async with websockets.connect(uri, max_size=None) as ws:
        loop = asyncio.get_running_loop()
        device_got = loop.run_in_executor(None, hub.read_device, size)
        writer = loop.run_in_executor(None, write_device, hub, to_browser)
        for start in range(0, size, 4096):
            await ws.send(to_device[start:start + 4096])
        got = bytearray()
        while len(got) < size:
            got += await asyncio.wait_for(ws.recv(), timeout)
        await writer
        received = await device_got
    return received == to_device, bytes(got) == to_browser


async def check_terminal(hub, web, port, timeout):
    uri = "ws://127.0.0.1:%d/hubs//terminal" % web
    try:
        to_device, to_browser = await pump_terminal(hub, uri, 1 << 20, timeout * 3)
    except websockets.ConnectionClosed as error:
        report("the terminal stays open while 1 MiB goes each way", False,
               "%r; hub log: %s" % (error, hub.log.decode(errors="replace")[-1500:]))
        return
    report("1 MiB from the terminal reaches the device intact and in order", to_device)
    report("1 MiB from the device reaches the terminal intact and in order", to_browser)
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % web, timeout=timeout) as reply:
        text = reply.read().decode()
    sent = re.search(r'quaylight_sent_bytes_total\{endpoint="server"\} (\d+)', text)
    received = re.search(r'quaylight_received_bytes_total\{endpoint="server"\} (\d+)', text)
    report("the terminal's bytes are counted in /metrics",
           sent and received and int(sent.group(1)) >= 1 << 20 and int(received.group(1)) >= 1 << 20,
           repr((sent and sent.group(0), received and received.group(0))))
    # A peer limit of 1 taken by a TCP peer: the hub's own rule refuses.
    with socket.create_connection(("127.0.0.1", port), timeout=timeout):
        wait_for(lambda: b"(1 of 1 peers)" in hub.log, timeout)
        refusal = await closed_with(uri, timeout)
    report("a terminal over the peer limit is closed 1008 with the reason",
           refusal == (1008, "the TCP/IP Server takes no more peers"), repr(refusal))
    refusal = await closed_with("ws://127.0.0.1:%d/hubs/plc9/terminal" % web, timeout)
    report("a terminal of no such device is refused", refusal == (1008, "no device plc9"), repr(refusal))


def raw_handshake(web, head, timeout, after=b""):
    """Sends a hand-made upgrade request; returns what came back and whether
    the hub closed the connection within the timeout."""
    with socket.create_connection(("127.0.0.1", web), timeout=timeout) as s:
        s.sendall(head)
        got = b""
        if after:
            got = s.recv(4096)
            s.sendall(after)
        s.settimeout(timeout)
        try:
            while True:
                piece = s.recv(4096)
                if not piece:
                    return got, True
                got += piece
        except ConnectionResetError:
            return got, True
        except OSError:
            return got, False


def check_bad_input(hub, web, port, timeout):
    def upgrade(key, version):
        return ("GET /events HTTP/1.1\r\nHost: hub\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: %s\r\n\r\n" % (key, version)).encode()
    for name, head in (("a malformed key", upgrade("short", 13)),
                       ("an unknown version", upgrade("dGhlIHNhbXBsZSBub25jZQ==", 99))):
        got, closed = raw_handshake(web, head, timeout)
        report("%s is not upgraded, and closed" % name, not got.startswith(b"HTTP/1.1 101") and closed,
               repr(got[:80]))
    # Unmasked frames of nonsense opcodes: a protocol error.
    garbage = bytes(range(256)) * 8
    got, closed = raw_handshake(web, upgrade("dGhlIHNhbXBsZSBub25jZQ==", 13), timeout, after=garbage)
    report("garbage after the upgrade ends that connection", got.startswith(b"HTTP/1.1 101") and closed,
           repr(got[:80]))
    report("the hub relays on after the bad input", relays(hub, port, timeout))


async def check_oversized_frame(hub, web, port, timeout):
    async with websockets.connect("ws://127.0.0.1:%d/events" % web, max_size=None) as ws:
        await frames(ws, 3, timeout)
        await ws.send(b"x" * (64 * 1024 + 1))
        try:
            while True:
                await asyncio.wait_for(ws.recv(), timeout)
        except websockets.ConnectionClosed as closed:
            code = closed.code
        except asyncio.TimeoutError:
            code = None
    report("a frame over 64 KiB is closed with 1009", code == 1009, repr(code))
    report("the hub relays on after the oversized frame", relays(hub, port, timeout))


async def crowd(web, count, stop, timeout):
    """`count` subscribers that read everything until `stop` is set."""
    async def one():
        async with websockets.connect("ws://127.0.0.1:%d/events" % web, max_size=None) as ws:
            while not stop.is_set():
                try:
                    await asyncio.wait_for(ws.recv(), 0.2)
                except asyncio.TimeoutError:
                    pass
    return await asyncio.gather(*(one() for _ in range(count)), return_exceptions=True)


# Under the sanitizers every allocation is held back and every handshake
# slow: the crowd is smaller (its 500 would outwait the idle timeout) and
# the memory is not measured. The plain build runs it in full.
SANITIZED = False


def check_crowd(hub, web, port, timeout):
    """500 subscribers while 16 MiB go from the device to a TCP peer."""
    count = 100 if SANITIZED else 500
    before = rss_kib(hub.process.pid)
    stop = threading.Event()
    loop = asyncio.new_event_loop()
    outcome = {}
    thread = threading.Thread(target=lambda: outcome.update(r=loop.run_until_complete(crowd(web, count, stop,
                                                                                             timeout))))
    thread.start()
    opened = wait_for(lambda: hub.log.count(b"follows the events") >= count, 60)
    report("%d subscribers are served at once" % count, opened, "%d" % hub.log.count(b"follows the events"))
    payload = os.urandom(16 * 1024 * 1024)
    peak = 0
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as peer:
        writer = threading.Thread(target=write_device, args=(hub, payload))
        writer.start()
        got = bytearray()
        peer.settimeout(timeout)
        while len(got) < len(payload):
            try:
                piece = peer.recv(1 << 20)
            except socket.timeout:
                break
            if not piece:
                break
            got += piece
            peak = max(peak, rss_kib(hub.process.pid))
        writer.join()
    stop.set()
    thread.join(60)
    report("16 MiB from the device reach the TCP peer intact beside %d subscribers" % count, bytes(got) == payload,
           "%d of %d bytes" % (len(got), len(payload)))
    # Each subscriber's backlog is capped at 1 MiB, but these read: what
    # grows is the 500 sockets' buffers and the frames in flight, a few
    # KiB each. 64 MiB over the start leaves room for allocator slack and
    # still catches a copy of the stream per subscriber (500 x 16 MiB).
    if not SANITIZED:
        report("the process's memory stays bounded (%d KiB before, %d KiB at peak)" % (before, peak),
               peak - before < 64 * 1024, "grew by %d KiB" % (peak - before))
    errors = [r for r in outcome.get("r", []) if isinstance(r, Exception)]
    report("no subscriber was turned away or cut off", not errors, repr(errors[:3]))


def run_plain(program, timeout):
    # 600 connections: the crowd and the checks beside it. One peer at a time.
    with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0"],
             settings="[monitor]\nMaxConnections=600\nIdleTimeout=3\nTerminal=open\n[network]\nServerPeers=keep\n") as hub:
        port = hub.port()
        web = metrics_port(hub)
        asyncio.run(check_events(hub, web, port, timeout))
        asyncio.run(check_terminal(hub, web, port, timeout))
        check_bad_input(hub, web, port, timeout)
        asyncio.run(check_oversized_frame(hub, web, port, timeout))
        check_crowd(hub, web, port, timeout)
        code = hub.terminate()
        report("the hub ends cleanly", code == 0, "%r: %s" % (code, hub.log.decode(errors="replace")[-800:]))


async def control(uri, context, action, timeout):
    """Sends one action and returns the hello and the result."""
    async with websockets.connect(uri, ssl=context) as ws:
        hello = json.loads(await asyncio.wait_for(ws.recv(), timeout))
        await ws.send(json.dumps(dict(action, id=11)))
        return hello, (await first(ws, lambda f: f["type"] == "result", timeout))[0]


def run_control(program, timeout):
    """Over --metrics-tls with ClientCa: a client certificate the client CA signed acts."""
    with tempfile.TemporaryDirectory(prefix="quaylight-console-") as folder:
        pki = Pki(folder)
        # The TCP/IP Server stays plain; the console speaks TLS.
        with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0", "--metrics-tls"],
                 settings="[tls]\nCertificate=%s\nPrivateKey=%s\nClientCa=%s\n"
                 % (pki.path("hub.pem"), pki.path("hub.key"), pki.path("ca.pem"))) as hub:
            hub.port()
            uri = "wss://127.0.0.1:%d/events" % metrics_port(hub)
            # With ClientCa the TLS handshake itself wants a certificate: a
            # client without one gets no console at all, not even to read.
            bare = ssl.create_default_context(cafile=pki.path("ca.pem"))
            try:
                asyncio.run(control(uri, bare, {"action": "close", "device": ""}, timeout))
                refused = False
            except (OSError, websockets.InvalidMessage, websockets.ConnectionClosed, asyncio.TimeoutError):
                refused = True
            report("without a certificate over TLS nothing is served", refused)
            report("and the port stays open", b"COM port 3 closed" not in hub.log)
            operator = ssl.create_default_context(cafile=pki.path("ca.pem"))
            operator.load_cert_chain(pki.path("operator.pem"), pki.path("operator.key"))
            hello, result = asyncio.run(control(uri, operator, {"action": "close", "device": ""}, timeout))
            report("with the client CA's certificate: control, terminal, subject",
                   hello["control"] is True and hello["terminal"] is True and hello["subject"] == "CN=operator",
                   repr(hello))
            report("Close is done", result == {"type": "result", "id": 11, "ok": True}, repr(result))
            report("Close is logged with the subject and the port is closed",
                   wait_for(lambda: b"console: CN=operator: Close" in hub.log and b"COM port 3 closed" in hub.log,
                            timeout), hub.log.decode(errors="replace")[-600:])
            _, result = asyncio.run(control(uri, operator, {"action": "open", "device": ""}, timeout))
            report("Open opens the last port again", result["ok"] is True
                   and wait_for(lambda: hub.log.count(b"COM port 3 (") >= 2, timeout), repr(result))
            _, result = asyncio.run(control(uri, operator, {"action": "line", "device": "",
                                                            "settings": "9600,N,8,1"}, timeout))
            report("the line is set as the Settings text", result["ok"] is True
                   and wait_for(lambda: hub.speed() == termios.B9600, timeout), repr(result))
            _, result = asyncio.run(control(uri, operator, {"action": "jump", "device": ""}, timeout))
            report("an unknown action is refused with a reason", result["ok"] is False
                   and "jump" in result["error"], repr(result))
            _, result = asyncio.run(control(uri, operator, {"action": "close", "device": "plc9"}, timeout))
            report("an action on no such device is refused", result == {"type": "result", "id": 11, "ok": False,
                                                                         "error": "no device plc9"}, repr(result))


def run_refusals(program, timeout):
    """The terminal under the hub's own rules: AllowedPeers and Terminal not open."""
    with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0"],
             settings="[monitor]\nTerminal=open\n[network]\nAllowedPeers=10.9.9.9\nServerPeers=keep\n") as hub:
        # AllowedPeers names nobody here: the metrics server would refuse
        # too, so it is told apart by the hub's own count of refused peers.
        hub.port()
        web = metrics_port(hub)
        with socket.create_connection(("127.0.0.1", web), timeout=timeout) as probe:
            probe.settimeout(timeout)
            report("the metrics server refuses what AllowedPeers does not name", probe.recv(100) == b"")
    with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0"], settings="") as hub:
        hub.port()
        web = metrics_port(hub)
        refusal = asyncio.run(closed_with("ws://127.0.0.1:%d/hubs//terminal" % web, timeout))
        report("without Terminal=open a plain console's terminal is refused",
               refusal == (1008, "a client certificate is needed for the terminal"), repr(refusal))


async def single_place(hub, web, port, timeout):
    async with websockets.connect("ws://127.0.0.1:%d/hubs//terminal" % web) as ws:
        wait_for(lambda: b"console: terminal opened" in hub.log, timeout)
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as late:
            late.settimeout(timeout)
            try:
                shut = late.recv(100) == b""
            except ConnectionResetError:
                shut = True
        report("a TCP peer is refused while a terminal holds a single-peer listener's place",
               shut and wait_for(lambda: b"refused, 1 of 1 peers connected" in hub.log, timeout),
               hub.log.decode(errors="replace")[-600:])
        await ws.send(b"still")
        report("and the terminal relays on", hub.read_device(5) == b"still")


async def switched_to_tls(hub, web, pki, timeout):
    uri = "ws://127.0.0.1:%d/hubs//terminal" % web
    async with websockets.connect(uri) as ws:
        wait_for(lambda: b"console: terminal opened" in hub.log, timeout)
        with open(os.path.join(hub.folder.name, "config", "Harborcast.ini"), "a") as f:
            f.write("[tls]\nEnabled=true\nCertificate=%s\nPrivateKey=%s\n" % (pki.path("hub.pem"), pki.path("hub.key")))
        hub.process.send_signal(signal.SIGUSR2)
        try:
            await asyncio.wait_for(ws.recv(), timeout)
            closed = False
        except websockets.ConnectionClosed:
            closed = True
        except asyncio.TimeoutError:
            closed = False
    report("a terminal in clear is closed when the listener turns to TLS only",
           closed and wait_for(lambda: b"closed, the listener speaks TLS only now" in hub.log, timeout),
           hub.log.decode(errors="replace")[-600:])
    refusal = await closed_with(uri, timeout)
    report("then a terminal over a plain console is refused",
           refusal == (1008, "the TCP/IP Server speaks TLS only"), repr(refusal))


def run_terminal_rules(program, timeout):
    """A terminal meets what a TCP peer meets: the one place of a single-peer
    listener, and a listener that speaks TLS only."""
    with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0"],
             settings="[monitor]\nTerminal=open\n") as hub:
        port = hub.port()
        asyncio.run(single_place(hub, metrics_port(hub), port, timeout))
    with tempfile.TemporaryDirectory(prefix="quaylight-console-") as folder:
        pki = Pki(folder)
        with Hub(program, False, timeout, extra=["--metrics", "127.0.0.1:0"],
                 settings="[monitor]\nTerminal=open\n[network]\nServerPeers=keep\n") as hub:
            hub.port()
            asyncio.run(switched_to_tls(hub, metrics_port(hub), pki, timeout))


def devices_run(program, names, timeout, extra=None, settings=""):
    """A --devices run of one pty per name; `extra` adds lines to sections."""
    folder = tempfile.mkdtemp(prefix="quaylight-console-")
    config = os.path.join(folder, "config")
    os.mkdir(config)
    with open(os.path.join(config, "Harborcast.ini"), "w") as f:
        f.write(settings)
    devices = {name: devices_test.Device(folder, name) for name in names}
    listing = os.path.join(folder, "devices.ini")
    text = "".join(devices_test.section(name, devices[name]) for name in names)
    for name, lines in (extra or {}).items():
        text = text.replace("[%s]\n" % name, "[%s]\n%s" % (name, lines))
    with open(listing, "w") as f:
        f.write(text)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["XDG_STATE_HOME"] = folder
    hub = devices_test.Program([program, "--devices", listing, "--config-dir", config,
                                "--metrics", "127.0.0.1:0"], env)
    try:
        ports = hub.wait_ports(names, timeout)
    except RuntimeError:
        hub.process.kill()
        raise
    return hub, devices, ports, int(METRICS.search(hub.log).group(1))


def run_devices(program, timeout):
    """A --devices run: the terminal of a section goes by the section's name.
    plc3's own AllowedPeers names nobody here, while the process's (which the
    console obeys) lets everyone in: its refusal is the hub's rule."""
    hub, devices, _, web = devices_run(program, ["plc1", "plc2", "plc3"], timeout,
                                       {"plc3": "AllowedPeers=10.9.9.9\n"}, "[monitor]\nTerminal=open\n")
    try:
        async def talk():
            async with websockets.connect("ws://127.0.0.1:%d/hubs/plc2/terminal" % web) as ws:
                await ws.send(b"to plc2\n")
                got = devices["plc2"].read(8, timeout)
                os.write(devices["plc2"].master, b"from plc2\n")
                back = await asyncio.wait_for(ws.recv(), timeout)
                return got, back, devices["plc1"].read(1, 0.3)
        got, back, stray = asyncio.run(talk())
        report("a section's terminal reaches that device only", got == b"to plc2\n" and back == b"from plc2\n"
               and stray == b"", repr((got, back, stray)))
        refusal = asyncio.run(closed_with("ws://127.0.0.1:%d/hubs/plc3/terminal" % web, timeout))
        report("a terminal AllowedPeers of its hub does not name is closed 1008 with the reason",
               refusal == (1008, "not in AllowedPeers"), repr(refusal))
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % web, timeout=timeout) as reply:
            text = reply.read().decode()
        report("and counted as refused by address",
               'quaylight_peers_refused_total{device="plc3",endpoint="server",reason="address"} 1' in text,
               "\n".join(line for line in text.splitlines() if "refused_total" in line))
        report("its log lines carry the section's name",
               wait_for(lambda: b"plc2: console: terminal opened" in hub.log, timeout),
               hub.log.decode(errors="replace")[-600:])
    finally:
        hub.process.kill()
        hub.process.wait()


def run_devices_tls(program, timeout):
    """In a --devices run the console's client CA is not every section's: a
    TLS-only section takes a terminal only from a certificate its own
    ClientCa signed."""
    with tempfile.TemporaryDirectory(prefix="quaylight-console-") as folder:
        pki = Pki(folder)
        identity = "Certificate=%s\nPrivateKey=%s\n" % (pki.path("hub.pem"), pki.path("hub.key"))
        hub, devices, _, web = devices_run(
            program, ["same", "other"], timeout,
            {"same": "Enabled=true\n" + identity + "ClientCa=%s\n" % pki.path("ca.pem"),
             "other": "Enabled=true\n" + identity + "ClientCa=%s\n" % pki.path("otherca.pem")},
            "[tls]\n" + identity + "ClientCa=%s\n[monitor]\nMetricsTls=true\n" % pki.path("ca.pem"))
        try:
            operator = ssl.create_default_context(cafile=pki.path("ca.pem"))
            operator.load_cert_chain(pki.path("operator.pem"), pki.path("operator.key"))

            async def talk():
                async with websockets.connect("wss://127.0.0.1:%d/hubs/same/terminal" % web, ssl=operator) as ws:
                    await ws.send(b"over TLS\n")
                    return devices["same"].read(9, timeout)
            got = asyncio.run(talk())
            report("a TLS-only section whose client CA signed the console's certificate takes its terminal",
                   got == b"over TLS\n", repr(got) + hub.log.decode(errors="replace")[-600:])
            refusal = asyncio.run(closed_with("wss://127.0.0.1:%d/hubs/other/terminal" % web, timeout, operator))
            report("a section that trusts another CA refuses it, 1008 with the reason",
                   refusal == (1008, "the TCP/IP Server takes certificates of its own client CA only"),
                   repr(refusal))
            with urllib.request.urlopen("https://127.0.0.1:%d/metrics" % web, timeout=timeout,
                                        context=operator) as reply:
                text = reply.read().decode()
            report("and counts it refused for TLS",
                   'quaylight_peers_refused_total{device="other",endpoint="server",reason="tls"} 1' in text,
                   "\n".join(line for line in text.splitlines() if "refused_total" in line))
        finally:
            hub.process.kill()
            hub.process.wait()


def run_slow_subscriber(program, timeout):
    """A subscriber that reads nothing is closed before it holds 1 MiB, once.
    24 hubs make each state frame some 80 KiB: a peer coming and going ten
    times a second sends the subscriber close to 1 MiB a second."""
    names = ["d%02d" % i for i in range(24)]
    hub, _, ports, web = devices_run(program, names, timeout, {"d00": "ServerPeers=keep\n"})
    try:
        sleeper = socket.socket()
        sleeper.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        sleeper.connect(("127.0.0.1", web))
        sleeper.sendall(b"GET /events HTTP/1.1\r\nHost: hub\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                        b"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n")
        cut = re.compile(rb"console: 127\.0\.0\.1:%d closed, it left (\d+) bytes unread"
                         % sleeper.getsockname()[1])
        deadline = time.monotonic() + 60
        while not cut.search(hub.log) and time.monotonic() < deadline:
            with socket.create_connection(("127.0.0.1", ports["d00"]), timeout=timeout):
                time.sleep(0.05)  # the peer's stay: long enough to be seen
        found = cut.search(hub.log)
        report("a subscriber that reads nothing is closed before it holds 1 MiB",
               found is not None and int(found.group(1)) <= 1024 * 1024, hub.log.decode(errors="replace")[-600:])
        report("its close is logged once", len(cut.findall(hub.log)) == 1)
        sleeper.close()
    finally:
        hub.process.kill()
        hub.process.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    parser.add_argument("--sanitized", action="store_true", help="the program runs under the sanitizers")
    args = parser.parse_args()
    global SANITIZED
    SANITIZED = args.sanitized
    for run in (run_terminal_rules, run_plain, run_control, run_refusals, run_devices, run_devices_tls,
                run_slow_subscriber):
        try:
            run(args.hub, args.timeout)
        except Exception as error:  # one run failing must not hide the others
            report(run.__name__, False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
