#!/usr/bin/env python3
"""Remote port control (RFC 2217) of the hub, checked with pyserial's client.

    rfc2217_client.py --hub PATH [--timeout SECONDS]

Runs the hub twice on a pseudo-terminal made here, pinned as port 3 in a
private config folder: once with --rfc2217, where pyserial's rfc2217:// client
sets the line speed, passes every byte value both ways, sets DTR and RTS
without a timeout and reads the modem lines; once without it, where the raw socket:// client passes the
same bytes untouched. Each run ends with SIGTERM and exit code 0. One line per
check; the exit status is non-zero when any failed.
"""

import argparse
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import failures, report, wait_for  # noqa: E402

try:
    import serial
except ImportError:
    sys.exit("pyserial is missing: install the Debian package python3-serial (scripts/test does)")

PORT_NUMBER = 3
LISTENING = re.compile(rb"TCP/IP Server listening on port (\d+)")

# Every byte value, then 0xFF runs of 1..8 between other bytes, then a long
# run: IAC doubling and undoubling at every phase.
PAYLOAD = bytes(range(256)) + b"".join(b"\xff" * n + bytes([n]) for n in range(1, 9)) + b"\xff" * 300


class Hub:
    """The hub on a fresh pty: started by `with`, killed on every path out."""

    def __init__(self, program, rfc2217, timeout, extra=(), settings="", listen=0, window=False):
        self.program = program
        self.window = window         # with its window, offscreen; it logs to its file only
        self.listen = listen
        self.rfc2217 = rfc2217
        self.timeout = timeout
        self.extra = list(extra)     # further options
        self.settings = settings     # Harborcast.ini to start with
        self.log = b""

    def __enter__(self):
        self.master, self.slave = os.openpty()  # the slave stays open: the pty lives
        tty.setraw(self.master)
        os.set_blocking(self.master, False)
        self.folder = tempfile.TemporaryDirectory(prefix="quaylight-rfc2217-")
        config = os.path.join(self.folder.name, "config")
        os.mkdir(config)
        with open(os.path.join(config, "ports.ini"), "w") as f:
            f.write("[numbering]\nautomatic=false\n\n[pinned]\n%d=%s\n"
                    % (PORT_NUMBER, os.ttyname(self.slave)))
        with open(os.path.join(config, "Harborcast.ini"), "w") as f:
            f.write(self.settings)
        env = {k: v for k, v in os.environ.items()
               if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env["XDG_STATE_HOME"] = self.folder.name  # the log file stays in here
        if self.window:
            env["QT_QPA_PLATFORM"] = "offscreen"
        args = [self.program] + ([] if self.window else ["--headless"]) + ["--config-dir", config,
                "--open", str(PORT_NUMBER), "--listen", str(self.listen)] + (["--rfc2217"] if self.rfc2217 else []) + self.extra
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env)
        self.reader = threading.Thread(target=self._read_log, daemon=True)
        self.reader.start()
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.reader.join(5)
        os.close(self.master)
        os.close(self.slave)
        self.folder.cleanup()

    def _read_log(self):
        for line in self.process.stderr:
            self.log += line

    def port(self):
        """The TCP port of the TCP/IP Server, from the hub's log line."""
        deadline = time.monotonic() + self.timeout
        while time.monotonic() < deadline and self.process.poll() is None:
            match = LISTENING.search(self.log)
            if match:
                return int(match.group(1))
            time.sleep(0.02)
        raise RuntimeError("no 'TCP/IP Server listening' line; log:\n" + self.log.decode(errors="replace"))

    def speed(self):
        return termios.tcgetattr(self.master)[5]

    def read_device(self, size):
        """What the hub wrote to the device, until `size` bytes or the timeout."""
        got = b""
        deadline = time.monotonic() + self.timeout
        while len(got) < size and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.1)[0]:
                got += os.read(self.master, 65536)
        return got

    def write_device(self, data):
        view = memoryview(data)
        while view:
            select.select([], [self.master], [], self.timeout)
            view = view[os.write(self.master, view):]

    def terminate(self):
        """SIGTERM, then the exit code (None when it did not end in time)."""
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(self.timeout)
        except subprocess.TimeoutExpired:
            return None


def check_bytes_both_ways(name, hub, client):
    client.write(PAYLOAD)
    client.flush()
    to_device = hub.read_device(len(PAYLOAD))
    report(name + ": client to device", to_device == PAYLOAD,
           "%d of %d bytes, first difference at %s" % (len(to_device), len(PAYLOAD), first_difference(to_device)))
    hub.write_device(PAYLOAD)
    to_client = client.read(len(PAYLOAD))
    report(name + ": device to client", to_client == PAYLOAD,
           "%d of %d bytes, first difference at %s" % (len(to_client), len(PAYLOAD), first_difference(to_client)))


