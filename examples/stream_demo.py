# -*- coding: utf-8 -*-
"""A file sent over a uTP stream between two processes on 127.0.0.1.

This process makes a file of random bytes, starts a receiving process (which listens on a UDP
socket of its own) and a sending process (which connects to it from another UDP socket), shows
the receiver's progress and the throughput, and checks the SHA-256 of the file that arrived.
Every datagram between the two is masked on the wire.

Run with `make demo` (Python 2.7, after the tour of examples/demo.py), or
build/py3 examples/stream_demo.py [megabytes].
"""
from __future__ import division, print_function

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time

SIZE_MB = 48
PIECE = 256 * 1024
# Socket buffers as a throughput-minded application sets them (the system may cap the size);
# the module raises smaller buffers to 131072 bytes and leaves larger ones alone.
SOCKET_BUFFER = 4 << 20


# ---- the two peers, each a process of its own -----------------------------------------------

def tell(*words):
    """A line for the showing process; the module's own log lines go to the same output."""
    sys.stdout.write("@ %s\n" % " ".join(str(w) for w in words))
    sys.stdout.flush()


def udp_socket():
    import socket
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        sock.setsockopt(socket.SOL_SOCKET, option, SOCKET_BUFFER)
    sock.bind(("127.0.0.1", 0))
    return sock


def receiver(path):
    import quillane_native as q
    import socket
    sock = udp_socket()
    tell("port", sock.getsockname()[1], sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF))
    stream = q.UTP_Make(sock.fileno(), None, 0, 1)  # waits for the sender to connect
    start = last_report = time.time()
    got = 0
    with open(path, "wb") as out:
        while True:
            data = q.UTP_Read(stream, 1 << 20)  # whatever is there, up to 1 MiB
            if data is None:  # the sender closed: every byte has arrived
                break
            out.write(data)
            got += len(data)
            if time.time() - last_report >= 0.1:
                tell("progress", got, time.time() - start)
                last_report = time.time()
    elapsed = time.time() - start
    q.UTP_Close(stream)
    tell("done", got, elapsed)
    sys.stdin.read()  # stay until told: the close handshake needs this process


def sender(path, port):
    import quillane_native as q
    sock = udp_socket()
    stream = q.UTP_Make(sock.fileno(), "127.0.0.1", port, 0)
    sent = 0
    with open(path, "rb") as source:
        for piece in iter(lambda: source.read(PIECE), b""):
            sent += q.UTP_Write(stream, piece)  # returns once the stream has taken it all
    q.UTP_Close(stream)  # the receiver reads the end of the stream after the last byte
    tell("sent", sent)
    sys.stdin.read()


# ---- the showing process --------------------------------------------------------------------

class Peer(object):

    def __init__(self, *args):
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__)] + list(args),
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     universal_newlines=True)

    def next_message(self):
        """The next line meant for us, split into words; stops the demo if the process ended."""
        for line in iter(self.proc.stdout.readline, ""):
            if line.startswith("@ "):
                return line.split()[1:]
        raise SystemExit("a peer process ended early (status %s)" % self.proc.wait())

    def finish(self):
        """Lets the process end; its exit status."""
        self.proc.stdin.close()
        return self.proc.wait()


def sha256_of(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def progress_bar(got, total, elapsed, width=30):
    done = int(width * got / total)
    rate = got / (1 << 20) / elapsed if elapsed > 0 else 0.0
    return "  [%s%s] %5.1f / %.1f MB  %6.1f MB/s" % (
        "#" * done, "." * (width - done), got / (1 << 20), total / (1 << 20), rate)


def show_transfer(receiving, total):
    """Follows the receiver's reports; returns (bytes, seconds) from its last one."""
    live = sys.stdout.isatty()
    next_mark = 0.25
    while True:
        message = receiving.next_message()
        kind, got, elapsed = message[0], int(message[1]), float(message[2])
        if kind == "done":
            if live:
                sys.stdout.write("\r" + progress_bar(got, total, elapsed) + "\n")
            return got, elapsed
        if live:
            sys.stdout.write("\r" + progress_bar(got, total, elapsed))
            sys.stdout.flush()
        elif got >= next_mark * total:  # a log, not a terminal: a line per quarter
            print(progress_bar(got, total, elapsed))
            next_mark += 0.25


def main(size_mb):
    print("uTP file transfer on Python %d.%d" % sys.version_info[:2])
    print("-" * 32)
    folder = tempfile.mkdtemp(prefix="quillane-demo-")
    try:
        source, target = os.path.join(folder, "source.bin"), os.path.join(folder, "received.bin")
        with open(source, "wb") as f:
            for _ in range(size_mb):
                f.write(os.urandom(1 << 20))
        total, source_sha = os.path.getsize(source), sha256_of(source)
        print("file to send                -> %d MB of random bytes, SHA-256 %s..."
              % (size_mb, source_sha[:16]))
        receiving = Peer("--receive", target)
        port, buffer_size = receiving.next_message()[1:3]
        print("receiving process           -> pid %d, listening on UDP 127.0.0.1:%s"
              % (receiving.proc.pid, port))
        print("socket buffers              -> %d KiB asked for, %d KiB as the system reports it"
              % (SOCKET_BUFFER // 1024, int(buffer_size) // 1024))
        sending = Peer("--send", source, port)
        print("sending process             -> pid %d, connecting from a UDP socket of its own"
              % sending.proc.pid)
        got, elapsed = show_transfer(receiving, total)
        sending.next_message()
        for name, peer in (("sending", sending), ("receiving", receiving)):
            status = peer.finish()
            if status != 0:
                print("the %s process ended with status %d" % (name, status))
        received_sha = sha256_of(target)
        print("received                    -> %.1f MB in %.2f s: %.1f MB/s"
              % (got / (1 << 20), elapsed, got / (1 << 20) / elapsed))
        print("SHA-256 of the received file -> %s... %s" % (
            received_sha[:16], "matches" if received_sha == source_sha else "DIFFERS"))
        return 0 if received_sha == source_sha and got == total else 1
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    if sys.argv[1:2] == ["--receive"]:
        receiver(sys.argv[2])
    elif sys.argv[1:2] == ["--send"]:
        sender(sys.argv[2], int(sys.argv[3]))
    else:
        sys.exit(main(int(sys.argv[1]) if len(sys.argv) > 1 else SIZE_MB))
