#!/usr/bin/env python3
"""The link (--link): a hub's serial port as a local device, driven by pyserial.

    link_test.py --program PATH [--timeout SECONDS]

Starts hubs on pseudo-terminals made here (the program with --rfc2217, and
ser2net's telnet(rfc2217) accepter) and the program as a link to them;
pyserial opens the link's device as an application would, stty changes its
echo. One line per
check; the exit status is non-zero when any failed.
"""

import argparse
import glob
import os
import random
import re
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import rfc2217_client as hubs  # noqa: E402  (the hub fixture and the report)
from checks import failures, report, wait_for  # noqa: E402

import serial  # noqa: E402  (rfc2217_client says how to install it)

MIB = 1 << 20


class Link:
    """The program as a link to 127.0.0.1:port; its device in a fresh folder."""

    def __init__(self, program, port, timeout, extra=()):
        self.folder = tempfile.TemporaryDirectory(prefix="quaylight-link-")
        self.path = os.path.join(self.folder.name, "ttyLINK")
        self.timeout = timeout
        self.log = b""
        env = dict(os.environ, XDG_STATE_HOME=self.folder.name)
        self.process = subprocess.Popen([program, "--link", "127.0.0.1:%d" % port, "--link-device", self.path, *extra],
                                        stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        threading.Thread(target=self._read_log, daemon=True).start()
        if not self.wait_log(rb"connected to "):
            raise RuntimeError("the link did not connect; log:\n" + self.log.decode(errors="replace"))

    def _read_log(self):
        for line in self.process.stderr:
            self.log += line

    def wait_log(self, pattern):
        return wait_for(lambda: re.search(pattern, self.log), self.timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.folder.cleanup()


class Ser2net(hubs.Hub):
    """ser2net 4 with a telnet(rfc2217) accepter on a fresh pty, on a port the system chose."""

    def __enter__(self):
        self.master, self.slave = os.openpty()
        termios.tcsetattr(self.master, termios.TCSANOW, raw(termios.tcgetattr(self.master)))
        os.set_blocking(self.master, False)
        self.folder = tempfile.TemporaryDirectory(prefix="quaylight-ser2net-")
        config = os.path.join(self.folder.name, "ser2net.yaml")
        with open(config, "w") as f:
            f.write("connection: &link\n  accepter: telnet(rfc2217),tcp,127.0.0.1,0\n"
                    "  connector: serialdev,%s,9600n81,local\n" % os.ttyname(self.slave))
        self.process = subprocess.Popen(["ser2net", "-n", "-d", "-c", config,
                                         "-P", os.path.join(self.folder.name, "pid")],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.reader = threading.Thread(target=self._read_log, daemon=True)
        self.reader.start()
        return self

    def port(self):
        found = []
        wait_for(lambda: found.extend(self._listening()) or found, self.timeout)
        if not found:
            raise RuntimeError("ser2net listens nowhere; log:\n" + self.log.decode(errors="replace"))
        return found[0]

    def _listening(self):
        """The ports ser2net listens on: its sockets in /proc/net/tcp in state LISTEN."""
        inodes = set()
        for fd in glob.glob("/proc/%d/fd/*" % self.process.pid):
            target = os.readlink(fd) if os.path.islink(fd) else ""
            if target.startswith("socket:["):
                inodes.add(target[8:-1])
        with open("/proc/net/tcp") as table:
            rows = [line.split() for line in table.readlines()[1:]]
        return [int(row[1].split(":")[1], 16) for row in rows if row[9] in inodes and row[3] == "0A"]


def raw(attributes):
    attributes[0] = attributes[1] = attributes[3] = 0
    return attributes


def same(name, got, want):
    first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    report(name, got == want, "%d of %d bytes, first difference at %d" % (len(got), len(want), first))


def to_device(app, hub, data):
    """What reaches the hub's device while the application writes `data`."""
    writer = threading.Thread(target=app.write, args=(data,))
    writer.start()
    got = hub.read_device(len(data))
    writer.join()
    return got


def both_ways(tag, hub, program, timeout):
    """1 MiB each way at 115200 8E1; SIGTERM then ends the link and removes its device."""
    link = Link(program, hub.port(), timeout)
    try:
        app = serial.Serial(link.path, 115200, parity=serial.PARITY_EVEN, timeout=timeout)
        report(tag + " open at 115200 8E1: the hub's device follows to 115200",
               wait_for(lambda: hub.speed() == termios.B115200, timeout), "termios speed %d" % hub.speed())
        data = random.Random(25).randbytes(MIB)
        same(tag + " 1 MiB from the application reaches the device in order", to_device(app, hub, data), data)
        back = random.Random(52).randbytes(MIB)
        writer = threading.Thread(target=hub.write_device, args=(back,))
        writer.start()
        same(tag + " 1 MiB from the device reaches the application intact", app.read(MIB), back)
        writer.join()
        app.close()
        with open("/proc/%d/maps" % link.process.pid) as maps:
            loaded = re.findall(r"\S*lib(?:Qt6Gui|Qt6Widgets|X11|xcb)\S*", maps.read())
        report(tag + " the link loads no GUI library", not loaded, " ".join(sorted(set(loaded))))
        link.process.send_signal(signal.SIGTERM)
        code = link.process.wait(timeout)
        report(tag + " SIGTERM: exit code 0, the device's link removed",
               code == 0 and not os.path.lexists(link.path), "exit code %s" % code)
    finally:
        link.close()


def switch_mid_stream(program, timeout):
    with hubs.Hub(program, True, timeout) as hub:
        link = Link(program, hub.port(), timeout)
        try:
            app = serial.Serial(link.path, 115200, timeout=timeout)
            wait_for(lambda: hub.speed() == termios.B115200, timeout)
            data = random.Random(57).randbytes(512 * 1024)

            def write():
                app.write(data[:256 * 1024])
                app.baudrate, app.stopbits, app.parity = 57600, 2, serial.PARITY_ODD
                app.write(data[256 * 1024:])
            writer = threading.Thread(target=write)
            writer.start()
            same("(b) 57600 2 stop bits odd parity mid-stream: no byte lost", hub.read_device(len(data)), data)
            writer.join()
            report("(b) the hub's device follows to 57600 and 2 stop bits",
                   wait_for(lambda: hub.speed() == termios.B57600
                            and termios.tcgetattr(hub.master)[2] & termios.CSTOPB, timeout),
                   "termios speed %d" % hub.speed())
            # The hub's device is a pty, which takes no parity: the hub refuses it.
            report("(b) the refusal is logged and the application's termios stay odd",
                   link.wait_log(rb"the hub refused parity Odd: it keeps parity None")
                   and termios.tcgetattr(app.fd)[2] & termios.PARODD, link.log.decode(errors="replace"))
            app.close()
        finally:
            link.close()


def hub_restarted(program, timeout):
    """The hub killed and started again on its port while the application writes."""
    with hubs.Hub(program, True, timeout) as hub:
        port = hub.port()
        link = Link(program, port, timeout)
        app = serial.Serial(link.path, 115200, timeout=timeout)
        before = random.Random(3).randbytes(64 * 1024)
        same("(c) before the hub goes away", to_device(app, hub, before), before)
        hub.process.kill()
    try:
        report("(c) the link notices the hub is gone", link.wait_log(rb"lost the hub"), link.log.decode(errors="replace"))
        meanwhile = random.Random(4).randbytes(MIB + 65536)
        app.write(meanwhile)
        report("(c) past 1 MiB written meanwhile, the rest is dropped",
               link.wait_log(rb"1048576 bytes written while the hub is away"), link.log.decode(errors="replace"))
        with hubs.Hub(program, True, timeout, listen=port) as hub:
            same("(c) the new hub's device gets the first 1 MiB written meanwhile, in order",
                 hub.read_device(MIB), meanwhile[:MIB])
            report("(c) the count sent and the count dropped are logged",
                   re.search(rb"sending the 1048576 bytes .* 65536 more were dropped", link.log),
                   link.log.decode(errors="replace"))
            report("(c) the line is sent again: the new hub's device reads 115200",
                   wait_for(lambda: hub.speed() == termios.B115200, timeout), "termios speed %d" % hub.speed())
        app.close()
    finally:
        link.close()


def device_speed(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)[5]
    finally:
        os.close(fd)


def first_line(program, timeout):
    """The device starts with the hub's line; a change of echo asks the hub nothing."""
    with hubs.Hub(program, True, timeout, extra=["--baud", "9600"]) as hub:
        link = Link(program, hub.port(), timeout)
        try:
            report("(f) the device starts at the hub's 9600",
                   wait_for(lambda: device_speed(link.path) == termios.B9600, timeout),
                   "termios speed %d" % device_speed(link.path))
            subprocess.run(["stty", "-F", link.path, "-echo"], check=True, timeout=timeout)
            app = serial.Serial(link.path, 115200, timeout=timeout)
            report("(f) the application's 115200 reaches the hub",
                   wait_for(lambda: hub.speed() == termios.B115200, timeout), "termios speed %d" % hub.speed())
            app.close()
            # Requests go in order: what stty caused was asked before 115200.
            asks = re.findall(rb"asking the hub for ([^\n]*)", link.log)
            report("(f) after stty -echo and an open at 115200 8N1 the link asked only for speed 115200",
                   asks == [b"speed 115200"], repr(asks))
            report("(f) the hub's line never went to 38400", b"38400" not in hub.log, hub.log.decode(errors="replace"))
        finally:
            link.close()


def exit_codes(program, timeout):
    with tempfile.TemporaryDirectory() as folder, socket.socket() as nobody:
        nobody.bind(("127.0.0.1", 0))  # bound and never listening: a connect is refused
        hub = "127.0.0.1:%d" % nobody.getsockname()[1]
        device = os.path.join(folder, "ttyX")
        for name, args, code, line in (
                ("no device", ["--link", hub], 2, "--link HOST:PORT and --link-device PATH go together."),
                ("port 0", ["--link", "127.0.0.1:0", "--link-device", device], 2, "with a port from 1 to 65535"),
                ("nobody listens", ["--link", hub, "--link-device", device], 3, "cannot reach the hub at " + hub),
                ("no such folder", ["--link", hub, "--link-device", folder + "/none/ttyX"], 4,
                 "cannot make the link device: " + folder + "/none/ttyX: No such file or directory")):
            run = subprocess.run([program] + args, stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout,
                                 env=dict(os.environ, XDG_STATE_HOME=folder))
            report("(e) %s: exit code %d, one line saying why, no device left" % (name, code),
                   run.returncode == code and run.stderr.count(line.encode()) == 1 and not os.path.lexists(device),
                   "exit code %d, stderr %r" % (run.returncode, run.stderr))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=20.0, help="seconds any one step may take")
    args = parser.parse_args()
    runs = (
        lambda: hubs.Hub(args.program, True, args.timeout).__enter__(),
        lambda: Ser2net(args.program, True, args.timeout).__enter__(),
    )
    for tag, start in zip(("(a)", "(d) ser2net:"), runs):
        hub = None
        try:
            hub = start()
            both_ways(tag, hub, args.program, args.timeout)
        except Exception as error:  # one run failing must not hide the others
            report(tag, False, "%s: %s" % (type(error).__name__, error))
        finally:
            if hub:
                hub.__exit__(None, None, None)
    for run in (switch_mid_stream, hub_restarted, first_line, exit_codes):
        try:
            run(args.program, args.timeout)
        except Exception as error:
            report(run.__name__, False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
