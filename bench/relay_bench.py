#!/usr/bin/env python3
"""Relay benchmark: the hub side by side with socat and the raw path.

Every run uses 127.0.0.1 and a fresh pseudo-terminal made here. The relay
under test (the bench hub or socat) opens the pty's slave as its serial
device; this driver plays the TCP peers and the serial device (the master).
The raw path is the same driver code with no relay in between: the pty alone
and loopback TCP alone.

Measured per repetition (medians of the repetitions are printed):
  TCP->serial, serial->TCP   MB/s (10^6 bytes/s), every byte checked
  round trip                 64-byte and 5000-byte messages, p50/p99/max us
  gateway fan-out            hub only: MB/s at the slowest of 3 receivers
  relay CPU per GiB          /proc/PID/stat utime+stime over the transfer
  idle CPU                   hub armed but without traffic, % of one core
  peak RSS                   VmHWM of the relay process

Only the standard library is used. Every process started here is killed on
the way out, and dies with this driver if it is killed itself.
"""

import argparse
import ctypes
import math
import os
import selectors
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
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

SCENARIOS = ("to_serial", "from_serial", "rt64", "rt5000", "fanout", "idle")
TOOLS = ("raw", "socat", "hub")

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


def spawn(argv, env=None, stderr=None):
    """Starts argv in a process group of its own (so that a wrapper's child,
    e.g. the hub under strace, goes with it) with stdout on a pipe; it is
    stopped by stop_all()."""
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=stderr,
                            preexec_fn=_die_with_parent, close_fds=True,
                            start_new_session=True)
    _children.append(proc)
    return proc


def _signal_group(proc, sig):
    try:
        os.killpg(proc.pid, sig)
    except (ProcessLookupError, PermissionError):
        pass


def stop(proc):
    """Terminates proc and its process group (SIGTERM, then SIGKILL after
    3 s) and reaps proc."""
    if proc.poll() is None:
        _signal_group(proc, signal.SIGTERM)
        try:
            proc.wait(3)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    # Whatever is left of the group (a wrapper's child) goes now.
    _signal_group(proc, signal.SIGKILL)
    if proc.stdout:
        proc.stdout.close()
    if proc in _children:
        _children.remove(proc)


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


def stream(src, dsts, data, timeout, pid=None):
    """Sends data on src as fast as it goes (from a forked sender) while
    every channel in dsts receives; returns {'seconds': time until the
    slowest receiver had it all, 'cpu_ticks': ticks of process pid over that
    time}. Every receiver must get exactly data, in order, else Corrupt."""
    n = len(data)
    bufs = RECEIVERS.get(len(dsts), n)
    views = [memoryview(b) for b in bufs]
    got = [0] * len(dsts)
    done_at = [0] * len(dsts)
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
                finally:
                    d.set_blocking(False)
                done_at[0] = now_ns()
            else:
                _receive_many(dsts, views, got, done_at, n)
            t1 = max(done_at)
            cpu1 = cpu_ticks(pid) if pid else 0
        sent_ok = reap(sender) == 0
        src.set_blocking(False)  # the sender made it blocking
        _catch_extra(dsts, views, got, len(bufs[0]))
    finally:
        if sender in _forked:
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
    return {"seconds": (t1 - t0) / 1e9, "cpu_ticks": cpu1 - cpu0}


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
    """A relay process; knows its pid and the ports it listens on."""

    def __init__(self, proc, log_path, server2, gateway=0):
        self.proc = proc
        self.pid = proc.pid
        self.log_path = log_path
        self.server2 = server2
        self.gateway = gateway

    def alive(self):
        return self.proc.poll() is None

    def peak_rss(self):
        return peak_rss(self.pid)

    def stop(self):
        stop(self.proc)

    def log_tail(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return "".join(f.readlines()[-10:])
        except OSError:
            return ""


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


class HubLauncher:
    """Starts the bench hub in a private configuration folder."""

    def __init__(self, exe, workdir, wrapper=()):
        self.exe = exe
        self.wrapper = list(wrapper)  # e.g. valgrind --tool=callgrind, for profiles
        self.workdir = workdir
        self.runtime = os.path.join(workdir, "runtime")
        os.makedirs(self.runtime, mode=0o700, exist_ok=True)
        self.count = 0

    def start(self, pty_path=None, listen=True, gateway=False, forward1=None, forward3=None):
        """Starts a hub; with pty_path it is pinned as port 3 and opened."""
        self.count += 1
        home = os.path.join(self.workdir, f"hub{self.count}")
        os.makedirs(os.path.join(home, "quaylight"))
        argv = self.wrapper + [self.exe]
        if pty_path:
            with open(os.path.join(home, "quaylight", "ports.ini"), "w") as f:
                f.write(f"[numbering]\nautomatic=false\n[pinned]\n3={pty_path}\n")
            argv += ["--com", "3"]
        if listen:
            argv += ["--listen", "0"]
        if gateway:
            argv += ["--gateway", "0"]
        if forward1:
            argv += ["--forward1", f"127.0.0.1:{forward1}"]
        if forward3:
            argv += ["--forward3", f"127.0.0.1:{forward3}"]
        env = dict(os.environ, XDG_CONFIG_HOME=home, XDG_RUNTIME_DIR=self.runtime,
                   QT_QPA_PLATFORM="offscreen")
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


class SocatLauncher:
    """Starts socat as a one-connection TCP listener relaying to the pty."""

    def __init__(self, workdir):
        self.workdir = workdir
        self.count = 0

    def start(self, pty_path):
        """Starts socat on a free loopback port; returns when it listens."""
        for _attempt in range(5):
            self.count += 1
            probe = socket.socket()
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
            probe.close()
            log_path = os.path.join(self.workdir, f"socat{self.count}.log")
            argv = ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                    f"FILE:{pty_path},rawer"]
            with open(log_path, "wb") as log:
                proc = spawn(argv, stderr=log)
            deadline = now_ns() + int(STARTUP_SECONDS * 1e9)
            while proc.poll() is None and now_ns() < deadline:
                if tcp_listening(port):
                    return Relay(proc, log_path, port)
                time.sleep(0.01)
            stop(proc)  # lost the port to someone else, or failed: again
        raise BenchError("socat did not start")


