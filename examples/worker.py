#!/usr/bin/env python3
"""A sample worker for the notification activator (Python standard library only).

The worker is the process that runs long jobs. It tells the activator about
each job, and about each change of a job's state, by writing one job message
into the activator's job pipe; it hears about clicks on the job's notification
through its own reply pipe; and it leaves a result index file for each job so
the activator can open the result itself when the worker is gone.

On Linux every pipe is a Unix domain socket:

  job pipe     <lab>/pipe/ZorvellWPNPlomtik_1 (served by the activator)
  reply pipe   a socket the worker listens on. Name it in the job message
               either as a plain absolute socket path (/tmp/my-worker.sock)
               or in the Windows form \\\\.\\pipe\\NAME, which the activator
               maps to <lab>/pipe/NAME. The activator uses the name exactly
               as this script sends it.

Job message (one per connection, written at once, then the socket is closed):

  acao=continuar&id_execucao=J1&pipe=<reply pipe>&estado=executando
  acao=atualizar&id_execucao=J1&estado=concluido        (or erro)

Optional fields go after the job id: descricao=<percent-encoded UTF-8, at
most 200 bytes, one line> (a line under the title), progresso=<0..100> (a
progress bar while the job runs):

  acao=continuar&id_execucao=J1&descricao=Nightly%20backup&pipe=<reply pipe>&estado=executando
  acao=atualizar&id_execucao=J1&progresso=40&estado=executando

Event message (one per connection on the reply pipe, read until EOF):

  acao=salvar&id_execucao=J1&estado=concluido

Result index file: <results prefix><job id>.path, whose first line is the full
path of the job's result file. The default results prefix is that of the
`activator` program, <lab>/Native/Host/Resultados/Resultado_; --flat selects
the one of `activator-flat`, <lab>/Resultados/Resultado_.

Examples:

  examples/worker.py run J1                   # a whole job, then wait for clicks
  examples/worker.py announce J2 --pipe '\\\\.\\pipe\\my_worker'
  examples/worker.py announce J3 --description 'Nightly backup'
  examples/worker.py progress J3 40
  examples/worker.py update J2 erro
  examples/worker.py serve --pipe '\\\\.\\pipe\\my_worker' --count 1

Event messages received are printed on standard output, one per line and
nothing else; progress notes go to standard error.
"""

import argparse
import os
import socket
import stat
import sys
import time
import urllib.parse

JOB_PIPE_NAME = "ZorvellWPNPlomtik_1"
PIPE_PREFIX = "\\\\.\\pipe\\"
# The activator reads one job message with a single read of at most this many
# bytes; anything longer would be cut short without notice.
MAX_JOB_MESSAGE = 4095
MAX_JOB_ID_UNITS = 64  # a notification's tag
MAX_DESCRIPTION_BYTES = 200  # of UTF-8, once decoded

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_LAB = os.path.join(REPO_ROOT, "build", "lab")


class WorkerError(Exception):
    """A failure this script reports in one line and exits 1 on."""


def note(text):
    print("worker: " + text, file=sys.stderr, flush=True)


def socket_path_for_pipe(lab, pipe_name):
    """The socket path the activator uses for `pipe_name`."""
    if pipe_name.startswith(PIPE_PREFIX) and len(pipe_name) > len(PIPE_PREFIX):
        return os.path.join(lab, "pipe", pipe_name[len(PIPE_PREFIX):])
    return pipe_name


def results_prefix(args):
    if args.results_prefix:
        return args.results_prefix
    if args.flat:
        return os.path.join(args.lab, "Resultados", "Resultado_")
    return os.path.join(args.lab, "Native", "Host", "Resultados", "Resultado_")


def check_job_id(job_id):
    # The activator ends the job id at the first "&"; such an id would reach it
    # cut short and be mistaken for another job.
    if "&" in job_id:
        raise WorkerError("a job id cannot contain '&': %r" % job_id)
    # The id is its notification's tag, which Windows bounds; the activator
    # refuses a longer one on every platform.
    if len(job_id.encode("utf-16-le", "surrogatepass")) // 2 > MAX_JOB_ID_UNITS:
        raise WorkerError("a job id has at most %d UTF-16 units: %r" % (MAX_JOB_ID_UNITS, job_id))


