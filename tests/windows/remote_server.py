#!/usr/bin/env python3
"""A "server" of Linux programs for activator-remote.exe under wine.

Usage: remote_server.py SERVE_PROGRAM RUNNER_PROGRAM -- TEST COMMAND...

Listens on a TCP port of this machine (ACTIVATOR_TEST_LINK_PORT for the
test), where tests/windows/ssh_standin.exe brings each link; runs
SERVE_PROGRAM --serve on it, for a lab of its own (XDG_DATA_HOME). Once
the keeper serves the job pipe, runs one job there with RUNNER_PROGRAM
(activator-run), id R1, whose output is its result, and writes its exit
status to worker-status in ACTIVATOR_TEST_SERVER_HOME. Runs the test command,
ends every process it started by its id, and exits with the test's status
(77 when the Linux programs are missing).
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time


def main():
    split = sys.argv.index("--")
    serve, runner = sys.argv[1:split]
    test = sys.argv[split + 1:]
    if not all(os.access(p, os.X_OK) for p in (serve, runner)):
        print("remote_server.py: no Linux build of the programs (%s)" % serve)
        return 77
    home = tempfile.mkdtemp(prefix="remote_server_")
    env = dict(os.environ, XDG_DATA_HOME=home, HOME=home)
    lab = os.path.join(home, "zorvell-lab")
    started = []
    # What the server's programs say goes to a file, shown when the test
    # failed: a process left holding the test's output would hold its run.
    log = open(os.path.join(home, "server.log"), "w")
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)

    def serve_links():
        while True:
            try:
                connection, _ = listener.accept()
            except OSError:
                return
            started.append(subprocess.Popen([serve, "--serve"], stdin=connection,
                                            stdout=connection, stderr=log,
                                            env=env))
            connection.close()

    def run_job():
        job_pipe = os.path.join(lab, "pipe", "ZorvellWPNPlomtik_1")
        deadline = time.monotonic() + 120
        while not os.path.exists(job_pipe) and time.monotonic() < deadline:
            time.sleep(0.05)
        worker = subprocess.Popen(
            [runner, "--id", "R1", "--description", "noturno", "--",
             "sh", "-c", "echo resultado do servidor; exec sleep 600"],
            env=env, stdout=subprocess.DEVNULL, stderr=log)
        started.append(worker)
        # For the test, which cannot see a Linux process end.
        with open(os.path.join(home, "worker-status"), "w") as out:
            out.write(str(worker.wait()))

    threading.Thread(target=serve_links, daemon=True).start()
    threading.Thread(target=run_job, daemon=True).start()
    port = str(listener.getsockname()[1])
    status = subprocess.call(test, env=dict(os.environ, ACTIVATOR_TEST_LINK_PORT=port,
                                            ACTIVATOR_TEST_SERVER_HOME=home))
    listener.close()
    # The keeper left the link's session: its pid is its log's first line.
    keeper_log = os.path.join(lab, "State", "remote-keeper.log")
    pids = [p.pid for p in started]
    if os.path.exists(keeper_log):
        with open(keeper_log) as log:
            pids += [int(word) for word in log.readline().split() if word.isdigit()][:1]
    for pid in pids:
        try:
            os.kill(pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
    for process in started:
        process.wait(timeout=30)
    if status != 0:
        with open(log.name) as said:
            sys.stdout.write(said.read())
    return status


if __name__ == "__main__":
    sys.exit(main())
