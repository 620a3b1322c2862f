"""A private desktop session for checks against a real notification server.

Brings up, each only if asked: a headless X server (Xvfb on a free display),
a private session bus whose configuration has no service directories (so
nothing real is started on demand), and dunst on that display and bus. Every
child is ended by its own pid when the session stops, and dies with this
process should the test runner kill it first.
"""

import argparse
import ctypes
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

BUS_CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support",
                          "session-bus.conf")

_PR_SET_PDEATHSIG = 1

CHECK_WAIT = 15  # seconds: a bound on every wait of a check, never an expectation


def _die_with_parent():
    # Runs in the child between fork and exec: a test runner that kills this
    # process with SIGKILL leaves no X server or bus behind.
    try:
        ctypes.CDLL(None, use_errno=True).prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    except OSError:
        pass


class SessionError(Exception):
    pass


def missing_programs(programs):
    return [p for p in programs if shutil.which(p) is None]


def wait_until(predicate, timeout, step=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


def _read_line_from_fd(fd, timeout):
    data = b""
    deadline = time.monotonic() + timeout
    while not data.endswith(b"\n"):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        ready, _, _ = select.select([fd], [], [], remaining)
        if not ready:
            break
        chunk = os.read(fd, 256)
        if not chunk:
            break
        data += chunk
    return data.decode().strip()


class PrivateDesktop:
    def __init__(self, with_x=True, with_dunst=True, dunstrc=None, workdir=None):
        self.with_x = with_x
        self.with_dunst = with_dunst
        self.dunstrc = dunstrc
        self._own_workdir = workdir is None
        self.workdir = workdir or tempfile.mkdtemp(prefix="private-desktop-")
        self.children = []  # (name, Popen), in start order
        self.env = dict(os.environ)
        # Nothing of the caller's own desktop may leak into the checks.
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"):
            self.env.pop(name, None)
        self.display = None
        self.bus_address = None

    def spawn(self, name, argv, **kwargs):
        """Starts a child that belongs to the session (ended by stop())."""
        log = open(os.path.join(self.workdir, name + ".log"), "ab")
        kwargs.setdefault("stdout", log)
        kwargs.setdefault("stderr", log)
        kwargs.setdefault("env", self.env)
        try:
            proc = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)
        finally:
            log.close()
        self.children.append((name, proc))
        return proc

    def start(self):
        try:
            if self.with_x:
                self._start_x()
            self._start_bus()
            if self.with_dunst:
                self._start_dunst()
        except BaseException:
            self.stop()
            raise
        return self

    def _start_x(self):
        read_fd, write_fd = os.pipe()
        try:
            self.spawn("xvfb", ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", "1280x800x24",
                                "-nolisten", "tcp"], pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = -1
            number = _read_line_from_fd(read_fd, 15)
        finally:
            if write_fd >= 0:
                os.close(write_fd)
            os.close(read_fd)
        if not number.isdigit():
            raise SessionError("Xvfb did not report a display")
        self.display = ":" + number
        self.env["DISPLAY"] = self.display

    def _start_bus(self):
        config = BUS_CONFIG
        read_fd, write_fd = os.pipe()
        try:
            self.spawn("dbus", ["dbus-daemon", "--config-file=" + config, "--nofork",
                                "--print-address=%d" % write_fd], pass_fds=(write_fd,))
            os.close(write_fd)
            write_fd = -1
            address = _read_line_from_fd(read_fd, 15)
        finally:
            if write_fd >= 0:
                os.close(write_fd)
            os.close(read_fd)
        if not address:
            raise SessionError("dbus-daemon did not report its address")
        self.bus_address = address
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def _start_dunst(self):
        argv = ["dunst"]
        if self.dunstrc:
            argv += ["-config", self.dunstrc]
        proc = self.spawn("dunst", argv)
        if not wait_until(lambda: proc.poll() is not None or self.dunst_count("displayed") is not None,
                          15) or proc.poll() is not None:
            raise SessionError("dunst did not come up (see %s)" % os.path.join(self.workdir, "dunst.log"))

    def run(self, argv, timeout=10):
        """Runs a short command in the session; its CompletedProcess."""
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=timeout)

    def dunstctl(self, *args):
        return self.run(["dunstctl"] + list(args))

    def dunst_count(self, which):
        """dunst's count of "displayed", "waiting" or "history" notifications, None on failure."""
        try:
            done = self.dunstctl("count", which)
        except subprocess.TimeoutExpired:
            return None
        text = done.stdout.strip()
        return int(text) if done.returncode == 0 and text.isdigit() else None

    def screenshot(self, path):
        """Saves the whole screen as a PNG; True when it worked."""
        done = self.run(["import", "-window", "root", path], timeout=20)
        return done.returncode == 0 and os.path.exists(path)

    def stop(self):
        # Later children depend on earlier ones (dunst on the bus and X), so
        # they are ended first.
        for _, proc in reversed(self.children):
            stop_process(proc)
        self.children.clear()
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def stop_process(proc, grace=3):
    """Ends one child by its pid: SIGTERM, then SIGKILL after `grace` seconds."""
    if proc.poll() is not None:
        return
    proc.terminate()
    try:
        proc.wait(grace)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


