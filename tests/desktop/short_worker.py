"""A whole worker from README.md and docs/protocol.md alone: announces JOB
with a reply pipe, writes its result and index, concludes it, and prints the
first event message that comes back. Usage: short_worker.py JOB [LAB]"""
import os
import socket
import sys

job = sys.argv[1]
data_home = os.environ.get("XDG_DATA_HOME") or os.path.expanduser("~/.local/share")
lab = sys.argv[2] if len(sys.argv) > 2 else os.path.join(data_home, "zorvell-lab")
prefix = os.path.join(lab, "Native", "Host", "Resultados", "Resultado_")
reply = os.path.join(lab, "pipe", "short_worker_" + job)


def send(message):  # one message per connection; the close ends it
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(os.path.join(lab, "pipe", "ZorvellWPNPlomtik_1"))
        s.sendall(message.encode())


def write(path, text):  # under another name, renamed into place
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


if os.path.exists(reply):
    os.remove(reply)  # left by a worker that died
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(reply)
listener.listen()
send("acao=continuar&id_execucao=%s&pipe=%s&estado=executando" % (job, reply))
write(prefix + job + ".txt", "the result of %s\n" % job)
write(prefix + job + ".path", prefix + job + ".txt\n")
send("acao=atualizar&id_execucao=%s&estado=concluido" % job)
conn, _ = listener.accept()
with conn:
    event = b"".join(iter(lambda: conn.recv(4096), b""))
print(event.decode(), flush=True)
os.unlink(reply)
