#!/usr/bin/env python3
"""Checks of the benchmark driver itself: a benchmark that let a changed,
missing or extra byte pass, or that left processes behind, would be worse
than none. Relays with deliberate faults are forked here; no hub is needed.

    python3 bench/test_relay_bench.py
"""

import os
import signal
import subprocess
import socket
import sys
import time
import unittest

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import relay_bench as rb  # noqa: E402


def tcp_pair():
    """Two connected loopback sockets."""
    srv = rb.loopback_listener()
    a = rb.connect_local(srv.getsockname()[1])
    b = rb.accept_within(srv, 5)
    srv.close()
    return a, b


def fork_relay(src_fd, dst_fd, mutate, seconds=20):
    """Forks a relay copying src_fd to dst_fd; mutate(total_before, chunk)
    returns what it really forwards. Ends at end of input or after seconds."""
    pid = os.fork()
    if pid == 0:
        try:
            signal.alarm(seconds)
            os.set_blocking(src_fd, True)
            os.set_blocking(dst_fd, True)
            total = 0
            while True:
                chunk = os.read(src_fd, 65536)
                if not chunk:
                    break
                out = mutate(total, chunk)
                total += len(chunk)
                view = memoryview(out)
                while view:
                    view = view[os.write(dst_fd, view):]
        finally:
            os._exit(0)
    return pid


class FaultyRelayTest(unittest.TestCase):
    """stream() between two TCP connections joined by a forked relay."""

    SIZE = 3 * rb.MiB + 12345

    def setUp(self):
        self.data = rb.make_payload(self.SIZE)
        self.peer_in, self.relay_in = tcp_pair()
        self.relay_out, self.peer_out = tcp_pair()
        self.pids = []

    def tearDown(self):
        for s in (self.peer_in, self.relay_in, self.relay_out, self.peer_out):
            s.close()
        for pid in self.pids:
            try:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
            except (ProcessLookupError, ChildProcessError):
                pass

    def run_through(self, mutate, timeout=20):
        self.pids.append(fork_relay(self.relay_in.fileno(), self.relay_out.fileno(), mutate))
        return rb.stream(rb.Chan(self.peer_in, "in"), [rb.Chan(self.peer_out, "out")],
                         self.data, timeout)

    def test_faithful_relay_passes_and_is_timed(self):
        r = self.run_through(lambda total, chunk: chunk)
        self.assertGreater(r["seconds"], 0)

    def test_changed_byte_is_found_at_its_offset(self):
        at = self.SIZE // 2

        def flip(total, chunk):
            if total <= at < total + len(chunk):
                b = bytearray(chunk)
                b[at - total] ^= 0x01
                return bytes(b)
            return chunk

        with self.assertRaisesRegex(rb.Corrupt, f"from offset {at}"):
            self.run_through(flip)

    def test_extra_byte_is_found(self):
        def extra(total, chunk):
            return chunk + b"\x00" if total + len(chunk) == self.SIZE else chunk

        with self.assertRaisesRegex(rb.Corrupt, f"{self.SIZE + 1} bytes arrived"):
            self.run_through(extra)

    def test_missing_byte_ends_by_the_deadline(self):
        started = time.monotonic()
        with self.assertRaisesRegex(rb.BenchError, "timed out"):
            self.run_through(lambda total, chunk: chunk[1:] if total == 0 else chunk,
                             timeout=1.5)
        self.assertLess(time.monotonic() - started, 8)


