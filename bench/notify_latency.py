#!/usr/bin/env python3
"""Latency from a job announced on the job pipe to Notify at the notification server.

Runs the built program on a private session bus whose notification server is
this script (python3-dbus and python3-gi), announces jobs one at a time, and
measures, for each, the time from just before the worker's connection to the
job pipe until the server's Notify handler runs. The worker is a small Python
process that reports its clock; every process reads the same monotonic clock.

The program shows at most 20 job notifications pending or on screen, and a
job stops counting as pending only when the program's monitor (a pass every
2 s) has seen its notification. So the jobs go in batches below that limit:
after each batch the script waits for the monitor to release every job of the
batch (its summary in the debug log lists them all), dismisses the batch's
notifications, and goes on. Only the announcement-to-Notify time is measured.

Then the intake: --messages updates of a job never announced, as fast as the
pipe takes them, then an announcement, timed to its Notify. With --remote both
are also measured through activator-remote's link to a private sshd (root).

Usage: bench/notify_latency.py [--build DIR] [--jobs N] [--batch N] [--messages N] [--remote]
Run it by hand; it is not part of the test run. It starts the build's program
for the build's lab, so no other activator may run for that lab meanwhile.
"""

import argparse
import os
import shlex
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

try:
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib
except ImportError:
    # A Python of its own (pyenv, a virtualenv) often lacks the distribution's
    # D-Bus bindings; the system's own Python has them once installed.
    if sys.executable != "/usr/bin/python3" and os.path.exists("/usr/bin/python3"):
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    sys.exit("notify_latency: needs python3-dbus and python3-gi (scripts/install-deps bench)")

sys.path.insert(0, os.path.join(ROOT, "tests", "desktop"))
sys.path.insert(0, os.path.join(ROOT, "tests", "remote"))
from private_desktop import PrivateDesktop, wait_until  # noqa: E402

JOB_GROUP = "zorvell_processos"
WAIT = 20  # bound on every wait, in seconds


class ScriptedServer(dbus.service.Object):
    """org.freedesktop.Notifications that records when each Notify arrives."""

    def __init__(self, bus):
        self.bus_name = dbus.service.BusName("org.freedesktop.Notifications", bus)
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.lock = threading.Lock()
        self.arrivals = {}  # worker's job id -> monotonic time of its first Notify
        self.desktop_ids = {}  # worker's job id -> the program's
        self.arrived = threading.Condition(self.lock)
        self.shown = {}  # server id -> job id
        self.next_id = 0

    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints, timeout):
        now = time.monotonic()
        # The program tags each job's notification as "<job id>|<group>".
        tag = str(hints.get("x-dunst-stack-tag", ""))
        job_id = tag[:-len("|" + JOB_GROUP)] if tag.endswith("|" + JOB_GROUP) else str(body).split("\n")[-1]
        # A server's job is "@<label>+<worker's id>" here.
        worker_id = job_id.split("+", 1)[-1] if job_id.startswith("@") else job_id
        with self.lock:
            if replaces_id and int(replaces_id) in self.shown:
                notification_id = int(replaces_id)
            else:
                self.next_id += 1
                notification_id = self.next_id
            self.shown[notification_id] = job_id
            self.desktop_ids[worker_id] = job_id
            self.arrivals.setdefault(worker_id, now)
            self.arrived.notify_all()
        return dbus.UInt32(notification_id)

    @dbus.service.method("org.freedesktop.Notifications", out_signature="ssss")
    def GetServerInformation(self):
        return ("notify-latency-bench", "zorvell", "1", "1.2")

    @dbus.service.method("org.freedesktop.Notifications", out_signature="as")
    def GetCapabilities(self):
        return ["actions", "body", "body-markup"]

    @dbus.service.method("org.freedesktop.Notifications", in_signature="u")
    def CloseNotification(self, notification_id):
        self.dismiss(int(notification_id), 3)

    @dbus.service.signal("org.freedesktop.Notifications", signature="uu")
    def NotificationClosed(self, notification_id, reason):
        pass

    def dismiss(self, notification_id, reason=2):
        """Closes a notification as a user would. Runs on the loop's thread."""
        with self.lock:
            known = self.shown.pop(notification_id, None) is not None
        if known:
            self.NotificationClosed(dbus.UInt32(notification_id), dbus.UInt32(reason))

    def dismiss_all(self, done):
        with self.lock:
            ids = list(self.shown)
        for notification_id in ids:
            self.dismiss(notification_id)
        done.set()
        return False  # one call from GLib.idle_add

    def wait_for_job(self, job_id, timeout):
        deadline = time.monotonic() + timeout
        with self.lock:
            while job_id not in self.arrivals:
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self.arrived.wait(remaining)
            return self.arrivals[job_id]


