#!/usr/bin/env python3
"""quaylight-add-device writes folders the hub runs from, as the unit runs it.

    add_device_test.py --script PATH --hub PATH

Wrong arguments are refused with exit status 2 and nothing written. A folder
run as the service runs it ($STATE_DIRECTORY set), from its session and from
a drop-in's --open and --listen, opens its device with the line asked for,
relays both ways and ends on SIGTERM without a warning, leaving its folder
as written; an existing folder is kept, and --force writes the same files.
"""

import argparse
import os
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

STARTED = [re.compile(rb"session restored\n"), re.compile(rb"listening on port (\d+)\n")]


def run(script, root, *args):
    return subprocess.run([script, "--config-root", root, *args], capture_output=True, text=True)


def folder_files(path):
    return {name: open(os.path.join(path, name), "rb").read() for name in sorted(os.listdir(path))}


def check_refusals(script, root):
    failures = []
    for args, said in [(["../up", "/dev/ttyUSB0", "4001"], "NAME takes"),
                       (["plc1", "ttyUSB0", "4001"], "DEVICE is a path"),
                       (["plc1", "/dev/ttyUSB0", "0"], "PORT takes"),
                       (["plc1", "/dev/ttyUSB0", "65536"], "PORT takes"),
                       (["--framing", "8X1", "plc1", "/dev/ttyUSB0", "4001"], "--framing takes"),
                       (["--flow", "cts", "plc1", "/dev/ttyUSB0", "4001"], "--flow takes"),
                       (["--metrics", "9471", "plc1", "/dev/ttyUSB0", "4001"], "--metrics takes"),
                       (["--allow", "10.0.0.1;x", "plc1", "/dev/ttyUSB0", "4001"], "a value holds"),
                       (["plc1", "/dev/ttyUSB0"], "Usage:")]:
        done = run(script, root, *args)
        if done.returncode != 2 or said not in done.stderr or os.listdir(root):
            failures.append("%s: exit %d, %r" % (args, done.returncode, done.stderr))
    return failures


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
        deadline = time.monotonic() + 15
        while not all(p.search(b"".join(log)) for p in STARTED) and time.monotonic() < deadline \
                and process.poll() is None:
            time.sleep(0.02)
        text = b"".join(log)
        if not all(p.search(text) for p in STARTED) or int(STARTED[1].search(text).group(1)) != port:
            return ["%s: not restored and listening on %d:\n%s" % (extra, port, text.decode(errors="replace"))]
        # A pty keeps CS8 without parity whatever is asked: the hub's own
        # line says those.
        attrs = termios.tcgetattr(slave)
        if attrs[5] != termios.B9600 or not attrs[2] & termios.CSTOPB or b") opened: 9600 7E2," not in text:
            failures.append("the device's line is not 9600 7E2")
        with socket.create_connection(("127.0.0.1", port), timeout=5) as peer:
            peer.sendall(b"to the device\x00\xff")
            got, deadline = b"", time.monotonic() + 5
            while len(got) < 15 and select.select([master], [], [], max(0, deadline - time.monotonic()))[0]:
                got += os.read(master, 64)
            os.write(master, b"to the peer")
            back = b""
            while len(back) < 11 and (chunk := peer.recv(64)):
                back += chunk
            if (got, back) != (b"to the device\x00\xff", b"to the peer"):
                failures.append("relayed %r and %r" % (got, back))
        process.send_signal(signal.SIGTERM)
        if process.wait(15) != 0:
            failures.append("exit status %d on SIGTERM" % process.returncode)
        reader.join(5)
        if b" warning:" in b"".join(log):
            failures.append("warnings:\n" + b"".join(log).decode(errors="replace"))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
    return ["%s: %s" % (extra, failure) for failure in failures]


def check_service_run(script, hub, root, state):
    master, slave = os.openpty()
    tty.setraw(master)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    args = ["--baud", "9600", "--framing", "7E2", "plc7", os.ttyname(slave), str(port)]
    done = run(script, root, *args)
    if done.returncode != 0:
        return ["plc7: exit %d, %s" % (done.returncode, done.stderr)]
    folder = os.path.join(root, "plc7")
    written = folder_files(folder)
    failures = []
    try:
        for extra in ([], ["--open", "1", "--listen", str(port)]):
            failures += run_hub(hub, folder, state, extra, master, slave, port)
            if folder_files(folder) != written:
                failures.append("%s: the hub changed its configuration folder" % extra)
        if sorted(os.listdir(state)) != ["quaylight.log", "session.ini"]:
            failures.append("the state folder holds %r" % os.listdir(state))
        kept = run(script, root, "plc7", "/dev/ttyUSB9", "4009")
        if kept.returncode != 2 or "--force" not in kept.stderr or folder_files(folder) != written:
            failures.append("an existing folder was not kept: %s" % kept.stderr)
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
    with tempfile.TemporaryDirectory(prefix="quaylight-add-device-") as tmp:
        for part in ("refused", "service", "state"):
            os.mkdir(os.path.join(tmp, part))
        failures = check_refusals(options.script, os.path.join(tmp, "refused"))
        failures += check_service_run(options.script, options.hub, os.path.join(tmp, "service"),
                                      os.path.join(tmp, "state"))
    for failure in failures:
        print("FAIL:", failure)
    print("add-device: %s" % ("failed" if failures else "all checks passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
