#!/usr/bin/env python3
"""Several devices served by one process from one devices file.

    devices_test.py --hub PATH [--timeout SECONDS]

Three pseudo-terminals made here are three sections of a devices file; the
program runs them with --devices and --metrics on ports the system chose.
Each TCP peer must reach its own device only, and each device its own peer
only. One device vanishes: the other two relay on; it comes back and is
opened again. A peer that leaves finds its listener again. A fourth section
is added and SIGUSR2 starts it while the first peers stay connected (no
reconnect, their bytes still flow). /metrics labels every series with its device,
/status lists the devices, and SIGTERM ends the process with 0. One line per
check; non-zero when a check failed.
"""

import argparse
import json
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import tty
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Process, failures, report, wait_for  # noqa: E402

LISTENING = re.compile(rb"(\w+): TCP/IP Server listening on port (\d+)")
METRICS_PORT = re.compile(rb"metrics served on \S+ port (\d+)")


class Program(Process):
    """The process under test, --devices; its ports from its log."""

    def ports(self):
        return {m.group(1).decode(): int(m.group(2)) for m in LISTENING.finditer(self.log)}

    def wait_ports(self, names, timeout):
        ports = wait_for(lambda: self.ports() if set(names) <= set(self.ports()) else None, timeout)
        if not ports:
            raise RuntimeError("not all of %s listen:\n%s" % (names, self.log.decode(errors="replace")))
        return ports


class Device:
    """A pseudo-terminal reached through a link, so that it can vanish."""

    def __init__(self, folder, name):
        self.master, self.slave = os.openpty()
        tty.setraw(self.master)
        self.path = os.path.join(folder, name)
        os.symlink(os.ttyname(self.slave), self.path)

    def read(self, size, timeout):
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < size and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.1)[0]:
                got += os.read(self.master, 65536)
        return got

    def vanish(self):
        os.unlink(self.path)
        os.close(self.master)
        os.close(self.slave)


def receive(conn, size, timeout):
    conn.settimeout(0.2)
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < size and time.monotonic() < deadline:
        try:
            piece = conn.recv(65536)
        except socket.timeout:
            continue
        if not piece:
            break
        got += piece
    return got


def section(name, device, number=None):
    where = device.path if number is None else number
    return "[%s]\nDevice=%s\nListen=0\nListenAddress=loopback\nBaud=115200\n\n" % (name, where)


def exchange(name, device, conn, timeout):
    """Bytes both ways between one peer and its device; True when intact."""
    word = ("to %s\n" % name).encode()
    conn.sendall(word)
    to_device = device.read(len(word), timeout)
    answer = ("from %s\n" % name).encode()
    os.write(device.master, answer)
    to_peer = receive(conn, len(answer), timeout)
    return to_device == word and to_peer == answer, "device got %r, peer got %r" % (to_device, to_peer)


