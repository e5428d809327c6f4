"""Two-process harness for the stream tests, under Python 2.7 and 3.

Run as a script, this file is one stream peer (`streamproc.py peer '<json config>'`): it binds a
UDP socket on 127.0.0.1, prints "PORT <n>", accepts or connects one stream, sends a seeded
pattern and/or reads and checks it, prints "RESULT <json>" and stays alive until its standard
input closes, so that the module's runner can finish delivering and closing after the peer's
work is done. Imported, it offers the parent's side: Child, which starts such a process and
reads its lines, and Pattern, the seeded byte stream both sides agree on.

Lines that do not start with one of the harness's words (the module's own log) are kept as
context for failure messages.
"""

from __future__ import print_function

import hashlib
import json
import os
import struct
import subprocess
import sys
import threading
import time

try:
    import queue
except ImportError:  # Python 2.7
    import Queue as queue

HERE = os.path.dirname(os.path.abspath(__file__))
CHUNK = 1 << 20
# Under a sanitizer runtime (preloaded into the interpreter) everything runs several times
# slower, and the allocator's quarantine and shadow memory make a process's size meaningless.
SANITIZED = any(name in os.environ.get("LD_PRELOAD", "") for name in ("libasan", "libtsan"))
MB = 1 << 20
TRANSFER_LIMIT = 400  # seconds for any one transfer; far above what a loaded machine needs