class PtyPathTest(unittest.TestCase):
    def test_pty_alone_carries_every_byte_value_both_ways(self):
        data = rb.make_payload(1 * rb.MiB)
        with rb.Pty() as pty:
            master = rb.Chan(pty.master, "master")
            slave = rb.Chan(pty.slave, "slave")
            rb.stream(slave, [master], data, 20)
            rb.stream(master, [slave], data, 20)
            # The writer thread's way, as the writer-thread rows drive it.
            rb.stream(master, [slave], data, 20, thread=True)

    def test_round_trip_finds_a_changed_echo(self):
        # A relay that changes the 100th byte on the way back from the pty.
        peer, relay_side = tcp_pair()
        with rb.Pty() as pty:
            forward = fork_relay(relay_side.fileno(), pty.slave, lambda t, c: c)

            def spoil(total, chunk):
                if total <= 100 < total + len(chunk):
                    b = bytearray(chunk)
                    b[100 - total] ^= 0xFF
                    return bytes(b)
                return chunk

            backward = fork_relay(pty.slave, relay_side.fileno(), spoil)
            try:
                messages = [os.urandom(64) for _ in range(rb.WARMUP_MESSAGES + 10)]
                with self.assertRaisesRegex(rb.Corrupt, "message 1 came back changed"):
                    rb.round_trips(rb.Chan(peer, "peer"), rb.Chan(pty.master, "master"),
                                   messages, 10)
            finally:
                for pid in (forward, backward):
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                peer.close()
                relay_side.close()

    def test_raw_round_trip_counts_all_but_the_warm_up(self):
        peer, relay_side = tcp_pair()
        with rb.Pty() as pty:
            conn = rb.Chan(relay_side, "relay side")
            slave = rb.Chan(pty.slave, "slave")
            messages = [os.urandom(5000) for _ in range(rb.WARMUP_MESSAGES + 7)]
            times = rb.round_trips(rb.Chan(peer, "peer"), rb.Chan(pty.master, "master"),
                                   messages, 10, forward=[(conn, slave), (slave, conn)])
        peer.close()
        relay_side.close()
        self.assertEqual(len(times), 7)
        self.assertTrue(all(t > 0 for t in times))


class ReadingsTest(unittest.TestCase):
    def test_percentile_is_nearest_rank(self):
        values = list(range(100, 0, -1))
        self.assertEqual(rb.percentile(values, 50), 50)
        self.assertEqual(rb.percentile(values, 99), 99)
        self.assertEqual(rb.percentile(values, 100), 100)
        self.assertEqual(rb.percentile([7.0, 3.0], 50), 3.0)
        self.assertEqual(rb.percentile([7.0, 3.0], 99), 7.0)

    def test_cpu_ticks_grow_with_work(self):
        before = rb.cpu_ticks(os.getpid())
        end = time.process_time() + 0.1
        while time.process_time() < end:
            pass
        self.assertGreaterEqual(rb.cpu_ticks(os.getpid()) - before, 5)

    def test_peak_rss_follows_memory_touched(self):
        def rss_now():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmRSS:"))

        before = rss_now()
        block = bytearray(64 * rb.MiB)  # zero-filled, so every page is touched
        self.assertGreaterEqual(rb.peak_rss(os.getpid()), before + 60 * rb.MiB)
        del block

    def test_listening_port_is_seen(self):
        srv = rb.loopback_listener()
        port = srv.getsockname()[1]
        self.assertTrue(rb.tcp_listening(port))
        srv.close()
        self.assertFalse(rb.tcp_listening(port))

    def test_payload_holds_nul_and_ff(self):
        data = rb.make_payload(4096)
        self.assertEqual(len(data), 4096)
        self.assertIn(b"\x00", data)
        self.assertIn(b"\xff", data)


class ProcessesTest(unittest.TestCase):
    def test_stop_all_ends_what_was_started(self):
        procs = [rb.spawn(["sleep", "30"]) for _ in range(2)]
        rb.stop_all()
        for p in procs:
            self.assertIsNotNone(p.poll())
        self.assertEqual(rb._children, [])

    def test_a_wrappers_child_goes_too(self):
        # Like the hub under strace: the process started runs another one.
        proc = rb.spawn(["sh", "-c", "sleep 30 & echo $!; wait"])
        inner = int(rb.read_line(proc, 5))
        rb.stop_all()
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and os.path.exists(f"/proc/{inner}"):
            time.sleep(0.02)
        self.assertFalse(os.path.exists(f"/proc/{inner}"))


