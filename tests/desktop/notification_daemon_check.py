"""Checks of the activator against notification-daemon, a second real server.

notification-daemon differs from dunst where it matters to the program: it
shows one notification at a time and queues the rest itself, and a click on a
notification's body sends the action "default" (then closes the notification)
although no such action was offered. The checks click with xdotool on the
server's own window in a private X display.

Exits 77 (skipped) when the server, Xvfb, xdotool or the bus daemon are not
installed.

Usage: notification_daemon_check.py --program P --lab DIR --worker worker.py
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from private_desktop import (CHECK_WAIT as WAIT, PrivateDesktop, ProgramCheck,  # noqa: E402
                             run_checks, stop_process, wait_until)

SERVER = "/usr/lib/notification-daemon/notification-daemon"

# Where to click inside the server's 400 x 126 popup: its text, the
# "Exibir Resultado" button at the bottom right, the close button at the top
# right.
BODY = (60, 50)
BUTTON = (340, 100)
CLOSE = (388, 12)


class ActivatorOnNotificationDaemon(ProgramCheck):
    @classmethod
    def start_desktop(cls):
        desktop = PrivateDesktop(with_dunst=False).start()
        try:
            desktop.spawn("notification-daemon", [SERVER, "--replace"])
            answers = ["dbus-send", "--session", "--print-reply",
                       "--dest=org.freedesktop.Notifications", "/org/freedesktop/Notifications",
                       "org.freedesktop.Notifications.GetServerInformation"]
            if not wait_until(lambda: desktop.run(answers).returncode == 0, WAIT):
                raise RuntimeError("notification-daemon did not come up")
        except BaseException:
            desktop.stop()
            raise
        return desktop

    def setUp(self):
        self.assertTrue(wait_until(lambda: not self.popups(), WAIT), "a popup was left over")
        super().setUp()

    def popups(self):
        """The server's visible notification windows."""
        done = self.desktop.run(["xdotool", "search", "--onlyvisible", "--name", "^Notification$"])
        return done.stdout.split()

    def click(self, where):
        """Clicks the one popup at `where` until the server takes the click.

        A popup that has only just been mapped may not take input yet (on a
        loaded machine it is drawn later), so the click is repeated, bounded,
        until the popup goes away, as it does after any click that acts.
        """
        self.assertTrue(wait_until(lambda: len(self.popups()) == 1, WAIT), "no popup to click")
        popup = self.popups()[0]
        x, y = where
        for _ in range(5):
            self.desktop.run(["xdotool", "mousemove", "--window", popup, str(x), str(y)])
            done = self.desktop.run(["xdotool", "click", "1"])
            self.assertEqual(done.returncode, 0, done.stderr)
            if wait_until(lambda: popup not in self.popups(), 3):
                return
        self.fail("the popup did not take the click")

    def concluded_job_with_worker(self, job_id):
        """Announces and concludes `job_id` for a worker that serves one event."""
        self.log_mark = self._log_size()  # the lines of this job only
        pipe = os.path.join(self.config.lab, "pipe", "nd_check_" + job_id)
        serve = self.desktop.spawn(
            "worker-" + job_id,
            [sys.executable, self.config.worker, "--lab", self.config.lab, "serve", "--pipe", pipe,
             "--count", "1", "--seconds", str(WAIT * 2)],
            stdout=subprocess.PIPE)
        self.addCleanup(stop_process, serve)
        self.assertTrue(wait_until(lambda: os.path.exists(pipe), WAIT))
        self.worker("announce", job_id, "--pipe", pipe)
        self.wait_for_log_line("SHOW OK")
        self.worker("update", job_id, "concluido")
        self.wait_for_log_line("SHOW CONCLUIDA OK")
        return serve

    # --- checks -----------------------------------------------------------

    def test_a_click_on_the_button_or_the_body_reaches_the_worker(self):
        for where, job_id in ((BUTTON, "nd-button"), (BODY, "nd-body")):
            with self.subTest(job_id):
                serve = self.concluded_job_with_worker(job_id)
                self.click(where)
                out, _ = serve.communicate(timeout=WAIT)
                self.assertEqual(out, ("acao=salvar&id_execucao=%s&estado=concluido\n"
                                       % job_id).encode())
                self.assertNotIn("WPN CALLBACK ERROR", self.new_log_lines())

    def test_the_concluded_form_replaces_the_in_progress_one_and_a_dismissal_is_seen(self):
        self.worker("announce", "nd-replace")
        self.wait_for_log_line("SHOW OK")
        self.worker("update", "nd-replace", "concluido")
        self.wait_for_log_line("SHOW CONCLUIDA OK")
        # The server shows one at a time: had the concluded form been a second
        # notification, it would come up once the first is gone.
        self.wait_for_log_line("TOTAL=1")
        self.click(CLOSE)
        self.wait_for_log_line("TOTAL=0")
        self.assertFalse(wait_until(lambda: self.popups(), 2), "a second notification came up")


if __name__ == "__main__":
    sys.exit(run_checks(ActivatorOnNotificationDaemon, ["Xvfb", "dbus-daemon", "xdotool", SERVER]))