class ProgramCheck(unittest.TestCase):
    """Checks of the program on a private desktop with a real server.

    The program starts once for the class; each check reads the debug log from
    a mark set at its start. A subclass sets `config` (with `program`, `lab`
    and `worker`) and provides `start_desktop()`, which returns the started
    session with its notification server running.
    """

    config = None
    desktop = None
    program = None

    @classmethod
    def start_desktop(cls):
        raise NotImplementedError

    @classmethod
    def setUpClass(cls):
        cls.log_path = os.path.join(cls.config.lab, "Logs", "activator_debug.txt")
        # Each check starts as on a fresh machine: nothing kept from a run before.
        try:
            os.remove(os.path.join(cls.config.lab, "State", "activator_state.dat"))
        except FileNotFoundError:
            pass
        cls.desktop = cls.start_desktop()
        try:
            cls.program = cls.desktop.spawn("activator", [cls.config.program])
            job_pipe = os.path.join(cls.config.lab, "pipe", "ZorvellWPNPlomtik_1")
            if not wait_until(lambda: os.path.exists(job_pipe) or cls.program.poll() is not None,
                              CHECK_WAIT) or cls.program.poll() is not None:
                raise RuntimeError("the program did not start serving its job pipe")
        except BaseException:
            cls.desktop.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        # A program that died meanwhile (a sanitizer report, a crash) fails
        # the run even when every check had already passed.
        ended = cls.program.poll()
        output = ""
        if ended is not None:
            with open(os.path.join(cls.desktop.workdir, "activator.log"), errors="replace") as f:
                output = f.read()
        cls.desktop.stop()  # the program too: it is one of the session's children
        if ended is not None:
            raise RuntimeError("the program ended with %s during the checks:\n%s" % (ended, output))

    def setUp(self):
        self.assertIsNone(self.program.poll(), "the program ended")
        self.log_mark = self._log_size()

    def _log_size(self):
        try:
            return os.path.getsize(self.log_path)
        except FileNotFoundError:
            return 0

    def new_log_lines(self):
        with open(self.log_path, "rb") as f:
            f.seek(self.log_mark)
            return f.read().decode("utf-8", "replace").splitlines()

    def wait_for_log_line(self, line, count=1):
        found = wait_until(lambda: self.new_log_lines().count(line) >= count, CHECK_WAIT)
        self.assertTrue(found, "no %d x %r in the debug log; it has:\n%s"
                        % (count, line, "\n".join(self.new_log_lines())))

    def worker(self, *args, check=True):
        argv = [sys.executable, self.config.worker, "--lab", self.config.lab] + list(args)
        done = self.desktop.run(argv, timeout=CHECK_WAIT + 5)
        if check:
            self.assertEqual(done.returncode, 0, done.stderr)
        return done


SKIP = 77  # the exit status CTest counts as skipped


def run_checks(check_class, programs, extra_options=()):
    """Runs `check_class`'s checks from the command line; the exit status.

    Reads --program, --lab, --worker and `extra_options` into the class's
    `config`. Skipped (77) when one of `programs` is not installed, or when no
    private desktop could be brought up at all.
    """
    parser = argparse.ArgumentParser()
    for option in ("--program", "--lab", "--worker") + tuple(extra_options):
        parser.add_argument(option, required=True)
    check_class.config, rest = parser.parse_known_args()
    missing = missing_programs(programs)
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        return SKIP
    module = sys.modules[check_class.__module__]
    result = unittest.main(module=module, argv=[sys.argv[0]] + rest, exit=False,
                           verbosity=2).result
    if result.errors and all(isinstance(err, str) and "SessionError" in err
                             for _, err in result.errors):
        print("skipped: no private desktop could be brought up")
        return SKIP
    return 0 if result.wasSuccessful() else 1