class PacingTest(unittest.TestCase):
    def test_due_counts_exactly_the_deadlines_passed(self):
        for size, rate in rb.RATES.values():
            pacer = rb.Pacer(size, rate, 50, 1000)
            for now in list(range(0, 20_000)) + [pacer.deadline(k) + d for k in range(52)
                                                   for d in (-1, 0, 1)]:
                want = sum(1 for k in range(50) if pacer.deadline(k) <= now)
                self.assertEqual(pacer.due(now), want, (size, rate, now))

    def test_deadlines_do_not_drift(self):
        size, rate = rb.RATES["rate115200"]  # 5.555... ms apart
        pacer = rb.Pacer(size, rate, 10**6, 7)
        self.assertEqual(pacer.deadline(180) - pacer.deadline(0), 10**9)
        self.assertEqual(pacer.deadline(180 * 3600) - pacer.deadline(0), 3600 * 10**9)
        self.assertEqual(pacer.deadline(1), 7 + 5_555_555)

    def paced_through(self, mutate, size=256, rate=256_000, count=400):
        peer_in, relay_in = tcp_pair()
        relay_out, peer_out = tcp_pair()
        pid = fork_relay(relay_in.fileno(), relay_out.fileno(), mutate)
        try:
            data = rb.make_payload(size * count)
            return rb.paced(rb.Chan(peer_in, "in"), rb.Chan(peer_out, "out"), data, size, rate)
        finally:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            for s in (peer_in, relay_in, relay_out, peer_out):
                s.close()

    def test_paced_run_keeps_the_rate_without_spinning(self):
        r = self.paced_through(lambda total, chunk: chunk)  # 400 messages 1 ms apart
        self.assertGreaterEqual(r["seconds"], 0.399)
        self.assertLess(r["seconds"], 3)
        self.assertLess(r["driver_cpu"] / r["seconds"], 0.6)  # a busy loop is ~1.0

    def test_paced_run_finds_a_changed_byte(self):
        at = 256 * 123 + 5

        def flip(total, chunk):
            if total <= at < total + len(chunk):
                b = bytearray(chunk)
                b[at - total] ^= 0x40
                return bytes(b)
            return chunk

        with self.assertRaisesRegex(rb.Corrupt, f"from offset {at}"):
            self.paced_through(flip, count=200)


