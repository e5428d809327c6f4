"""Two-process harness for the stream tests, under Python 2.7 and 3.

Run as `streamproc.py peer '<json config>'`, this file is one stream peer: it binds a UDP socket
on 127.0.0.1, prints "PORT <n>", accepts (listen) or connects (port) one stream, sends `send`
bytes of the pattern of `seed` and/or reads `recv` bytes (-1: to the end), comparing each with the
pattern of `peer_seed`, prints "RESULT <json>" and stays alive until its standard input closes,
so that the module's runner can finish delivering and closing. With `hold`, it reads nothing
until told "drain"; with `watch`, it prints "STALLED <bytes taken>" once its writes have made no
progress for a few seconds (or are done).

Imported, it offers the parent's side: PeerTest, whose children are stopped after each test,
and Relay, an impairing path between two peers.
"""

import hashlib
import heapq
import itertools
import json
import os
import random
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

try:
    import queue
except ImportError:  # Python 2.7
    import Queue as queue

HERE = os.path.dirname(os.path.abspath(__file__))
MB = CHUNK = 1 << 20
# Under a sanitizer (preloaded by CTest) everything runs several times slower, and the
# allocator's quarantine and shadow memory make a process's size meaningless.
SANITIZED = bool(os.environ.get("QN_SANITIZED"))
TRANSFER_LIMIT = 400  # seconds for any one transfer; far above what a loaded machine needs


