"""What the test scripts share: one line per check, a wait on a condition,
and a child process whose standard error is collected as its log.

Nothing here needs more than Python's own library, so any script (and the
screenshot maker) can import it.
"""

import signal
import subprocess
import threading
import time

failures = []


def report(name, ok, detail=""):
    """One line per check; a failed one is remembered in `failures`."""
    print(("ok   " if ok else "FAIL ") + name + ("" if ok else ": " + str(detail)[-2000:]), flush=True)
    if not ok:
        failures.append(name)


def wait_for(condition, timeout):
    """The first true value of condition(), or its last value after `timeout` s."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.02)


class Process:
    """A child whose stderr is collected in `log`; stop() or kill it on every path out."""

    def __init__(self, args, env=None):
        self.log = b""
        self.process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            self.log += line

    def find(self, pattern, timeout):
        """The first group of `pattern` in the log, as a number, once it shows."""
        match = wait_for(lambda: pattern.search(self.log), timeout)
        if not match:
            raise RuntimeError("no %r in the log:\n%s" % (pattern.pattern, self.log.decode(errors="replace")))
        return int(match.group(1))

    def stop(self, timeout):
        """SIGTERM, then the exit code; killed (and None) when it did not end in time."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None