# ---- scenarios -------------------------------------------------------------------

class Bench:
    def __init__(self, args, workdir):
        self.args = args
        self.hub = HubLauncher(args.hub, workdir, shlex.split(args.hub_wrapper))
        self.socat = SocatLauncher(workdir)
        self.data = make_payload(args.mib * MiB)
        self.rss = {}  # (tool, run) -> largest VmHWM in bytes
        self.verified = 0

    def _relay(self, tool, pty_path):
        return self.hub.start(pty_path) if tool == "hub" else self.socat.start(pty_path)

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

    def throughput(self, tool, to_serial):
        """64 MiB TCP->serial (to_serial) or serial->TCP through tool; for
        'raw' the pty alone in the same direction."""
        with Pty() as pty:
            master = Chan(pty.master, "pty master")
            if tool == "raw":
                slave = Chan(pty.slave, "pty slave")
                src, dst = (slave, master) if to_serial else (master, slave)
                r = stream(src, [dst], self.data, self.args.timeout)
                r["cpu_ticks"] = None
                return self._result(r)
            relay = self._relay(tool, pty.path)
            try:
                with connect_local(relay.server2) as sock:
                    peer = Chan(sock, "TCP peer")
                    handshake(peer, master)
                    src, dst = (peer, master) if to_serial else (master, peer)
                    r = stream(src, [dst], self.data, self.args.timeout, pid=relay.pid)
                    self._finish(tool, relay, "TCP->serial" if to_serial else "serial->TCP")
            finally:
                relay.stop()
            return self._result(r)

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
                    relay.stop()
        self.verified += size * total * 2
        return {"p50": percentile(times, 50), "p99": percentile(times, 99), "max": max(times)}

    def fan_out(self):
        """The gateway peer sends; both forwarders' servers and the second
        server endpoint's peer receive. The serial port stays closed."""
        f1, f3 = loopback_listener(), loopback_listener()
        socks = [f1, f3]
        relay = self.hub.start(listen=True, gateway=True, forward1=f1.getsockname()[1],
                               forward3=f3.getsockname()[1])
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
            self._finish("hub", relay, "fan-out")
        finally:
            relay.stop()
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

    def idle(self, seconds, tools=("hub", "socat")):
        """CPU of a hub armed without traffic (serial open, second server
        listening, both forwarders retrying a closed port) and of a listening
        socat, over the same window; % of one core."""
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))  # bound, never listening: connects are refused
        port = closed.getsockname()[1]
        relays = {}
        with Pty() as p1, Pty() as p2:
            try:
                if "hub" in tools:
                    relays["hub"] = self.hub.start(p1.path, listen=True, forward1=port,
                                                   forward3=port)
                if "socat" in tools:
                    relays["socat"] = self.socat.start(p2.path)
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
                for r in relays.values():
                    r.stop()
                closed.close()
        wall = (t1 - t0) / 1e9
        return {t: 100.0 * (after[t] - before[t]) / CLK_TCK / wall for t in relays}


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


