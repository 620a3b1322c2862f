"""A real OpenSSH server on a private port, for tests of a desktop and a server.

The "server" runs on the same machine as the tests' desktop, yet shares
nothing with it but the link: sshd runs in a mount and pid namespace of its
own, with its own /tmp, /var/tmp, /dev/shm and /run, its own home (the
user's passwd entry points there inside the namespace), and the desktop's
folders that the caller names hidden under empty tmpfs. A test that passes
here because both sides see one /tmp would fail between two machines, so the
server side is reached only over ssh: run() and popen() start the real ssh
client with a throwaway user key and the server's host key pinned.

sshd itself listens on 127.0.0.1 only, on a port picked free, with public key
authentication alone. Everything ends by its pid when the server stops, and
dies with this process should the test runner kill it first: sshd is the
namespace's first process, so every session and everything they left behind
goes with it.

    python3 private_sshd.py --self-test   # the isolation, checked over ssh
    python3 private_sshd.py --serve       # a server to try things by hand
    python3 private_sshd.py --serve --hide DIR   # one for a test: DIR stays the desktop's
"""

import argparse
import os
import pwd
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

# The desktop harness's child handling: ended by pid, and dying with us.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from private_desktop import _die_with_parent, stop_process  # noqa: E402
from private_desktop import wait_until as desktop_wait_until  # noqa: E402

SSHD = "/usr/sbin/sshd"
PROGRAMS = (SSHD, "ssh", "ssh-keygen", "unshare")
WAIT = 20  # seconds: a bound on every wait, never an expectation
SKIP = 77  # the exit status CTest counts as skipped

# The checkout the tests run from, with its build trees: the server runs the
# same programs, wherever the checkout is.
SOURCE_TREE = os.path.realpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

# Runs as the namespace's first process, then becomes sshd. The folders the
# desktop side must not share get an empty tmpfs each; the server's own folder
# (config, host key, log) and the source and build tree are held open first
# and bound back at their paths, since they may sit under one of them (a
# temporary folder in /tmp, a checkout cloned there). The caller's hidden
# folders come after, so a lab inside the build tree is hidden all the same.
_NAMESPACE_SCRIPT = r"""
set -eu
server=$1 home=$2 uid=$3 tree=$4
shift 4
exec 3<"$server" 4<"$tree"
for dir in /tmp /var/tmp /dev/shm; do
  [ -d "$dir" ] && mount -t tmpfs -o mode=1777 tmpfs "$dir"
done
mount -t tmpfs -o mode=0755 tmpfs /run
mkdir -m 0755 /run/sshd /run/user
mkdir -p "$tree"
mount --no-canonicalize --bind /proc/self/fd/4 "$tree"
exec 4<&-
while [ "$1" != -- ]; do
  [ -d "$1" ] && mount -t tmpfs -o mode=0700 tmpfs "$1"
  shift
done
shift
mkdir -p "$server"
mount --no-canonicalize --bind /proc/self/fd/3 "$server"
exec 3<&-
mount -t tmpfs -o mode=0700 tmpfs "$home"
mkdir -p -m 0700 "$home/.local" "$home/.local/share" "/run/user/$uid"
mount --bind "$server/passwd" /etc/passwd
exec "$@"
"""


class SshdError(Exception):
    pass


def wait_until(predicate, timeout=WAIT, step=0.05):
    """Polls `predicate` until it returns a true value or `timeout` seconds pass."""
    return desktop_wait_until(predicate, timeout, step)


def missing_programs():
    return [p for p in PROGRAMS if shutil.which(p) is None]


