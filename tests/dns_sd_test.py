#!/usr/bin/env python3
"""The hub's DNS-SD announcement, seen by a browser on the network.

    dns_sd_test.py --hub PATH [--timeout SECONDS]

Runs in a network and mount namespace of its own (unshare), so no
multicast leaves it: loopback up with MULTICAST on, a D-Bus system bus and
avahi-daemon started here with configurations written here (/run is a
private tmpfs for the daemon's pid file). python3-zeroconf browses
_iostream._tcp on loopback.

A hub started before avahi-daemon says once that it is not announced and
is announced when the daemon comes up. A hub with --announce --rfc2217 is
found with its port and TXT keys; a second one named the same in
Harborcast.ini [announce] is renamed and says gensiostack=tcp. The first is
withdrawn while a peer holds its server (it does not listen) and back when
the peer leaves; the second is withdrawn when it ends. One line per check;
exit 77 (skipped) when the tools or namespaces are missing.
"""

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import tty

TYPE = "_iostream._tcp.local."
SERVER_PORT = re.compile(rb"TCP/IP Server listening on port (\d+)")
ABSENT = b"DNS-SD: avahi-daemon is not running; the hub is not announced"
INSIDE = "QUAYLIGHT_DNS_SD_INSIDE"

failures = []


def report(name, ok, detail=""):
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + detail), flush=True)
    if not ok:
        failures.append(name)


def wait_for(condition, timeout):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.05)


class Process:
    """A child whose stderr is collected; ended on every path out."""

    def __init__(self, args, env=None):
        self.log = b""
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            self.log += line

    def find(self, pattern, timeout):
        match = wait_for(lambda: pattern.search(self.log), timeout)
        if not match:
            raise RuntimeError("no %r in the log:\n%s" % (pattern.pattern, self.log.decode(errors="replace")))
        return match

    def stop(self, timeout):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return self.process.wait()


DBUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%s</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
"""

AVAHI_CONFIG = """[server]
host-name=quaylight-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
publish-domain=no
publish-aaaa-on-ipv4=no
[reflector]
enable-reflector=no
"""


class Browser:
    """zeroconf's browser of _iostream._tcp on loopback: what it saw come
    and go, by instance name."""

    def __init__(self):
        from zeroconf import IPVersion, ServiceBrowser, Zeroconf
        self.zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
        self.present = set()
        self.lock = threading.Lock()
        self.browser = ServiceBrowser(self.zeroconf, TYPE, handlers=[self._changed])

    def _changed(self, zeroconf, service_type, name, state_change):
        with self.lock:
            if state_change.name == "Removed":
                self.present.discard(name)
            else:
                self.present.add(name)

    def has(self, instance):
        with self.lock:
            return instance + "." + TYPE in self.present

    def info(self, instance, timeout):
        """(port, TXT as a dict of bytes) of a present instance; None when it
        cannot be resolved."""
        from zeroconf import ServiceInfo
        info = ServiceInfo(TYPE, instance + "." + TYPE)
        if not info.request(self.zeroconf, timeout * 1000):
            return None
        return info.port, {k.decode(): v for k, v in info.properties.items()}

    def close(self):
        self.browser.cancel()
        self.zeroconf.close()


def start_hub(hub_program, folder, name, env, ini="", extra=()):
    """A headless hub on a fresh pty pinned as port 3, listening on a port
    the system chose."""
    master, slave = os.openpty()
    tty.setraw(master)
    config = os.path.join(folder, name)
    os.mkdir(config)
    with open(os.path.join(config, "ports.ini"), "w") as f:
        f.write("[numbering]\nautomatic=false\n\n[pinned]\n3=%s\n" % os.ttyname(slave))
    with open(os.path.join(config, "Harborcast.ini"), "w") as f:
        f.write(ini)
    hub = Process([hub_program, "--headless", "--config-dir", config, "--open", "3", "--listen", "0", *extra], env)
    hub.pty = (master, slave)
    return hub


def inside(hub_program, timeout):
    folder = tempfile.mkdtemp(prefix="quaylight-dns-sd-")
    processes = []
    browser = None
    try:
        # The daemon keeps its pid file and socket in /run/avahi-daemon:
        # a private /run lets it run beside any other.
        subprocess.run(["mount", "-t", "tmpfs", "quaylight-test", "/run"], check=True)
        os.mkdir("/run/avahi-daemon")
        subprocess.run(["ip", "link", "set", "lo", "up", "multicast", "on"], check=True)
        subprocess.run(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"], check=True)

        bus = os.path.join(folder, "system_bus_socket")
        with open(os.path.join(folder, "bus.conf"), "w") as f:
            f.write(DBUS_CONFIG % bus)
        with open(os.path.join(folder, "avahi.conf"), "w") as f:
            f.write(AVAHI_CONFIG)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env["XDG_STATE_HOME"] = folder
        env["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + bus
        dbus = Process(["dbus-daemon", "--config-file=" + os.path.join(folder, "bus.conf"), "--nofork",
                        "--nopidfile", "--nosyslog"], env)
        processes.append(dbus)
        if not wait_for(lambda: os.path.exists(bus), timeout):
            raise RuntimeError("dbus-daemon did not start:\n" + dbus.log.decode(errors="replace"))

        # Started before the daemon: told once, announced when it comes.
        late = start_hub(hub_program, folder, "late", env, "[announce]\nName=Late\n", ["--announce"])
        processes.append(late)
        late.find(SERVER_PORT, timeout)
        late.find(re.compile(re.escape(ABSENT)), timeout)

        avahi = Process(["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "--no-proc-title",
                         "-f", os.path.join(folder, "avahi.conf")], env)
        processes.append(avahi)
        avahi.find(re.compile(rb"Server startup complete"), timeout)
        browser = Browser()
        report("a hub started before avahi-daemon is announced once it runs",
               wait_for(lambda: browser.has("Late"), timeout), late.log.decode(errors="replace"))
        report("the missing daemon is logged once", late.log.count(ABSENT) == 1,
               "%d times" % late.log.count(ABSENT))
        late.stop(timeout)

        first = start_hub(hub_program, folder, "first", env, "[announce]\nName=Bench\n", ["--announce", "--rfc2217"])
        processes.append(first)
        first_port = int(first.find(SERVER_PORT, timeout).group(1))
        report("--announce announces the TCP/IP Server", wait_for(lambda: browser.has("Bench"), timeout),
               first.log.decode(errors="replace"))
        found = browser.info("Bench", timeout)
        report("the announcement resolves", found is not None)
        port, txt = found or (0, {})
        report("the announced port is the server's", port == first_port, "%d, not %d" % (port, first_port))
        report("TXT provider and gensiostack with RFC 2217",
               txt.get("provider") == b"quaylight" and txt.get("gensiostack") == b"telnet(rfc2217),tcp", repr(txt))
        report("no USB keys for a device that is not USB",
               not {"devicetype", "idVendor", "idProduct", "bInterfaceNumber"} & txt.keys(), repr(txt))

        second = start_hub(hub_program, folder, "second", env, "[announce]\nEnabled=true\nName=Bench\n")
        processes.append(second)
        second_port = int(second.find(SERVER_PORT, timeout).group(1))
        report("[announce] Enabled with a name taken: renamed",
               wait_for(lambda: browser.has("Bench #2"), timeout), second.log.decode(errors="replace"))
        report("the rename is logged", b'the name "Bench" is taken; announcing as "Bench #2"' in second.log,
               second.log.decode(errors="replace"))
        port, txt = browser.info("Bench #2", timeout) or (0, {})
        report("the renamed hub: its own port, gensiostack=tcp without RFC 2217",
               port == second_port and txt.get("gensiostack") == b"tcp", "%d %r" % (port, txt))

        # One peer at a time: the server does not listen while it has one.
        peer = socket.create_connection(("127.0.0.1", first_port), timeout=timeout)
        report("withdrawn while a peer holds the server", wait_for(lambda: not browser.has("Bench"), timeout))
        peer.close()
        report("announced again when it listens again", wait_for(lambda: browser.has("Bench"), timeout),
               first.log.decode(errors="replace"))
        port, _ = browser.info("Bench", timeout) or (0, {})
        report("still on the server's port", port == first_port, "%d, not %d" % (port, first_port))

        second.stop(timeout)
        report("withdrawn when the hub ends", wait_for(lambda: not browser.has("Bench #2"), timeout))
        report("the other hub stays announced", browser.has("Bench"))
    finally:
        if browser:
            browser.close()
        for process in reversed(processes):
            process.stop(timeout)
        subprocess.run(["umount", "/run"], check=False)
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hub", required=True)
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()
    if os.environ.get(INSIDE):
        return inside(args.hub, args.timeout)

    missing = [tool for tool in ("unshare", "ip", "mount", "dbus-daemon", "avahi-daemon")
               if not shutil.which(tool, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")]
    try:
        import zeroconf  # noqa: F401
    except ImportError:
        missing.append("python3-zeroconf")
    if missing:
        print("skipped: missing " + ", ".join(missing), flush=True)
        return 77
    unshare = ["unshare", "--net", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        unshare.insert(1, "--map-root-user")
    if subprocess.run(unshare + ["true"], capture_output=True).returncode != 0:
        print("skipped: this system does not allow network namespaces (unshare --net)", flush=True)
        return 77
    env = dict(os.environ, **{INSIDE: "1"})
    env["PATH"] = env.get("PATH", "") + ":/usr/sbin:/sbin"
    return subprocess.run(unshare + [sys.executable, os.path.abspath(__file__), *sys.argv[1:]], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