# The worker, on the side of the job pipe argv[1]. For each line "<count>
# <job id>" it writes count - 1 updates of a job never announced, then the
# announcement, one connection each, and answers with its clock at the start.
WORKER = r"""
import socket, sys, time
def send(message):
    for _ in range(2000):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
            try:
                sock.connect(sys.argv[1])
            except ConnectionRefusedError:  # made, not yet listening
                time.sleep(0.01)
                continue
            return sock.sendall(message.encode())
    sys.exit("no job pipe at " + sys.argv[1])
for line in sys.stdin:
    count, job_id = line.split()
    start = time.monotonic()
    for _ in range(int(count) - 1):
        send("acao=atualizar&id_execucao=B1&estado=executando")
    send("acao=continuar&id_execucao=%s&estado=executando" % job_id)
    print(start, flush=True)
"""


def start_worker(path, sshd=None):
    pipes = dict(stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    if sshd:  # ended with the sshd
        return sshd.popen(command=" ".join(map(shlex.quote, ["python3", "-c", WORKER, path])), **pipes)
    return subprocess.Popen([sys.executable, "-c", WORKER, path], **pipes)  # ends with our end


def send(worker, job_id, count=1):
    """Has the worker write the messages; its clock just before the first."""
    worker.stdin.write("%d %s\n" % (count, job_id))
    worker.stdin.flush()
    return float(worker.stdout.readline() or "nan")


class LogWatch:
    """The debug log lines written since it was made."""

    def __init__(self, path):
        self.path = path
        self.mark = os.path.getsize(path) if os.path.exists(path) else 0

    def lines(self):
        with open(self.path, "rb") as f:
            f.seek(self.mark)
            return f.read().decode("utf-8", "replace").splitlines()

    def monitor_saw(self, job_ids):
        """True once a monitor summary ("MONITOR GETALL MUDOU", "TOTAL=n", n
        keys) lists every one of `job_ids`: that pass released them."""
        wanted = {job_id + "|" + JOB_GROUP for job_id in job_ids}
        lines = self.lines()
        for i, line in enumerate(lines):
            if line == "MONITOR GETALL MUDOU" and i + 1 < len(lines) \
                    and lines[i + 1].startswith("TOTAL="):
                count = int(lines[i + 1][len("TOTAL="):])
                if wanted <= set(lines[i + 2:i + 2 + count]):
                    return True
        return False


def lab_of(build):
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith("ACTIVATOR_LAB_ROOT:"):
                return line.split("=", 1)[1].strip()
    raise SystemExit("no ACTIVATOR_LAB_ROOT in %s/CMakeCache.txt" % build)


def percentile(sorted_values, fraction):
    index = min(len(sorted_values) - 1, max(0, round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def release(server, log, job_ids):
    """Dismisses the jobs once the monitor saw them, which frees their places."""
    shown = [server.desktop_ids[j] for j in job_ids]
    if not wait_until(lambda: log.monitor_saw(shown), WAIT, step=0.1):
        raise SystemExit("the monitor did not see %s (see %s)" % (shown, log.path))
    dismissed = threading.Event()
    GLib.idle_add(server.dismiss_all, dismissed)
    dismissed.wait(WAIT)  # before the next jobs, which would go with these


def measure_latency(server, worker, log, args, prefix):
    """The announcement-to-Notify times of --jobs jobs, in seconds."""
    total = args.warm_up + args.jobs
    latencies = []
    for first in range(0, total, args.batch):
        batch = ["%s-%d" % (prefix, i) for i in range(first, min(total, first + args.batch))]
        for i, job_id in enumerate(batch, first):
            start = send(worker, job_id)
            arrival = server.wait_for_job(job_id, WAIT)
            if arrival is None:
                raise SystemExit("no Notify for %s within %d s (see %s)" % (job_id, WAIT, log.path))
            if i >= args.warm_up:
                latencies.append(arrival - start)
        release(server, log, batch)
        sys.stderr.write("\r%s: %d/%d jobs" % (prefix, min(total, first + args.batch), total))
        sys.stderr.flush()
    sys.stderr.write("\n")
    return latencies


def start_link(desktop, build, sshd):
    """activator-remote linked to the sshd; the server's job pipe."""
    remote = os.path.join(build, "src", "remote_program", "activator-remote")
    serve = os.path.join(build, "tests", "remote", "remote_e2e_server")  # for the user's own lab
    # Its home is a tmpfs, where flushes cost nothing: the lab goes to a disk.
    disk = os.path.join(sshd.server_dir, "lab")
    os.makedirs(disk, mode=0o700, exist_ok=True)
    sshd.run("mkdir -p %s && ln -sfn %s %s/zorvell-lab" % (sshd.data_home, disk, sshd.data_home))
    proc = desktop.spawn("activator-remote", [remote] + sshd.ssh_options()
                         + ["--server-program", serve, sshd.destination()])
    said = os.path.join(desktop.workdir, "activator-remote.log")
    if not wait_until(lambda: "linked to" in open(said).read() or proc.poll() is not None, WAIT):
        raise SystemExit("activator-remote did not link (see %s)" % said)
    return os.path.join(sshd.data_home, "zorvell-lab", "pipe", "ZorvellWPNPlomtik_1")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.path.join(ROOT, "build"),
                        help="build folder holding src/host/activator (default: %(default)s)")
    parser.add_argument("--jobs", type=int, default=300, help="jobs measured (default: %(default)s)")
    parser.add_argument("--batch", type=int, default=10,
                        help="jobs between dismissals, below the display limit of 20"
                             " (default: %(default)s)")
    parser.add_argument("--warm-up", type=int, default=5,
                        help="jobs run first and not counted (default: %(default)s)")
    parser.add_argument("--messages", type=int, default=5000, help="per intake round; 0: none")
    parser.add_argument("--rounds", type=int, default=3, help="intake rounds (default: %(default)s)")
    parser.add_argument("--remote", action="store_true", help="also through activator-remote's link")
    args = parser.parse_args()
    if not 1 <= args.batch < 20:
        parser.error("--batch must be between 1 and 19")

    build = os.path.abspath(args.build)
    program = os.path.join(build, "src", "host", "activator")
    lab = lab_of(build)
    job_pipe = os.path.join(lab, "pipe", "ZorvellWPNPlomtik_1")
    log_path = os.path.join(lab, "Logs", "activator_debug.txt")
    if not os.access(program, os.X_OK):
        raise SystemExit("no program at %s: build it first (cmake --build %s --target activator)"
                         % (program, build))
    sshd = None
    if args.remote:
        from private_sshd import PrivateSshd, unavailable
        if unavailable():
            raise SystemExit("no private sshd here: " + unavailable())
        sshd = PrivateSshd(hidden=[lab])

    desktop = PrivateDesktop(with_x=False, with_dunst=False).start()
    loop = GLib.MainLoop()
    loop_thread = None
    try:
        os.environ["DBUS_SESSION_BUS_ADDRESS"] = desktop.bus_address
        DBusGMainLoop(set_as_default=True)
        server = ScriptedServer(dbus.bus.BusConnection(desktop.bus_address))
        loop_thread = threading.Thread(target=loop.run, daemon=True)
        loop_thread.start()

        log = LogWatch(log_path)
        proc = desktop.spawn("activator", [program])
        if not wait_until(lambda: os.path.exists(job_pipe) or proc.poll() is not None, WAIT) \
                or proc.poll() is not None:
            raise SystemExit("the program did not start serving %s" % job_pipe)
        workers = [("local job pipe", start_worker(job_pipe))]
        if sshd:
            sshd.start()
            workers.append(("through the link", start_worker(start_link(desktop, build, sshd), sshd)))

        run_id = "%x" % int(time.time())
        latencies = {name: measure_latency(server, worker, log, args, "bench%d-%s" % (n, run_id))
                     for n, (name, worker) in enumerate(workers)}
        rates = {name: [] for name, _ in workers}
        for r in range(args.rounds if args.messages > 0 else 0):
            for n, (name, worker) in enumerate(workers):
                job_id = "flood%d-%s-%d" % (n, run_id, r)
                start = send(worker, job_id, args.messages)
                arrival = server.wait_for_job(job_id, WAIT + args.messages / 100)
                if arrival is None:
                    raise SystemExit("no Notify for %s (see %s)" % (job_id, log_path))
                rates[name].append(args.messages / (arrival - start))
                sys.stderr.write("intake %d, %s: %.0f messages/s\n" % (r + 1, name, rates[name][-1]))
                release(server, log, [job_id])

        print("jobs measured: %d (after %d warm-up), in batches of %d"
              % (args.jobs, args.warm_up, args.batch))
        print("continuar written -> Notify received, milliseconds:")
        for name, values in latencies.items():
            ms = sorted(value * 1000 for value in values)
            print("  %-17s median %.2f   p95 %.2f   min %.2f   max %.2f   mean %.2f"
                  % (name, statistics.median(ms), percentile(ms, 0.95), ms[0], ms[-1],
                     statistics.fmean(ms)))
        if any(rates.values()):
            print("intake, median of %d rounds of %d messages (the last one shown):"
                  % (args.rounds, args.messages))
            for name, values in rates.items():
                print("  %-17s %.0f messages/s" % (name, statistics.median(values)))
    finally:
        loop.quit()
        if loop_thread:
            loop_thread.join(5)
        if sshd:
            sshd.stop()
        desktop.stop()


if __name__ == "__main__":
    main()