def unavailable():
    """Why no private server can run here, or None when one can."""
    missing = missing_programs()
    if missing:
        return "not installed: " + ", ".join(missing)
    if os.geteuid() != 0:
        return "not root: sshd and the mount namespace need root"
    probe = subprocess.run(["unshare", "--mount", "--pid", "--fork", "--mount-proc", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        return "no mount namespace here: " + probe.stderr.strip()
    return None


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivateSshd:
    """One sshd in a namespace of its own; start() it, or use it as a context.

    `hidden` names more of the desktop's folders that the server must not see
    (a desktop lab in the build tree): each is made when missing, and is an
    empty tmpfs on the server. The build tree and the system stay shared, so
    the server runs the same programs, as a server with the same package
    installed would; so does the network (sshd listens on the desktop's
    127.0.0.1), abstract Unix sockets included.
    """

    def __init__(self, workdir=None, hidden=()):
        self._own_workdir = workdir is None
        self.workdir = os.path.abspath(workdir or tempfile.mkdtemp(prefix="private-sshd-"))
        self.server_dir = os.path.join(self.workdir, "server")
        self.client_dir = os.path.join(self.workdir, "client")
        self.hidden = [os.path.abspath(p) for p in hidden] + [self.client_dir]
        self.user = pwd.getpwuid(os.getuid()).pw_name
        # The server's view: its own home and runtime folder, and the
        # packaged per-user lab's parent, none of them the desktop's.
        self.home = os.path.join(self.server_dir, "home")
        self.data_home = os.path.join(self.home, ".local", "share")
        self.runtime_dir = "/run/user/%d" % os.getuid()
        self.key = os.path.join(self.client_dir, "id_ed25519")
        self.known_hosts = os.path.join(self.client_dir, "known_hosts")
        self.config = os.path.join(self.server_dir, "sshd_config")
        self.log_path = os.path.join(self.server_dir, "sshd.log")
        self.port = None
        self.proc = None
        self.namespace = None  # the link /proc/<pid>/ns/mnt of the server's processes
        self.children = []  # ssh clients started by popen(), ended by stop()

    # -- start and stop ---------------------------------------------------

    def start(self, attempts=5):
        try:
            self._make_keys()
            self._write_passwd()
            # The port is free when picked, and may be taken before sshd binds
            # it: then sshd ends at once, and another port is tried.
            for _ in range(attempts):
                if self._start_on(_free_port()):
                    return self
            raise SshdError("sshd did not come up:\n" + self.log())
        except BaseException:
            self.stop()
            raise

    def _make_keys(self):
        os.makedirs(self.home, exist_ok=True)
        os.makedirs(self.client_dir, mode=0o700, exist_ok=True)
        # A hidden folder the desktop made only after the server came up
        # would be the desktop's own on the server too, so each is made now.
        for path in self.hidden:
            os.makedirs(path, exist_ok=True)
        os.chmod(self.server_dir, 0o700)
        for path in (os.path.join(self.server_dir, "ssh_host_ed25519_key"), self.key):
            if not os.path.exists(path):
                subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-C", "", "-f", path],
                               check=True, capture_output=True)
        shutil.copyfile(self.key + ".pub", os.path.join(self.server_dir, "authorized_keys"))

    def _write_passwd(self):
        # Inside the namespace the user's home is the server's: sshd sets HOME
        # and the session's working folder from it, and so does any program
        # that asks the passwd database rather than $HOME.
        lines = []
        with open("/etc/passwd") as f:
            for line in f:
                fields = line.rstrip("\n").split(":")
                if len(fields) == 7 and fields[2] == str(os.getuid()):
                    fields[5] = self.home
                lines.append(":".join(fields) + "\n")
        with open(os.path.join(self.server_dir, "passwd"), "w") as f:
            f.writelines(lines)
        os.chmod(os.path.join(self.server_dir, "passwd"), 0o644)

    def _write_config(self, port):
        def quoted(value):
            if '"' in value or "\n" in value:
                raise SshdError("no quotes in sshd_config values: %r" % value)
            return '"%s"' % value

        host_key = os.path.join(self.server_dir, "ssh_host_ed25519_key")
        lines = [
            "ListenAddress 127.0.0.1:%d" % port,
            "HostKey " + quoted(host_key),
            "PidFile " + quoted(os.path.join(self.server_dir, "sshd.pid")),
            "AuthorizedKeysFile " + quoted(os.path.join(self.server_dir, "authorized_keys")),
            "AllowUsers " + self.user,
            "AuthenticationMethods publickey",
            "PasswordAuthentication no",
            "KbdInteractiveAuthentication no",
            "HostbasedAuthentication no",
            "UsePAM no",
            # The key files sit in a temporary folder, which StrictModes refuses.
            "StrictModes no",
            "PermitRootLogin prohibit-password",
            "PermitUserEnvironment no",
            "PermitUserRC no",
            # No AcceptEnv: nothing of the client's environment reaches a session.
            "SetEnv " + " ".join(quoted(v) for v in (
                "HOME=" + self.home, "XDG_DATA_HOME=" + self.data_home,
                "XDG_RUNTIME_DIR=" + self.runtime_dir)),
            # Unix socket forwarding is the link; nothing else is forwarded.
            "AllowStreamLocalForwarding yes",
            "StreamLocalBindUnlink yes",
            "AllowTcpForwarding remote",
            "PermitListen none",
            "AllowAgentForwarding no",
            "X11Forwarding no",
            "PermitTunnel no",
            "UseDNS no",
            "PrintMotd no",
            "PrintLastLog no",
            "LogLevel VERBOSE",
            # Tests start many connections at once (a flood, reconnects).
            "MaxStartups 100:30:200",
            "MaxSessions 50",
        ]
        with open(self.config, "w") as f:
            f.write("\n".join(lines) + "\n")
        with open(self.known_hosts, "w") as f, open(host_key + ".pub") as pub:
            f.write("[127.0.0.1]:%d %s\n" % (port, " ".join(pub.read().split()[:2])))

    def _start_on(self, port):
        self._write_config(port)
        argv = (["unshare", "--mount", "--propagation", "private", "--pid", "--fork",
                 "--kill-child", "--mount-proc", "--", "/bin/sh", "-c", _NAMESPACE_SCRIPT, "sh",
                 self.server_dir, self.home, str(os.getuid()), SOURCE_TREE]
                + self.hidden + ["--", SSHD, "-D", "-e", "-f", self.config])
        with open(self.log_path, "wb") as log:
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                         preexec_fn=_die_with_parent)
        listening = "Server listening on 127.0.0.1 port %d." % port
        wait_until(lambda: self.proc.poll() is not None or listening in self.log())
        if listening not in self.log():
            stop_process(self.proc)
            self.proc = None
            if "Bind to port" in self.log():
                return False
            raise SshdError("sshd did not come up:\n" + self.log())
        self.port = port
        child = self._namespace_child()
        if child is None:
            raise SshdError("sshd came up, but its process is not found")
        self.namespace = os.readlink("/proc/%d/ns/mnt" % child)
        return True

    def _namespace_child(self):
        try:
            with open("/proc/%d/task/%d/children" % (self.proc.pid, self.proc.pid)) as f:
                pids = f.read().split()
        except OSError:
            return None
        return int(pids[0]) if pids else None

    def namespace_pids(self):
        """The desktop-side pids of every process still in the server's namespace."""
        pids = []
        if self.namespace is None:
            return pids
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    if os.readlink("/proc/%s/ns/mnt" % entry) == self.namespace:
                        pids.append(int(entry))
                except OSError:
                    pass
        return pids

    def stop(self):
        for proc in reversed(self.children):
            stop_process(proc)
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        self.children.clear()
        if self.proc is not None:
            # unshare ignores SIGTERM while it waits for sshd, so sshd, the
            # namespace's first process, is asked to end; the kernel ends the
            # rest of the namespace with it, and unshare follows. Should sshd
            # not end, SIGKILL on unshare takes sshd with it (--kill-child).
            child = self._namespace_child()
            if child is not None and self.proc.poll() is None:
                os.kill(child, signal.SIGTERM)
            try:
                self.proc.wait(3)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            self.proc = None
            wait_until(lambda: not self.namespace_pids())
        if self._own_workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def log(self):
        try:
            with open(self.log_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    # -- the client side --------------------------------------------------

    def ssh_options(self):
        """The options that reach this server, without the destination."""
        return ["-F", "/dev/null", "-p", str(self.port), "-i", self.key,
                "-o", "UserKnownHostsFile=" + self.known_hosts,
                "-o", "StrictHostKeyChecking=accept-new", "-o", "BatchMode=yes",
                "-o", "IdentitiesOnly=yes"]

    def destination(self):
        return "%s@127.0.0.1" % self.user

    def ssh_argv(self, *options):
        """`ssh` with its options for this server, then `options`, then the destination."""
        return ["ssh"] + self.ssh_options() + list(options) + [self.destination()]

    def run(self, command, input=None, timeout=WAIT, check=True):
        """Runs one shell command on the server over ssh; its CompletedProcess (text)."""
        done = subprocess.run(self.ssh_argv() + ["--", command], input=input, capture_output=True,
                              text=True, timeout=timeout, stdin=None if input else subprocess.DEVNULL)
        if check and done.returncode != 0:
            raise SshdError("on the server, %r ended with %d: %s"
                            % (command, done.returncode, done.stderr.strip()))
        return done

    def popen(self, options=(), command=None, **kwargs):
        """Starts a long-lived ssh (a forwarding, a session); ended by stop()."""
        argv = self.ssh_argv(*options) + (["--", command] if command else [])
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kwargs)
        self.children.append(proc)
        return proc


