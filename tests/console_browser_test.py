#!/usr/bin/env python3
"""The web console in a real browser: headless Chromium driven by selenium.

    console_browser_test.py --hub PATH [--timeout SECONDS]

Runs the headless program with a devices file of one section, "plc1", on a
pseudo-terminal made here, its console on a loopback port the system
chooses. Over plain HTTP ([monitor] Terminal=open): the page and its files
come with their types and a strict Content-Security-Policy, and the browser
reports no error loading them; the page shows the port open and the
TCP/IP Server listening; a TCP peer that connects is on the page within a
second; the control buttons are disabled, and an action sent anyway is
refused with the read-only message while the port stays open; typed into
the terminal, text reaches the device, and the device's answer shows in
the terminal. Over TLS with a client CA (--metrics-tls, [tls] ClientCa),
Chromium presents a client certificate made here (its NSS database in a
HOME of the test's, chosen by the AutoSelectCertificateForUrls policy in a
private mount namespace): Close is enabled, closes the port, the page shows
it closed and the hub logs the certificate's subject.

Exit 77 (skipped) only where Chromium, its driver or selenium cannot start.
"""

import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tty
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from checks import Process, failures, report, wait_for  # noqa: E402

CONSOLE_PORT = re.compile(rb"metrics served on \S+ port (\d+)")
SERVER_PORT = re.compile(rb"plc1: TCP/IP Server listening on port (\d+)")
SERVER_ROW = "#hub-plc1 .endpoint-2"  # the TCP/IP Server's row
SKIP = 77


def openssl(folder, *args):
    subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)


