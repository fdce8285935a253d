#!/usr/bin/env python3
"""Relay benchmark: the hub side by side with socat, ser2net and the raw path.

Every run uses 127.0.0.1 and a fresh pseudo-terminal made here. The relay
under test (the hub, socat or ser2net) opens the pty's slave as its serial device;
this driver plays the TCP peers and the serial device (the master). The raw
path is the same driver code with no relay in between: the pty alone and
loopback TCP alone.

The hub runs in one or more modes: 'bench' is the bench hub (the window
offscreen, driven through its handlers); 'offscreen', 'xvfb' and 'headless'
are the real program started from its command line, with its window on the
offscreen platform, with its window under a virtual X server (xvfb-run), and
without a window. socat, ser2net and the raw path are measured once and
compared with every mode.

Measured per repetition (medians of the repetitions are printed):
  TCP->serial, serial->TCP   MB/s (10^6 bytes/s), every byte checked; the
                             sender is a forked process with blocking writes
  serial->TCP, writer thread the same, the pty master written by a thread of
                             this driver in 64 KiB blocking writes
  round trip                 64-byte and 5000-byte messages, p50/p99/max us
  gateway fan-out            bench hub only: MB/s at the slowest of 3 receivers
  relay CPU per GiB          /proc/PID/stat utime+stime over the transfer
  average read at the peer   serial->TCP: bytes per read of the receiving TCP
                             peer (blocking reads into a 64 MiB buffer)
  device rates               64 B messages at 11,520 B/s (115200 bit/s) and
                             1024 B every 1 ms, each way: relay CPU % of a core
  idle CPU                   hub armed but without traffic, % of one core
  peak RSS                   VmHWM of the relay process
  scrape cost                real program only: serial->TCP MB/s while a
                             client GETs /metrics 100 times a second, beside
                             the same run without it

Only the standard library is used. Every process started here is killed on
the way out, and dies with this driver if it is killed itself.
"""

import argparse
import ctypes
import http.client
import mmap
import math
import os
import selectors
import shlex
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import tty

MiB = 1 << 20
GiB = 1 << 30
CLK_TCK = os.sysconf("SC_CLK_TCK")
WRITE_CHUNK = 1 * MiB      # most bytes handed to one send()/write()
READ_SPARE = 64 * 1024     # room past the expected end, to see extra bytes
WARMUP_MESSAGES = 20       # round trips sent first and not counted
HANDSHAKE_SECONDS = 15.0   # longest wait for a relay to pass its first bytes
STARTUP_SECONDS = 30.0     # longest wait for a relay to come up

SCENARIOS = ("to_serial", "from_serial", "from_serial_thread", "rt64", "rt5000", "fanout", "idle",
             "rate115200", "rate1m", "scrape")
BENCH_ONLY = ("fanout",)   # need the gateway or the forwarders: the bench hub only
PROGRAM_ONLY = ("scrape",)  # need --metrics: the real program only
SCRAPE_RATE = 100          # GET /metrics per second in the scrape scenario
TOOLS = ("raw", "socat", "ser2net", "hub")
PEERS = ("socat", "ser2net")  # the other relays, each compared with the hub
THREAD_CHUNK = 64 * 1024   # most bytes one write of the writer thread hands over
HUB_MODES = ("bench", "offscreen", "xvfb", "headless")
DEFAULT_MODES = ("offscreen", "xvfb", "headless")
SERIAL_NUMBER = 3          # the number the pty is pinned as in ports.ini
XVFB_RUN = ("xvfb-run", "-a", "-s", "-screen 0 1280x800x24")
# Device rates: scenario -> (message bytes, bytes per second).
RATES = {
    "rate115200": (64, 11_520),      # 115200 bit/s, 10 bits a byte on the line
    "rate1m": (1024, 1_024_000),     # 1024 bytes every millisecond
}
DRAIN_SECONDS = 10.0       # longest wait for the last paced byte after it was sent

now_ns = time.perf_counter_ns


class BenchError(Exception):
    """A run could not be measured (timeout, relay died, wrong bytes)."""


class Corrupt(BenchError):
    """Bytes arrived changed, reordered, missing or extra."""


# ---- processes ---------------------------------------------------------------

_children = []
_forked = []  # sender processes forked from this driver


def _die_with_parent():
    # PR_SET_PDEATHSIG: the child gets SIGKILL when this driver goes away,
    # even when the driver itself is killed without a chance to clean up.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)


def spawn(argv, env=None, stderr=None, stdout=subprocess.PIPE):
    """Starts argv in a process group of its own (so that a wrapper's child,
    e.g. the hub under strace, goes with it), by default with stdout on a
    pipe; it is stopped by stop_all()."""
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                            stdout=stdout, stderr=stderr,
                            preexec_fn=_die_with_parent, close_fds=True,
                            start_new_session=True)
    _children.append(proc)
    return proc


