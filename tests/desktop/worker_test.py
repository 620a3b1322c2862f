"""Tests of the sample worker (examples/worker.py) against a stand-in job pipe.

The stand-in serves the job pipe as the activator does: one listening socket
for the whole run, one connection at a time, one message per connection. Usage: worker_test.py --worker examples/worker.py
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

WORKER = None
WAIT = 15


class StandInJobPipe:
    """Records the job messages written into <lab>/pipe/ZorvellWPNPlomtik_1."""

    def __init__(self, lab, start_delay=0.0):
        self.path = os.path.join(lab, "pipe", "ZorvellWPNPlomtik_1")
        self.messages = []
        self.seen_when = []  # what a callback saw when each message arrived
        self.on_message = None
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, args=(start_delay,), daemon=True)
        self._thread.start()

    def _serve(self, start_delay):
        time.sleep(start_delay)
        # Like the activator: one listening socket for the whole run, so a
        # worker that connects while a message is handled waits in the backlog.
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.bind(self.path)
        sock.listen(16)
        sock.settimeout(0.1)
        try:
            while not self._stop.is_set():
                try:
                    conn, _ = sock.accept()
                except socket.timeout:
                    continue
                with conn:
                    conn.settimeout(5)
                    data = conn.recv(4095)
                self.messages.append(data.decode())
                if self.on_message:
                    self.seen_when.append(self.on_message(data.decode()))
        finally:
            sock.close()
            os.unlink(self.path)

    def wait_for(self, count):
        deadline = time.monotonic() + WAIT
        while len(self.messages) < count and time.monotonic() < deadline:
            time.sleep(0.02)
        return self.messages

    def stop(self):
        self._stop.set()
        self._thread.join(WAIT)


def send_event(path, message):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(message)


def wait_for_path(path):
    deadline = time.monotonic() + WAIT
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.02)
    return os.path.exists(path)


class WorkerTest(unittest.TestCase):
    def setUp(self):
        self.lab = tempfile.mkdtemp(prefix="worker-test-")
        os.makedirs(os.path.join(self.lab, "pipe"))
        self.children = []
        self.job_pipe = None

    def tearDown(self):
        for proc in self.children:
            if proc.poll() is None:
                proc.kill()
            proc.communicate()
        if self.job_pipe:
            self.job_pipe.stop()
        shutil.rmtree(self.lab, ignore_errors=True)

    def argv(self, *args):
        return [sys.executable, WORKER, "--lab", self.lab] + list(args)

    def run_worker(self, *args):
        return subprocess.run(self.argv(*args), capture_output=True, timeout=WAIT + 10)

    def start_worker(self, *args):
        proc = subprocess.Popen(self.argv(*args), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.children.append(proc)
        return proc

    def results_dir(self):
        return os.path.join(self.lab, "Native", "Host", "Resultados")

    def test_job_messages_as_the_activator_reads_them(self):
        self.job_pipe = StandInJobPipe(self.lab)
        self.assertEqual(self.run_worker("announce", "J1", "--pipe", "\\\\.\\pipe\\w").returncode, 0)
        self.assertEqual(self.run_worker("announce", "J2", "--progress", "0").returncode, 0)
        self.assertEqual(self.run_worker("update", "J1", "erro").returncode, 0)
        self.assertEqual(self.run_worker("send", "acao=abortar&id_execucao=J1&estado=x").returncode, 0)
        self.assertEqual(self.run_worker("announce", "J3", "--pipe", "/tmp/w",
                                         "--description", "C\u00f3pia & backup").returncode, 0)
        self.assertEqual(self.run_worker("progress", "J3", "40").returncode, 0)
        self.assertEqual(self.job_pipe.wait_for(6), [
            "acao=continuar&id_execucao=J1&pipe=\\\\.\\pipe\\w&estado=executando",
            "acao=continuar&id_execucao=J2&progresso=0&estado=executando",
            "acao=atualizar&id_execucao=J1&estado=erro",
            "acao=abortar&id_execucao=J1&estado=x",
            "acao=continuar&id_execucao=J3&descricao=C%C3%B3pia%20%26%20backup&pipe=/tmp/w"
            "&estado=executando",
            "acao=atualizar&id_execucao=J3&progresso=40&estado=executando",
        ])

    def test_waits_for_a_job_pipe_that_is_not_served_yet(self):
        self.job_pipe = StandInJobPipe(self.lab, start_delay=1.0)
        done = self.run_worker("announce", "late")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(self.job_pipe.wait_for(1), ["acao=continuar&id_execucao=late&estado=executando"])

    def test_refuses_what_the_activator_would_misread(self):
        # Nothing is served: a refused message must fail before it is sent,
        # not because nobody listened.
        cases = [
            ("announce", "J&1"),                                  # id cut at "&"
            ("announce", "J" * 65),                               # longer than a tag
            ("announce", "J1", "--pipe", "/tmp/a&estado=b"),      # pipe cut at "&estado="
            ("send", "acao=continuar&id_execucao=" + "x" * 4100),  # longer than one read
            ("result", "../escape"),                              # outside the results folder
            ("announce", "J1", "--description", "\u00e9" * 101),  # longer than 200 bytes
            ("announce", "J1", "--description", "two\nlines"),
            ("progress", "J1", "101"),
        ]
        for args in cases:
            with self.subTest(args=args[:2]):
                done = self.run_worker("--timeout", "0.2", *args)
                self.assertEqual(done.returncode, 1)
                self.assertNotIn(b"not serving", done.stderr)
        self.assertEqual(os.listdir(os.path.join(self.lab, "pipe")), [])
        self.assertFalse(os.path.exists(os.path.join(self.lab, "Native", "escape.txt")))

    def test_no_activator_is_a_clear_failure(self):
        done = self.run_worker("--timeout", "0.3", "announce", "J1")
        self.assertEqual(done.returncode, 1)
        self.assertIn(b"not serving", done.stderr)

    def test_result_and_index_files(self):
        done = self.run_worker("result", "42", "--content", "answer\n")
        self.assertEqual(done.returncode, 0, done.stderr)
        result = os.path.join(self.results_dir(), "Resultado_42.txt")
        with open(os.path.join(self.results_dir(), "Resultado_42.path"), "rb") as f:
            self.assertEqual(f.read(), result.encode() + b"\n")
        with open(result) as f:
            self.assertEqual(f.read(), "answer\n")
        self.assertEqual(sorted(os.listdir(self.results_dir())),
                         ["Resultado_42.path", "Resultado_42.txt"])  # no temporary left

        self.assertEqual(self.run_worker("--flat", "result", "42").returncode, 0)
        flat = os.path.join(self.lab, "Resultados", "Resultado_42.path")
        with open(flat) as f:
            self.assertEqual(f.read(), os.path.join(self.lab, "Resultados", "Resultado_42.txt\n"))

    def test_reply_pipe_prints_each_event_byte_for_byte(self):
        pipe_path = os.path.join(self.lab, "pipe", "reply")
        # A socket file left by a worker that died must not stop a new one.
        stale = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        stale.bind(pipe_path)
        stale.close()

        serve = self.start_worker("serve", "--pipe", "\\\\.\\pipe\\reply", "--count", "2",
                                  "--seconds", str(WAIT))
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            try:
                send_event(pipe_path, b"acao=abortar&id_execucao=J 1&estado=executando")
                break
            except (ConnectionRefusedError, FileNotFoundError):
                time.sleep(0.02)
        send_event(pipe_path, b"acao=salvar&id_execucao=J2&estado=")
        out, err = serve.communicate(timeout=WAIT)
        self.assertEqual(serve.returncode, 0, err)
        self.assertEqual(out, b"acao=abortar&id_execucao=J 1&estado=executando\n"
                              b"acao=salvar&id_execucao=J2&estado=\n")
        self.assertFalse(os.path.exists(pipe_path))  # cleaned up on the way out

    def test_whole_job(self):
        self.job_pipe = StandInJobPipe(self.lab)
        index = os.path.join(self.results_dir(), "Resultado_R1.path")
        # The index must already be there when the activator hears the job ended.
        self.job_pipe.on_message = lambda message: os.path.exists(index)
        reply = os.path.join(self.lab, "reply.sock")
        run = self.start_worker("run", "R1", "--pipe", reply, "--work", "0.1", "--final", "erro",
                                "--clicks", "1", "--serve-for", str(WAIT))
        messages = self.job_pipe.wait_for(2)
        self.assertEqual(messages, [
            "acao=continuar&id_execucao=R1&pipe=%s&estado=executando" % reply,
            "acao=atualizar&id_execucao=R1&estado=erro",
        ])
        self.assertEqual(self.job_pipe.seen_when, [False, True])
        send_event(reply, b"acao=salvar&id_execucao=R1&estado=erro")
        out, err = run.communicate(timeout=WAIT)
        self.assertEqual(run.returncode, 0, err)
        self.assertEqual(out, b"acao=salvar&id_execucao=R1&estado=erro\n")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--worker", required=True)
    args, rest = parser.parse_known_args()
    WORKER = os.path.abspath(args.worker)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