def check_description(text):
    # The activator ignores a description it cannot show on one line.
    if len(text.encode("utf-8")) > MAX_DESCRIPTION_BYTES:
        raise WorkerError("a description has at most %d bytes of UTF-8: %r"
                          % (MAX_DESCRIPTION_BYTES, text))
    if any(ord(c) < 0x20 or 0x7f <= ord(c) <= 0x9f for c in text):
        raise WorkerError("a description is one line without control characters: %r" % text)


def job_message(action, job_id, pipe, state, description=None, progress=None):
    check_job_id(job_id)
    if pipe is not None and "&estado=" in pipe:
        raise WorkerError("a reply pipe name cannot contain '&estado=': %r" % pipe)
    message = "acao=%s&id_execucao=%s" % (action, job_id)
    # Optional fields sit between the id and the pipe, where a reader that
    # does not know them passes over them.
    if description is not None:
        check_description(description)
        message += "&descricao=" + urllib.parse.quote(description, safe="")
    if progress is not None:
        if not 0 <= progress <= 100:
            raise WorkerError("a progress is a percentage from 0 to 100: %r" % progress)
        message += "&progresso=%d" % progress
    if pipe:
        message += "&pipe=" + pipe
    message += "&estado=" + state
    return message


def send_job_message(lab, message, timeout):
    """Writes one job message into the job pipe.

    A connection refused or not found (the activator not started yet, or its
    backlog full) is retried until `timeout` seconds have passed.
    """
    data = message.encode("utf-8")
    if len(data) > MAX_JOB_MESSAGE:
        raise WorkerError("job message longer than %d bytes" % MAX_JOB_MESSAGE)
    path = os.path.join(lab, "pipe", JOB_PIPE_NAME)
    deadline = time.monotonic() + timeout
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.settimeout(max(0.1, deadline - time.monotonic()))
            sock.connect(path)
            sock.sendall(data)
            sock.shutdown(socket.SHUT_WR)
            return
        except (FileNotFoundError, ConnectionRefusedError, BlockingIOError) as err:
            if time.monotonic() >= deadline:
                raise WorkerError("the activator is not serving %s (%s)" % (path, err.strerror))
        except socket.timeout:
            raise WorkerError("timed out writing to %s" % path)
        finally:
            sock.close()
        time.sleep(0.05)


class ReplyServer:
    """The worker's reply pipe: a listening socket, one event message per connection."""

    def __init__(self, lab, pipe_name):
        self.pipe_name = pipe_name
        self.path = socket_path_for_pipe(lab, pipe_name)
        if not os.path.isabs(self.path):
            raise WorkerError("the reply pipe must be an absolute socket path or %sNAME: %r"
                              % (PIPE_PREFIX, pipe_name))
        self._remove_stale_socket()
        os.makedirs(os.path.dirname(self.path), exist_ok=True)
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            self.sock.bind(self.path)
        except OSError as err:
            self.sock.close()
            raise WorkerError("cannot listen on %s (%s)" % (self.path, err.strerror))
        self.sock.listen(16)

    def _remove_stale_socket(self):
        # A socket file left by an earlier worker that ended without cleaning up
        # would make bind fail; anything that is not a socket is left alone.
        try:
            if stat.S_ISSOCK(os.lstat(self.path).st_mode):
                os.unlink(self.path)
        except FileNotFoundError:
            pass

    def next_event(self, timeout):
        """The next event message (bytes), or None when none came in `timeout` seconds."""
        self.sock.settimeout(max(0.0, timeout))
        try:
            conn, _ = self.sock.accept()
        except socket.timeout:
            return None
        with conn:
            conn.settimeout(5)
            chunks = []
            try:
                while True:
                    chunk = conn.recv(4096)
                    if not chunk:
                        break
                    chunks.append(chunk)
            except socket.timeout:
                note("a client on the reply pipe stopped writing without closing")
            return b"".join(chunks)

    def close(self):
        self.sock.close()
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass


def print_event(data):
    sys.stdout.buffer.write(data + b"\n")
    sys.stdout.buffer.flush()


def parse_event(data):
    """The event message's fields as a dict (values taken as they stand)."""
    fields = {}
    text = data.decode("utf-8", errors="replace")
    for key in ("acao", "id_execucao", "estado"):
        marker = ("" if key == "acao" else "&") + key + "="
        start = text.find(marker)
        if start < 0:
            continue
        start += len(marker)
        end = text.find("&", start) if key != "estado" else len(text)
        fields[key] = text[start:end if end >= 0 else len(text)]
    return fields


def serve_events(server, count, seconds, args):
    """Prints event messages until `count` arrived (0: no limit) or `seconds` passed."""
    received = 0
    deadline = time.monotonic() + seconds
    while count == 0 or received < count:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        data = server.next_event(remaining)
        if data is None:
            break
        received += 1
        print_event(data)
        fields = parse_event(data)
        if fields.get("acao") == "salvar":
            job_id = fields.get("id_execucao", "")
            note("result of %s asked for: %s" % (job_id, result_path_for(args, job_id)))
    return received


def result_path_for(args, job_id):
    return results_prefix(args) + job_id + ".txt"


def write_result(args, job_id, content):
    """Writes the job's result file, then its index file naming it.

    Both are written to a temporary name and renamed into place, so the
    activator never reads a half-written index or opens a half-written result.
    """
    check_job_id(job_id)
    if "/" in job_id or job_id in ("", ".", ".."):
        raise WorkerError("this worker keeps results only for job ids usable as file names: %r"
                          % job_id)
    prefix = results_prefix(args)
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    result = result_path_for(args, job_id)
    index = prefix + job_id + ".path"
    # The activator opens only an absolute path: a relative one would depend on
    # its working folder, not ours.
    for path, data in ((result, content), (index, os.path.abspath(result) + "\n")):
        tmp = "%s.tmp%d" % (path, os.getpid())
        with open(tmp, "w", encoding="utf-8", newline="\n") as f:
            f.write(data)
        os.replace(tmp, path)
    return result, index


def default_reply_pipe():
    return PIPE_PREFIX + "zorvell_worker_%d" % os.getpid()


# --- commands -------------------------------------------------------------


def cmd_send(args):
    send_job_message(args.lab, args.message, args.timeout)
    note("sent: " + args.message)


def cmd_announce(args):
    message = job_message("continuar", args.job, args.pipe, args.state, description=args.description,
                          progress=args.progress)
    send_job_message(args.lab, message, args.timeout)
    note("sent: " + message)


def cmd_update(args):
    message = job_message("atualizar", args.job, args.pipe, args.state)
    send_job_message(args.lab, message, args.timeout)
    note("sent: " + message)


def cmd_progress(args):
    message = job_message("atualizar", args.job, None, "executando", progress=args.percent)
    send_job_message(args.lab, message, args.timeout)
    note("sent: " + message)


def cmd_result(args):
    content = args.content if args.content is not None else default_result_text(args.job, "concluido")
    result, index = write_result(args, args.job, content)
    note("result %s, index %s" % (result, index))


def cmd_serve(args):
    server = ReplyServer(args.lab, args.pipe or default_reply_pipe())
    note("listening on %s (pipe name %s)" % (server.path, server.pipe_name))
    try:
        serve_events(server, args.count, args.seconds, args)
    finally:
        server.close()


def default_result_text(job_id, state):
    return "Job %s\nState: %s\nFinished: %s\n" % (
        job_id, state, time.strftime("%Y-%m-%d %H:%M:%S"))


