"""Two-process harness for the stream tests, under Python 2.7 and 3.

`streamproc.py peer '<json config>'` is one peer: it prints "PORT <n>" and "BASE <RSS KiB>", accepts
(listen) or makes (port) one stream, sends `send` bytes of pattern `seed` (then prints "SENT <taken>")
and/or reads `recv` (-1: all) checked against pattern `peer_seed`, closes the stream (unless
`keep_open`), prints "RESULT <json>" and lives on
until its standard input closes, answering "rss" with "RSS <KiB>". With `hold` it reads after "drain";
with `watch` it prints "STALLED <bytes taken>" once its writes stop. With `attack` (a count) it
makes that many streams to `port` at once, each writing `write` bytes, and prints "READY <connected>".
With `reuse` it runs a stream pair over a socket, closes both and the socket on "go", and counts
what a new socket given the same descriptor receives ("REUSED <port>", then "GOT <datagrams>").
"""

import collections
import hashlib
import heapq
import itertools
import json
import os
import random
import select
import signal
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
    """1 MiB chunks, chunk i a seeded random block rotated by i * 4099 (odd, so no two of the
    first 2^20 chunks alike): bytes delivered at a wrong place never match."""

    def __init__(self, seed):
        seed = str(seed).encode("ascii")
        block = b"".join(hashlib.sha256(seed + struct.pack(">I", i)).digest() for i in range(CHUNK // 32))
        self.doubled = block + block  # every rotation is one slice of this

    def slice(self, pos, size):
        out = []
        while size > 0:
            index, offset = divmod(pos, CHUNK)
            take = min(size, CHUNK - offset)
            start = (index * 4099) % CHUNK + offset
            out.append(self.doubled[start:start + take])
            pos, size = pos + take, size - take
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


def rss_kb():
    """(VmRSS, VmHWM) of this process in KiB."""
    fields = dict(line.split(":", 1) for line in open("/proc/self/status") if ":" in line)
    return int(fields["VmRSS"].split()[0]), int(fields["VmHWM"].split()[0])


def say(word, payload):
    sys.stdout.write("%s %s\n" % (word, payload))
    sys.stdout.flush()


def forged_syn(conn_id, seq):
    """A version-1 SYN as a peer sends it, masked (key: byte 7, the time stamp's low byte)."""
    syn = bytearray(struct.pack(">BBHIIIHH", 0x41, 0, conn_id, 0x0A0B0C5A, 0, 1 << 20, seq, 0))
    return bytes(bytearray(b if i == 7 else b ^ 0x5A for i, b in enumerate(syn)))


def serve_stdin():
    """Until standard input closes: "rss" is answered with the process's size."""
    for line in iter(sys.stdin.readline, ""):
        if line.strip() == "rss":
            say("RSS", rss_kb()[0])
    os._exit(0)  # the runner thread is never stopped, so nothing waits for it


def attack(q, config):
    sock, made = udp(), []

    def one():
        handle = q.UTP_Make(sock.fileno(), "127.0.0.1", config["port"], 0)
        connected = q.UTP_Write(handle, b"a") == 1  # a refused or failed stream takes nothing
        made.append(connected)
        if connected:
            q.UTP_Write(handle, b"a" * config["write"])
    for _ in range(config["attack"]):
        thread = threading.Thread(target=one)
        thread.daemon = True
        thread.start()
    deadline = time.time() + 60
    while len(made) < config["attack"] and time.time() < deadline:
        time.sleep(0.05)
    say("READY", sum(made))
    serve_stdin()


def reuse(q):
    sock, other = udp(), udp()
    say("PORT", sock.getsockname()[1])
    handles = []
    accept = threading.Thread(target=lambda: handles.append(q.UTP_Make(sock.fileno(), None, 0, 1)))
    accept.start()
    handles.append(q.UTP_Make(other.fileno(), "127.0.0.1", sock.getsockname()[1], 0))
    accept.join()
    while sys.stdin.readline().strip() not in ("go", ""):
        pass
    for handle in handles:
        q.UTP_Close(handle)
    number = sock.fileno()
    other.close()
    sock.close()
    new = udp()
    assert new.fileno() == number, (new.fileno(), number)
    say("REUSED", new.getsockname()[1])
    got, deadline = 0, time.time() + 5
    while got < 50 and time.time() < deadline:
        if select.select([new], [], [], 0.1)[0]:
            new.recv(100)
            got += 1
    say("GOT", got)
    serve_stdin()


def peer(config):
    import quillane_native as q
    signal.alarm(600)  # a watchdog
    if config.get("attack"):
        return attack(q, config)
    if config.get("reuse"):
        return reuse(q)
    sock = udp()
    say("PORT", sock.getsockname()[1])
    say("BASE", rss_kb()[0])
    listen = config.get("listen")
    handle = q.UTP_Make(sock.fileno(), None if listen else "127.0.0.1", config.get("port", 0), int(bool(listen)))
    if not handle:
        sys.exit("no stream")
    result = dict(base_rss_kb=rss_kb()[0], sent=0)

    def send():
        total, pattern = config["send"], Pattern(config["seed"])
        while result["sent"] < total:
            data = pattern.slice(result["sent"], min(config.get("write_size", CHUNK), total - result["sent"]))
            taken = q.UTP_Write(handle, data)
            result["sent"] += taken
            if taken < len(data):
                break
        say("SENT", result["sent"])

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
    if not config.get("keep_open"):
        q.UTP_Close(handle)
    result["hwm_kb"] = rss_kb()[1]
    say("RESULT", json.dumps(result))
    serve_stdin()


class Child(object):
    """A peer process whose output lines are read in a thread; the last ones (the module's log
    among them) are kept as context for failure messages."""

    def __init__(self, test, name, config):
        self.name, self.lines, self.context = name, queue.Queue(), collections.deque(maxlen=20)
        env = dict(os.environ)
        if SANITIZED:  # a report ends the child at once, so the test fails instead of printing it
            env["TSAN_OPTIONS"] = ":".join(filter(None, [env.get("TSAN_OPTIONS"), "halt_on_error=1"]))
        self.proc = subprocess.Popen([sys.executable, "streamproc.py", "peer", json.dumps(config)], env=env,
                                     cwd=HERE, stdin=subprocess.PIPE, stdout=subprocess.PIPE, universal_newlines=True)
        pump = threading.Thread(target=self._pump)
        pump.daemon = True
        pump.start()
        test.addCleanup(self.stop)

    def _pump(self):
        for line in iter(self.proc.stdout.readline, ""):
            self.context.append(line.rstrip("\n"))
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, word, timeout=60):
        """The payload of the next line "word payload"; fails on exit or time-out."""
        deadline = time.time() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.time()))
            except queue.Empty:
                self.fail("no %s line within %d s" % (word, timeout))
            if line is None:
                self.lines.put(None)
                self.fail("exited (code %s) before a %s line" % (self.proc.poll(), word))
            if line.startswith(word + " "):
                return line[len(word) + 1:]

    def result(self, timeout):
        return json.loads(self.expect("RESULT", timeout))

    def fail(self, what):
        raise AssertionError("%s %s; its last lines:\n  %s" % (self.name, what, "\n  ".join(self.context)))

    def tell(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def stop(self):
        """Closes standard input (the child exits); kills it after 20 s."""
        self.proc.stdin.close()
        killer = threading.Timer(20, self.proc.kill)
        killer.start()
        self.proc.wait()
        killer.cancel()


class Relay(threading.Thread):
    """An impaired path in the test's process: datagrams to `port` go on to target_port from a
    second socket, the answers back to whoever last wrote to `port`. Every datagram is delayed by
    `delay` s; a fraction `drop` is lost, `duplicate` sent twice (the copy up to 10 ms later),
    `reorder` held back 2 to 20 ms more. The choices come from `seed` (timing still varies)."""

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

    def start_pair(self, listener, connector, relay=None):
        """A listening peer and a peer that connects to it, through a Relay if given."""
        a = Child(self, "listener", dict(listener, listen=True))
        port = int(a.expect("PORT"))
        if relay is not None:
            self.relay = Relay(port, **relay)
            self.relay.start()
            self.addCleanup(self.relay.stop)
            port = self.relay.port
        return a, Child(self, "connector", dict(connector, port=port))

    def assertReceived(self, result, size, note=""):
        """size bytes arrived, each equal to the sender's pattern (mismatch: the first that was not)."""
        self.assertEqual((size, None), (result["received"], result["mismatch"]), note)


if __name__ == "__main__" and sys.argv[1:2] == ["peer"]:
    peer(json.loads(sys.argv[2]))
