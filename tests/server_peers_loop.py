#!/usr/bin/env python3
"""Open, echo, close, again at once: pyserial against the TCP/IP Server.

    server_peers_loop.py --hub PATH [--server-peers keep|N] [--cycles 20] [--timeout SECONDS]

What pyserial's own test suite does to a port: each cycle opens socket://
(then, on a second hub with --rfc2217, rfc2217://) right after the previous
cycle closed it, sends 256 bytes (every byte value), reads them back through
a pseudo-terminal wired as a loopback plug, and closes. One line per URL
scheme with the cycles that passed; the exit status is non-zero when any
cycle failed. With --server-peers 1 (the one-peer listener that re-listens
only at the tick) it measures how many cycles a client that does not retry
gets through.
"""

import argparse
import os
import select
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rfc2217_client import Hub, serial  # noqa: E402  (the hub on a pty, pyserial checked)

PAYLOAD = bytes(range(256))


class LoopbackPlug:
    """Echoes whatever the hub writes to the device back to it."""

    def __init__(self, master):
        self.master = master
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            if not select.select([self.master], [], [], 0.05)[0]:
                continue
            try:
                data = os.read(self.master, 65536)
            except BlockingIOError:
                continue
            view = memoryview(data)
            while view and self.running:
                select.select([], [self.master], [], 1.0)
                try:
                    view = view[os.write(self.master, view):]
                except BlockingIOError:
                    pass

    def stop(self):
        self.running = False
        self.thread.join(5)


def cycle(url, timeout):
    """One open, echo, close; an error text, or None when the echo came back whole."""
    try:
        port = serial.serial_for_url(url, timeout=timeout)
    except Exception as error:  # a refused connect is what this counts
        return "open: %s" % error
    try:
        port.write(PAYLOAD)
        port.flush()
        echoed = port.read(len(PAYLOAD))
        if echoed != PAYLOAD:
            return "echo: %d of %d bytes back%s" % (len(echoed), len(PAYLOAD),
                                                      "" if PAYLOAD.startswith(echoed) else ", different")
        return None
    except Exception as error:
        return "%s: %s" % (type(error).__name__, error)
    finally:
        port.close()


def run(program, scheme, peers, cycles, timeout):
    """Cycles passed over `scheme` against a hub of its own."""
    with Hub(program, scheme == "rfc2217", timeout, ["--server-peers", peers]) as hub:
        plug = LoopbackPlug(hub.master)
        try:
            url = "%s://127.0.0.1:%d" % (scheme, hub.port())
            passed = 0
            for number in range(1, cycles + 1):
                error = cycle(url, timeout)
                if error is None:
                    passed += 1
                else:
                    print("  cycle %d over %s://: %s" % (number, scheme, error), flush=True)
        finally:
            plug.stop()
        hub.terminate()
    return passed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hub", required=True, help="the quaylight program")
    parser.add_argument("--server-peers", default="keep", help="the hub's --server-peers")
    parser.add_argument("--cycles", type=int, default=20)
    parser.add_argument("--timeout", type=float, default=5.0, help="seconds any one step may take")
    args = parser.parse_args()
    failed = False
    for scheme in ("socket", "rfc2217"):
        passed = run(args.hub, scheme, args.server_peers, args.cycles, args.timeout)
        print("%s:// with --server-peers %s: %d of %d cycles passed"
              % (scheme, args.server_peers, passed, args.cycles), flush=True)
        failed = failed or passed != args.cycles
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
