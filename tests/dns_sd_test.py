#!/usr/bin/env python3
"""The hubs' and the console's DNS-SD announcements, browsed by python3-zeroconf:
dns_sd_test.py --hub PATH

Reruns itself in network and mount namespaces of its own (no multicast leaves
them; /run a private tmpfs for avahi-daemon's pid file) with loopback carrying
multicast, and starts a D-Bus system bus and avahi-daemon there. Exit 77
(skipped) when the tools or namespaces are missing.
"""

import argparse
import os
import re
import signal
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import failures, report, wait_for  # noqa: E402
from rfc2217_client import Hub  # noqa: E402  (the hub fixture)
from devices_test import Program  # noqa: E402  (a --devices run)
try:
    from zeroconf import IPVersion, ServiceBrowser, ServiceInfo, Zeroconf
except ImportError:
    pass  # main() says it is missing

TYPE = "_iostream._tcp.local."
CONSOLE = "_http._tcp.local."
METRICS_PORT = re.compile(rb"metrics served on \S+ port (\d+)")
SECTION_PORT = re.compile(rb"(\w+): TCP/IP Server listening on port (\d+)")
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
    """What zeroconf sees of _iostream._tcp and the console's _http._tcp on loopback."""

    def __init__(self):
        self.zeroconf = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
        self.present, self.changed = set(), threading.Condition()
        self.browser = ServiceBrowser(self.zeroconf, [TYPE, CONSOLE], handlers=[self._changed])

    def _changed(self, zeroconf, service_type, name, state_change):
        with self.changed:
            (self.present.discard if state_change.name == "Removed" else self.present.add)(name)
            self.changed.notify_all()

    def has(self, instance, kind=TYPE):
        with self.changed:
            return instance + "." + kind in self.present

    def wait(self, condition, timeout):
        """Waits for the browser's events until `condition()` holds; its last value."""
        with self.changed:
            return self.changed.wait_for(condition, timeout)

    def resolve(self, instance, timeout, kind=TYPE):
        """(port, TXT as str: bytes); (0, {}) when it does not resolve."""
        info = ServiceInfo(kind, instance + "." + kind)
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
            stopped = daemons.pop()
            stopped.terminate()
            stopped.wait(timeout)  # its pid file gone before the next one starts
            report("the daemon's end is logged once; the hub runs on",
                   wait_for(lambda: not browser.has("Late") and late.log.count(ABSENT) == 2, timeout)
                   and late.process.poll() is None, late.log.decode(errors="replace"))
            os.remove(log)
            daemons.append(daemon(avahi, folder, "avahi", lambda: b"complete" in open(log, "rb").read(), timeout))
            report("announced again when avahi-daemon comes back, its absence told once",
                   wait_for(lambda: browser.has("Late") and late.log.count(announced) == 2, timeout)
                   and late.log.count(ABSENT) == 2,
                   late.log.decode(errors="replace"))

        with Hub(program, True, timeout, ["--announce", "--metrics", "127.0.0.1:0"],
                 "[announce]\nName=Bench\n") as first:
            port = first.port()
            found = wait_for(lambda: browser.has("Bench"), timeout) and browser.resolve("Bench", timeout)
            want = (port, {"provider": b"quaylight", "gensiostack": b"telnet(rfc2217),tcp"})
            report("--announce: the server's port, provider and gensiostack with RFC 2217, no USB keys",
                   found == want, "%r, not %r" % (found, want))
            wait_for(lambda: METRICS_PORT.search(first.log), timeout)
            metrics = METRICS_PORT.search(first.log)
            found = browser.wait(lambda: browser.has("Bench console", CONSOLE), timeout) \
                and browser.resolve("Bench console", timeout, CONSOLE)
            want = (metrics and int(metrics.group(1)), {"path": b"/"})
            report("the console as _http._tcp under [announce] Name, on the metrics port, path=/",
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
        with socket.socket() as probe:  # a port nobody holds in this namespace
            probe.bind(("127.0.0.1", 0))
            free = probe.getsockname()[1]
        with Hub(program, False, timeout, ["--announce"], "[announce]\nName=Desk\n", listen=free,
                 window=True) as desk:
            found = wait_for(lambda: browser.has("Desk"), timeout) and browser.resolve("Desk", timeout)
            report("a run with the window announces its server as a headless one does",
                   found == (free, {"provider": b"quaylight", "gensiostack": b"tcp"}), repr(found))
            desk.terminate()
            report("and withdraws it when it ends", wait_for(lambda: not browser.has("Desk"), timeout))
        devices(program, folder, browser, timeout)
        browser.zeroconf.close()
    finally:
        for process in reversed(daemons):
            process.terminate()
            process.wait(timeout)
        subprocess.run(["umount", "/run"], check=False)
        shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


def devices(program, folder, browser, timeout):
    """A --devices run: each section with Announce found under its own name, port and TXT; SIGUSR2."""
    ttys = {name: os.openpty() for name in ("plc1", "plc2", "plc3", "plc4")}
    listing = os.path.join(folder, "devices.ini")
    config = os.path.join(folder, "config")
    os.makedirs(config, exist_ok=True)

    def write(sections):
        with open(listing, "w") as f:
            for name, keys in sections:
                f.write("[%s]\nDevice=%s\nListen=0\nListenAddress=loopback\n%s\n"
                        % (name, os.ttyname(ttys[name][1]), keys))

    write([("plc1", "Announce=yes"), ("plc2", "Announce=on\nAnnounceName=Lab bench\nRfc2217=yes"), ("plc3", ""),
           ("plc4", "Announce=yes\nRfc2217=yes")])
    env = dict(os.environ, XDG_STATE_HOME=folder)
    run = Program([program, "--devices", listing, "--config-dir", config, "--metrics", "127.0.0.1:0"], env)
    console = "Quaylight console on " + socket.gethostname()
    try:
        ports = run.wait_ports(["plc1", "plc2", "plc3"], timeout)
        both = browser.wait(lambda: browser.has("plc1") and browser.has("Lab bench"), timeout)
        found = both and (browser.resolve("plc1", timeout), browser.resolve("Lab bench", timeout))
        want = ((ports["plc1"], {"provider": b"quaylight", "gensiostack": b"tcp"}),
                (ports["plc2"], {"provider": b"quaylight", "gensiostack": b"telnet(rfc2217),tcp"}))
        report("--devices: each section with Announce under its own name, port and TXT; plc3 not",
               found == want and not browser.has("plc3") and b'"plc3"' not in run.log,
               "%r, not %r; %s" % (found, want, run.log.decode(errors="replace")))
        metrics = int(METRICS_PORT.search(run.log).group(1))
        found = browser.wait(lambda: browser.has(console, CONSOLE), timeout) \
            and browser.resolve(console, timeout, CONSOLE)
        report("--devices: the console once as _http._tcp on the metrics port",
               found == (metrics, {"path": b"/"}), "%r" % (found,))

        browser.wait(lambda: browser.has("plc4"), timeout)
        write([("plc2", "Announce=on\nAnnounceName=Lab bench\nRfc2217=yes"), ("plc3", "Announce=true"),
               ("plc4", "Announce=yes")])
        run.process.send_signal(signal.SIGUSR2)
        changed = browser.wait(lambda: not browser.has("plc1") and browser.has("plc3"), timeout)
        renewed = wait_for(lambda: b'DNS-SD: "plc4" withdrawn' in run.log and run.log.count(b'announced "plc4"') == 2,
                           timeout)
        found = renewed and browser.resolve("plc4", timeout)
        report("SIGUSR2: a changed section is announced again under its name with what changed",
               found == (run.ports()["plc4"], {"provider": b"quaylight", "gensiostack": b"tcp"}),
               "%r; %s" % (found, run.log.decode(errors="replace")))
        port = changed and browser.resolve("plc3", timeout)[0]
        report("SIGUSR2: a section removed is withdrawn, one restarted to announce is announced on its new port",
               port and wait_for(lambda: run.ports()["plc3"] == port, timeout), run.log.decode(errors="replace"))
        report("SIGUSR2: an unchanged section keeps its announcement",
               browser.has("Lab bench") and b'"Lab bench" withdrawn' not in run.log, run.log.decode(errors="replace"))
        run.process.send_signal(signal.SIGTERM)
        gone = browser.wait(lambda: not browser.has("Lab bench") and not browser.has(console, CONSOLE), timeout)
        report("the end of the run withdraws the hubs and the console", gone and run.process.wait(timeout) == 0,
               run.log.decode(errors="replace"))
    finally:
        if run.process.poll() is None:
            run.process.kill()
        run.process.wait()
        for master, slave in ttys.values():
            os.close(master)
            os.close(slave)


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