def cmd_run(args):
    """A whole job: announce, work, write the result, conclude, serve clicks."""
    for job_id in args.jobs:
        check_job_id(job_id)
    server = ReplyServer(args.lab, args.pipe or default_reply_pipe())
    note("listening on %s (pipe name %s)" % (server.path, server.pipe_name))
    try:
        # The reply pipe listens before the job is announced, so no click on
        # the first notification can find it missing.
        for job_id in args.jobs:
            cmd_announce_one(args, job_id, server.pipe_name)
        time.sleep(args.work)
        for job_id in args.jobs:
            if args.final != "executando":
                write_result(args, job_id, default_result_text(job_id, args.final))
                send_job_message(args.lab, job_message("atualizar", job_id, None, args.final),
                                 args.timeout)
                note("%s: %s" % (job_id, args.final))
        if args.serve_for > 0:
            note("serving the reply pipe for clicks; Ctrl-C ends")
            serve_events(server, args.clicks, args.serve_for, args)
    finally:
        server.close()


def cmd_announce_one(args, job_id, pipe):
    send_job_message(args.lab, job_message("continuar", job_id, pipe, "executando"), args.timeout)
    note("%s: announced" % job_id)


def build_parser():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--lab", default=DEFAULT_LAB,
                        help="the activator's lab root (default: %(default)s)")
    group = parser.add_mutually_exclusive_group()
    group.add_argument("--flat", action="store_true",
                       help="use the results folder of activator-flat")
    group.add_argument("--results-prefix", help="results prefix, overriding --lab and --flat")
    parser.add_argument("--timeout", type=float, default=10.0,
                        help="seconds to keep retrying the job pipe (default: %(default)s)")
    sub = parser.add_subparsers(dest="command", required=True)

    p = sub.add_parser("send", help="write a raw job message")
    p.add_argument("message")
    p.set_defaults(func=cmd_send)

    p = sub.add_parser("announce", help="announce a job (acao=continuar)")
    p.add_argument("job")
    p.add_argument("--pipe", help="reply pipe name to send with it")
    p.add_argument("--state", default="executando")
    p.add_argument("--description", help="a line under the notification's title")
    p.add_argument("--progress", type=int,
                   help="the progress it starts at (0..100): its bar is there from the first show")
    p.set_defaults(func=cmd_announce)

    p = sub.add_parser("progress", help="move a running job's progress bar (acao=atualizar)")
    p.add_argument("job")
    p.add_argument("percent", type=int, help="0 to 100")
    p.set_defaults(func=cmd_progress)

    p = sub.add_parser("update", help="change a job's state (acao=atualizar)")
    p.add_argument("job")
    p.add_argument("state", help="concluido, erro or any other text")
    p.add_argument("--pipe", help="reply pipe name to send with it")
    p.set_defaults(func=cmd_update)

    p = sub.add_parser("result", help="write a job's result file and its index file")
    p.add_argument("job")
    p.add_argument("--content", help="the result's text")
    p.set_defaults(func=cmd_result)

    p = sub.add_parser("serve", help="serve a reply pipe and print the event messages")
    p.add_argument("--pipe", help="reply pipe name (default: %szorvell_worker_<pid>)" % PIPE_PREFIX)
    p.add_argument("--count", type=int, default=0, help="stop after this many events (0: no limit)")
    p.add_argument("--seconds", type=float, default=3600, help="stop after this long")
    p.set_defaults(func=cmd_serve)

    p = sub.add_parser("run", help="a whole job: announce, work, conclude, serve clicks")
    p.add_argument("jobs", nargs="+", metavar="job")
    p.add_argument("--pipe", help="reply pipe name (default: %szorvell_worker_<pid>)" % PIPE_PREFIX)
    p.add_argument("--work", type=float, default=3.0, help="seconds of work (default: %(default)s)")
    p.add_argument("--final", default="concluido",
                   help="final state: concluido, erro, or executando to leave it running")
    p.add_argument("--clicks", type=int, default=0, help="event messages to wait for afterwards")
    p.add_argument("--serve-for", type=float, default=600,
                   help="seconds to keep serving the reply pipe afterwards, 0 for none"
                        " (default: %(default)s)")
    p.set_defaults(func=cmd_run)
    return parser


def main(argv=None):
    args = build_parser().parse_args(argv)
    args.lab = os.path.abspath(args.lab)
    try:
        args.func(args)
    except WorkerError as err:
        note(str(err))
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