def render(rows, notes):
    """The table as text: one line per measure."""
    head = ["measure", "hub", "socat", "raw", "hub/socat", "hub/raw", "target", "met"]
    body = []
    for r in rows:
        body.append([r["name"], fmt(r.get("hub")), fmt(r.get("socat")), fmt(r.get("raw")),
                     fmt(ratio(r.get("hub"), r.get("socat")), 2),
                     fmt(ratio(r.get("hub"), r.get("raw")), 2),
                     r.get("target", ""), r.get("met", "")])
    widths = [max(len(row[i]) for row in [head] + body) for i in range(len(head))]

    def line(cells):
        out = [cells[0].ljust(widths[0])]
        out += [c.rjust(w) for c, w in zip(cells[1:6], widths[1:6])]
        out += [c.ljust(w) for c, w in zip(cells[6:], widths[6:])]
        return "| " + " | ".join(out) + " |"

    text = [line(head), "|" + "|".join("-" * (w + 2) for w in widths) + "|"]
    text += [line(b) for b in body]
    return "\n".join(text + [""] + notes)


def check(value, limit, at_most):
    if value is None:
        return "n/a"
    ok = value <= limit if at_most else value >= limit
    return "yes" if ok else "NO"


def build_rows(res, reps):
    """Medians of the samples, the targets and whether they are met."""
    m = {k: med(v) for k, v in res.items()}
    rows = []

    def row(name, key, raw=None, target="", met="", socat=True):
        rows.append({"name": name, "hub": m.get(f"hub.{key}"),
                     "socat": m.get(f"socat.{key}") if socat else None,
                     "raw": raw, "target": target, "met": met})

    raw_ts = min(filter(None, [m.get("raw.tcp.mbps"), m.get("raw.to_serial.mbps")]), default=None)
    raw_st = min(filter(None, [m.get("raw.tcp.mbps"), m.get("raw.from_serial.mbps")]), default=None)
    r_ts = ratio(m.get("hub.to_serial.mbps"), m.get("socat.to_serial.mbps"))
    r_st = ratio(m.get("hub.from_serial.mbps"), m.get("socat.from_serial.mbps"))
    row("TCP->serial, MB/s", "to_serial.mbps", raw_ts, ">= 1.0 x socat", check(r_ts, 1.0, False))
    row("serial->TCP, MB/s", "from_serial.mbps", raw_st, ">= 0.5 x socat", check(r_st, 0.5, False))
    for size in (64, 5000):
        for stat in ("p50", "p99", "max"):
            key = f"rt{size}.{stat}"
            target = met = ""
            r = ratio(m.get(f"hub.{key}"), m.get(f"socat.{key}"))
            if size == 64 and stat == "p50":
                target, met = "<= 1.2 x socat", check(r, 1.2, True)
            elif size == 64 and stat == "p99":
                target, met = "<= 1.5 x socat", check(r, 1.5, True)
            elif size == 5000 and stat == "p50":
                target, met = "<= 1000 us", check(m.get(f"hub.{key}"), 1000, True)
            row(f"round trip {size} B, {stat} us", key, m.get(f"raw.{key}"), target, met)
    row("gateway fan-out, MB/s at slowest of 3", "fanout.mbps", m.get("raw.tcp.mbps"),
        socat=False)
    for key, label in (("to_serial", "TCP->serial"), ("from_serial", "serial->TCP")):
        r = ratio(m.get(f"hub.{key}.cpu_per_gib"), m.get(f"socat.{key}.cpu_per_gib"))
        row(f"relay CPU s/GiB, {label}", f"{key}.cpu_per_gib", None, "<= 2.0 x socat",
            check(r, 2.0, True))
    row("relay CPU s/GiB, fan-out (per GiB sent)", "fanout.cpu_per_gib", None, socat=False)
    row("idle CPU, % of a core", "idle", None, "<= 0.1 %", check(m.get("hub.idle"), 0.1, True))
    row("peak RSS, MB", "rss", None, "<= 60 MB", check(m.get("hub.rss"), 60.0, True))
    return rows