class HubModesTest(unittest.TestCase):
    def test_modes_from_the_command_line(self):
        self.assertEqual(rb.parse_modes([]), list(rb.DEFAULT_MODES))
        self.assertEqual(rb.parse_modes(["xvfb,bench", "headless", "bench"]),
                         ["xvfb", "bench", "headless"])
        with self.assertRaises(ValueError):
            rb.parse_modes(["offscreen,window"])
        self.assertFalse(rb.runs_in("fanout", "headless"))
        self.assertTrue(rb.runs_in("fanout", "bench"))
        self.assertTrue(rb.runs_in("rate1m", "xvfb"))
        self.assertFalse(rb.runs_in("scrape", "bench"))  # the bench hub serves no metrics
        self.assertTrue(rb.runs_in("scrape", "headless"))

    def test_program_command_per_mode(self):
        base = {"DISPLAY": ":0", "WAYLAND_DISPLAY": "wayland-0", "QT_QPA_PLATFORM": "wayland"}
        tail = ["--config-dir", "/c", "--open", "3", "--listen", "4321"]
        argv, env = rb.program_command("headless", "/b/quaylight", "/c", 4321, base)
        self.assertEqual(argv, ["/b/quaylight", "--headless"] + tail)
        self.assertNotIn("QT_QPA_PLATFORM", env)
        argv, env = rb.program_command("offscreen", "/b/quaylight", "/c", 4321, base, ["strace"])
        self.assertEqual(argv, ["strace", "/b/quaylight"] + tail)
        self.assertEqual(env["QT_QPA_PLATFORM"], "offscreen")
        argv, _ = rb.program_command("headless", "/b/quaylight", "/c", 4321, base, metrics=9471)
        self.assertEqual(argv[-2:], ["--metrics", "127.0.0.1:9471"])
        argv, env = rb.program_command("xvfb", "/b/quaylight", "/c", 4321, base)
        self.assertEqual(argv, list(rb.XVFB_RUN) + ["/b/quaylight"] + tail)
        self.assertEqual(env["QT_QPA_PLATFORM"], "xcb")
        self.assertNotIn("DISPLAY", env)
        self.assertNotIn("WAYLAND_DISPLAY", env)
        self.assertEqual(base["DISPLAY"], ":0")  # the caller's environment stays
        with self.assertRaises(ValueError):
            rb.program_command("bench", "/b/quaylight", "/c", 4321, base)

    def test_relay_is_found_under_its_wrapper(self):
        wrap = ["/bin/sh", "/usr/bin/xvfb-run", "-a", "/b/quaylight", "--listen", "9"]
        table = [(100, 1, wrap), (101, 100, wrap), (102, 100, ["Xvfb", ":99"]),
                 (103, 100, ["/b/quaylight", "--listen", "9"])]
        self.assertEqual(rb.relay_process(table, 100, "/b/quaylight"), 103)
        # Before the exec only copies of the wrapper exist.
        self.assertIsNone(rb.relay_process(table[:3], 100, "/b/quaylight"))
        # Under a further wrapper (strace) the outermost process is taken.
        nested = table[:3] + [(103, 100, ["strace", "/b/quaylight"]),
                              (104, 103, ["/b/quaylight"])]
        self.assertEqual(rb.relay_process(nested, 100, "/b/quaylight"), 103)

    def test_relay_is_found_in_a_real_session(self):
        proc = rb.spawn(["sh", "-c", "/bin/sleep 30; exit $?"], stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 5
            pid = None
            while pid is None and time.monotonic() < deadline:
                pid = rb.relay_process(rb.session_processes(proc.pid), proc.pid, "/bin/sleep")
                time.sleep(0.01)
            self.assertIsNotNone(pid)
            self.assertNotEqual(pid, proc.pid)
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                self.assertEqual(f.read(), b"/bin/sleep\x0030\x00")
            # The relay alone gets SIGTERM first: the wrapper then ends by
            # itself with the relay's status (143), not killed (-15).
            proc.inner_pid = pid
            self.assertEqual(rb.stop(proc), 128 + signal.SIGTERM)
        finally:
            rb.stop_all()


class TargetsTest(unittest.TestCase):
    def rows(self, res, mode="offscreen"):
        return {r["name"]: r for r in rb.build_rows(res, mode)}

    def test_throughput_ratio_decides(self):
        rows = self.rows({"hub:offscreen.to_serial.mbps": [100.0],
                          "socat.to_serial.mbps": [120.0],
                          "hub:offscreen.from_serial.mbps": [121.0],
                          "socat.from_serial.mbps": [120.0],
                          "hub:xvfb.to_serial.mbps": [130.0]})
        self.assertEqual(rows["TCP->serial, MB/s"]["met"], "NO")
        self.assertEqual(rows["serial->TCP, MB/s"]["met"], "yes")
        self.assertEqual(self.rows({"hub:xvfb.to_serial.mbps": [130.0],
                                    "socat.to_serial.mbps": [120.0]}, "xvfb")
                         ["TCP->serial, MB/s"]["met"], "yes")

    def test_medians_are_used(self):
        rows = self.rows({"hub:offscreen.rt64.p50": [90.0, 500.0, 100.0],
                          "socat.rt64.p50": [100.0, 95.0, 300.0],
                          "hub:offscreen.rt64.p99": [130.0],
                          "socat.rt64.p99": [100.0],
                          "hub:offscreen.rt5000.p50": [900.0, 1200.0, 1100.0]})
        self.assertEqual(rows["round trip 64 B, p50 us"]["hub"], 100.0)
        self.assertEqual(rows["round trip 64 B, p50 us"]["met"], "yes")
        self.assertEqual(rows["round trip 64 B, p99 us"]["met"], "NO")
        self.assertEqual(rows["round trip 5000 B, p50 us"]["met"], "NO")

    def test_rate_cpu_is_judged_against_socat(self):
        key = "rate1m.from_serial.cpu_pct"
        name = "CPU % of a core, 1024 B every 1 ms, serial->TCP"
        self.assertEqual(self.rows({f"hub:headless.{key}": [2.0], f"socat.{key}": [2.5]},
                                   "headless")[name]["met"], "yes")
        self.assertEqual(self.rows({f"hub:headless.{key}": [2.0], f"socat.{key}": [0.0]},
                                   "headless")[name]["met"], "NO")
        self.assertEqual(self.rows({f"hub:headless.{key}": [2.0]}, "headless")[name]["met"],
                         "n/a")
        # Against ser2net the bar is 0.8 x its CPU.
        for theirs, met in ((3.0, "yes"), (2.4, "NO")):
            self.assertEqual(self.rows({f"hub:headless.{key}": [2.0], f"ser2net.{key}": [theirs]},
                                       "headless")[name]["met2"], met)

    def test_fan_out_only_in_the_bench_block(self):
        self.assertIn("gateway fan-out, MB/s at slowest of 3", self.rows({}, "bench"))
        self.assertNotIn("gateway fan-out, MB/s at slowest of 3", self.rows({}, "headless"))

    def test_missing_figures_are_not_judged(self):
        rows = self.rows({})
        self.assertEqual(rows["idle CPU, % of a core"]["met"], "n/a")
        self.assertIn("| n/a", rb.render([("t", rb.build_rows({}, "xvfb"))], []))


if __name__ == "__main__":
    unittest.main()
