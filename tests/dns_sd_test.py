#!/usr/bin/env python3
"""The hub's DNS-SD announcement, browsed by python3-zeroconf: dns_sd_test.py --hub PATH

Reruns itself in network and mount namespaces of its own (no multicast leaves
them; /run a private tmpfs for avahi-daemon's pid file) with loopback carrying
multicast, and starts a D-Bus system bus and avahi-daemon there. Exit 77
(skipped) when the tools or namespaces are missing.
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from rfc2217_client import Hub, failures, report, wait_for  # noqa: E402  (the hub fixture, the report)
try:
    from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, Zeroconf
except ImportError:
    pass  # main() says it is missing

TYPE = "_iostream._tcp.local."
ABSENT = b"DNS-SD: avahi-daemon is not running; the hub is not announced"
BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=%s</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
<allow receive_sender="*"/></policy></busconfig>
"""
AVAHI_CONFIG = """[server]
host-name=quaylight-test
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
"""


class Browser:
    """What zeroconf sees of _iostream._tcp on loopback."""

    def __init__(self):
        self.zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
        self.present, self.lock = set(), threading.Lock()
        self.browser = ServiceBrowser(self.zeroconf, TYPE, handlers=[self._changed])

    def _changed(self, zeroconf, service_type, name, state_change):
        with self.lock:
            (self.present.discard if state_change.name == "Removed" else self.present.add)(name)

    def has(self, instance):
        with self.lock:
            return instance + "." + TYPE in self.present

    def resolve(self, instance, timeout):
        """(port, TXT as str: bytes); (0, {}) when it does not resolve."""
        info = ServiceInfo(TYPE, instance + "." + TYPE)
        if not info.request(self.zeroconf, timeout * 1000):
            return 0, {}
        return info.port, {k.decode(): v for k, v in info.properties.items()}


def daemon(args, folder, name, ready, timeout):
    """Starts a daemon with its output in a file; waits until `ready` is true."""
    out = open(os.path.join(folder, name + ".log"), "wb")
    process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=out, stderr=out)
    if not wait_for(ready, timeout):
        raise RuntimeError("%s did not start: %s" % (name, open(out.name, "rb").read().decode(errors="replace")))
    return process


