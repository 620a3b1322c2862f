"""Checks of the activator against dunst, a real notification server.

A private desktop (Xvfb, a private session bus, dunst with the demo's
configuration) and a copy of the program built for a lab of its own; the
sample worker announces and concludes jobs. dunst folds notifications with
equal texts into one, so these checks are what shows that different jobs stay
different notifications while a job's later form still replaces its earlier.

Exits 77 (skipped) when dunst, Xvfb or the bus daemon are not installed.

Usage: dunst_check.py --program P --lab DIR --worker worker.py --dunstrc FILE
                      --editor-record FILE
"""

import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from private_desktop import (CHECK_WAIT as WAIT, PrivateDesktop, ProgramCheck,  # noqa: E402
                             run_checks, stop_process, wait_until)



class ActivatorOnDunst(ProgramCheck):
    @classmethod
    def start_desktop(cls):
        return PrivateDesktop(dunstrc=cls.config.dunstrc).start()

    def setUp(self):
        self.desktop.dunstctl("close-all")
        self.assertTrue(wait_until(lambda: self.desktop.dunst_count("displayed") == 0, WAIT))
        super().setUp()

    def settled_count(self, expected):
        """dunst's displayed count once it equals `expected`, or what it is after the wait."""
        wait_until(lambda: self.desktop.dunst_count("displayed") == expected, 5)
        return self.desktop.dunst_count("displayed")

    def history_bodies(self, job_id):
        """Bodies of the notifications in dunst's history that stand for `job_id`."""
        done = self.desktop.dunstctl("history")
        self.assertEqual(done.returncode, 0, done.stderr)
        bodies = []
        for group in json.loads(done.stdout)["data"]:
            for entry in group:
                body = entry["body"]["data"]
                if job_id in body.split("\n"):
                    bodies.append(body)
        return bodies

    # --- checks -----------------------------------------------------------

    def test_jobs_with_equal_texts_stay_separate_notifications(self):
        for job in ("merge-a", "merge-b", "merge-c"):
            self.worker("announce", job)
        self.wait_for_log_line("SHOW OK", 3)
        self.assertEqual(self.settled_count(3), 3)

        # Two jobs concluding: the same form, the same texts.
        self.worker("update", "merge-a", "concluido")
        self.worker("update", "merge-b", "concluido")
        self.wait_for_log_line("SHOW CONCLUIDA OK", 2)
        self.assertEqual(self.settled_count(3), 3)

    def test_later_form_of_a_job_replaces_the_earlier(self):
        self.worker("announce", "replace-1")
        self.wait_for_log_line("SHOW OK")
        self.assertEqual(self.settled_count(1), 1)

        self.worker("update", "replace-1", "erro")
        self.wait_for_log_line("SHOW ERRO OK")
        self.assertEqual(self.settled_count(1), 1)

        self.worker("update", "replace-1", "concluido")
        self.wait_for_log_line("SHOW CONCLUIDA OK")
        self.assertEqual(self.settled_count(1), 1)

        # What the user saw last is the concluded form, and only it: the
        # replaced forms never reached the history.
        self.desktop.dunstctl("close-all")
        self.assertTrue(wait_until(lambda: self.desktop.dunst_count("displayed") == 0, WAIT))
        self.assertEqual(self.history_bodies("replace-1"), ["Processo Concluido\nreplace-1"])

    def test_click_on_dunst_reaches_the_worker(self):
        pipe = os.path.join(self.config.lab, "pipe", "dunst_check_worker")
        serve = self.desktop.spawn(
            "worker-serve",
            [sys.executable, self.config.worker, "--lab", self.config.lab, "serve", "--pipe", pipe,
             "--count", "1", "--seconds", str(WAIT * 2)],
            stdout=subprocess.PIPE)
        try:
            self.assertTrue(wait_until(lambda: os.path.exists(pipe), WAIT))
            self.worker("announce", "click-1", "--pipe", pipe)
            self.wait_for_log_line("SHOW OK")
            self.worker("update", "click-1", "concluido")
            self.wait_for_log_line("SHOW CONCLUIDA OK")
            self.assertEqual(self.settled_count(1), 1)

            # The only notification shown is the first position.
            done = self.desktop.dunstctl("action", "0")
            self.assertEqual(done.returncode, 0, done.stderr)
            out, _ = serve.communicate(timeout=WAIT)
            self.assertEqual(out, b"acao=salvar&id_execucao=click-1&estado=concluido\n")
            self.wait_for_log_line("EVENT SENT")
        finally:
            stop_process(serve)

    def test_a_worker_written_from_the_docs_alone(self):
        # tests/desktop/short_worker.py: its click reaches it while it
        # listens, and once it is gone its result opens through its index.
        worker = os.path.join(os.path.dirname(os.path.abspath(__file__)), "short_worker.py")
        record = self.config.editor_record
        prefix = os.path.join(self.config.lab, "Native", "Host", "Resultados", "Resultado_")

        def recorded():
            with open(record) as f:
                return f.read()

        for job, worker_stays in (("short-1", True), ("short-2", False)):
            with self.subTest(job=job):
                self.desktop.dunstctl("close-all")
                self.assertTrue(wait_until(lambda: self.desktop.dunst_count("displayed") == 0, WAIT))
                # Nothing of an earlier run may stand in for what the worker writes.
                for path in (record, prefix + job + ".path", prefix + job + ".txt"):
                    if os.path.exists(path):
                        os.remove(path)
                self.log_mark = self._log_size()
                run = self.desktop.spawn("short-worker", [sys.executable, worker, job, self.config.lab],
                                         stdout=subprocess.PIPE)
                try:
                    self.wait_for_log_line("SHOW CONCLUIDA OK")
                    if not worker_stays:
                        stop_process(run)  # gone, leaving its socket behind
                    done = self.desktop.dunstctl("action", "0")
                    self.assertEqual(done.returncode, 0, done.stderr)
                    if worker_stays:
                        out, _ = run.communicate(timeout=WAIT)
                        self.assertEqual(out, b"acao=salvar&id_execucao=%s&estado=concluido\n"
                                         % job.encode())
                    else:
                        result = prefix + job + ".txt"
                        self.wait_for_log_line("RESULTADO ABERTO PELO INDICE=" + result)
                        self.assertTrue(wait_until(lambda: os.path.exists(record) and
                                                   "\nARG %s\n" % result in recorded(), WAIT))
                finally:
                    stop_process(run)
                    run.stdout.close()


if __name__ == "__main__":
    sys.exit(run_checks(ActivatorOnDunst, ["Xvfb", "dbus-daemon", "dunst", "dunstctl"],
                        ("--dunstrc", "--editor-record")))