def _signal_group(proc, sig):
    try:
        os.killpg(proc.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def _group_alive(proc):
    try:
        os.killpg(proc.pid, 0)
        return True
    except (ProcessLookupError, PermissionError):
        return False


def stop(proc):
    """Terminates proc and its process group (SIGTERM, then SIGKILL after
    3 s), reaps proc and returns its exit code. When proc is a wrapper whose
    child is the relay (proc.inner_pid, e.g. under xvfb-run), the relay gets
    SIGTERM alone first, so that it ends as a user would end it and the
    wrapper cleans up after it."""
    inner = getattr(proc, "inner_pid", None)
    if inner and proc.poll() is None:
        try:
            os.kill(inner, signal.SIGTERM)
            proc.wait(5)
        except (ProcessLookupError, subprocess.TimeoutExpired):
            pass
    if proc.poll() is None:
        _signal_group(proc, signal.SIGTERM)
        try:
            proc.wait(3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    # A wrapper may leave children ending on their own (xvfb-run sends Xvfb
    # SIGTERM and exits; a killed Xvfb leaves its lock file): a moment for
    # them, then whatever is left of the group goes.
    deadline = now_ns() + 3_000_000_000
    while now_ns() < deadline and _group_alive(proc):
        time.sleep(0.01)
    _signal_group(proc, signal.SIGKILL)
    if proc.stdout:
        proc.stdout.close()
    if proc in _children:
        _children.remove(proc)
    return proc.returncode


def stop_all():
    """Stops every process this driver started and is still running."""
    for proc in list(_children):
        stop(proc)
    for pid in list(_forked):
        try:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        except (ProcessLookupError, ChildProcessError):
            pass
        _forked.remove(pid)


# ---- /proc readings ----------------------------------------------------------

def cpu_ticks(pid):
    """utime + stime of process pid (all its threads), in clock ticks."""
    with open(f"/proc/{pid}/stat") as f:
        text = f.read()
    # The command name may hold blanks and parentheses; fields follow the last ')'.
    fields = text[text.rindex(")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def peak_rss(pid):
    """VmHWM of process pid in bytes."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise BenchError(f"no VmHWM for process {pid}")


def tcp_listening(port):
    """True when something listens on TCP port (any address) in this namespace."""
    suffix = f":{port:04X}"
    for path in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(path) as f:
                next(f)
                for line in f:
                    parts = line.split()
                    if parts[1].endswith(suffix) and parts[3] == "0A":
                        return True
        except FileNotFoundError:
            pass
    return False


def session_processes(sid):
    """(pid, parent pid, argv) of every process in session sid."""
    out = []
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                text = f.read()
            with open(f"/proc/{name}/cmdline", "rb") as f:
                cmdline = f.read()
        except OSError:
            continue  # ended meanwhile
        fields = text[text.rindex(")") + 2:].split()  # state, ppid, pgrp, session, ...
        if int(fields[3]) == sid:
            argv = [a.decode(errors="replace") for a in cmdline.split(b"\0")[:-1]]
            out.append((int(name), int(fields[1]), argv))
    return out


def relay_process(procs, top, exe):
    """Among procs ((pid, parent pid, argv) of one session) the relay that the
    wrapper process top started as exe: the outermost process whose argv
    names exe, leaving out top and its own forks (same argv: xvfb-run's
    subshells, and the relay before its exec). None while there is none."""
    top_argv = next((argv for pid, _, argv in procs if pid == top), None)
    found = {pid: parent for pid, parent, argv in procs
             if pid != top and argv != top_argv and exe in argv}
    return next((pid for pid, parent in sorted(found.items()) if parent not in found), None)


# ---- byte channels -----------------------------------------------------------

class Chan:
    """A non-blocking byte channel: a TCP socket or a tty descriptor."""

    def __init__(self, end, name):
        self.name = name
        if isinstance(end, socket.socket):
            end.setblocking(False)
            self.sock = end
            self.fd = end.fileno()
        else:
            os.set_blocking(end, False)
            self.sock = None
            self.fd = end

    def set_blocking(self, on):
        """Blocking or not; the flag is shared with forked processes."""
        if self.sock is not None:
            self.sock.setblocking(on)
        else:
            os.set_blocking(self.fd, on)

    def write(self, view):
        """Writes what the OS takes now; returns the count (0 when full)."""
        try:
            if self.sock is not None:
                return self.sock.send(view)
            return os.write(self.fd, view)
        except (BlockingIOError, InterruptedError):
            return 0

    def readinto(self, view):
        """Reads into view; returns the count, 0 when nothing is waiting.
        End of stream or a failing device is a BenchError."""
        try:
            if self.sock is not None:
                n = self.sock.recv_into(view)
            else:
                n = os.readv(self.fd, [view])
        except (BlockingIOError, InterruptedError):
            return 0
        except OSError as e:
            raise BenchError(f"{self.name}: {e}") from None
        if n == 0:
            raise BenchError(f"{self.name}: the other end closed")
        return n


def loopback_listener():
    """A listening socket on 127.0.0.1 and an OS-chosen port."""
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", 0))
    srv.listen(4)
    return srv


def accept_within(srv, seconds):
    """Accepts one connection on srv within seconds, else BenchError."""
    srv.settimeout(seconds)
    try:
        conn, _ = srv.accept()
    except socket.timeout:
        raise BenchError(f"nobody connected to port {srv.getsockname()[1]}") from None
    conn.settimeout(None)
    return conn


def connect_local(port):
    """A connected TCP socket to 127.0.0.1:port."""
    return socket.create_connection(("127.0.0.1", port), timeout=5)


class Pty:
    """A fresh pseudo-terminal in raw mode. The driver keeps the slave open
    as well, so the master never reads as hung up between relays."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        # Raw on both ends; on Linux termios set on the master land on the
        # slave, and the slave is set explicitly for the pty-alone runs.
        tty.setraw(self.master)
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ---- transfers ---------------------------------------------------------------

class Receivers:
    """Reusable receive buffers (allocated once: page faults in fresh 64 MiB
    buffers would slow the driver, not the relay)."""

    def __init__(self):
        self._bufs = []

    def get(self, count, size):
        while len(self._bufs) < count:
            self._bufs.append(bytearray())
        for i in range(count):
            if len(self._bufs[i]) < size + READ_SPARE:
                self._bufs[i] = bytearray(size + READ_SPARE)
        return self._bufs[:count]


RECEIVERS = Receivers()


class _Deadline:
    """Raises BenchError in whatever call is blocking once seconds passed
    (SIGALRM), so blocking reads stay bounded in time."""

    def __init__(self, seconds, what):
        self.seconds = seconds
        self.what = what

    def _fire(self, signum, frame):
        raise BenchError(f"{self.what}: timed out after {self.seconds:.0f} s")

    def __enter__(self):
        self._old = signal.signal(signal.SIGALRM, self._fire)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)
        return self

    def __exit__(self, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self._old)


def _send_all(src, data):
    """Writes all of data on src with blocking writes (in the sender
    process; nobody else uses src meanwhile)."""
    src.set_blocking(True)
    out = memoryview(data)
    sent = 0
    while sent < len(out):
        sent += src.write(out[sent:sent + WRITE_CHUNK])


def start_sender(src, data, timeout):
    """Forks a process that sends data on src once go() is called, so that
    sending and receiving run side by side as they would in two programs.
    Returns (pid, go); the process ends by itself after timeout seconds."""
    go_r, go_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            _die_with_parent()
            os.close(go_w)
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            signal.signal(signal.SIGALRM, signal.SIG_DFL)
            signal.setitimer(signal.ITIMER_REAL, timeout + 5)
            if os.read(go_r, 1) == b"g":
                _send_all(src, data)
                code = 0
        except BaseException as e:  # noqa: B902 - the child reports and ends
            try:
                os.write(2, f"relay_bench sender: {e}\n".encode())
            except OSError:
                pass
        finally:
            os._exit(code)
    os.close(go_r)
    _forked.append(pid)

    def go():
        os.write(go_w, b"g")
        os.close(go_w)

    return pid, go


def start_writer_thread(src, data):
    """A thread of this driver that writes data on src in blocking writes of
    THREAD_CHUNK once go() is called (the receive loop runs beside it, the
    GIL released in both system calls). Returns (join, go); join() is True
    when every byte went."""
    start = threading.Event()
    result = {"ok": False}

    def run():
        start.wait()
        try:
            out = memoryview(data)
            sent = 0
            while sent < len(out):
                sent += os.write(src.fd, out[sent:sent + THREAD_CHUNK])
            result["ok"] = True
        except OSError as e:
            print(f"relay_bench writer thread: {e}", file=sys.stderr)

    src.set_blocking(True)
    worker = threading.Thread(target=run, daemon=True)
    worker.start()

    def join():
        worker.join(timeout=10.0)
        return result["ok"] and not worker.is_alive()

    return join, start.set


def start_scraper(port, rate):
    """Forks a process that GETs /metrics from 127.0.0.1:port rate times a
    second on one kept-alive connection, as Prometheus does, until it is
    killed. Returns (pid, done): done() is how many answers it has had, each
    a 200 holding the byte counters; a wrong one ends it with code 3."""
    shared = mmap.mmap(-1, 8)
    pid = os.fork()
    if pid == 0:
        code = 2
        try:
            _die_with_parent()
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            k = 0
            while True:
                # Never faster than rate: a late answer is not made up for.
                asked = time.monotonic()
                conn.request("GET", "/metrics")
                reply = conn.getresponse()
                if reply.status != 200 or b"quaylight_bytes_sent_total" not in reply.read():
                    code = 3
                    break
                k += 1
                struct.pack_into("q", shared, 0, k)
                delay = asked + 1 / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        except BaseException as e:  # noqa: B902 - the child reports and ends
            try:
                os.write(2, f"relay_bench scraper: {e}\n".encode())
            except OSError:
                pass
        finally:
            os._exit(code)
    _forked.append(pid)
    return pid, lambda: struct.unpack_from("q", shared, 0)[0]


def cpu_per_scrape(port, pid, count=3000):
    """Microseconds of process pid's CPU per GET /metrics, asked count times
    back to back on one connection (the hub otherwise idle)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    try:
        before = cpu_ticks(pid)
        for _ in range(count):
            conn.request("GET", "/metrics")
            reply = conn.getresponse()
            if reply.status != 200 or not reply.read():
                raise BenchError(f"/metrics answered {reply.status}")
        return (cpu_ticks(pid) - before) / CLK_TCK / count * 1e6
    finally:
        conn.close()


def wait_for_count(count, at_least, seconds):
    """Waits until count() reaches at_least; False after seconds."""
    deadline = now_ns() + int(seconds * 1e9)
    while count() < at_least:
        if now_ns() > deadline:
            return False
        time.sleep(0.01)
    return True


def reap(pid, seconds=5.0):
    """Waits for a forked pid to end (killed after seconds); its exit code."""
    deadline = now_ns() + int(seconds * 1e9)
    try:
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                return os.waitstatus_to_exitcode(status)
            if now_ns() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                return -signal.SIGKILL
            time.sleep(0.005)
    except ChildProcessError:
        return 0
    finally:
        if pid in _forked:
            _forked.remove(pid)


def stream(src, dsts, data, timeout, pid=None, thread=False):
    """Sends data on src as fast as it goes (from a forked sender, or with
    thread from a writer thread here) while every channel in dsts receives;
    returns {'seconds': time until the slowest receiver had it all,
    'cpu_ticks': ticks of process pid over that time}. Every receiver must
    get exactly data, in order, else Corrupt."""
    n = len(data)
    bufs = RECEIVERS.get(len(dsts), n)
    views = [memoryview(b) for b in bufs]
    got = [0] * len(dsts)
    done_at = [0] * len(dsts)
    reads = 0  # one receiver: its read calls, for the average read size
    if thread:
        sender = None
        join, go = start_writer_thread(src, data)
    else:
        sender, go = start_sender(src, data, timeout)
    sent_ok = False
    try:
        with _Deadline(timeout, "transfer"):
            cpu0 = cpu_ticks(pid) if pid else 0
            t0 = now_ns()
            go()
            if len(dsts) == 1:
                # One receiver: plain blocking reads, the cheapest loop there is.
                d, view = dsts[0], views[0]
                d.set_blocking(True)
                try:
                    while got[0] < n:
                        got[0] += d.readinto(view[got[0]:])
                        reads += 1
                finally:
                    d.set_blocking(False)
                done_at[0] = now_ns()
            else:
                _receive_many(dsts, views, got, done_at, n)
            t1 = max(done_at)
            cpu1 = cpu_ticks(pid) if pid else 0
        sent_ok = join() if thread else reap(sender) == 0
        src.set_blocking(False)  # the sender made it blocking
        _catch_extra(dsts, views, got, len(bufs[0]))
    finally:
        if sender is not None and sender in _forked:
            reap(sender, 0)
        for v in views:
            v.release()
    if not sent_ok:
        raise BenchError("the sender failed")
    for i, d in enumerate(dsts):
        if got[i] != n:
            raise Corrupt(f"{d.name}: {got[i]} bytes arrived, {n} were sent")
        if bufs[i][:n] != data:
            raise Corrupt(f"{d.name}: bytes differ from offset "
                          f"{first_difference(bufs[i], data)}")
    return {"seconds": (t1 - t0) / 1e9, "cpu_ticks": cpu1 - cpu0,
            "read_bytes": n / reads if reads else None}


def _receive_many(dsts, views, got, done_at, n):
    """Receives on several channels at once until each has n bytes."""
    with selectors.DefaultSelector() as sel:
        for i, d in enumerate(dsts):
            sel.register(d.fd, selectors.EVENT_READ, i)
        left = len(dsts)
        while left:
            for key, _ in sel.select(1.0):
                i = key.data
                got[i] += dsts[i].readinto(views[i][got[i]:])
                if got[i] >= n:
                    done_at[i] = now_ns()
                    left -= 1
                    sel.unregister(dsts[i].fd)


def _catch_extra(dsts, views, got, room):
    """Reads whatever arrives in the next 50 ms: bytes past the end are a
    relay fault as well."""
    with selectors.DefaultSelector() as sel:
        for i, d in enumerate(dsts):
            sel.register(d.fd, selectors.EVENT_READ, i)
        grace = now_ns() + 50_000_000
        while now_ns() < grace:
            for key, _ in sel.select(0.01):
                i = key.data
                if got[i] < room:
                    got[i] += dsts[i].readinto(views[i][got[i]:])
                else:
                    sel.unregister(dsts[i].fd)


def first_difference(got, want):
    """Offset of the first byte where got and want differ (len(want) if none)."""
    step = 1 * MiB
    for start in range(0, len(want), step):
        a, b = got[start:start + step], want[start:start + step]
        if a != b:
            return start + next(k for k in range(len(b)) if a[k] != b[k])
    return len(want)


class Pacer:
    """When each of count messages of size bytes is due at rate bytes/s from
    start (ns): message k at start + k * size / rate, on integer
    nanoseconds, so a late send never moves the ones after it."""

    def __init__(self, size, rate, count, start):
        self.size = size
        self.rate = rate
        self.count = count
        self.start = start
        self._span = size * 1_000_000_000  # ns * bytes/s of one message

    def deadline(self, k):
        return self.start + k * self._span // self.rate

    def due(self, now):
        """How many messages are due at now (deadline <= now), count at most."""
        if now < self.start:
            return 0
        # deadline(k) <= now  <=>  k * span < (now - start + 1) * rate
        n = -(-(now - self.start + 1) * self.rate // self._span)
        return min(n, self.count)


def paced(src, dst, data, size, rate, pid=None):
    """Sends data on src in messages of size bytes at rate bytes/s (Pacer
    deadlines) while dst receives; every byte must arrive, in order, and
    nothing more, else Corrupt. The driver waits in select() between
    deadlines. Returns {'seconds': first send to last byte, 'cpu_ticks': of
    process pid over that time, 'late_us': the latest a message was handed
    over past its deadline, 'driver_cpu': this driver's own CPU seconds}."""
    n = len(data)
    pacer = Pacer(size, rate, -(-n // size), 0)
    out = memoryview(data)
    buf = bytearray(256 * 1024)
    view = memoryview(buf)
    queued = written = got = 0   # bytes due, bytes src took, bytes dst gave
    late = 0
    sel = selectors.DefaultSelector()
    sel.register(dst.fd, selectors.EVENT_READ)
    watching_src = False
    try:
        cpu0 = cpu_ticks(pid) if pid else 0
        own0 = os.times()
        pacer.start = t0 = now_ns()
        last_sent = None
        while got < n:
            now = now_ns()
            due = pacer.due(now)
            if due * size > queued:
                # The oldest message that just fell due is the latest one.
                late = max(late, now - pacer.deadline(queued // size))
                queued = min(n, due * size)
            if written < queued:
                written += src.write(out[written:queued])
                if written == n and last_sent is None:
                    last_sent = now_ns()
            if (written < queued) != watching_src:  # src full: wait for room
                watching_src = not watching_src
                if watching_src:
                    sel.register(src.fd, selectors.EVENT_WRITE)
                else:
                    sel.unregister(src.fd)
            # Until the next deadline; with everything due, only the channels
            # (bytes to read, room to write) wake the driver.
            wait = pacer.deadline(due) - now if due < pacer.count else 1_000_000_000
            if last_sent is not None:
                left = last_sent + int(DRAIN_SECONDS * 1e9) - now
                if left <= 0:
                    raise BenchError(f"{dst.name}: {got} of {n} bytes arrived within "
                                     f"{DRAIN_SECONDS:.0f} s of the last send")
                wait = min(wait, left)
            for key, _ in sel.select(max(0, wait) / 1e9):
                if key.fd != dst.fd:
                    continue
                r = dst.readinto(view)
                if got + r > n:
                    raise Corrupt(f"{dst.name}: {got + r} bytes arrived, {n} were sent")
                if buf[:r] != data[got:got + r]:
                    at = got + first_difference(buf[:r], data[got:got + r])
                    raise Corrupt(f"{dst.name}: bytes differ from offset {at}")
                got += r
        t1 = now_ns()
        cpu1 = cpu_ticks(pid) if pid else 0
        own1 = os.times()
        # Bytes in the next 50 ms are past the end: a relay fault as well.
        grace = now_ns() + 50_000_000
        while now_ns() < grace:
            for key, _ in sel.select(0.01):
                if key.fd == dst.fd:
                    r = dst.readinto(view)
                    if r:
                        raise Corrupt(f"{dst.name}: {n + r} bytes arrived, {n} were sent")
    finally:
        sel.close()
        view.release()
    return {"seconds": (t1 - t0) / 1e9, "cpu_ticks": cpu1 - cpu0, "late_us": late / 1000.0,
            "driver_cpu": (own1.user + own1.system) - (own0.user + own0.system)}


def round_trips(peer, echo, messages, timeout, forward=()):
    """Sends each message on peer and waits until it came back whole; echo
    (the pty master) writes every piece back the moment it reads it.
    forward lists (from, to) channel pairs the driver relays itself (the raw
    path). Returns the round-trip times in microseconds of all but the first
    WARMUP_MESSAGES messages; each message must come back unchanged."""
    route = {echo.fd: echo}
    chans = {peer.fd: peer, echo.fd: echo}
    for a, b in forward:
        route[a.fd] = b
        chans[a.fd] = a
        chans[b.fd] = b
    queued = {fd: bytearray() for fd in chans}
    size = max(len(m) for m in messages)
    back = bytearray(size + READ_SPARE)
    back_view = memoryview(back)
    piece = bytearray(64 * 1024)
    piece_view = memoryview(piece)
    times = []
    sel = selectors.DefaultSelector()
    deadline = now_ns() + int(timeout * 1e9)

    def push(fd, data):
        # Writes at once; what the OS does not take waits for writability.
        q = queued[fd]
        if not q:
            done = chans[fd].write(data)
            if done == len(data):
                return
            data = data[done:]
        q += data
        sel.modify(fd, selectors.EVENT_READ | selectors.EVENT_WRITE)

    try:
        for fd in chans:
            sel.register(fd, selectors.EVENT_READ)
        for k, msg in enumerate(messages):
            want = len(msg)
            got = 0
            t0 = now_ns()
            push(peer.fd, msg)
            while got < want:
                if now_ns() > deadline:
                    raise BenchError(f"round trips timed out at message {k}")
                for key, mask in sel.select(1.0):
                    fd = key.fd
                    if mask & selectors.EVENT_WRITE:
                        q = queued[fd]
                        done = chans[fd].write(q)
                        del q[:done]
                        if not q:
                            sel.modify(fd, selectors.EVENT_READ)
                    if not mask & selectors.EVENT_READ:
                        continue
                    if fd == peer.fd:
                        got += peer.readinto(back_view[got:])
                    else:
                        r = chans[fd].readinto(piece_view)
                        if r:
                            push(route[fd].fd, piece[:r])
            t1 = now_ns()
            if got != want or back_view[:want] != msg:
                raise Corrupt(f"message {k} came back changed ({got} of {want} bytes)")
            if k >= WARMUP_MESSAGES:
                times.append((t1 - t0) / 1000.0)
    finally:
        sel.close()
        back_view.release()
        piece_view.release()
    return times


def percentile(values, p):
    """Nearest-rank percentile p (0..100) of values."""
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100.0 * len(ordered)))
    return ordered[rank - 1]


def handshake(sender, receiver, timeout=HANDSHAKE_SECONDS):
    """Passes a few marker bytes from sender to receiver, proving that the
    relay has both ends open; they are consumed here."""
    marker = os.urandom(16)
    got = bytearray()
    buf = bytearray(4096)
    sent = 0
    deadline = now_ns() + int(timeout * 1e9)
    with selectors.DefaultSelector() as sel:
        sel.register(receiver.fd, selectors.EVENT_READ)
        while len(got) < len(marker):
            if sent < len(marker):
                sent += sender.write(marker[sent:])
            if now_ns() > deadline:
                raise BenchError(f"no bytes passed from {sender.name} to {receiver.name}")
            if sel.select(0.05):
                r = receiver.readinto(memoryview(buf))
                got += buf[:r]
    if bytes(got) != marker:
        raise Corrupt(f"handshake bytes changed on the way to {receiver.name}")


# ---- relays under test ---------------------------------------------------------

class Relay:
    """A relay process; knows its pid (the relay itself, also when a wrapper
    such as xvfb-run was started) and the ports it listens on."""

    def __init__(self, proc, log_paths, server2, gateway=0, pid=None, metrics=0):
        self.proc = proc
        self.metrics = metrics  # the port of its /metrics, 0: none
        self.pid = pid or proc.pid
        if self.pid != proc.pid:
            proc.inner_pid = self.pid  # stop() ends it first
        self.log_paths = [log_paths] if isinstance(log_paths, str) else list(log_paths)
        self.server2 = server2
        self.gateway = gateway
        self.exit_code = None

    def alive(self):
        return self.proc.poll() is None and os.path.exists(f"/proc/{self.pid}")

    def peak_rss(self):
        return peak_rss(self.pid)

    def stop(self):
        if self.exit_code is None:
            self.exit_code = stop(self.proc)
        return self.exit_code

    def log_tail(self):
        text = ""
        for path in self.log_paths:
            try:
                with open(path, errors="replace") as f:
                    text += "".join(f.readlines()[-10:])
            except OSError:
                pass
        return text


def read_line(proc, seconds):
    """First stdout line of proc, waited for at most seconds."""
    fd = proc.stdout.fileno()
    line = b""
    deadline = now_ns() + int(seconds * 1e9)
    with selectors.DefaultSelector() as sel:
        sel.register(fd, selectors.EVENT_READ)
        while not line.endswith(b"\n"):
            left = (deadline - now_ns()) / 1e9
            if left <= 0:
                return None
            if sel.select(min(left, 0.5)):
                chunk = os.read(fd, 256)
                if not chunk:
                    return None
                line += chunk
    return line.decode(errors="replace").strip()


def free_port():
    """A loopback port that nobody uses at this moment."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_listening(proc, port, seconds):
    """Waits until something listens on port while proc runs; True when it
    does. Reads the kernel's socket table: a probe connection would be taken
    as the relay's peer."""
    deadline = now_ns() + int(seconds * 1e9)
    while proc.poll() is None and now_ns() < deadline:
        if tcp_listening(port):
            return True
        time.sleep(0.01)
    return False


def program_command(mode, exe, config_dir, port, base_env, wrapper=(), metrics=0):
    """argv and environment that start the real program in mode (offscreen,
    xvfb or headless) with serial port SERIAL_NUMBER open and the TCP/IP
    Server listening on port; with metrics, its /metrics on that port."""
    argv = list(wrapper) + [exe]
    if mode == "headless":
        argv.append("--headless")
    argv += ["--config-dir", config_dir, "--open", str(SERIAL_NUMBER), "--listen", str(port)]
    if metrics:
        argv += ["--metrics", f"127.0.0.1:{metrics}"]
    env = dict(base_env)
    env.pop("WAYLAND_DISPLAY", None)
    if mode == "offscreen":
        env["QT_QPA_PLATFORM"] = "offscreen"
    elif mode == "xvfb":
        env["QT_QPA_PLATFORM"] = "xcb"
        env.pop("DISPLAY", None)  # xvfb-run sets its own
        argv = list(XVFB_RUN) + argv
    elif mode == "headless":
        env.pop("QT_QPA_PLATFORM", None)
    else:
        raise ValueError(f"not a mode of the program: {mode}")
    return argv, env


class HubLauncher:
    """Starts the hub in a private configuration folder: the bench hub, or
    the real program in one of its modes."""

    def __init__(self, exe, program, workdir, wrapper=()):
        self.exe = exe
        self.program = program
        self.wrapper = list(wrapper)  # e.g. valgrind --tool=callgrind, for profiles
        self.workdir = workdir
        self.runtime = os.path.join(workdir, "runtime")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.count = 0

    def _home(self, pty_path):
        self.count += 1
        home = os.path.join(self.workdir, f"hub{self.count}")
        os.makedirs(os.path.join(home, "quaylight"))
        if pty_path:
            with open(os.path.join(home, "quaylight", "ports.ini"), "w") as f:
                f.write(f"[numbering]\nautomatic=false\n[pinned]\n"
                        f"{SERIAL_NUMBER}={pty_path}\n")
        return home

    def _env(self, home):
        return dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=self.runtime,
                    XDG_STATE_HOME=os.path.join(home, "state"))

    def start(self, mode, pty_path=None, listen=True, gateway=False, forward1=None,
              forward3=None, metrics=False):
        """Starts a hub in mode; with pty_path it is pinned as port
        SERIAL_NUMBER and opened. Only the bench hub takes the gateway and
        the forwarders, only the real program serves metrics."""
        if mode != "bench":
            if gateway or forward1 or forward3 or not pty_path or not listen:
                raise BenchError(f"the {mode} hub only opens the serial port and listens")
            return self._start_program(mode, pty_path, metrics)
        if metrics:
            raise BenchError("the bench hub serves no metrics")
        home = self._home(pty_path)
        argv = self.wrapper + [self.exe]
        if pty_path:
            argv += ["--com", str(SERIAL_NUMBER)]
        if listen:
            argv += ["--listen", "0"]
        if gateway:
            argv += ["--gateway", "0"]
        if forward1:
            argv += ["--forward1", f"127.0.0.1:{forward1}"]
        if forward3:
            argv += ["--forward3", f"127.0.0.1:{forward3}"]
        env = dict(self._env(home), QT_QPA_PLATFORM="offscreen")
        log_path = os.path.join(home, "hub.log")
        with open(log_path, "wb") as log:
            proc = spawn(argv, env=env, stderr=log)
        line = read_line(proc, STARTUP_SECONDS)
        if not line or not line.startswith("READY"):
            stop(proc)
            with open(log_path, errors="replace") as f:
                raise BenchError(f"the hub did not start ({line!r}): {f.read()[-500:]}")
        ports = dict(part.split("=") for part in line.split()[1:])
        return Relay(proc, log_path, int(ports["server2"]), int(ports["gateway"]))

    def _start_program(self, mode, pty_path, metrics=False):
        home = self._home(pty_path)
        logs = [os.path.join(home, "output.log"),
                os.path.join(home, "state", "quaylight", "quaylight.log")]
        for _attempt in range(3):
            port = free_port()
            mport = free_port() if metrics else 0
            argv, env = program_command(mode, self.program, os.path.join(home, "quaylight"),
                                        port, self._env(home), self.wrapper, mport)
            with open(logs[0], "ab") as log:
                proc = spawn(argv, env=env, stderr=log, stdout=log)
            pid = None
            if wait_listening(proc, port, STARTUP_SECONDS) and (
                    not mport or wait_listening(proc, mport, STARTUP_SECONDS)):
                pid = proc.pid
                if mode == "xvfb":
                    pid = relay_process(session_processes(proc.pid), proc.pid, self.program)
            if pid:
                return Relay(proc, logs, port, pid=pid, metrics=mport)
            stop(proc)  # lost the port to someone else, or failed: again
        tail = Relay(proc, logs, port).log_tail()
        raise BenchError(f"the {mode} hub did not listen on port {port}: {tail[-800:]}")


class PeerLauncher:
    """Starts another relay (socat, ser2net) on a free loopback port,
    relaying to the pty; returns when it listens."""

    name = ""

    def __init__(self, workdir):
        self.workdir = workdir
        self.count = 0

    def argv(self, port, pty_path, base):
        """The command line; base is this start's path prefix for its files."""
        raise NotImplementedError

    def start(self, pty_path):
        for _attempt in range(5):
            self.count += 1
            port = free_port()
            base = os.path.join(self.workdir, f"{self.name}{self.count}")
            argv = self.argv(port, pty_path, base)
            with open(base + ".log", "wb") as log:
                proc = spawn(argv, stderr=log, stdout=log)
            if wait_listening(proc, port, STARTUP_SECONDS):
                return Relay(proc, base + ".log", port)
            stop(proc)  # lost the port to someone else, or failed: again
        raise BenchError(f"{self.name} did not start")


class SocatLauncher(PeerLauncher):
    """socat as a one-connection TCP listener."""

    name = "socat"

    def argv(self, port, pty_path, base):
        return ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                f"FILE:{pty_path},rawer,echo=0,b19200"]


class Ser2netLauncher(PeerLauncher):
    """ser2net 4 with one raw TCP accepter."""

    name = "ser2net"

    def argv(self, port, pty_path, base):
        with open(base + ".yaml", "w") as f:
            f.write(f"connection: &bench\n  accepter: tcp,127.0.0.1,{port}\n"
                    f"  connector: serialdev,{pty_path},115200n81,local\n")
        return ["ser2net", "-n", "-d", "-c", base + ".yaml", "-P", base + ".pid"]


# ---- scenarios -------------------------------------------------------------------

class Bench:
    def __init__(self, args, workdir):
        self.args = args
        self.hub = HubLauncher(args.hub, args.program, workdir, shlex.split(args.hub_wrapper))
        self.socat = SocatLauncher(workdir)
        self.ser2net = Ser2netLauncher(workdir)
        self.data = make_payload(args.mib * MiB)
        self.rss = {}  # (tool, run) -> largest VmHWM in bytes
        self.verified = 0
        self.exits = []  # unclean ends of the real program
        self.pacing = {}  # rate scenario -> (latest send past its deadline in us, driver CPU %)
        self.scrapes = {}  # tool -> scrapes per second reached during the transfers

    def _relay(self, tool, pty_path, **options):
        """Starts tool ('socat', 'ser2net' or 'hub:MODE') on the pty."""
        if tool == "socat":
            return self.socat.start(pty_path)
        if tool == "ser2net":
            return self.ser2net.start(pty_path)
        return self.hub.start(hub_mode(tool), pty_path, **options)

    def _stop(self, tool, relay):
        """Stops relay; the real program must end cleanly (exit 0) on SIGTERM."""
        code = relay.stop()
        if tool.startswith("hub:") and hub_mode(tool) != "bench" and code != 0:
            self.exits.append(f"{tool} ended with exit code {code} on SIGTERM")

    def _finish(self, tool, relay, run):
        if not relay.alive():
            raise BenchError(f"{tool} died: {relay.log_tail()}")
        key = (tool, run)
        self.rss[key] = max(self.rss.get(key, 0), relay.peak_rss())

    def peak(self, tool):
        """Largest VmHWM of any run of tool, in bytes (0: none measured)."""
        return max((v for (t, _), v in self.rss.items() if t == tool), default=0)

    def peaks_by_run(self, tool):
        return {run: v for (t, run), v in self.rss.items() if t == tool}

    def _result(self, r):
        self.verified += len(self.data)
        out = {"mbps": len(self.data) / r["seconds"] / 1e6}
        if r.get("read_bytes"):
            out["read_kb"] = r["read_bytes"] / 1000
        if r["cpu_ticks"] is not None:
            out["cpu_per_gib"] = r["cpu_ticks"] / CLK_TCK / (len(self.data) / GiB)
        return out

    def tcp_alone(self):
        """Loopback TCP with nothing in between."""
        srv = loopback_listener()
        a = connect_local(srv.getsockname()[1])
        b = accept_within(srv, 5)
        srv.close()
        try:
            r = stream(Chan(a, "TCP sender"), [Chan(b, "TCP receiver")], self.data,
                       self.args.timeout)
        finally:
            a.close()
            b.close()
        r["cpu_ticks"] = None
        return self._result(r)

    def throughput(self, tool, to_serial, scrape_rate=0, thread=False):
        """64 MiB TCP->serial (to_serial) or serial->TCP through tool; for
        'raw' the pty alone in the same direction. With scrape_rate (the
        real program only), a client GETs /metrics that often a second
        throughout. With thread, the sender is a writer thread here."""
        with Pty() as pty:
            master = Chan(pty.master, "pty master")
            if tool == "raw":
                slave = Chan(pty.slave, "pty slave")
                src, dst = (slave, master) if to_serial else (master, slave)
                r = stream(src, [dst], self.data, self.args.timeout, thread=thread)
                r["cpu_ticks"] = None
                return self._result(r)
            relay = self._relay(tool, pty.path, **({"metrics": True} if scrape_rate else {}))
            scraper = None
            try:
                with connect_local(relay.server2) as sock:
                    peer = Chan(sock, "TCP peer")
                    handshake(peer, master)
                    if scrape_rate:
                        per_scrape = cpu_per_scrape(relay.metrics, relay.pid)
                        scraper, done = start_scraper(relay.metrics, scrape_rate)
                        if not wait_for_count(done, 1, STARTUP_SECONDS):
                            raise BenchError(f"{tool}: /metrics did not answer")
                    src, dst = (peer, master) if to_serial else (master, peer)
                    before, since = (done() if scraper else 0), now_ns()
                    r = stream(src, [dst], self.data, self.args.timeout, pid=relay.pid,
                               thread=thread)
                    if scraper:
                        if os.waitpid(scraper, os.WNOHANG)[0]:
                            raise BenchError(f"{tool}: a /metrics answer was wrong or missing")
                        rate = (done() - before) / ((now_ns() - since) / 1e9)
                        self.scrapes.setdefault(tool, []).append(rate)
                    self._finish(tool, relay, "TCP->serial" if to_serial else "serial->TCP")
            finally:
                if scraper:
                    os.kill(scraper, signal.SIGKILL)
                    reap(scraper)
                self._stop(tool, relay)
            out = self._result(r)
            if scrape_rate:
                out["cpu_us_per_scrape"] = per_scrape
            return out

    def round_trip(self, tool, size, count):
        """count messages of size bytes: TCP peer -> relay -> pty master,
        echoed -> relay -> TCP peer. For 'raw' the driver does the relay's
        hops itself: loopback TCP alone plus the pty alone."""
        total = WARMUP_MESSAGES + count
        pool = os.urandom(size * total)
        messages = [pool[i * size:(i + 1) * size] for i in range(total)]
        with Pty() as pty:
            master = Chan(pty.master, "pty master")
            if tool == "raw":
                srv = loopback_listener()
                a = connect_local(srv.getsockname()[1])
                b = accept_within(srv, 5)
                srv.close()
                # The driver's relay side sends at once, as a relay should;
                # the peer keeps the defaults it has in every run.
                b.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
                try:
                    conn = Chan(b, "TCP relay side")
                    slave = Chan(pty.slave, "pty slave")
                    times = round_trips(Chan(a, "TCP peer"), master, messages,
                                        self.args.timeout,
                                        forward=[(conn, slave), (slave, conn)])
                finally:
                    a.close()
                    b.close()
            else:
                relay = self._relay(tool, pty.path)
                try:
                    with connect_local(relay.server2) as sock:
                        peer = Chan(sock, "TCP peer")
                        handshake(peer, master)
                        times = round_trips(peer, master, messages, self.args.timeout)
                        self._finish(tool, relay, f"round trip {size} B")
                finally:
                    self._stop(tool, relay)
        self.verified += size * total * 2
        return {"p50": percentile(times, 50), "p99": percentile(times, 99), "max": max(times)}

    def fan_out(self):
        """The gateway peer sends; both forwarders' servers and the second
        server endpoint's peer receive. The serial port stays closed."""
        f1, f3 = loopback_listener(), loopback_listener()
        socks = [f1, f3]
        relay = self.hub.start("bench", listen=True, gateway=True,
                               forward1=f1.getsockname()[1], forward3=f3.getsockname()[1])
        try:
            # The forwarders connect at once; the 3 s tick retries otherwise.
            c1 = accept_within(f1, 10)
            c3 = accept_within(f3, 10)
            socks += [c1, c3]
            g = connect_local(relay.gateway)
            s2 = connect_local(relay.server2)
            socks += [g, s2]
            gate = Chan(g, "gateway peer")
            receivers = [Chan(c1, "software forwarder's server"),
                         Chan(c3, "data-host forwarder's server"),
                         Chan(s2, "second server's peer")]
            self._all_connected(gate, receivers)
            r = stream(gate, receivers, self.data, self.args.timeout, pid=relay.pid)
            self._finish("hub:bench", relay, "fan-out")
        finally:
            self._stop("hub:bench", relay)
            for s in socks:
                s.close()
        self.verified += 3 * len(self.data)
        return self._result(r)

    @staticmethod
    def _all_connected(gate, others):
        """Each other endpoint's data goes back to the gateway only once the
        hub has it connected: repeat a marker from each until the gateway peer
        has seen all of them, then drain what is left."""
        markers = {o.fd: b"<%d>" % i for i, o in enumerate(others)}
        seen = bytearray()
        buf = bytearray(4096)
        deadline = now_ns() + int(HANDSHAKE_SECONDS * 1e9)
        with selectors.DefaultSelector() as sel:
            sel.register(gate.fd, selectors.EVENT_READ)
            while not all(m in seen for m in markers.values()):
                if now_ns() > deadline:
                    raise BenchError("the hub did not connect every fan-out endpoint")
                for o in others:
                    if markers[o.fd] not in seen:
                        o.write(markers[o.fd])
                end = now_ns() + 100_000_000
                while now_ns() < end:
                    if sel.select(0.02):
                        r = gate.readinto(memoryview(buf))
                        seen += buf[:r]
            quiet_until = now_ns() + 200_000_000
            while now_ns() < quiet_until:
                if sel.select(0.05):
                    gate.readinto(memoryview(buf))

    def idle(self, seconds, tools):
        """CPU of hubs armed without traffic (serial open, second server
        listening; the bench hub also has both forwarders retrying a closed
        port) and of a listening socat, all over the same window; % of one
        core for each of tools."""
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connects are refused
        port = closed.getsockname()[1]
        relays = {}
        ptys = [Pty() for _ in tools]
        try:
            for tool, p in zip(tools, ptys):
                if tool == "hub:bench":
                    relays[tool] = self.hub.start("bench", p.path, listen=True,
                                                  forward1=port, forward3=port)
                else:
                    relays[tool] = self._relay(tool, p.path)
            time.sleep(3.5)  # past start-up and the first supervision tick
            before = {t: cpu_ticks(r.pid) for t, r in relays.items()}
            t0 = now_ns()
            end = t0 + int(seconds * 1e9)
            while now_ns() < end:
                time.sleep(min(1.0, max(0.0, (end - now_ns()) / 1e9)))
                if not all(r.alive() for r in relays.values()):
                    raise BenchError("a relay died while idle")
            after = {t: cpu_ticks(r.pid) for t, r in relays.items()}
            t1 = now_ns()
            for t, r in relays.items():
                self._finish(t, r, "idle")
        finally:
            for t, r in relays.items():
                self._stop(t, r)
            for p in ptys:
                p.close()
            closed.close()
        wall = (t1 - t0) / 1e9
        return {t: 100.0 * (after[t] - before[t]) / CLK_TCK / wall for t in relays}

    def rate(self, tool, scenario, to_serial, seconds):
        """Messages at a device's rate (RATES[scenario]) for seconds, TCP->serial
        (to_serial) or serial->TCP through tool; the relay's CPU % of one
        core over the transfer. Every byte is checked."""
        size, per_second = RATES[scenario]
        count = max(1, int(seconds * per_second / size))
        data = make_payload(count * size)
        direction = "TCP->serial" if to_serial else "serial->TCP"
        with Pty() as pty:
            master = Chan(pty.master, "pty master")
            relay = self._relay(tool, pty.path)
            try:
                with connect_local(relay.server2) as sock:
                    peer = Chan(sock, "TCP peer")
                    handshake(peer, master)
                    src, dst = (peer, master) if to_serial else (master, peer)
                    r = paced(src, dst, data, size, per_second, pid=relay.pid)
                    self._finish(tool, relay, f"{scenario} {direction}")
            finally:
                self._stop(tool, relay)
        self.verified += len(data)
        late, driver = self.pacing.get(scenario, (0.0, 0.0))
        self.pacing[scenario] = (max(late, r["late_us"]),
                                 max(driver, 100.0 * r["driver_cpu"] / r["seconds"]))
        return {"cpu_pct": 100.0 * r["cpu_ticks"] / CLK_TCK / r["seconds"]}


def make_payload(size):
    """size random bytes that surely hold NUL, 0xFF and the tty control
    characters a cooked line would act on."""
    data = bytearray(os.urandom(size))
    specials = b"\x00\xff\x00\xff\r\n\x03\x04\x11\x13\x1a\x7f\x0d\x0a\xff\xff\x00\x00"
    data[:len(specials)] = specials
    data[-len(specials):] = specials
    return bytes(data)


# ---- table -------------------------------------------------------------------

def med(samples):
    return statistics.median(samples) if samples else None


def fmt(value, digits=1):
    if value is None:
        return "-"
    if abs(value) >= 1000:
        return f"{value:,.0f}"
    if abs(value) >= 100:
        return f"{value:.0f}"
    return f"{value:.{digits}f}"


def ratio(a, b):
    return None if a is None or not b else a / b


def render(blocks, notes):
    """The tables as text: one per hub mode (blocks: (title, rows)), one line
    per measure, columns aligned across the tables."""
    head = ["measure", "hub", "socat", "ser2net", "raw", "hub/socat", "hub/ser2net", "hub/raw",
            "target", "met", "vs ser2net", "met"]
    numbers = 7  # right-aligned columns after the measure
    bodies = []
    for _title, rows in blocks:
        body = []
        for r in rows:
            d = r.get("digits", 1)
            body.append([r["name"], fmt(r.get("hub"), d), fmt(r.get("socat"), d),
                         fmt(r.get("ser2net"), d), fmt(r.get("raw"), d),
                         fmt(ratio(r.get("hub"), r.get("socat")), 2),
                         fmt(ratio(r.get("hub"), r.get("ser2net")), 2),
                         fmt(ratio(r.get("hub"), r.get("raw")), 2),
                         r.get("target", ""), r.get("met", ""),
                         r.get("target2", ""), r.get("met2", "")])
        bodies.append(body)
    every = [head] + [row for body in bodies for row in body]
    widths = [max(len(row[i]) for row in every) for i in range(len(head))]

    def line(cells):
        out = [cells[0].ljust(widths[0])]
        out += [c.rjust(w) for c, w in zip(cells[1:numbers + 1], widths[1:numbers + 1])]
        out += [c.ljust(w) for c, w in zip(cells[numbers + 1:], widths[numbers + 1:])]
        return "| " + " | ".join(out) + " |"

    text = []
    for (title, _rows), body in zip(blocks, bodies):
        text += [title, "", line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
        text += [line(b) for b in body] + [""]
    return "\n".join(text + notes)


def check(value, limit, at_most):
    if value is None:
        return "n/a"
    ok = value <= limit if at_most else value >= limit
    return "yes" if ok else "NO"


RATE_LABELS = {"rate115200": "64 B at 11,520 B/s", "rate1m": "1024 B every 1 ms"}
DIRECTIONS = (("to_serial", "TCP->serial"), ("from_serial", "serial->TCP"))
MODE_TITLES = {
    "bench": "bench hub (the window offscreen, driven through its handlers)",
    "offscreen": "quaylight with its window, QT_QPA_PLATFORM=offscreen",
    "xvfb": "quaylight with its window under xvfb-run (Xvfb 1280x800x24; the figures "
            "are quaylight's own, Xvfb's CPU is not counted)",
    "headless": "quaylight --headless",
}


def build_rows(res, mode):
    """Medians of the samples of the hub in mode beside socat and the raw
    path, the targets and whether they are met."""
    m = {k: med(v) for k, v in res.items()}
    hub = f"hub:{mode}"
    rows = []

    def row(name, key, raw=None, target="", met="", socat=True, digits=1, cpu=False):
        """cpu: a CPU measure, also judged against ser2net (at most 0.8 x)."""
        theirs = m.get(f"ser2net.{key}") if socat else None
        rows.append({"name": name, "hub": m.get(f"{hub}.{key}"),
                     "socat": m.get(f"socat.{key}") if socat else None,
                     "ser2net": theirs, "raw": raw, "target": target, "met": met,
                     "digits": digits,
                     "target2": "<= 0.8 x ser2net" if cpu else "",
                     "met2": check(ratio(m.get(f"{hub}.{key}"), theirs), 0.8, True) if cpu else ""})

    def vs_socat(key):
        return ratio(m.get(f"{hub}.{key}"), m.get(f"socat.{key}"))

    raw_ts = min(filter(None, [m.get("raw.tcp.mbps"), m.get("raw.to_serial.mbps")]), default=None)
    for key, label in (("from_serial", "serial->TCP"), ("from_serial_thread",
                                                       "serial->TCP, writer thread")):
        raw_st = min(filter(None, [m.get("raw.tcp.mbps"), m.get(f"raw.{key}.mbps")]),
                     default=None)
        row(f"{label}, MB/s", f"{key}.mbps", raw_st, ">= 1.0 x socat",
            check(vs_socat(f"{key}.mbps"), 1.0, False))
        row(f"relay CPU s/GiB, {label}", f"{key}.cpu_per_gib", None, "<= 1.0 x socat",
            check(vs_socat(f"{key}.cpu_per_gib"), 1.0, True), cpu=True)
        # What each read of the receiving peer found waiting: how the relay
        # cut the stream into sends (small sends, more wake-ups each way).
        row(f"average read at the TCP peer, KB, {label}", f"{key}.read_kb")
    row("TCP->serial, MB/s", "to_serial.mbps", raw_ts, ">= 1.0 x socat",
        check(vs_socat("to_serial.mbps"), 1.0, False))
    row("relay CPU s/GiB, TCP->serial", "to_serial.cpu_per_gib", None, "<= 1.0 x socat",
        check(vs_socat("to_serial.cpu_per_gib"), 1.0, True), cpu=True)
    for size in (64, 5000):
        for stat in ("p50", "p99", "max"):
            key = f"rt{size}.{stat}"
            target = met = ""
            if size == 64 and stat == "p50":
                target, met = "<= 1.0 x socat", check(vs_socat(key), 1.0, True)
            elif size == 64 and stat == "p99":
                target, met = "<= 1.2 x socat", check(vs_socat(key), 1.2, True)
            elif size == 5000 and stat == "p50":
                target, met = "<= 1000 us", check(m.get(f"{hub}.{key}"), 1000, True)
            row(f"round trip {size} B, {stat} us", key, m.get(f"raw.{key}"), target, met)
    for scenario, label in RATE_LABELS.items():
        for key, direction in DIRECTIONS:
            full = f"{scenario}.{key}.cpu_pct"
            mine, theirs = m.get(f"{hub}.{full}"), m.get(f"socat.{full}")
            met = "n/a" if mine is None or theirs is None else check(mine - theirs, 0.0, True)
            row(f"CPU % of a core, {label}, {direction}", full, None, "<= socat", met,
                digits=2, cpu=True)
    if mode == "bench":
        row("gateway fan-out, MB/s at slowest of 3", "fanout.mbps", m.get("raw.tcp.mbps"),
            socat=False)
        row("relay CPU s/GiB, fan-out (per GiB sent)", "fanout.cpu_per_gib", socat=False)
    row("idle CPU, % of a core", "idle", None, "<= 0.1 %", check(m.get(f"{hub}.idle"), 0.1, True),
        digits=2)
    row("peak RSS, MB", "rss", None, "<= 60 MB", check(m.get(f"{hub}.rss"), 60.0, True))
    if f"{hub}.scrape.mbps" in m:
        # The run without scrapes is the one of the same repetition, not the
        # serial->TCP row above, so the load of the moment hits both alike.
        row("serial->TCP, no scrapes (scrape pair), MB/s", "scrape_base.mbps", socat=False)
        scraped = ratio(m.get(f"{hub}.scrape.mbps"), m.get(f"{hub}.scrape_base.mbps"))
        row(f"serial->TCP, {SCRAPE_RATE} scrapes/s, MB/s", "scrape.mbps", None,
            ">= 0.95 x no scrapes", check(scraped, 0.95, False), socat=False)
        # CPU per byte depends far less on who else runs than MB/s does.
        row("relay CPU s/GiB, no scrapes (scrape pair)", "scrape_base.cpu_per_gib", socat=False)
        row(f"relay CPU s/GiB, {SCRAPE_RATE} scrapes/s", "scrape.cpu_per_gib", socat=False)
        row("relay CPU per scrape, us (idle, back to back)", "scrape.cpu_us_per_scrape", socat=False)
    return rows


# ---- main --------------------------------------------------------------------

def hub_mode(tool):
    """'offscreen' of 'hub:offscreen'."""
    return tool.split(":", 1)[1]


def parse_modes(values):
    """Hub modes from --hub-mode values (each one or a comma list), in the
    order given, each once; DEFAULT_MODES when none. ValueError if unknown."""
    modes = []
    for value in values or [",".join(DEFAULT_MODES)]:
        for mode in (x.strip() for x in value.split(",")):
            if mode and mode not in HUB_MODES:
                raise ValueError(f"unknown hub mode: {mode}")
            if mode and mode not in modes:
                modes.append(mode)
    return modes


def runs_in(scenario, mode):
    """Whether scenario runs with the hub in mode."""
    if mode == "bench":
        return scenario not in PROGRAM_ONLY
    return scenario not in BENCH_ONLY


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hub", default="", help="path of quaylight_bench_hub (hub mode 'bench')")
    ap.add_argument("--program", default="",
                    help="path of the quaylight program (hub modes offscreen, xvfb, headless)")
    ap.add_argument("--hub-mode", action="append", default=[], metavar="MODE",
                    help="hub modes to measure, repeatable or comma-separated: "
                         + ",".join(HUB_MODES) + " (default " + ",".join(DEFAULT_MODES) + ")")
    ap.add_argument("--reps", type=int, default=3, help="repetitions (medians are printed)")
    ap.add_argument("--idle-seconds", type=float, default=60.0, help="idle CPU window")
    ap.add_argument("--rate-seconds", type=float, default=30.0,
                    help="length of each device-rate run")
    ap.add_argument("--quick", action="store_true", help="1 repetition, 10 s idle window")
    ap.add_argument("--mib", type=int, default=64, help="MiB per throughput run")
    ap.add_argument("--timeout", type=float, default=180.0, help="seconds per transfer at most")
    ap.add_argument("--keep", action="store_true", help="keep the work folder (logs)")
    ap.add_argument("--only", default=",".join(SCENARIOS),
                    help="scenarios to run, comma-separated: " + ",".join(SCENARIOS))
    ap.add_argument("--tools", default=",".join(TOOLS),
                    help="what to measure, comma-separated: " + ",".join(TOOLS))
    ap.add_argument("--hub-wrapper", default="",
                    help="command put before the hub, e.g. 'valgrind --tool=callgrind' "
                         "(CPU figures are then the wrapper's process)")
    args = ap.parse_args(argv)
    only = [x for x in args.only.split(",") if x]
    tools = [x for x in args.tools.split(",") if x]
    unknown = set(only) - set(SCENARIOS) | set(tools) - set(TOOLS)
    if unknown:
        ap.error(f"unknown: {', '.join(sorted(unknown))}")
    try:
        modes = parse_modes(args.hub_mode)
    except ValueError as e:
        ap.error(str(e))
    if args.quick:
        args.reps = 1
        args.idle_seconds = min(args.idle_seconds, 10.0)
    args.reps = max(1, min(args.reps, 20))
    args.idle_seconds = max(1.0, min(args.idle_seconds, 600.0))
    args.rate_seconds = max(1.0, min(args.rate_seconds, 600.0))
    args.mib = max(1, min(args.mib, 1024))
    if "hub" in tools:
        needs = [("--hub", args.hub, "bench" in modes),
                 ("--program", args.program, set(modes) - {"bench"})]
        for option, path, wanted in needs:
            if wanted and not os.access(path, os.X_OK):
                print(f"relay_bench: {option}: no executable at {path!r}", file=sys.stderr)
                return 2
        if "xvfb" in modes and not shutil.which(XVFB_RUN[0]):
            print("relay_bench: hub mode xvfb needs xvfb-run (Debian: xvfb, xauth)",
                  file=sys.stderr)
            return 2
    if "ser2net" in tools and not shutil.which("ser2net"):
        print("relay_bench: ser2net is not installed (Debian: ser2net)", file=sys.stderr)
        return 2
    hubs = [f"hub:{mode}" for mode in modes] if "hub" in tools else []

    def relays_for(scenario, raw=True):
        """Who runs scenario, in this order: raw, socat, ser2net, the hub in
        each mode."""
        out = [t for t in ("raw",) + PEERS if t in tools and (raw or t != "raw")]
        return out + [h for h in hubs if runs_in(scenario, hub_mode(h))]

    # SIGTERM and SIGHUP end the run like Ctrl-C: through the cleanup below.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, lambda s, f: sys.exit(128 + s))

    workdir = tempfile.mkdtemp(prefix="quaylight-bench-")
    res = {}
    failures = []
    started = time.time()

    def add(key, value):
        res.setdefault(key, []).append(value)

    def attempt(label, fn):
        try:
            return fn()
        except Corrupt as e:
            failures.append(f"CORRUPT {label}: {e}")
        except BenchError as e:
            failures.append(f"FAILED {label}: {e}")
        print(f"  {failures[-1]}", file=sys.stderr)
        return None

    def measure(label, key, fn):
        print(f"  {label}", file=sys.stderr)
        r = attempt(label, fn)
        for k, v in (r or {}).items():
            add(f"{key}.{k}", v)

    bench = Bench(args, workdir)
    try:
        for rep in range(args.reps):
            print(f"repetition {rep + 1} of {args.reps}", file=sys.stderr)
            if "raw" in tools and {"to_serial", "from_serial", "from_serial_thread",
                                   "fanout"} & set(only):
                measure("raw TCP", "raw.tcp", bench.tcp_alone)
            for to_serial, key, thread in ((True, "to_serial", False),
                                           (False, "from_serial", False),
                                           (False, "from_serial_thread", True)):
                if key in only:
                    for tool in relays_for(key):
                        measure(f"{tool} {key}", f"{tool}.{key}",
                                lambda: bench.throughput(tool, to_serial, thread=thread))
            for size, count in ((64, 2000), (5000, 200)):
                if f"rt{size}" in only:
                    for tool in relays_for(f"rt{size}"):
                        measure(f"{tool} round trip {size}", f"{tool}.rt{size}",
                                lambda: bench.round_trip(tool, size, count))
            if "fanout" in only:
                for tool in relays_for("fanout", raw=False):
                    if tool == "hub:bench":
                        measure("hub:bench fan-out", "hub:bench.fanout", bench.fan_out)
            for scenario in RATES:
                if scenario in only:
                    for to_serial, key in ((True, "to_serial"), (False, "from_serial")):
                        for tool in relays_for(scenario, raw=False):
                            measure(f"{tool} {scenario} {key}", f"{tool}.{scenario}.{key}",
                                    lambda: bench.rate(tool, scenario, to_serial,
                                                       args.rate_seconds))
            if "scrape" in only:
                for tool in relays_for("scrape", raw=False):
                    if tool.startswith("hub:"):
                        measure(f"{tool} serial->TCP, no scrapes", f"{tool}.scrape_base",
                                lambda: bench.throughput(tool, False))
                        measure(f"{tool} serial->TCP, {SCRAPE_RATE} scrapes/s", f"{tool}.scrape",
                                lambda: bench.throughput(tool, False, SCRAPE_RATE))
            idlers = relays_for("idle", raw=False)
            if "idle" in only and idlers:
                print(f"  idle: {', '.join(idlers)}", file=sys.stderr)
                r = attempt("idle", lambda: bench.idle(args.idle_seconds, idlers))
                for t, v in (r or {}).items():
                    add(f"{t}.idle", v)
        for tool in list(PEERS) + hubs:
            if bench.peak(tool):
                res[f"{tool}.rss"] = [bench.peak(tool) / 1e6]
    finally:
        stop_all()
        if args.keep:
            print(f"work folder kept: {workdir}", file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    blocks = [(f"hub mode {mode}: {MODE_TITLES[mode]}", build_rows(res, mode)) for mode in modes]
    pacing = "; ".join(f"{RATE_LABELS[s]}: latest send {late / 1000:.1f} ms past its deadline, "
                       f"driver CPU at most {driver:.1f} %"
                       for s, (late, driver) in bench.pacing.items())
    notes = [
        f"Medians of {args.reps} repetition(s); {args.mib} MiB per throughput run; "
        f"MB = 10^6 bytes; {bench.verified / 1e6:,.0f} MB checked byte for byte; "
        f"{time.time() - started:.0f} s in all.",
        "socat, ser2net and raw: measured once per repetition and compared with every hub "
        "mode. ser2net 4: one raw tcp accepter, connector serialdev on the pty.",
        "serial->TCP is written at the pty master by a forked process in blocking writes of "
        f"{WRITE_CHUNK // MiB} MiB; the writer-thread rows by a thread of the driver in "
        f"blocking writes of {THREAD_CHUNK // 1024} KiB, beside its receive loop.",
        "raw, throughput: the slower of loopback TCP alone ("
        f"{fmt(med(res.get('raw.tcp.mbps', [])))} MB/s) and the pty alone in that direction "
        f"(slave->master {fmt(med(res.get('raw.to_serial.mbps', [])))}, master->slave "
        f"{fmt(med(res.get('raw.from_serial.mbps', [])))} MB/s); fan-out: loopback TCP alone.",
        "raw, round trip: the driver relays the same hops itself (TCP peer -> socket -> "
        "pty slave -> master echo -> slave -> socket -> peer), no relay process.",
        f"Round trips: {WARMUP_MESSAGES} warm-up messages first, not counted; "
        "ratio targets apply to 64 B.",
        f"Device rates: {args.rate_seconds:g} s each way, messages sent on deadlines fixed from "
        "the start, every byte checked; CPU % = relay utime+stime over the transfer, in clock "
        f"ticks of 1/{CLK_TCK} s (one tick is {100.0 / CLK_TCK / args.rate_seconds:.3f} % "
        "at this length)."
        + (f" Pacing: {pacing}." if pacing else ""),
        "Fan-out (bench hub only): serial port closed; receivers are the two forwarders' "
        "servers and the second server's peer.",
        f"Idle: {args.idle_seconds:.0f} s, every relay at once: hubs with the serial port open "
        "and the second server listening (the bench hub also with both forwarders retrying a "
        "closed port); socat and ser2net listening.",
        ("Scrape cost (real program only): in each repetition the hub relays serial->TCP "
         f"once without and once with a client that GETs /metrics {SCRAPE_RATE} times a "
         "second on one kept-alive connection; reached: "
         + "; ".join(f"{tool} " + ", ".join(f"{v:.0f}" for v in rates) + " scrapes/s"
                     for tool, rates in bench.scrapes.items()) + "."
         if bench.scrapes else "Scrape cost: not measured."),
        "Peak RSS: the largest VmHWM of any run of that relay; by run: "
        + "; ".join(f"{tool} " + ", ".join(f"{run} {v / 1e6:.1f}"
                                           for run, v in bench.peaks_by_run(tool).items())
                    for tool in hubs if bench.peaks_by_run(tool))
        + " MB.",
    ]
    print(render(blocks, notes))
    for line in bench.exits + failures:
        print(line)
    return 1 if failures or bench.exits else 0


if __name__ == "__main__":
    sys.exit(main())