class Pattern(object):
    """A byte stream of 1 MiB chunks: chunk i is a seeded random block rotated by a distance of
    its own, with i in its first 8 bytes, so bytes delivered at a wrong place never match."""

    def __init__(self, seed):
        seed = str(seed).encode("ascii")
        block = b"".join(hashlib.sha256(seed + struct.pack(">I", i)).digest() for i in range(CHUNK // 32))
        self.doubled = block + block  # every rotation is one slice of this

    def slice(self, pos, size):
        out = []
        while size > 0:
            index, offset = divmod(pos, CHUNK)
            take = min(size, CHUNK - offset)
            start = (index * 4099) % CHUNK + offset  # odd step: a different rotation per chunk
            data = self.doubled[start:start + take]
            if offset < 8:
                data = (struct.pack(">Q", index)[offset:] + data[8 - offset:])[:take]
            out.append(data)
            pos += take
            size -= take
        return b"".join(out)


# Sockets stay open until the process ends: a closing stream still polls its socket, and a
# descriptor reused meanwhile would hand another stream's datagrams to it.
KEEP_OPEN = []


def udp(host="127.0.0.1", port=0, buffer=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF) if buffer else ():
        sock.setsockopt(socket.SOL_SOCKET, option, buffer)
    sock.bind((host, port))
    KEEP_OPEN.append(sock)
    return sock


# ---- the peer (child process) ---------------------------------------------------------------

def rss_kb():
    """(VmRSS, VmHWM) of this process in KiB."""
    fields = dict(line.split(":", 1) for line in open("/proc/self/status") if ":" in line)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def say(word, payload):
    sys.stdout.write("%s %s\n" % (word, payload))
    sys.stdout.flush()


def peer(config):
    import quillane_native as q
    watchdog = threading.Timer(600, os._exit, (3,))
    watchdog.daemon = True
    watchdog.start()
    sock = udp()
    say("PORT", sock.getsockname()[1])
    if config.get("listen"):
        handle = q.UTP_Make(sock.fileno(), None, 0, 1)
    else:
        handle = q.UTP_Make(sock.fileno(), "127.0.0.1", config["port"], 0)
    if not handle:
        sys.exit("no stream")
    result = dict(base_rss_kb=rss_kb()[0], sent=0)

    def send():
        total, size = config["send"], config.get("write_size", CHUNK)
        pattern = Pattern(config["seed"])
        while result["sent"] < total:
            data = pattern.slice(result["sent"], min(size, total - result["sent"]))
            taken = q.UTP_Write(handle, data)
            result["sent"] += taken
            if taken < len(data):
                break

    sender = threading.Thread(target=send)
    if config.get("send"):
        sender.start()
    if config.get("watch"):
        last, since = -1, time.time()
        while sender.is_alive() and time.time() - since < 3:
            if result["sent"] != last:
                last, since = result["sent"], time.time()
            time.sleep(0.1)
        say("STALLED", result["sent"])
    got, total, pattern, mismatch = 0, config.get("recv", 0), Pattern(config.get("peer_seed", 0)), None
    if config.get("hold"):
        while sys.stdin.readline().strip() not in ("drain", ""):
            pass
        result["held_rss_kb"] = rss_kb()[0]
    while total and (total < 0 or got < total):
        # While held, small reads with pauses first, so the window has to reopen bit by bit.
        slow = config.get("hold") and got < 200 * 16384
        data = q.UTP_Read(handle, 16384 if slow else CHUNK if total < 0 else min(CHUNK, total - got))
        if data is None:
            break
        expected = pattern.slice(got, len(data)) if mismatch is None else data
        if data != expected:
            mismatch = got + next(i for i in range(len(data)) if data[i:i + 1] != expected[i:i + 1])
        got += len(data)
        if slow:
            time.sleep(0.005)
    result.update(received=got, mismatch=mismatch)
    if sender.ident is not None:
        sender.join()
    q.UTP_Close(handle)
    result["hwm_kb"] = rss_kb()[1]
    say("RESULT", json.dumps(result))
    while sys.stdin.readline():
        pass
    os._exit(0)  # the runner thread is never stopped, so nothing waits for it


# ---- the parent's side -----------------------------------------------------------------------

class Child(object):
    """A child process whose lines "WORD payload" are read in a thread; its other lines (the
    module's log) are kept as context for failure messages."""

    def __init__(self, name, argv):
        self.name, self.words, self.context = name, {}, []
        env = dict(os.environ)
        if SANITIZED:  # a report ends the child at once, so the test fails instead of printing it
            env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS"), "halt_on_error=1"]))
        self.proc = subprocess.Popen([sys.executable] + argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     universal_newlines=True, env=env, cwd=HERE)
        self.pump = threading.Thread(target=self._pump)
        self.pump.daemon = True
        self.pump.start()

    def _queue(self, word):
        return self.words.setdefault(word, queue.Queue())

    def _pump(self):
        for line in iter(self.proc.stdout.readline, ""):
            word, _, payload = line.rstrip("\n").partition(" ")
            if word.isupper() and word.isalpha():
                self._queue(word).put(payload)
            else:
                self.context = (self.context + [line.rstrip("\n")])[-20:]
        self.proc.stdout.close()

    def expect(self, word, timeout=60):
        """The payload of the next line starting with word; fails on exit or time-out."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            try:
                return self._queue(word).get(timeout=0.5)
            except queue.Empty:
                if self.proc.poll() is not None and not self.pump.is_alive() and self._queue(word).empty():
                    self.fail("exited (code %s) before a %s line" % (self.proc.returncode, word))
        self.fail("no %s line within %d s" % (word, timeout))

    def result(self, timeout):
        return json.loads(self.expect("RESULT", timeout))

    def fail(self, what):
        raise AssertionError("%s %s; its last lines:\n  %s" % (self.name, what, "\n  ".join(self.context)))

    def tell(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def stop(self, grace=20):
        """Closes standard input (the child exits); kills it after grace seconds."""
        self.proc.stdin.close()
        deadline = time.time() + grace
        while self.proc.poll() is None and time.time() < deadline:
            time.sleep(0.05)
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        self.pump.join(5)


class Relay(threading.Thread):
    """An impaired path, run in the test's process: datagrams sent to `port` go on to target_port
    from a second socket, and the target's answers go back to whoever last wrote to `port`.
    Every datagram, both ways, is delayed by `delay` seconds; a fraction `drop` is lost, a
    fraction `duplicate` is sent twice (the copy up to 10 ms later), a fraction `reorder` is held
    back 2 to 20 ms more so that later ones overtake it. The choices come from `seed`, so a
    failing run can be repeated with them (timing still varies)."""

    def __init__(self, target_port, **config):
        threading.Thread.__init__(self)
        self.daemon, self.config, self.running = True, config, True
        self.target = ("127.0.0.1", target_port)
        self.front, self.back = udp(buffer=4 << 20), udp(buffer=4 << 20)
        self.port = self.front.getsockname()[1]
        self.stats = dict(forwarded=0, dropped=0, duplicated=0, out_of_order=0)

    def stop(self):
        self.running = False
        self.join(10)

    def run(self):
        c, rng, stats = self.config, random.Random(self.config["seed"]), self.stats
        front_peer, due, sequences, last_sent = None, [], itertools.count(1), {}
        while self.running:
            wait = min(0.5, max(0.0, due[0][0] - time.time())) if due else 0.5
            for ready in select.select([self.front, self.back], [], [], wait)[0]:
                data, source = ready.recvfrom(65536)
                if ready is self.front:
                    front_peer, out, address = source, self.back, self.target
                elif front_peer is None:
                    continue
                else:
                    out, address = self.front, front_peer
                sequence = next(sequences)
                if rng.random() < c["drop"]:
                    stats["dropped"] += 1
                    continue
                when = time.time() + c["delay"] + (rng.uniform(0.002, 0.020) if rng.random() < c["reorder"] else 0)
                heapq.heappush(due, (when, sequence, out, data, address))
                if rng.random() < c["duplicate"]:
                    stats["duplicated"] += 1
                    heapq.heappush(due, (when + rng.uniform(0, 0.010), sequence, out, data, address))
            while due and due[0][0] <= time.time():
                _, sequence, out, data, address = heapq.heappop(due)
                if sequence < last_sent.get(out, 0):
                    stats["out_of_order"] += 1
                last_sent[out] = max(sequence, last_sent.get(out, 0))
                try:
                    out.sendto(data, address)
                    stats["forwarded"] += 1
                except socket.error:
                    stats["dropped"] += 1  # the kernel's buffer was full: a loss like any other


class PeerTest(unittest.TestCase):

    def child(self, name, *argv):
        child = Child(name, list(argv))
        self.addCleanup(child.stop)
        return child

    def start_pair(self, listener, connector, relay=None):
        """A listening peer and a peer that connects to it, through a Relay if given."""
        a = self.child("listener", "streamproc.py", "peer", json.dumps(dict(listener, listen=True)))
        port = int(a.expect("PORT"))
        if relay is not None:
            self.relay = Relay(port, **relay)
            self.relay.start()
            self.addCleanup(self.relay.stop)
            port = self.relay.port
        b = self.child("connector", "streamproc.py", "peer", json.dumps(dict(connector, port=port)))
        return a, b

    def assertReceived(self, result, size, note=""):
        """size bytes arrived, each equal to the sender's pattern (mismatch: the first that was not)."""
        self.assertEqual((size, None), (result["received"], result["mismatch"]), note)


if __name__ == "__main__" and sys.argv[1:2] == ["peer"]:
    peer(json.loads(sys.argv[2]))