def run(hub, timeout):
    folder = tempfile.mkdtemp(prefix="quaylight-devices-")
    config = os.path.join(folder, "config")
    os.mkdir(config)
    devices = {name: Device(folder, name) for name in ("plc1", "plc2", "plc3", "plc4")}
    listing = os.path.join(folder, "devices.ini")
    # plc2 is a port number pinned to its link, so that the terminal that
    # comes back in its place is found whatever its own name.
    with open(os.path.join(config, "ports.ini"), "w") as f:
        f.write("[pinned]\n7=%s\n" % devices["plc2"].path)
    with open(listing, "w") as f:
        f.write(section("plc1", devices["plc1"]) + section("plc2", devices["plc2"], 7)
                + section("plc3", devices["plc3"]))
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["XDG_STATE_HOME"] = folder
    program = Program([hub, "--devices", listing, "--config-dir", config, "--metrics", "127.0.0.1:0"], env)
    peers = {}
    try:
        ports = program.wait_ports(["plc1", "plc2", "plc3"], timeout)
        report("three sections listen on three ports", len(set(ports.values())) == 3, repr(ports))
        for name in ("plc1", "plc2", "plc3"):
            peers[name] = socket.create_connection(("127.0.0.1", ports[name]), timeout=timeout)
        # Each peer reaches its own device only: the others hear nothing.
        for name in ("plc1", "plc2", "plc3"):
            ok, detail = exchange(name, devices[name], peers[name], timeout)
            report("%s relays to its own peer" % name, ok, detail)
        stray = {n: devices[n].read(1, 0.3) + receive(peers[n], 1, 0.3) for n in ("plc1", "plc2", "plc3")}
        report("no device or peer hears another's bytes", not any(stray.values()), repr(stray))

        devices["plc2"].vanish()
        lost = wait_for(lambda: b"plc2: COM port" in program.log and b"was lost" in program.log, timeout)
        report("a vanished device is logged under its name", bool(lost), program.log.decode(errors="replace"))
        for name in ("plc1", "plc3"):
            ok, detail = exchange(name, devices[name], peers[name], timeout)
            report("%s relays on while plc2 is gone" % name, ok, detail)

        # It comes back (a new terminal behind the same link): its hub opens
        # it again by itself, and the peer that stayed reaches it.
        devices["plc2"] = Device(folder, "plc2")
        back = wait_for(lambda: re.search(rb"plc2: COM port \d+ is back and open again", program.log), timeout)
        ok, detail = False, program.log.decode(errors="replace")
        if back:
            ok, detail = exchange("plc2", devices["plc2"], peers["plc2"], timeout)
        report("plc2 is opened again when it comes back", ok, detail)

        # A peer that leaves finds its listener again: the tick listens anew.
        peers["plc3"].close()
        relisten = wait_for(lambda: len(re.findall(rb"plc3: TCP/IP Server listening", program.log)) > 1, timeout)
        ok, detail = False, program.log.decode(errors="replace")
        if relisten:
            peers["plc3"] = socket.create_connection(("127.0.0.1", ports["plc3"]), timeout=timeout)
            ok, detail = exchange("plc3", devices["plc3"], peers["plc3"], timeout)
        report("plc3 listens again after its peer left", ok, detail)

        with open(listing, "a") as f:
            f.write(section("plc4", devices["plc4"]))
        program.process.send_signal(signal.SIGUSR2)
        ports = program.wait_ports(["plc1", "plc3", "plc4"], timeout)
        added = wait_for(lambda: b"1 added, 0 changed, 0 removed, 3 unchanged" in program.log, timeout)
        report("SIGUSR2 adds the new section and leaves the others", bool(added),
               program.log.decode(errors="replace")[-2000:])
        peers["plc4"] = socket.create_connection(("127.0.0.1", ports["plc4"]), timeout=timeout)
        ok, detail = exchange("plc4", devices["plc4"], peers["plc4"], timeout)
        report("the added section relays", ok, detail)
        for name in ("plc1", "plc3"):
            ok, detail = exchange(name, devices[name], peers[name], timeout)
            report("%s's peer stays connected through the reload" % name, ok, detail)

        metrics = int(METRICS_PORT.search(program.log).group(1))
        with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics, timeout=timeout) as reply:
            text = reply.read().decode()
        counted = re.search(r'quaylight_received_bytes_total\{device="plc4",endpoint="server"\} (\d+)', text)
        report("/metrics labels each series with its device",
               counted is not None and int(counted.group(1)) == len(b"to plc4\n")
               and 'quaylight_serial_open{device="plc2"} 1' in text
               and 'quaylight_serial_device_losses_total{device="plc2"} 1' in text
               and 'quaylight_serial_open{device="plc1"} 1' in text, text[:1500])
        with urllib.request.urlopen("http://127.0.0.1:%d/status" % metrics, timeout=timeout) as reply:
            status = json.loads(reply.read())
        names = [d["name"] for d in status.get("devices", [])]
        report("/status lists the devices", names == ["plc1", "plc2", "plc3", "plc4"], repr(names))
    finally:
        for conn in peers.values():
            conn.close()
        if program.process.poll() is None:
            program.process.send_signal(signal.SIGTERM)
        try:
            code = program.process.wait(timeout)
        except subprocess.TimeoutExpired:
            program.process.kill()
            code = None
        report("SIGTERM ends every hub with 0", code == 0, "exit %r" % code)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hub", required=True)
    parser.add_argument("--timeout", type=float, default=15)
    args = parser.parse_args()
    try:
        run(args.hub, args.timeout)
    except Exception as error:  # a check that could not even run
        report("devices run", False, repr(error))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