# -- the self-test ------------------------------------------------------------

def _unix_listener(path):
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.bind(path)
    server.listen(4)
    server.settimeout(WAIT)
    return server


# Connects to the socket given as argv[1] once it is there, sends argv[2], and
# prints what came of it: the server side of a check, run over ssh.
_SEND_SCRIPT = r"""
import socket, sys, time
deadline = time.monotonic() + float(sys.argv[3])
while True:
    try:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(sys.argv[1])
        s.sendall(sys.argv[2].encode())
        s.close()
        print("sent")
        break
    except OSError as e:
        if time.monotonic() >= deadline:
            print(type(e).__name__)
            break
        time.sleep(0.05)
"""


def _send_command(path, message, patience):
    return " ".join(shlex.quote(a) for a in
                    ["python3", "-c", _SEND_SCRIPT, path, message, str(patience)])


class IsolationCheck(unittest.TestCase):
    """What a test between two machines relies on, checked over real ssh."""

    server = None

    @classmethod
    def setUpClass(cls):
        cls.desktop_dir = tempfile.mkdtemp(prefix="private-sshd-desktop-")
        try:
            cls.server = PrivateSshd(hidden=[cls.desktop_dir]).start()
        except BaseException:
            shutil.rmtree(cls.desktop_dir, ignore_errors=True)
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        shutil.rmtree(cls.desktop_dir, ignore_errors=True)

    def test_the_server_sees_none_of_the_desktops_files(self):
        server = self.server
        mark = "mark-%d" % os.getpid()
        desktop_tmp = os.path.join("/tmp", mark + "-desktop")
        with open(desktop_tmp, "w") as f:
            f.write("desktop\n")
        with open(os.path.join(self.desktop_dir, "lab-file"), "w") as f:
            f.write("desktop\n")
        self.addCleanup(os.remove, desktop_tmp)
        # Each row: a path, whether the desktop has it, what the server prints
        # for `test -e`: the server has its own /tmp, home and runtime folder,
        # and sees neither the desktop's hidden folders nor the client's key.
        rows = [
            (desktop_tmp, "absent"),
            (os.path.join(self.desktop_dir, "lab-file"), "absent"),
            (server.key, "absent"),
            (os.path.join(server.server_dir, "sshd_config"), "present"),
            ("/proc/%d" % os.getpid(), "absent"),
        ]
        script = "; ".join("if test -e %s; then echo present; else echo absent; fi" % shlex.quote(p)
                           for p, _ in rows)
        seen = server.run(script).stdout.split()
        self.assertEqual(seen, [want for _, want in rows], [p for p, _ in rows])

        # And the other way: what a session writes in its /tmp and home stays there.
        written = [os.path.join("/tmp", mark + "-server"), os.path.join(server.home, mark),
                   os.path.join(server.runtime_dir, mark)]
        server.run("; ".join("echo server > %s" % shlex.quote(p) for p in written))
        self.assertEqual(server.run("cat " + " ".join(map(shlex.quote, written))).stdout,
                         "server\n" * len(written))
        self.assertEqual([p for p in written if os.path.exists(p)], [])

    def test_a_session_has_the_servers_home_and_no_client_environment(self):
        env = dict(os.environ, LANG="C.desktop-only", XDG_DATA_HOME="/desktop/data")
        done = subprocess.run(
            self.server.ssh_argv("-o", "SendEnv=LANG XDG_DATA_HOME") + [
                "--", 'echo "$HOME|$(pwd)|$XDG_DATA_HOME|$XDG_RUNTIME_DIR|${LANG-}"; '
                      'python3 -c "import os, pwd; print(pwd.getpwuid(os.getuid()).pw_dir)"'],
            env=env, capture_output=True, text=True, timeout=WAIT, stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stderr)
        s = self.server
        self.assertEqual(done.stdout.splitlines(),
                         ["%s|%s|%s|%s|" % (s.home, s.home, s.data_home, s.runtime_dir), s.home])
        self.assertNotEqual(s.home, os.path.expanduser("~"))

    def test_a_desktop_socket_is_reached_only_through_a_forwarding(self):
        server = self.server
        desktop_socket = os.path.join(self.desktop_dir, "desktop.sock")
        listener = _unix_listener(desktop_socket)
        self.addCleanup(listener.close)

        # The desktop's path does not lead to its socket from the server.
        self.assertEqual(server.run(_send_command(desktop_socket, "lost", 0)).stdout.strip(),
                         "FileNotFoundError")

        # ssh -R, as users forward the job pipe by hand: a message written on
        # the server to the forwarded socket arrives at the desktop's listener.
        remote = os.path.join(server.runtime_dir, "forwarded.sock")
        forwarding = server.popen(["-N", "-o", "ExitOnForwardFailure=yes",
                                   "-R", remote + ":" + desktop_socket],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        message = "acao=continuar&id_execucao=J1&estado=executando"
        sent = server.run(_send_command(remote, message, WAIT), timeout=WAIT + 10)
        if sent.stdout.strip() != "sent" and forwarding.poll() is not None:
            self.fail("ssh -R ended with %d: %s" % (forwarding.returncode, forwarding.stderr.read()))
        self.assertEqual(sent.stdout.strip(), "sent")
        connection, _ = listener.accept()
        with connection:
            connection.settimeout(WAIT)
            received = b""
            while True:
                chunk = connection.recv(4096)
                if not chunk:
                    break
                received += chunk
        self.assertEqual(received.decode(), message)
        # The forwarded socket is on the server alone.
        self.assertFalse(os.path.exists(remote))

    def test_stop_ends_what_sessions_left_running(self):
        with PrivateSshd() as server:
            server.run("sleep 600 </dev/null >/dev/null 2>&1 &")
            self.assertTrue(len(server.namespace_pids()) >= 2, server.namespace_pids())
        self.assertEqual(server.namespace_pids(), [])
        self.assertFalse(os.path.exists(server.workdir))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--self-test", action="store_true", help="check the isolation over ssh")
    what.add_argument("--serve", action="store_true",
                      help="bring up a server, print how to reach it, run until interrupted")
    parser.add_argument("--hide", action="append", default=[], metavar="DIR",
                        help="with --serve: a desktop folder the server must not see")
    args, rest = parser.parse_known_args(argv)
    reason = unavailable()
    if reason:
        print("skipped: " + reason)
        return SKIP
    if args.serve:
        with PrivateSshd(hidden=args.hide) as server:
            print(" ".join(shlex.quote(a) for a in server.ssh_argv()), flush=True)
            try:
                server.proc.wait()
            except KeyboardInterrupt:
                pass
        return 0
    result = unittest.main(module=sys.modules[__name__], argv=[sys.argv[0]] + rest, exit=False,
                           verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