def first_difference(got):
    return next((i for i, (a, b) in enumerate(zip(got, PAYLOAD)) if a != b), min(len(got), len(PAYLOAD)))


def timed(name, action, limit):
    """Runs action; fails on any exception (a timeout among them) or when slow."""
    start = time.monotonic()
    try:
        action()
    except Exception as error:  # report, then go on with the other checks
        report(name, False, "%s: %s" % (type(error).__name__, error))
        return
    spent = time.monotonic() - start
    report(name, spent < limit, "took %.2f s" % spent)


def check_no_lines(client):
    lines = (client.cts, client.dsr, client.ri, client.cd)
    if any(lines):
        raise AssertionError("CTS, DSR, RI, CD read %s" % (lines,))


def run_rfc2217(program, timeout):
    with Hub(program, True, timeout) as hub:
        url = "rfc2217://127.0.0.1:%d" % hub.port()
        client = serial.serial_for_url(url, baudrate=115200, timeout=timeout)
        try:
            report("(a) open at 115200: the device's speed is 115200",
                   wait_for(lambda: hub.speed() == termios.B115200, timeout), "termios speed %d" % hub.speed())
            client.baudrate = 57600
            report("(b) baudrate 57600 while connected: the speed follows",
                   wait_for(lambda: hub.speed() == termios.B57600, timeout), "termios speed %d" % hub.speed())
            check_bytes_both_ways("(c) all 256 byte values, 0xFF runs, over RFC 2217", hub, client)
            # pyserial waits for each answer (no ign_set_control): none may time out.
            for line, value in (("dtr", True), ("rts", False), ("dtr", False), ("rts", True)):
                timed("(d) %s = %s on a pseudo-terminal, answered in time" % (line, value),
                      lambda: setattr(client, line, value), 2.0)
            check_bytes_both_ways("(d) after DTR and RTS", hub, client)
            # The modem state comes by NOTIFY-MODEMSTATE alone; a pty has no lines.
            timed("(f) modem lines read: a pseudo-terminal has none",
                  lambda: check_no_lines(client), 2.0)
        finally:
            client.close()
        code = hub.terminate()
        report("(a-f) SIGTERM ends the hub with exit code 0", code == 0, "exit code %s" % code)


CMSPAR = getattr(termios, "CMSPAR", 0o10000000000)  # Linux's; Python's termios may lack it


def run_parity(program, timeout):
    """A pseudo-terminal drops parity: each refusal names the parity asked,
    no odd or mark/space bit stays, and when the peer leaves the whole line
    (2 stop bits here) is the operator's again."""
    with Hub(program, True, timeout) as hub:
        client = serial.serial_for_url("rfc2217://127.0.0.1:%d" % hub.port(), baudrate=19200, timeout=timeout)
        try:
            for parity in (serial.PARITY_ODD, serial.PARITY_MARK, serial.PARITY_SPACE):
                try:
                    client.parity = parity
                except ValueError:
                    pass  # pyserial's word for the refusal; the hub's log says which
            client.parity = serial.PARITY_NONE
            client.stopbits = serial.STOPBITS_TWO
            cflag = lambda: termios.tcgetattr(hub.master)[2]
            report("(g) 2 stop bits from the peer reach the device", wait_for(lambda: cflag() & termios.CSTOPB, timeout),
                   "cflag %o" % cflag())
            report("(g) each refused parity is named, no other setting",
                   all(b"refused parity " + name in hub.log for name in (b"Odd", b"Mark", b"Space"))
                   and b"refused stop bits" not in hub.log, hub.log.decode(errors="replace"))
            report("(g) no odd or mark/space bit stays after the refusals",
                   not cflag() & (termios.PARODD | CMSPAR), "cflag %o" % cflag())
        finally:
            client.close()
        report("(g) the peer left: the line is the operator's again, parity bits and stop bits",
               wait_for(lambda: b"the operator's again" in hub.log, timeout)
               and not cflag() & (termios.PARODD | CMSPAR | termios.CSTOPB),
               "cflag %o; log:\n%s" % (cflag(), hub.log.decode(errors="replace")))


def run_raw(program, timeout):
    with Hub(program, False, timeout) as hub:
        client = serial.serial_for_url("socket://127.0.0.1:%d" % hub.port(), timeout=timeout)
        try:
            check_bytes_both_ways("(e) raw socket://, option off", hub, client)
        finally:
            client.close()
        code = hub.terminate()
        report("(e) SIGTERM ends the hub with exit code 0", code == 0, "exit code %s" % code)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--timeout", type=float, default=10.0, help="seconds any one step may take")
    args = parser.parse_args()
    for run in (run_rfc2217, run_parity, run_raw):
        try:
            run(args.hub, args.timeout)
        except Exception as error:  # one run failing must not hide the other
            report(run.__name__, False, "%s: %s" % (type(error).__name__, error))
    print("%d check(s) failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
