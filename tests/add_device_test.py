#!/usr/bin/env python3
"""quaylight-add-device writes folders the hub runs from, as the unit runs it.

    add_device_test.py --script PATH --hub PATH

Wrong arguments are refused with exit status 2 and nothing written; three
devices are three commands, each folder numbering its own device; one folder
run as the service runs it ($STATE_DIRECTORY set), from its session and
from a drop-in's --open and --listen, opens its device with the line asked
for, relays both ways, ends on SIGTERM without a warning and leaves its
folder as written; --force writes the same files again.
"""

import argparse
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

SESSION_RESTORED = re.compile(rb"session restored\n")
LISTENING = re.compile(rb"listening on port (\d+)\n")


def run(script, root, *args):
    return subprocess.run([script, "--config-root", root, *args], capture_output=True, text=True)


def folder_files(path):
    files = {}
    for name in sorted(os.listdir(path)):
        with open(os.path.join(path, name), "rb") as f:
            files[name] = f.read()
    return files


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_refusals(script, root):
    failures = []
    for args, said in [
        (["../up", "/dev/ttyUSB0", "4001"], "NAME takes"),
        (["plc1", "ttyUSB0", "4001"], "DEVICE is a path"),
        (["plc1", "/dev/ttyUSB0", "0"], "PORT takes"),
        (["plc1", "/dev/ttyUSB0", "65536"], "PORT takes"),
        (["--framing", "8X1", "plc1", "/dev/ttyUSB0", "4001"], "--framing takes"),
        (["--flow", "cts", "plc1", "/dev/ttyUSB0", "4001"], "--flow takes"),
        (["--metrics", "9471", "plc1", "/dev/ttyUSB0", "4001"], "--metrics takes"),
        (["--allow", "10.0.0.1;x", "plc1", "/dev/ttyUSB0", "4001"], "a value holds"),
        (["plc1", "/dev/ttyUSB0"], "Usage:"),
    ]:
        done = run(script, root, *args)
        if done.returncode != 2 or said not in done.stderr or os.listdir(root):
            failures.append("%s: exit %d, %r" % (args, done.returncode, done.stderr))
    return failures


def list_ports(hub, folder):
    done = subprocess.run([hub, "--list-ports", "--json", "--config-dir", folder],
                          capture_output=True, text=True, timeout=20)
    return [(row["number"], row["device"]) for row in json.loads(done.stdout)]


def check_three_devices(script, hub, root):
    failures = []
    ptys = [os.openpty() for _ in range(3)]
    try:
        for i, (_, slave) in enumerate(ptys, 1):
            done = run(script, root, "plc%d" % i, os.ttyname(slave), str(4000 + i))
            if done.returncode != 0 or "quaylight@plc%d" % i not in done.stdout:
                failures.append("plc%d: exit %d, %s" % (i, done.returncode, done.stderr))
        for i, (_, slave) in enumerate(ptys, 1):
            rows = list_ports(hub, os.path.join(root, "plc%d" % i))
            if rows != [(1, os.ttyname(slave))]:
                failures.append("plc%d numbers %r" % (i, rows))
        again = run(script, root, "plc2", "/dev/ttyUSB9", "4009")
        if again.returncode != 2 or "--force" not in again.stderr:
            failures.append("an existing folder was not kept: %s" % again.stderr)
    finally:
        for master, slave in ptys:
            os.close(master)
            os.close(slave)
    return failures


def read_until(fd, size, deadline):
    data = b""
    while len(data) < size and time.monotonic() < deadline:
        try:
            data += os.read(fd, size - len(data))
        except BlockingIOError:
            time.sleep(0.01)
    return data


def run_hub(hub, folder, state, extra, master, slave, port):
    """One run as the unit runs it; the failures seen."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env["STATE_DIRECTORY"] = state
    process = subprocess.Popen([hub, "--headless", "--config-dir", folder] + extra, env=env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    log = []
    reader = threading.Thread(target=lambda: log.extend(process.stderr), daemon=True)
    reader.start()
    failures = []
    try:
        def started():
            text = b"".join(log)
            return SESSION_RESTORED.search(text) and LISTENING.search(text)
        deadline = time.monotonic() + 15
        while not started() and time.monotonic() < deadline and process.poll() is None:
            time.sleep(0.02)
        if not started():
            return ["the hub did not restore its session and listen:\n" + b"".join(log).decode(errors="replace")]
        if int(LISTENING.search(b"".join(log)).group(1)) != port:
            failures.append("it listens on another port than %d" % port)
        # A pty keeps CS8 without parity whatever is asked: those two are
        # read from the hub's own line.
        attrs = termios.tcgetattr(slave)
        if attrs[5] != termios.B9600 or not attrs[2] & termios.CSTOPB \
                or b") opened: 9600 7E2," not in b"".join(log):
            failures.append("the device's line is not 9600 7E2")
        with socket.create_connection(("127.0.0.1", port), timeout=5) as peer:
            peer.sendall(b"to the device\x00\xff")
            got = read_until(master, 15, time.monotonic() + 5)
            if got != b"to the device\x00\xff":
                failures.append("the device got %r" % got)
            os.write(master, b"to the peer")
            got = b""
            while len(got) < 11:
                chunk = peer.recv(64)
                if not chunk:
                    break
                got += chunk
            if got != b"to the peer":
                failures.append("the peer got %r" % got)
        process.send_signal(signal.SIGTERM)
        if process.wait(15) != 0:
            failures.append("exit status %d on SIGTERM" % process.returncode)
        reader.join(5)
        text = b"".join(log).decode(errors="replace")
        if " warning:" in text:
            failures.append("warnings:\n" + text)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return ["%s: %s" % (extra, failure) for failure in failures]


def check_service_run(script, hub, root, state):
    master, slave = os.openpty()
    tty.setraw(master)
    os.set_blocking(master, False)
    port = free_port()
    args = ["--baud", "9600", "--framing", "7E2", "plc7", os.ttyname(slave), str(port)]
    done = run(script, root, *args)
    if done.returncode != 0:
        return ["plc7: exit %d, %s" % (done.returncode, done.stderr)]
    folder = os.path.join(root, "plc7")
    written = folder_files(folder)
    failures = []
    try:
        # As the folder says, then as a drop-in's --open and --listen say.
        for extra in ([], ["--open", "1", "--listen", str(port)]):
            failures += run_hub(hub, folder, state, extra, master, slave, port)
            if folder_files(folder) != written:
                failures.append("%s: the hub changed its configuration folder" % extra)
        if sorted(os.listdir(state)) != ["quaylight.log", "session.ini"]:
            failures.append("the state folder holds %r" % os.listdir(state))
        again = run(script, root, "--force", *args)
        if again.returncode != 0 or folder_files(folder) != written:
            failures.append("--force did not write the same files: %s" % again.stderr)
    finally:
        os.close(master)
        os.close(slave)
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--script", required=True)
    parser.add_argument("--hub", required=True)
    options = parser.parse_args()
    failures = []
    with tempfile.TemporaryDirectory(prefix="quaylight-add-device-") as tmp:
        for part in ("refused", "three", "service", "state"):
            os.mkdir(os.path.join(tmp, part))
        failures += check_refusals(options.script, os.path.join(tmp, "refused"))
        failures += check_three_devices(options.script, options.hub, os.path.join(tmp, "three"))
        failures += check_service_run(options.script, options.hub, os.path.join(tmp, "service"),
                                      os.path.join(tmp, "state"))
    for failure in failures:
        print("FAIL:", failure)
    print("add-device: %s" % ("failed" if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