def make_pki(folder):
    """A CA, the hub's certificate for 127.0.0.1 and alice's client
    certificate, and an NSS database (Chromium's, under folder/home) that
    trusts the CA and holds alice's certificate and key."""
    for name in ("ca", "hub", "alice"):
        openssl(folder, "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", name + ".key")
    openssl(folder, "req", "-x509", "-key", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=console-test-ca")
    with open(os.path.join(folder, "san.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    for name, extra in (("hub", ["-extfile", "san.ext"]), ("alice", [])):
        openssl(folder, "req", "-new", "-key", name + ".key", "-out", name + ".csr", "-subj", "/CN=" + name)
        openssl(folder, "x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-out", name + ".pem", "-days", "2", *extra)
    openssl(folder, "pkcs12", "-export", "-in", "alice.pem", "-inkey", "alice.key", "-out", "alice.p12",
            "-passout", "pass:", "-name", "alice")
    nss = os.path.join(folder, "home", ".pki", "nssdb")
    os.makedirs(nss)
    for args in (["certutil", "-N", "-d", "sql:" + nss, "--empty-password"],
                 ["certutil", "-A", "-d", "sql:" + nss, "-n", "console-test-ca", "-t", "C,,", "-i", "ca.pem"],
                 ["pk12util", "-i", "alice.p12", "-d", "sql:" + nss, "-W", ""]):
        subprocess.run(args, cwd=folder, check=True, capture_output=True)
    return lambda name: os.path.join(folder, name)


class Hub(Process):
    """The headless program serving plc1 on a fresh pty; killed on every path out."""

    def __init__(self, program, folder, name, harborcast):
        self.master, slave = os.openpty()
        tty.setraw(self.master)
        self.slave = slave
        config = os.path.join(folder, name)
        os.mkdir(config)
        with open(os.path.join(config, "Harborcast.ini"), "w") as f:
            f.write(harborcast)
        devices = os.path.join(config, "devices.ini")
        with open(devices, "w") as f:
            # A TCP peer and the browser's terminal at once.
            f.write("[plc1]\nDevice=%s\nListen=0\nListenAddress=loopback\nBaud=19200\nServerPeers=2\n"
                    % os.ttyname(slave))
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        env["XDG_STATE_HOME"] = config
        super().__init__([program, "--devices", devices, "--config-dir", config, "--metrics", "127.0.0.1:0"]
                         + (["--metrics-tls"] if "[tls]" in harborcast else []), env)

    def read_device(self, size, timeout):
        got = b""
        deadline = time.monotonic() + timeout
        while len(got) < size and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.1)[0]:
                got += os.read(self.master, 4096)
        return got

    def stop(self):
        super().stop(10)
        for fd in (self.master, self.slave):
            os.close(fd)


def browser(folder, name, home, policy=None):
    """Headless Chromium with its own profile and HOME (its NSS database).
    With policy (JSON text), chromedriver and the browser run in a private
    mount namespace where /etc/chromium holds that managed policy."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1200,900", "--user-data-dir=" + os.path.join(folder, "profile-" + name)):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if policy:
        etc = os.path.join(folder, "etc-chromium-" + name)
        os.makedirs(os.path.join(etc, "policies", "managed"))
        if os.path.exists("/etc/chromium/master_preferences"):
            shutil.copy("/etc/chromium/master_preferences", etc)
        with open(os.path.join(etc, "policies", "managed", "console-test.json"), "w") as f:
            f.write(policy)
        wrapper = os.path.join(folder, "chromedriver-" + name)
        with open(wrapper, "w") as f:
            f.write("#!/bin/sh\nexec unshare -m sh -c 'mount --bind \"$0\" /etc/chromium && exec \"$@\"' "
                    "'%s' '%s' \"$@\"\n" % (etc, driver_path))
        os.chmod(wrapper, 0o755)
        driver_path = wrapper
    service = Service(driver_path, env=dict(os.environ, HOME=home))
    driver = webdriver.Chrome(options=options, service=service)
    driver.set_page_load_timeout(30)
    return driver


def text(driver, selector):
    from selenium.webdriver.common.by import By
    found = driver.find_elements(By.CSS_SELECTOR, selector)
    return found[0].text if found else ""


def wait_text(driver, selector, want, seconds):
    """Waits until the element's text holds want; True when it did."""
    from selenium.common.exceptions import TimeoutException
    from selenium.webdriver.support.ui import WebDriverWait
    try:
        WebDriverWait(driver, seconds, poll_frequency=0.02).until(lambda d: want in text(d, selector))
        return True
    except TimeoutException:
        return False


def errors_logged(driver):
    return [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]


def check_plain(program, folder, timeout):
    hub = Hub(program, folder, "plain", "[monitor]\nTerminal=open\n")
    driver = None
    try:
        port = hub.find(CONSOLE_PORT, timeout)
        server = hub.find(SERVER_PORT, timeout)
        base = "http://127.0.0.1:%d" % port
        for path, kind in (("/", "text/html"), ("/console.js", "text/javascript"), ("/console.css", "text/css"),
                           ("/xterm/xterm.js", "text/javascript"), ("/xterm/xterm.css", "text/css")):
            with urllib.request.urlopen(base + path, timeout=timeout) as reply:
                headers = reply.headers
                report("%s is %s with a strict policy" % (path, kind),
                       reply.status == 200 and headers.get("Content-Type", "").startswith(kind)
                       and "default-src 'self'" in headers.get("Content-Security-Policy", "")
                       and "unsafe" not in headers.get("Content-Security-Policy", "")
                       and headers.get("X-Content-Type-Options") == "nosniff", dict(headers))

        driver = browser(folder, "plain", os.path.join(folder, "home-plain"))
        driver.get(base + "/")
        report("the page shows the port open and its line",
               wait_text(driver, "#hub-plc1 .port", "open", timeout) and "19200,N,8,1" in text(driver, "#hub-plc1 .port"),
               text(driver, "#hub-plc1 .port"))
        report("the page shows the TCP/IP Server listening",
               wait_text(driver, SERVER_ROW + " .state", "listening", timeout), text(driver, SERVER_ROW + " .state"))
        report("the page, its script and xterm.js load without an error (none refused by the policy)",
               driver.execute_script("return typeof Terminal") == "function" and not errors_logged(driver),
               errors_logged(driver))

        peer = socket.create_connection(("127.0.0.1", server), timeout=timeout)
        where = "127.0.0.1:%d" % peer.getsockname()[1]
        report("a TCP peer that connects is on the page within a second",
               wait_text(driver, SERVER_ROW + " .peers", where, 1.0), text(driver, SERVER_ROW + " .peers"))
        report("the log shows the hub's lines", wait_text(driver, "#hub-plc1 .log", "plc1", timeout),
               text(driver, "#hub-plc1 .log")[-300:])

        from selenium.webdriver.common.by import By
        buttons = driver.find_elements(By.CSS_SELECTOR, "#hub-plc1 button.open, #hub-plc1 button.close, "
                                                        "#hub-plc1 button.listen, #hub-plc1 button.stop")
        report("without a client certificate every control button is disabled",
               len(buttons) >= 4 and not any(b.is_enabled() for b in buttons),
               [(b.get_attribute("class"), b.is_enabled()) for b in buttons])
        driver.execute_script("send(hubs.get('plc1'), {action: 'close'})")
        report("an action sent anyway is refused as read-only",
               wait_text(driver, "#hub-plc1 .error", "this console is read-only", timeout),
               text(driver, "#hub-plc1 .error"))
        report("... and the port stays open", "open" in text(driver, "#hub-plc1 .port")
               and not re.search(rb"console: .*Close", hub.log), text(driver, "#hub-plc1 .port"))

        driver.find_element(By.CSS_SELECTOR, "#hub-plc1 button.open-terminal").click()
        report("the terminal connects", wait_text(driver, "#hub-plc1 .terminal .status", "connected to", timeout),
               text(driver, "#hub-plc1 .terminal"))
        driver.find_element(By.CSS_SELECTOR, "#hub-plc1 .terminal .xterm-helper-textarea").send_keys("ping 42")
        got = hub.read_device(7, timeout)
        report("what is typed in the terminal reaches the device", got == b"ping 42", repr(got))
        os.write(hub.master, b"\r\ndevice answers pong\r\n")
        report("the device's answer appears in the terminal",
               wait_text(driver, "#hub-plc1 .terminal .xterm-accessibility-tree", "device answers pong", timeout),
               text(driver, "#hub-plc1 .terminal"))
        # The browser's terminal is the server's second peer.
        report("the terminal is listed among the server's peers",
               wait_for(lambda: len(text(driver, SERVER_ROW + " .peers").split()) >= 2, timeout),
               text(driver, SERVER_ROW + " .peers"))
        peer.close()
    finally:
        if driver:
            driver.quit()
        hub.stop()


def check_control(program, folder, pki, timeout):
    harborcast = ("[tls]\nCertificate=%s\nPrivateKey=%s\nClientCa=%s\n"
                  % (pki("hub.pem"), pki("hub.key"), pki("ca.pem")))
    hub = Hub(program, folder, "tls", harborcast)
    driver = None
    try:
        port = hub.find(CONSOLE_PORT, timeout)
        origin = "https://127.0.0.1:%d" % port
        policy = '{"AutoSelectCertificateForUrls": ["{\\"pattern\\":\\"%s\\",\\"filter\\":{}}"]}' % origin
        driver = browser(folder, "tls", os.path.join(pki("home")), policy)
        driver.get(origin + "/")
        report("over TLS the page shows the port open", wait_text(driver, "#hub-plc1 .port", "open", timeout),
               text(driver, "#hub-plc1 .port") + driver.page_source[:300])
        report("with alice's certificate the page may act", wait_text(driver, "#access", "alice", timeout),
               text(driver, "#access"))
        from selenium.webdriver.common.by import By
        close = driver.find_element(By.CSS_SELECTOR, "#hub-plc1 button.close")
        report("Close is enabled", close.is_enabled())
        close.click()
        report("Close closes the port and the page shows it closed",
               wait_text(driver, "#hub-plc1 .port", "closed", timeout), text(driver, "#hub-plc1 .port"))
        report("the hub logs the action with the certificate's subject",
               wait_for(lambda: re.search(rb"console: [^\n]*alice[^\n]*Close", hub.log), timeout),
               hub.log.decode(errors="replace")[-600:])
    finally:
        if driver:
            driver.quit()
        hub.stop()


def browser_starts(folder):
    """None when headless Chromium starts under selenium, else why not."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed"
    try:
        browser(folder, "probe", os.path.join(folder, "home-probe")).quit()
    except Exception as e:  # noqa: B902 - any failure to start is a skip
        return "headless Chromium does not start: %s" % str(e).splitlines()[0]
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--hub", required=True)
    parser.add_argument("--timeout", type=float, default=15.0)
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="quaylight-console-")
    try:
        why = browser_starts(folder)
        if why:
            print("SKIP: " + why)
            return SKIP
        for name, check in (("plain HTTP", lambda: check_plain(args.hub, folder, args.timeout)),
                            ("control over TLS",
                             lambda: check_control(args.hub, folder, make_pki(folder), args.timeout))):
            try:
                check()
            except Exception as e:  # noqa: B902 - reported, and the next part runs
                report(name + " ran to its end", False, "%s: %s" % (type(e).__name__, str(e).splitlines()[0]))
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
