#!/usr/bin/env python3
"""TLS of the hub, checked with clients nobody here wrote.

    tls_clients.py --hub PATH [--timeout SECONDS]

Every certificate and key is made here with openssl, in a temporary folder.
The hub runs headless on a pseudo-terminal (see rfc2217_client.py) with
--tls-cert, --tls-key and --tls-client-ca. openssl s_client, socat's OPENSSL
address and Python's ssl module connect to its TCP/IP Server; a Python ssl
server stands for the host a TLS forwarder connects to. One line per check;
the exit status is non-zero when any failed.
"""

import argparse
import http.client
import json
import os
import random
import re
import select
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import termios
import threading
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import failures, report, wait_for  # noqa: E402
from rfc2217_client import Hub, PAYLOAD, first_difference  # noqa: E402

LISTENING = re.compile(rb"TCP/IP Server listening on port (\d+)")


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


class Pki:
    """Two CAs, the hub's certificate, clients of either CA, and the broken files."""

    def __init__(self, folder):
        self.folder = folder
        for ca in ("ca", "otherca"):
            self._key(ca)
            openssl(folder, "req", "-x509", "-key", ca + ".key", "-out", ca + ".pem", "-days", "2",
                    "-subj", "/CN=" + ca)
        self.issue("hub", "ca", san="IP:127.0.0.1")
        self.issue("operator", "ca")
        self.issue("stranger", "otherca")
        # Expired: openssl ca is the one that takes dates in the past.
        with open(os.path.join(folder, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca=d\n[d]\ndatabase=index.txt\nnew_certs_dir=.\nserial=serial\n"
                    "default_md=sha256\npolicy=p\n[p]\ncommonName=supplied\n")
        open(os.path.join(folder, "index.txt"), "w").close()
        with open(os.path.join(folder, "serial"), "w") as f:
            f.write("01\n")
        self._key("expired")
        openssl(folder, "req", "-new", "-key", "expired.key", "-out", "expired.csr", "-subj", "/CN=expired")
        openssl(folder, "ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
                "-in", "expired.csr", "-out", "expired.pem", "-notext",
                "-startdate", "20200101000000Z", "-enddate", "20200102000000Z")
        # Self-signed, for the forwarder's server.
        self._key("far")
        openssl(folder, "req", "-x509", "-key", "far.key", "-out", "far.pem", "-days", "2",
                "-subj", "/CN=far", "-addext", "subjectAltName=IP:127.0.0.1")

    def _key(self, name):
        openssl(self.folder, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
                "-out", name + ".key")

    def issue(self, name, ca, san=None):
        self._key(name)
        openssl(self.folder, "req", "-new", "-key", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        extra = []
        if san:
            with open(os.path.join(self.folder, name + ".ext"), "w") as f:
                f.write("subjectAltName=" + san + "\n")
            extra = ["-extfile", name + ".ext"]
        openssl(self.folder, "x509", "-req", "-in", name + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                "-CAcreateserial", "-out", name + ".pem", "-days", "2", *extra)

    def path(self, name):
        return os.path.join(self.folder, name)


def tls_options(pki, cert="hub.pem", key="hub.key"):
    return ["--tls-cert", pki.path(cert), "--tls-key", pki.path(key), "--tls-client-ca", pki.path("ca.pem")]


def listenings(hub):
    return len(LISTENING.findall(hub.log))


def refusals(hub):
    return hub.log.count(b"refused, TLS")


def drain_device(hub):
    """Whatever waits on the device now, without waiting for more."""
    try:
        return os.read(hub.master, 65536)
    except BlockingIOError:
        return b""


def read_client(client, size):
    """What a client process printed, up to `size` bytes or its end."""
    got = b""
    while len(got) < size:
        chunk = client.stdout.read1(65536)
        if not chunk:
            break
        got += chunk
    return got


def exchange(name, hub, command, timeout):
    """Runs a client that relays its stdin and stdout over TLS: every byte
    value both ways, then ends it and waits for the hub to listen again."""
    before = listenings(hub)
    accepted = hub.log.count(b"TLS with 127.0.0.1: subject operator")
    client = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        wait_for(lambda: hub.log.count(b"TLS with 127.0.0.1: subject operator") > accepted, timeout)
        client.stdin.write(PAYLOAD)
        client.stdin.flush()
        got = hub.read_device(len(PAYLOAD))
        report(name + ": client to device", got == PAYLOAD,
               "%d of %d bytes, first difference at %s" % (len(got), len(PAYLOAD), first_difference(got)))
        hub.write_device(PAYLOAD)
        back = read_client(client, len(PAYLOAD))
        report(name + ": device to client", back == PAYLOAD,
               "%d of %d bytes, first difference at %s" % (len(back), len(PAYLOAD), first_difference(back)))
    finally:
        client.kill()
        client.wait()
    # One peer at a time: the next client comes once the hub listens again.
    wait_for(lambda: listenings(hub) > before, timeout)


def refused_client(name, hub, connect, timeout):
    """`connect` sends bytes as a client the hub must not take; the device gets none of them."""
    before = refusals(hub)
    connect()
    report(name + ": refused and logged", wait_for(lambda: refusals(hub) > before, timeout),
           "log:\n" + hub.log.decode(errors="replace")[-2000:])
    leaked = drain_device(hub)
    report(name + ": nothing reached the device", leaked == b"", "%r" % leaked[:64])


def s_client(port, pki, cert=None, key=None):
    args = ["openssl", "s_client", "-connect", "127.0.0.1:%d" % port, "-CAfile", pki.path("ca.pem"), "-quiet"]
    if cert:
        args += ["-cert", pki.path(cert), "-key", pki.path(key)]
    return args


def run_s_client(port, pki, cert, key, timeout):
    # It gets nothing of the device's; its own bytes must not get through.
    subprocess.run(s_client(port, pki, cert, key), input=b"intruder\n", capture_output=True, timeout=timeout)


def plain_client(port, timeout):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(b"GET / HTTP/1.0\r\n\r\n")
        try:
            while s.recv(4096):
                pass
        except OSError:
            pass


def silent_crowd(port, count):
    return [socket.create_connection(("127.0.0.1", port)) for _ in range(count)]


def run_listener(program, pki, timeout):
    with Hub(program, False, timeout, extra=tls_options(pki) + ["--metrics", "127.0.0.1:0"]) as hub:
        port = hub.port()
        exchange("(a) openssl s_client with a client certificate", hub,
                 s_client(port, pki, "operator.pem", "operator.key"), timeout)
        report("(a) the log names the peer's subject, version and cipher",
               re.search(rb"TLS with 127\.0\.0\.1: subject operator, TLSv1\.[23], \S+", hub.log) is not None,
               hub.log.decode(errors="replace")[-1000:])
        refused_client("(b) s_client without a certificate", hub,
                       lambda: run_s_client(port, pki, None, None, timeout), timeout)
        refused_client("(c) a certificate from another CA", hub,
                       lambda: run_s_client(port, pki, "stranger.pem", "stranger.key", timeout), timeout)
        hub.write_device(b"device data for nobody")
        refused_client("(d) a plain TCP client", hub, lambda: plain_client(port, timeout), timeout)
        metrics = int(re.search(rb"metrics served on \S+ port (\d+)", hub.log).group(1))
        counted = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics, timeout=timeout).read()
        report("(d) the metrics count each TLS refusal", b'quaylight_peers_refused_total{endpoint="server",'
               b'reason="tls"} %d\n' % refusals(hub) in counted, "%d refusals logged" % refusals(hub))
        hub.read_device(0)
        socat = ["socat", "-", "OPENSSL:127.0.0.1:%d,cert=%s,key=%s,cafile=%s,verify=1"
                 % (port, pki.path("operator.pem"), pki.path("operator.key"), pki.path("ca.pem"))]
        crowd = silent_crowd(port, 200)
        try:
            exchange("(e) socat OPENSSL with 200 silent connections waiting", hub, socat, timeout)
        finally:
            for s in crowd:
                s.close()
        # Renewed files, taken on SIGUSR2 by the listener listening now.
        pki.issue("hub", "ca", san="IP:127.0.0.1,DNS:renewed")
        hub.process.send_signal(signal.SIGUSR2)
        report("(f) SIGUSR2 reads the files again",
               wait_for(lambda: b"TLS files read again" in hub.log, timeout), hub.log.decode(errors="replace")[-800:])
        renewed = subprocess.run([a for a in s_client(port, pki, "operator.pem", "operator.key") if a != "-quiet"],
                                 input=b"", capture_output=True, timeout=timeout)
        report("(f) the next client gets the renewed certificate", b"renewed" in subprocess.run(
            ["openssl", "x509", "-noout", "-ext", "subjectAltName"], input=renewed.stdout,
            capture_output=True).stdout, renewed.stderr.decode(errors="replace")[-500:])
        code = hub.terminate()
        report("(a-f) SIGTERM ends the hub with exit code 0", code == 0, "exit code %s" % code)


def run_alerts(program, pki, timeout):
    """A refused client is told why by a TLS alert, not by a bare end of stream."""
    with Hub(program, False, timeout, extra=tls_options(pki) + ["--server-peers", "2"]) as hub:
        port = hub.port()
        for version in ("-tls1_2", "-tls1_3"):
            for name, cert, key, alert in (("no certificate", None, None,
                                            rb"alert (certificate required|handshake failure)"),
                                           ("another CA's certificate", "stranger.pem", "stranger.key",
                                            rb"alert unknown ca")):
                said = subprocess.run(s_client(port, pki, cert, key) + [version], input=b"intruder\n",
                                      capture_output=True, timeout=timeout).stderr
                report("(m) %s, %s: the client reads the alert" % (version, name),
                       re.search(alert, said) is not None, said.decode(errors="replace")[-400:])
        report("(m) nothing of theirs reached the device", drain_device(hub) == b"", "bytes leaked")
        hub.terminate()


def plain_peer(port, timeout):
    peer = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    return peer


def ended(peer):
    """True once the hub closed `peer` (end of stream or reset)."""
    try:
        while peer.recv(4096):
            pass
    except OSError:
        pass
    return True


def run_switch_on(program, pki, timeout):
    """TLS written into Harborcast.ini while listening in clear, applied by SIGUSR2 at once."""
    for peers in ("1", "2"):
        with Hub(program, False, timeout, extra=["--server-peers", peers]) as hub:
            port = hub.port()
            early = plain_peer(port, timeout)
            early.sendall(b"before")
            got = hub.read_device(6)
            report("(n) peers %s: a plain peer relays while TLS is off" % peers, got == b"before", repr(got))
            settings = os.path.join(hub.folder.name, "config", "Harborcast.ini")
            with open(settings, "w") as f:
                f.write("[tls]\nEnabled=true\nCertificate=%s\nPrivateKey=%s\nClientCa=%s\n"
                        % (pki.path("hub.pem"), pki.path("hub.key"), pki.path("ca.pem")))
            before = listenings(hub)
            hub.process.send_signal(signal.SIGUSR2)
            report("(n) peers %s: the plain peer is closed, with a log line" % peers,
                   wait_for(lambda: b"closed, the listener speaks TLS only now" in hub.log, timeout)
                   and ended(early), hub.log.decode(errors="replace")[-600:])
            # In single-peer mode the listener comes back with the tick; the
            # other one went on listening and switched under its peers.
            wait_for(lambda: b"TLS: listeners TLS only" in hub.log, timeout)
            if peers == "1":
                wait_for(lambda: listenings(hub) > before, timeout)
            refused_client("(n) peers %s: a new plain client" % peers, hub,
                           lambda: plain_client(port, timeout), timeout + 3)
            exchange_tls = ["socat", "-", "OPENSSL:127.0.0.1:%d,cert=%s,key=%s,cafile=%s,verify=1"
                            % (port, pki.path("operator.pem"), pki.path("operator.key"), pki.path("ca.pem"))]
            client = subprocess.Popen(exchange_tls, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            try:
                client.stdin.write(b"sealed")
                client.stdin.flush()
                got = hub.read_device(6)
                report("(n) peers %s: a TLS client gets through" % peers, got == b"sealed", repr(got))
            finally:
                client.kill()
                client.wait()
            # Files that cannot be used: the listener stops rather than go on in clear.
            with open(settings, "w") as f:
                f.write("[tls]\nEnabled=true\nCertificate=%s\nPrivateKey=%s\n"
                        % (pki.path("hub.pem"), pki.path("nokey.pem")))
            hub.process.send_signal(signal.SIGUSR2)
            report("(n) peers %s: unusable files stop the listener, saying why" % peers,
                   wait_for(lambda: re.search(rb"(stopped listening|cannot listen): .*nokey\.pem", hub.log), timeout),
                   hub.log.decode(errors="replace")[-600:])
            try:
                socket.create_connection(("127.0.0.1", port), timeout=timeout).close()
                listening = True
            except ConnectionRefusedError:
                listening = False
            report("(n) peers %s: then nothing listens, in clear or with the old files" % peers,
                   not listening, "a connection was taken")
            early.close()
            hub.terminate()


def run_rfc2217(program, pki, timeout):
    """Remote port control inside TLS: a client of Python's ssl module sets the speed."""
    with Hub(program, True, timeout, extra=tls_options(pki)) as hub:
        context = ssl.create_default_context(cafile=pki.path("ca.pem"))
        context.load_cert_chain(pki.path("operator.pem"), pki.path("operator.key"))
        with context.wrap_socket(socket.create_connection(("127.0.0.1", hub.port())),
                                 server_hostname="127.0.0.1") as conn:
            # WILL COM-PORT-OPTION, then SET-BAUDRATE 57600.
            conn.sendall(bytes([255, 251, 44, 255, 250, 44, 1]) + (57600).to_bytes(4, "big") + bytes([255, 240]))
            report("(i) RFC 2217 inside TLS: SET-BAUDRATE sets the device's speed",
                   wait_for(lambda: hub.speed() == termios.B57600, timeout), "termios speed %d" % hub.speed())
        hub.terminate()


def run_peers(program, pki, timeout):
    """Two TLS peers of a TCP/IP Server that goes on listening both get the device's bytes;
    /status names each one's certificate subject."""
    with Hub(program, False, timeout, extra=tls_options(pki) + ["--server-peers", "2", "--metrics", "127.0.0.1:0"]) as hub:
        port = hub.port()
        socat = ["socat", "-", "OPENSSL:127.0.0.1:%d,cert=%s,key=%s,cafile=%s,verify=1"
                 % (port, pki.path("operator.pem"), pki.path("operator.key"), pki.path("ca.pem"))]
        clients = [subprocess.Popen(socat, stdin=subprocess.PIPE, stdout=subprocess.PIPE) for _ in range(2)]
        try:
            wait_for(lambda: hub.log.count(b"TLS with 127.0.0.1: subject operator") == 2, timeout)
            hub.write_device(PAYLOAD)
            for i, client in enumerate(clients):
                got = read_client(client, len(PAYLOAD))
                report("(j) TLS peer %d of 2 gets the device's bytes" % (i + 1), got == PAYLOAD,
                       "%d of %d bytes" % (len(got), len(PAYLOAD)))
            served = re.compile(rb"metrics served on \S+ port (\d+)")
            wait_for(lambda: served.search(hub.log), timeout)
            metrics = int(served.search(hub.log).group(1))
            with urllib.request.urlopen("http://127.0.0.1:%d/status" % metrics, timeout=timeout) as reply:
                status = json.loads(reply.read())
            subjects = [p["tlsSubject"] for e in status["endpoints"] if e["name"] == "server" for p in e["peers"]]
            report("(j) /status names each TLS peer's certificate subject", subjects == ["operator"] * 2, repr(subjects))
        finally:
            for client in clients:
                client.kill()
                client.wait()
        hub.terminate()


class RecordReader:
    """A TLS client of Python's ssl module over memory BIOs that reads the
    ciphertext itself, keeping the length of every record after the handshake."""

    def __init__(self, port, pki, timeout):
        context = ssl.create_default_context(cafile=pki.path("ca.pem"))
        context.load_cert_chain(pki.path("operator.pem"), pki.path("operator.key"))
        self.incoming, self.outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = context.wrap_bio(self.incoming, self.outgoing, server_hostname="127.0.0.1")
        self.raw = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.unparsed, self.records = b"", []
        self._until(self.tls.do_handshake)
        self.raw.sendall(self.outgoing.read())
        self.records.clear()

    def _until(self, step):
        while True:
            try:
                return step()
            except ssl.SSLWantReadError:
                self.raw.sendall(self.outgoing.read())
                chunk = self.raw.recv(65536)
                if not chunk:
                    raise EOFError("the hub closed the connection")
                self.incoming.write(chunk)
                self.unparsed += chunk
                while len(self.unparsed) >= 5 and len(self.unparsed) >= 5 + int.from_bytes(self.unparsed[3:5], "big"):
                    length = int.from_bytes(self.unparsed[3:5], "big")
                    if self.unparsed[0] == 23:  # application data: in TLS 1.3 all that is encrypted
                        self.records.append(length)
                    self.unparsed = self.unparsed[5 + length:]

    def read(self, size):
        got = bytearray()
        while len(got) < size:
            got += self._until(lambda: self.tls.read(size - len(got)))
        return bytes(got)


def run_records(program, pki, timeout):
    """A mebibyte from the device reaches a TLS peer intact, sealed in records
    larger than one serial delivery (8 chunks of 1024 bytes) can fill; the
    odd tail after the last full record comes too."""
    data = random.Random(35).randbytes((1 << 20) + 1000)
    with Hub(program, False, timeout, extra=tls_options(pki)) as hub:
        peer = RecordReader(hub.port(), pki, timeout)
        wait_for(lambda: b"TLS with 127.0.0.1: subject operator" in hub.log, timeout)
        writer = os.fork()  # a process of its own keeps the device ahead of the hub, as a fast line does
        if writer == 0:
            try:
                hub.write_device(data)
            finally:
                os._exit(0)
        try:
            got = peer.read(len(data))
        finally:
            os.waitpid(writer, 0)
            peer.raw.close()
        report("(o) 1 MiB device to TLS peer, intact", got == data, "%d of %d bytes" % (len(got), len(data)))
        sizes = peer.records
        report("(o) records larger than one delivery", max(sizes, default=0) > 8192 + 256,
               "%d records, largest %d" % (len(sizes), max(sizes, default=0)))
        hub.terminate()


def run_slow_reader(program, pki, timeout):
    """A TLS peer that stops reading holds the device back as a plain one
    does: the hub keeps a bounded backlog, not everything the device sends
    (its records wait under the cipher, where a count of plain bytes alone
    does not see them). Once the peer reads again, all of it arrives."""
    block = random.Random(36).randbytes(1 << 16)
    with Hub(program, False, timeout, extra=tls_options(pki)) as hub:
        peer = RecordReader(hub.port(), pki, timeout)
        wait_for(lambda: b"TLS with 127.0.0.1: subject operator" in hub.log, timeout)
        sent = bytearray()
        # The device is held back once the pty takes nothing for a while.
        while len(sent) < 64 << 20 and select.select([], [hub.master], [], 2)[1]:
            try:
                sent += block[:os.write(hub.master, block)]
            except BlockingIOError:
                pass
        report("(p) a TLS peer that does not read holds the device back", len(sent) < 16 << 20,
               "the hub took %d MiB" % (len(sent) >> 20))
        try:
            got = peer.read(len(sent))
        finally:
            peer.raw.close()
        report("(p) then everything arrives, in order", got == sent, "%d of %d bytes" % (len(got), len(sent)))
        hub.terminate()


def run_link(program, pki, timeout):
    """The link over TLS, with a client certificate, into a hub that asks for one."""
    from link_test import Link
    import serial
    with Hub(program, True, timeout, extra=tls_options(pki)) as hub:
        link = Link(program, hub.port(), timeout, extra=["--link-tls-ca", pki.path("ca.pem"),
                                                         "--tls-cert", pki.path("operator.pem"),
                                                         "--tls-key", pki.path("operator.key")])
        try:
            app = serial.Serial(link.path, 115200, timeout=timeout)
            app.write(PAYLOAD)
            got = hub.read_device(len(PAYLOAD))
            report("(k) the link over TLS: application to device", got == PAYLOAD,
                   "%d of %d bytes; log:\n%s" % (len(got), len(PAYLOAD), link.log.decode(errors="replace")[-600:]))
            report("(k) the hub logged the link's certificate",
                   b"TLS with 127.0.0.1: subject operator" in hub.log, hub.log.decode(errors="replace")[-600:])
            app.close()
        finally:
            link.close()
        hub.terminate()


def run_metrics(program, pki, timeout):
    """The metrics over TLS: a client with a certificate gets /metrics, a plain one nothing."""
    with Hub(program, False, timeout, extra=tls_options(pki) + ["--metrics", "127.0.0.1:0", "--metrics-tls"]) as hub:
        hub.port()
        served = re.compile(rb"metrics served on 127\.0\.0\.1 port (\d+).* over TLS")
        wait_for(lambda: served.search(hub.log), timeout)
        found = served.search(hub.log)
        report("(l) the metrics are served over TLS", found is not None, hub.log.decode(errors="replace")[-600:])
        if not found:
            return
        port = int(found.group(1))
        context = ssl.create_default_context(cafile=pki.path("ca.pem"))
        context.load_cert_chain(pki.path("operator.pem"), pki.path("operator.key"))
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=timeout, context=context)
        connection.request("GET", "/metrics")
        answer = connection.getresponse()
        reply = b"HTTP/1.1 %d\n" % answer.status + answer.read()
        connection.close()
        report("(l) /metrics over TLS with a client certificate", reply.startswith(b"HTTP/1.1 200")
               and b"quaylight_bytes_received_total" in reply, repr(reply[:120]))
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as plain:
            plain.sendall(b"GET /metrics HTTP/1.1\r\nHost: hub\r\n\r\n")
            try:
                answer = plain.recv(65536)
            except OSError:
                answer = b""
        report("(l) plain HTTP gets no metrics", b"quaylight_" not in answer and not answer.startswith(b"HTTP"),
               repr(answer[:120]))
        hub.terminate()


def run_refused_files(program, pki, timeout):
    cases = (
        ("missing key", ["--tls-cert", pki.path("hub.pem"), "--tls-key", pki.path("nokey.pem")], rb"nokey\.pem"),
        ("expired certificate", tls_options(pki, "expired.pem", "expired.key"), rb"expired\.pem: expired on 2020"),
        ("key of another certificate", tls_options(pki, "hub.pem", "operator.key"), rb"operator\.key does not belong"),
        ("no PEM in the certificate", tls_options(pki, "ca.cnf", "hub.key"), rb"ca\.cnf: holds no PEM certificate"),
    )
    for name, options, reason in cases:
        with Hub(program, False, timeout, extra=options) as hub:
            try:
                code = hub.process.wait(timeout)
            except subprocess.TimeoutExpired:
                code = None
            hub.reader.join(timeout)
            # Checked before the serial port is opened: the start ends there.
            line = re.search(rb"quaylight: TLS .*; nothing is started", hub.log)
            report("(g) %s: exit code 2, one line that says why" % name,
                   code == 2 and line is not None and re.search(reason, line.group(0)) is not None,
                   "exit code %s, log:\n%s" % (code, hub.log.decode(errors="replace")[-800:]))
            report("(g) %s: nothing listens in clear" % name, not LISTENING.search(hub.log), "it listened")


class FarServer:
    """A TLS server with a self-signed certificate; what it reads is kept."""

    def __init__(self, pki):
        self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self.context.load_cert_chain(pki.path("far.pem"), pki.path("far.key"))
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.failed = 0
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                raw, _ = self.listener.accept()
            except OSError:
                return
            try:
                with self.context.wrap_socket(raw, server_side=True) as conn:
                    while True:
                        data = conn.recv(65536)
                        if not data:
                            break
                        self.received += data
            except (ssl.SSLError, OSError):
                self.failed += 1

    def close(self):
        self.listener.close()


def run_forwarder(program, pki, timeout):
    for trusted in (False, True):
        far = FarServer(pki)
        settings = ("[startup]\nRemoteHost=127.0.0.1\nRemotePort=%d\n\n[session]\nRestore=true\nForwarder1=true\n\n"
                    "[tls]\nForwarder1=true\n%s" % (far.port, "ServerCa=%s\n" % pki.path("far.pem") if trusted else ""))
        try:
            with Hub(program, False, timeout, settings=settings) as hub:
                if trusted:
                    wait_for(lambda: b"software forwarder: TLS with 127.0.0.1" in hub.log, timeout)
                    hub.write_device(PAYLOAD)
                    report("(h) forwarder trusting ServerCa: connected, device bytes arrive",
                           wait_for(lambda: far.received == PAYLOAD, timeout),
                           "%d bytes; log:\n%s" % (len(far.received), hub.log.decode(errors="replace")[-800:]))
                else:
                    report("(h) forwarder without ServerCa: refused as a failed connect, logged",
                           wait_for(lambda: far.failed > 0 and b"software forwarder: socket error" in hub.log, timeout)
                           and b"software forwarder: TLS with" not in hub.log,
                           "log:\n" + hub.log.decode(errors="replace")[-800:])
                hub.terminate()
        finally:
            far.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quaylight-tls-") as folder:
        pki = Pki(folder)
        for run in (run_records, run_slow_reader, run_listener, run_alerts, run_switch_on, run_rfc2217, run_peers, run_link, run_metrics, run_refused_files, run_forwarder):
            try:
                run(args.hub, pki, args.timeout)
            except Exception as error:  # one run failing must not hide the others
                report(run.__name__, False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