def inside(program, timeout):
    folder = tempfile.mkdtemp(prefix="quaylight-dns-sd-")
    daemons = []
    try:
        subprocess.run(["mount", "-t", "tmpfs", "quaylight-test", "/run"], check=True)
        os.mkdir("/run/avahi-daemon")
        subprocess.run(["ip", "link", "set", "lo", "up", "multicast", "on"], check=True)
        subprocess.run(["ip", "route", "add", "224.0.0.0/4", "dev", "lo"], check=True)
        bus = os.path.join(folder, "bus")
        for name, text in (("bus.conf", BUS_CONFIG % bus), ("avahi.conf", AVAHI_CONFIG)):
            with open(os.path.join(folder, name), "w") as f:
                f.write(text)
        os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + bus  # the hubs' and the daemon's
        daemons.append(daemon(["dbus-daemon", "--config-file=" + os.path.join(folder, "bus.conf"), "--nofork",
                               "--nopidfile", "--nosyslog"], folder, "dbus", lambda: os.path.exists(bus), timeout))

        with Hub(program, False, timeout, ["--announce"], "[announce]\nName=Late\n") as late:
            late.port()
            wait_for(lambda: ABSENT in late.log, timeout)
            log = os.path.join(folder, "avahi.log")
            avahi = ["avahi-daemon", "--no-drop-root", "--no-chroot", "--no-rlimits", "-f",
                     os.path.join(folder, "avahi.conf")]
            daemons.append(daemon(avahi, folder, "avahi", lambda: b"complete" in open(log, "rb").read(), timeout))
            browser = Browser()
            announced = b'DNS-SD: announced "Late"'
            report("a hub started before avahi-daemon is announced once it runs, having said so once",
                   wait_for(lambda: browser.has("Late") and announced in late.log, timeout)
                   and late.log.count(ABSENT) == 1, late.log.decode(errors="replace"))
            daemons.pop().terminate()
            report("the daemon's end is logged once; the hub runs on",
                   wait_for(lambda: not browser.has("Late") and late.log.count(ABSENT) == 2, timeout)
                   and late.process.poll() is None, late.log.decode(errors="replace"))
            os.remove(log)
            daemons.append(daemon(avahi, folder, "avahi", lambda: b"complete" in open(log, "rb").read(), timeout))
            report("announced again when avahi-daemon comes back, its absence told once",
                   wait_for(lambda: browser.has("Late") and late.log.count(announced) == 2, timeout)
                   and late.log.count(ABSENT) == 2,
                   late.log.decode(errors="replace"))

        with Hub(program, True, timeout, ["--announce"], "[announce]\nName=Bench\n") as first:
            port = first.port()
            found = wait_for(lambda: browser.has("Bench"), timeout) and browser.resolve("Bench", timeout)
            want = (port, {"provider": b"quaylight", "gensiostack": b"telnet(rfc2217),tcp"})
            report("--announce: the server's port, provider and gensiostack with RFC 2217, no USB keys",
                   found == want, "%r, not %r" % (found, want))
            with Hub(program, False, timeout, [], "[announce]\nEnabled=true\nName=Bench\n") as second:
                wait_for(lambda: browser.has("Bench #2"), timeout)
                found = browser.resolve("Bench #2", timeout)
                want = (second.port(), {"provider": b"quaylight", "gensiostack": b"tcp"})
                report("[announce] with a name taken: renamed, logged, gensiostack=tcp without RFC 2217",
                       found == want and b'the name "Bench" is taken; announcing as "Bench #2"' in second.log,
                       "%r, not %r; %s" % (found, want, second.log.decode(errors="replace")))

                peer = socket.create_connection(("127.0.0.1", port), timeout=timeout)
                report("withdrawn while a peer holds the server",
                       wait_for(lambda: not browser.has("Bench"), timeout))
                peer.close()
                report("announced again on the same port once it listens again",
                       wait_for(lambda: browser.has("Bench"), timeout) and browser.resolve("Bench", timeout)[0] == port)
                second.terminate()
                report("withdrawn when the hub ends, the other one stays",
                       wait_for(lambda: not browser.has("Bench #2"), timeout) and browser.has("Bench"))
        browser.zeroconf.close()
    finally:
        for process in reversed(daemons):
            process.terminate()
            process.wait(timeout)
        subprocess.run(["umount", "/run"], check=False)
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--hub", required=True)
    parser.add_argument("--timeout", type=float, default=20)
    args = parser.parse_args()
    if os.environ.get("QUAYLIGHT_DNS_SD_INSIDE"):
        return inside(args.hub, args.timeout)
    path = os.environ.get("PATH", "") + ":/usr/sbin:/sbin"
    missing = [t for t in ("unshare", "ip", "dbus-daemon", "avahi-daemon") if not shutil.which(t, path=path)]
    if subprocess.run([sys.executable, "-c", "import zeroconf"], capture_output=True).returncode:
        missing.append("python3-zeroconf")
    if missing:
        print("skipped: missing " + ", ".join(missing), flush=True)
        return 77
    unshare = ["unshare", "--net", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        unshare.insert(1, "--map-root-user")
    if subprocess.run(unshare + ["true"], capture_output=True).returncode != 0:
        print("skipped: no network namespace here (unshare --net --mount fails)", flush=True)
        return 77
    env = dict(os.environ, QUAYLIGHT_DNS_SD_INSIDE="1", PATH=path)
    return subprocess.run(unshare + [sys.executable, os.path.abspath(__file__), *sys.argv[1:]], env=env).returncode


if __name__ == "__main__":
    sys.exit(main())