# ---- main --------------------------------------------------------------------

def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--hub", required=True, help="path of quaylight_bench_hub")
    ap.add_argument("--reps", type=int, default=3, help="repetitions (medians are printed)")
    ap.add_argument("--idle-seconds", type=float, default=60.0, help="idle CPU window")
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
    if args.quick:
        args.reps = 1
        args.idle_seconds = min(args.idle_seconds, 10.0)
    args.reps = max(1, min(args.reps, 20))
    args.idle_seconds = max(1.0, min(args.idle_seconds, 600.0))
    args.mib = max(1, min(args.mib, 1024))
    if not os.access(args.hub, os.X_OK):
        print(f"relay_bench: no hub at {args.hub}", file=sys.stderr)
        return 2

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

    bench = Bench(args, workdir)
    try:
        for rep in range(args.reps):
            print(f"repetition {rep + 1} of {args.reps}", file=sys.stderr)
            if "raw" in tools and {"to_serial", "from_serial", "fanout"} & set(only):
                r = attempt("raw TCP", bench.tcp_alone)
                if r:
                    add("raw.tcp.mbps", r["mbps"])
            for to_serial, key in ((True, "to_serial"), (False, "from_serial")):
                for tool in TOOLS:
                    if key not in only or tool not in tools:
                        continue
                    r = attempt(f"{tool} {key}", lambda: bench.throughput(tool, to_serial))
                    if r:
                        for k, v in r.items():
                            add(f"{tool}.{key}.{k}", v)
            for size, count in ((64, 2000), (5000, 200)):
                for tool in TOOLS:
                    if f"rt{size}" not in only or tool not in tools:
                        continue
                    r = attempt(f"{tool} round trip {size}",
                                lambda: bench.round_trip(tool, size, count))
                    if r:
                        for k, v in r.items():
                            add(f"{tool}.rt{size}.{k}", v)
            if "fanout" in only and "hub" in tools:
                r = attempt("hub fan-out", bench.fan_out)
                if r:
                    for k, v in r.items():
                        add(f"hub.fanout.{k}", v)
            if "idle" in only and {"hub", "socat"} & set(tools):
                r = attempt("idle", lambda: bench.idle(args.idle_seconds, tools))
                for t, v in (r or {}).items():
                    add(f"{t}.idle", v)
        for tool in ("hub", "socat"):
            if bench.peak(tool):
                res[f"{tool}.rss"] = [bench.peak(tool) / 1e6]
    finally:
        stop_all()
        if args.keep:
            print(f"work folder kept: {workdir}", file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)

    notes = [
        f"Medians of {args.reps} repetition(s); {args.mib} MiB per throughput run; "
        f"MB = 10^6 bytes; {bench.verified / 1e6:,.0f} MB checked byte for byte; "
        f"{time.time() - started:.0f} s in all.",
        "raw, throughput: the slower of loopback TCP alone ("
        f"{fmt(med(res.get('raw.tcp.mbps', [])))} MB/s) and the pty alone in that direction "
        f"(slave->master {fmt(med(res.get('raw.to_serial.mbps', [])))}, master->slave "
        f"{fmt(med(res.get('raw.from_serial.mbps', [])))} MB/s); fan-out: loopback TCP alone.",
        "raw, round trip: the driver relays the same hops itself (TCP peer -> socket -> "
        "pty slave -> master echo -> slave -> socket -> peer), no relay process.",
        f"Round trips: {WARMUP_MESSAGES} warm-up messages first, not counted; "
        "ratio targets apply to 64 B.",
        "Fan-out: serial port closed; receivers are the two forwarders' servers and the "
        "second server's peer.",
        f"Idle: {args.idle_seconds:.0f} s, hub with the serial port open, the second server "
        "listening and both forwarders retrying a closed port; socat listening.",
        "Peak RSS: the largest VmHWM of any run of that relay; hub by run: "
        + ", ".join(f"{run} {v / 1e6:.1f}" for run, v in bench.peaks_by_run("hub").items())
        + " MB.",
    ]
    print(render(build_rows(res, args.reps), notes))
    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