class Pattern(object):
    """A byte stream of 1 MiB chunks: chunk i is a seeded random block rotated by a distance of
    its own, with i in its first 8 bytes, so bytes delivered at a wrong place never match."""

    def __init__(self, seed):
        seed = str(seed).encode("ascii")
        block = b"".join(hashlib.sha256(seed + struct.pack(">I", i)).digest()
                         for i in range(CHUNK // 32))
        self.doubled = block + block  # every rotation is one slice of this

    def chunk(self, index, size=CHUNK):
        return self.piece(index, 0, size)

    def piece(self, index, offset, size):
        """size bytes of chunk index from offset on (within the chunk)."""
        start = (index * 4099) % CHUNK + offset  # odd step: a different rotation per chunk
        data = self.doubled[start:start + size]
        if offset >= 8:
            return data
        head = struct.pack(">Q", index)[offset:]
        return (head + data[len(head):])[:size]

    def slice(self, pos, size):
        out = []
        while size > 0:
            index, offset = divmod(pos, CHUNK)
            take = min(size, CHUNK - offset)
            out.append(self.piece(index, offset, take))
            pos += take
            size -= take
        return b"".join(out)


def pattern_sha(seed, size):
    """The SHA-256 of the first size bytes of the pattern of seed."""
    digest, pattern = hashlib.sha256(), Pattern(seed)
    for index in range(0, size, CHUNK):
        digest.update(pattern.chunk(index // CHUNK, min(CHUNK, size - index)))
    return digest.hexdigest()


# ---- the peer (child process) ---------------------------------------------------------------

def rss_kb():
    """(VmRSS, VmHWM) of this process in KiB, from /proc."""
    fields = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields.get("VmRSS", 0), fields.get("VmHWM", 0)


def say(word, payload=""):
    sys.stdout.write("%s %s\n" % (word, payload))
    sys.stdout.flush()


class Peer(object):

    def __init__(self, config):
        import quillane_native
        import socket
        self.q = quillane_native
        self.config = config
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind(("127.0.0.1", 0))
        self.commands = queue.Queue()
        self.result = {}

    def stdin_reader(self):
        for line in iter(sys.stdin.readline, ""):
            self.commands.put(line.strip())
        self.commands.put("exit")

    def open(self):
        say("PORT", str(self.sock.getsockname()[1]))
        if self.config.get("listen"):
            return self.q.UTP_Make(self.sock.fileno(), None, 0, 1)
        return self.q.UTP_Make(self.sock.fileno(), "127.0.0.1", self.config["port"], 0)

    def send(self, handle):
        total, size = self.config["send"], self.config.get("write_size", CHUNK)
        step = self.config.get("progress", 0)
        pattern, digest, sent = Pattern(self.config["seed"]), hashlib.sha256(), 0
        while sent < total:
            data = pattern.slice(sent, min(size, total - sent))
            taken = self.q.UTP_Write(handle, data)
            digest.update(data[:taken])
            sent += taken
            if step and sent // step != (sent - taken) // step:
                say("SENT", str(sent))
            if taken < len(data):
                break
        self.result.update(sent=sent, sent_sha=digest.hexdigest())

    def receive(self, handle, got=0):
        """Reads until recv bytes (or, for -1, the end of the stream) and checks them against
        the peer's pattern; got bytes were already read and checked."""
        total = self.config.get("recv", -1)
        pattern = Pattern(self.config["peer_seed"])
        digest, mismatch = hashlib.sha256(pattern.slice(0, got)), None
        while total < 0 or got < total:
            want = CHUNK if total < 0 else min(CHUNK, total - got)
            data = self.q.UTP_Read(handle, want)
            if data is None:
                break
            if mismatch is None:
                expected = pattern.slice(got, len(data))
                if data != expected:
                    mismatch = got + next(i for i in range(len(data))
                                          if data[i:i + 1] != expected[i:i + 1])
            digest.update(data)
            got += len(data)
        self.result.update(received=got, received_sha=digest.hexdigest(), mismatch=mismatch)

    def hold_reads(self, handle):
        """The slow reader: nothing is read until the parent says "drain" (memory is noted
        then); then small reads with pauses, so the window has to reopen bit by bit."""
        say("HOLDING", "")
        while self.commands.get() != "drain":
            pass
        self.result["held_rss_kb"] = rss_kb()[0]
        pattern, got = Pattern(self.config["peer_seed"]), 0
        for _ in range(self.config.get("slow_reads", 0)):
            data = self.q.UTP_Read(handle, 16384)
            if data is None or data != pattern.slice(got, len(data)):
                self.result["slow_read_failed_at"] = got
                break
            got += len(data)
            time.sleep(0.005)
        return got

    def run(self):
        reader = threading.Thread(target=self.stdin_reader)
        reader.daemon = True
        reader.start()
        handle = self.open()
        self.result["base_rss_kb"] = rss_kb()[0]
        if not handle:
            say("RESULT", json.dumps({"handle": None}))
            return
        sender = threading.Thread(target=self.send, args=(handle,))
        if self.config.get("send"):
            sender.start()
        got = self.hold_reads(handle) if self.config.get("hold") else 0
        if self.config.get("recv", 0):
            self.receive(handle, got)
        if sender.ident is not None:
            sender.join()
        self.q.UTP_Close(handle)
        self.result["hwm_kb"] = rss_kb()[1]
        say("RESULT", json.dumps(self.result))
        while self.commands.get() != "exit":
            pass


def peer_main(config):
    watchdog = threading.Timer(config.get("watchdog", 600), os._exit, (3,))
    watchdog.daemon = True
    watchdog.start()
    peer = Peer(config)
    peer.run()
    sys.stdout.flush()
    # The socket stays open to the end (the runner may still be using it), and the runner
    # thread is never stopped, so nothing waits for it.
    os._exit(0 if peer.sock else 1)


# ---- the parent's side -----------------------------------------------------------------------

WORDS = ("PORT", "SENT", "HOLDING", "RESULT", "RELAY", "STATS")


class ChildFailed(AssertionError):
    pass


class Child(object):
    """A child process whose standard output is read line by line in a thread."""

    def __init__(self, name, argv):
        self.name = name
        env = dict(os.environ)
        if SANITIZED:
            # A report ends the child at once, so the test fails instead of merely printing it.
            env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS"),
                                                        "halt_on_error=1"]))
        self.proc = subprocess.Popen([sys.executable] + argv, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, universal_newlines=True, env=env)
        self.lines = queue.Queue()
        self.backlog = []  # the harness's lines read while waiting for another word
        self.context = []  # the child's last other lines (the module's log), for failures
        self.pump = threading.Thread(target=self._pump)
        self.pump.daemon = True
        self.pump.start()

    @classmethod
    def peer(cls, name, **config):
        return cls(name, [os.path.join(HERE, "streamproc.py"), "peer", json.dumps(config)])

    def _pump(self):
        for line in iter(self.proc.stdout.readline, ""):
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, word, timeout):
        """The payload of the next line starting with word; fails on exit or time-out."""
        for i, line in enumerate(self.backlog):
            if line.startswith(word + " "):
                del self.backlog[i]
                return line[len(word) + 1:]
        deadline = time.time() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                self.fail("no %s line within %d s" % (word, timeout))
            if line is None:
                self.lines.put(None)
                self.fail("exited (code %s) before a %s line" % (self.proc.wait(), word))
            if line.startswith(word + " "):
                return line[len(word) + 1:]
            self.note(line)

    def poll_word(self, word):
        """Payloads of the lines starting with word that are there now (no waiting); the
        harness's other lines stay for expect."""
        found = []
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return found
            if line is None:
                self.lines.put(None)
                return found
            if line.startswith(word + " "):
                found.append(line[len(word) + 1:])
            else:
                self.note(line)

    def note(self, line):
        if line.split(" ", 1)[0] in WORDS:
            self.backlog.append(line)
        else:
            self.context = (self.context + [line])[-20:]

    def result(self, timeout):
        return json.loads(self.expect("RESULT", timeout))

    def tell(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def fail(self, what):
        raise ChildFailed("%s %s; its last lines:\n  %s" % (self.name, what,
                                                           "\n  ".join(self.context)))

    def stop(self, grace=20):
        """Closes standard input (the child exits), kills it after grace seconds."""
        try:
            self.proc.stdin.close()
        except (IOError, OSError):
            pass
        deadline = time.time() + grace
        while self.proc.poll() is None and time.time() < deadline:
            time.sleep(0.05)
        if self.proc.poll() is None:
            self.proc.kill()
        status = self.proc.wait()
        self.pump.join(5)
        if not self.pump.is_alive():
            self.proc.stdout.close()
        return status


class Children(object):
    """Stops every child on the way out, failures included."""

    def __init__(self):
        self.children = []

    def add(self, child):
        self.children.append(child)
        return child

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for child in self.children:
            child.stop()
        return False


if __name__ == "__main__" and sys.argv[1:2] == ["peer"]:
    peer_main(json.loads(sys.argv[2]))
