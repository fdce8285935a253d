#!/usr/bin/env python3
"""What the web console costs the relay: serial->TCP throughput of the
headless program with its console open in headless Chromium and 10 more
/events subscribers, beside the same run without them, in one run.

    console_bench.py --program PATH [--reps N] [--mib N] [--timeout S] [--subscribers N] [--no-browser]

Each repetition measures both, in alternating order, each on a fresh
pseudo-terminal and a fresh hub serving its console on loopback; every byte
is checked. The transfer starts once the browser has drawn the page and gone
quiet; --no-browser leaves it out, to tell its cost from the subscribers'. Prints the medians and their ratio (target >= 0.95). Uses
relay_bench.py's streams, pty and process handling; the subscribers are
python3-websockets clients in a process of their own that read every frame.
"""

import argparse
import asyncio
import mmap
import os
import signal
import statistics
import struct
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_bench as rb  # noqa: E402


def start_subscribers(port, count):
    """Forks a process holding count /events subscribers that read every
    frame until it is killed. Returns (pid, frames): frames() is how many
    frames they have had in all."""
    shared = mmap.mmap(-1, 8)
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            rb._die_with_parent()
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            import websockets
            frames = 0

            async def subscriber():
                nonlocal frames
                async with websockets.connect("ws://127.0.0.1:%d/events" % port, max_size=None) as ws:
                    async for _ in ws:
                        frames += 1
                        struct.pack_into("q", shared, 0, frames)

            async def everyone():
                await asyncio.gather(*(subscriber() for _ in range(count)))

            asyncio.run(everyone())
        except BaseException as e:  # noqa: B902 - the child reports and ends
            os.write(2, f"console_bench subscribers: {e}\n".encode())
        finally:
            os._exit(code)
    rb._forked.append(pid)
    return pid, lambda: struct.unpack_from("q", shared, 0)[0]


def descendants(pid):
    """pid and every process under it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            children.setdefault(ppid, []).append(int(entry))
    out, todo = [], [pid]
    while todo:
        out.append(todo.pop())
        todo.extend(children.get(out[-1], ()))
    return out


def browser_ticks(driver):
    """CPU clock ticks used so far by the browser and its driver."""
    total = 0
    for pid in descendants(driver.service.process.pid):
        try:
            total += rb.cpu_ticks(pid)
        except (OSError, ValueError):
            pass  # gone meanwhile
    return total


def settle(driver, quiet_ticks=2, seconds=20.0):
    """Waits until the browser has drawn the page and gone quiet: an operator
    keeps the console open for hours, so its start-up is not what it costs.
    Two half-seconds in a row of at most quiet_ticks, or the time runs out."""
    end, quiet = time.monotonic() + seconds, 0
    while quiet < 2 and time.monotonic() < end:
        before = browser_ticks(driver)
        time.sleep(0.5)
        quiet = quiet + 1 if browser_ticks(driver) - before <= quiet_ticks else 0


def open_page(port, folder):
    """Headless Chromium showing the console; returns the driver once the
    page shows a hub."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--user-data-dir=" + os.path.join(folder, "profile")):
        options.add_argument(arg)
    driver = webdriver.Chrome(options=options, service=Service("/usr/bin/chromedriver"))
    driver.get("http://127.0.0.1:%d/" % port)
    WebDriverWait(driver, rb.STARTUP_SECONDS).until(
        lambda d: d.find_elements(By.CSS_SELECTOR, "section.hub .port.open"))
    return driver


def serial_to_tcp(launcher, data, timeout, folder, subscribers, with_browser):
    """(MB/s, relay CPU s/GiB, browser CPU s/GiB) serial->TCP through a fresh
    headless hub; with subscribers > 0, that many /events subscribers read,
    and with_browser, the console is open in Chromium too."""
    with rb.Pty() as pty:
        master = rb.Chan(pty.master, "pty master")
        relay = launcher.start("headless", pty.path, metrics=True)
        driver = pid = None
        try:
            with rb.connect_local(relay.server2) as sock:
                peer = rb.Chan(sock, "TCP peer")
                rb.handshake(peer, master)
                if subscribers and with_browser:
                    driver = open_page(relay.metrics, folder)
                if subscribers:
                    pid, frames = start_subscribers(relay.metrics, subscribers)
                    # hello, state and log to each of them first
                    if not rb.wait_for_count(frames, 3 * subscribers, rb.STARTUP_SECONDS):
                        raise rb.BenchError("the /events subscribers got no state")
                if driver:
                    settle(driver)
                    browser_before = browser_ticks(driver)
                r = rb.stream(master, [peer], data, timeout, pid=relay.pid)
                browser = browser_ticks(driver) - browser_before if driver else 0
                if pid and os.waitpid(pid, os.WNOHANG)[0]:
                    raise rb.BenchError("an /events subscriber was closed during the transfer")
        finally:
            if pid:
                os.kill(pid, signal.SIGKILL)
                rb.reap(pid)
            if driver:
                driver.quit()
            relay.stop()
    gib = len(data) / rb.GiB
    return len(data) / r["seconds"] / 1e6, r["cpu_ticks"] / rb.CLK_TCK / gib, browser / rb.CLK_TCK / gib


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--program", required=True)
    ap.add_argument("--reps", type=int, default=7)
    ap.add_argument("--mib", type=int, default=128)
    ap.add_argument("--timeout", type=float, default=180.0)
    ap.add_argument("--subscribers", type=int, default=10)
    ap.add_argument("--no-browser", action="store_true",
                    help="the subscribers alone, to tell their cost from the browser's")
    args = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="quaylight-console-bench-")
    launcher = rb.HubLauncher("", args.program, folder)
    data = rb.make_payload(args.mib * rb.MiB)
    without, with_console = [], []
    try:
        for rep in range(args.reps):
            order = ((0, without), (args.subscribers, with_console))
            for subscribers, results in order if rep % 2 == 0 else reversed(order):
                results.append(serial_to_tcp(launcher, data, args.timeout, folder, subscribers,
                                             not args.no_browser))
                print(f"  repetition {rep + 1}: {'console open' if subscribers else 'no console'}: "
                      f"{results[-1][0]:.1f} MB/s, {results[-1][1]:.2f} CPU s/GiB, "
                      f"browser {results[-1][2]:.2f} CPU s/GiB", file=sys.stderr)
    finally:
        rb.stop_all()
    base, loaded = (statistics.median(r[0] for r in runs) for runs in (without, with_console))
    cpu_base, cpu_loaded = (statistics.median(r[1] for r in runs) for runs in (without, with_console))
    ratio = loaded / base
    print(f"serial->TCP, headless, {args.mib} MiB, medians of {args.reps}:")
    print(f"  without the console                          {base:8.1f} MB/s  {cpu_base:6.2f} relay CPU s/GiB")
    loaded_name = (f"{args.subscribers} /events subscribers, no browser" if args.no_browser
                   else f"console in Chromium + {args.subscribers} /events subscribers")
    print(f"  {loaded_name:<44} {loaded:8.1f} MB/s  "
          f"{cpu_loaded:6.2f} relay CPU s/GiB")
    print(f"  ratio {ratio:.3f} (target >= 0.95): {'met' if ratio >= 0.95 else 'NOT met'}; "
          f"relay CPU per byte x{cpu_loaded / cpu_base:.2f}")
    if not args.no_browser:
        print(f"  the browser meanwhile: {statistics.median(r[2] for r in with_console):.2f} CPU s/GiB "
              "(measured once it had drawn the page and gone quiet)")
    print(f"  (load average at the end: {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; the browser "
          "and the subscribers run on the same cores as the relay)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
