"""Stream benchmark: uTP streams between two processes on 127.0.0.1 against baselines run
side by side in the same run.

Baselines: a raw UDP blaster of 1402-byte datagrams (C++, bench/udp_blast; the Python blaster
beside it for reference), Python's TCP sendall/recv, a TCP 64-byte ping-pong. Stream figures,
once with the sockets as created (the module raises smaller buffers to 131072) and once with
sockets the application enlarged to 4 MiB: one stream's payload MB/s with its time to steady
state and CPU time per MB on each side, 20 concurrent streams over one socket per side, a 64-byte
ping-pong, and the time from connect to the first byte.

Usage: build/py3 bench/stream_bench.py [path/to/udp_blast] [--quick] [--only NAMES]
                                       [--wrap 'COMMAND {name}'] [--seconds S]
  --only    comma-separated subset of: udp, tcp, single, multi, pingpong, connect
  --wrap    a command that every uTP child runs under, {name} replaced by the child's name,
            for example --wrap 'perf record -g -o /tmp/{name}.data --'
Each process is a child of this one (the same file with a role); each prints "RESULT <json>"
and stays alive until its standard input closes, so that closing streams can finish.
"""

from __future__ import print_function

import json
import os
import resource
import shlex
import socket
import subprocess
import sys
import threading
import time

MB = 1 << 20
DATAGRAM = 1402
ENLARGED = 4 << 20
HERE = os.path.abspath(__file__)


def now():
    return time.perf_counter()


def cpu_seconds():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def say(word, payload):
    sys.stdout.write("%s %s\n" % (word, json.dumps(payload)))
    sys.stdout.flush()


# Every socket a role opens stays open until the process exits: a stream still closing uses it.
SOCKETS = []


def udp_socket(buf, announce=True):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if buf:
        for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
            s.setsockopt(socket.SOL_SOCKET, option, buf)
    s.bind(("127.0.0.1", 0))
    SOCKETS.append(s)
    if announce:
        say("PORT", s.getsockname()[1])
    return s


def receive_buffer_drops():
    """The host's count of UDP datagrams dropped because a socket's receive buffer was full
    (Linux, /proc/net/snmp); None where it cannot be read. Other processes add to it too."""
    try:
        with open("/proc/net/snmp") as f:
            rows = [line.split() for line in f if line.startswith("Udp:")]
        return int(rows[1][rows[0].index("RcvbufErrors")])
    except (IOError, OSError, IndexError, ValueError):
        return None


def buffer_sizes(s):
    return [s.getsockopt(socket.SOL_SOCKET, o) for o in (socket.SO_RCVBUF, socket.SO_SNDBUF)]


# ---- roles: each runs in a child process ------------------------------------------------------

ROLES = {}


def role(fn):
    ROLES[fn.__name__] = fn
    return fn


class Arrivals(object):
    """Bytes received over time: the rate per interval, the steady rate, when it was reached."""

    def __init__(self):
        self.stamps = []
        self.lock = threading.Lock()

    def add(self, count):
        t = now()
        with self.lock:
            self.stamps.append((t, count))

    def summary(self, bucket=0.25):
        stamps = sorted(self.stamps)
        if len(stamps) < 2:
            return dict(bytes=sum(c for _, c in stamps), seconds=0.0, rate=0.0)
        t0, t1 = stamps[0][0], stamps[-1][0]
        total = sum(c for _, c in stamps)
        buckets = [0] * (int((t1 - t0) / bucket) + 1)
        for t, c in stamps:
            buckets[int((t - t0) / bucket)] += c
        rates = [b / bucket / MB for b in buckets[:-1]] or [total / MB / max(t1 - t0, 1e-9)]
        # Steady state: the mean rate over the second half of the run.
        tail = rates[len(rates) // 2:]
        steady = sum(tail) / len(tail)
        # When it was reached: the start of the first one-second window averaging 90% of it.
        width = max(1, min(len(rates), int(1.0 / bucket)))
        reached = None
        for i in range(len(rates) - width + 1):
            if sum(rates[i:i + width]) / width >= 0.9 * steady:
                reached = i * bucket
                break
        return dict(bytes=total, seconds=t1 - t0, rate=total / MB / (t1 - t0), steady=steady,
                    steady_after=reached, series=[round(r, 1) for r in rates])


@role
def udp_sink(cfg):
    s = udp_socket(cfg["buf"])
    s.settimeout(5.0)
    buf = bytearray(65536)
    got, first, last, cpu0 = 0, None, None, 0.0
    while True:
        try:
            n = s.recv_into(buf)
        except socket.timeout:
            break
        if n == 1:
            break
        if first is None:
            first, cpu0 = now(), cpu_seconds()
        got += n
        last = now()
    s.settimeout(None)
    say("RESULT", dict(bytes=got, seconds=(last or 0) - (first or 0),
                       cpu=cpu_seconds() - cpu0, buffers=buffer_sizes(s)))


@role
def udp_blast(cfg):
    s = udp_socket(cfg["buf"])
    s.connect(("127.0.0.1", cfg["port"]))
    data, sent, end = b"\x5a" * DATAGRAM, 0, now() + cfg["seconds"]
    while now() < end:
        for _ in range(256):
            try:
                s.send(data)
                sent += 1
            except OSError:
                pass  # ENOBUFS: the datagram is lost, as it would be on a wire
    for _ in range(50):
        try:
            s.send(b"!")
        except OSError:
            break  # the sink is gone: it has seen an end marker
        time.sleep(0.01)
    say("RESULT", dict(datagrams=sent))


@role
def tcp_sink(cfg):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    say("PORT", listener.getsockname()[1])
    conn, _ = listener.accept()
    buf, arrivals, cpu0 = bytearray(MB), Arrivals(), None
    while True:
        n = conn.recv_into(buf)
        if not n:
            break
        if cpu0 is None:
            cpu0 = cpu_seconds()
        arrivals.add(n)
    say("RESULT", dict(arrivals.summary(), cpu=cpu_seconds() - cpu0))


@role
def tcp_send(cfg):
    conn = socket.create_connection(("127.0.0.1", cfg["port"]))
    data, sent, end, cpu0 = os.urandom(MB), 0, now() + cfg["seconds"], cpu_seconds()
    while sent < cfg["bytes"] and now() < end:
        conn.sendall(data)
        sent += len(data)
    conn.close()
    say("RESULT", dict(sent=sent, cpu=cpu_seconds() - cpu0))


@role
def tcp_echo(cfg):
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    say("PORT", listener.getsockname()[1])
    conn, _ = listener.accept()
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    while True:
        data = conn.recv(65536)
        if not data:
            break
        conn.sendall(data)
    say("RESULT", {})


def ping_loop(write, read, count, rounds=5):
    """RTTs in microseconds of 64-byte round trips, after a warm-up: `rounds` rounds of `count`;
    the round with the lowest median counts (load from elsewhere only ever adds time)."""
    message, best = b"p" * 64, None
    for r in range(rounds + 1):
        rtts = []
        for _ in range(count):
            t0 = now()
            write(message)
            got = 0
            while got < len(message):
                data = read(64 - got)
                if not data:
                    raise RuntimeError("the echo stopped")
                got += len(data)
            rtts.append((now() - t0) * 1e6)
        rtts.sort()
        result = dict(median=rtts[len(rtts) // 2], p90=rtts[int(len(rtts) * 0.9)])
        if r and (best is None or result["median"] < best["median"]):  # round 0 warms up
            best = result
    return best


@role
def tcp_ping(cfg):
    conn = socket.create_connection(("127.0.0.1", cfg["port"]))
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    result = ping_loop(conn.sendall, conn.recv, cfg["count"])
    conn.close()
    say("RESULT", result)


def utp_open(cfg, s):
    import quillane_native as q
    if cfg.get("port"):
        return q, q.UTP_Make(s.fileno(), "127.0.0.1", cfg["port"], 0)
    return q, q.UTP_Make(s.fileno(), None, 0, 1)


def utp_read_all(q, handle, arrivals):
    while True:
        data = q.UTP_Read(handle, MB)
        if data is None:
            return
        arrivals.add(len(data))


def utp_write_for(q, handle, budget, end):
    data, sent = os.urandom(MB), 0
    while sent < budget and now() < end:
        taken = q.UTP_Write(handle, data[:min(MB, budget - sent)])
        sent += taken
        if taken == 0:
            break
    return sent


@role
def utp_recv(cfg):
    """Accepts `streams` streams on one socket and reads each to its end in its own thread."""
    s = udp_socket(cfg["buf"])
    import quillane_native as q
    handles = [q.UTP_Make(s.fileno(), None, 0, 1) for _ in range(cfg["streams"])]
    arrivals, cpu0 = Arrivals(), cpu_seconds()
    threads = [threading.Thread(target=utp_read_all, args=(q, h, arrivals)) for h in handles]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    cpu = cpu_seconds() - cpu0
    for h in handles:
        q.UTP_Close(h)
    say("RESULT", dict(arrivals.summary(), cpu=cpu, buffers=buffer_sizes(s)))


@role
def utp_send(cfg):
    """Connects `streams` streams over one socket and writes to each in its own thread."""
    s = udp_socket(cfg["buf"])
    import quillane_native as q
    handles = [q.UTP_Make(s.fileno(), "127.0.0.1", cfg["port"], 0)
               for _ in range(cfg["streams"])]
    cpu0, end, sent = cpu_seconds(), now() + cfg["seconds"], []

    def writer(h):
        sent.append(utp_write_for(q, h, cfg["bytes"] // len(handles), end))

    threads = [threading.Thread(target=writer, args=(h,)) for h in handles]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    cpu = cpu_seconds() - cpu0
    for h in handles:
        q.UTP_Close(h)
    say("RESULT", dict(sent=sum(sent), cpu=cpu, buffers=buffer_sizes(s)))


@role
def utp_echo(cfg):
    s = udp_socket(cfg["buf"])
    q, h = utp_open(cfg, s)
    while True:
        data = q.UTP_Read(h, 65536)
        if data is None:
            break
        q.UTP_Write(h, data)
    q.UTP_Close(h)
    say("RESULT", {})


@role
def utp_ping(cfg):
    s = udp_socket(cfg["buf"])
    q, h = utp_open(cfg, s)
    result = ping_loop(lambda d: q.UTP_Write(h, d), lambda n: q.UTP_Read(h, n), cfg["count"])
    q.UTP_Close(h)
    say("RESULT", result)


@role
def utp_greeter(cfg):
    """Accepts `count` streams one after another, greets each with one byte, waits for its end."""
    s = udp_socket(cfg["buf"])
    import quillane_native as q
    for _ in range(cfg["count"]):
        h = q.UTP_Make(s.fileno(), None, 0, 1)
        q.UTP_Write(h, b"!")
        while q.UTP_Read(h, 16) is not None:
            pass
        q.UTP_Close(h)
    say("RESULT", {})


@role
def utp_connect_timer(cfg):
    """Connect-to-first-byte times in ms, each from a fresh socket, or all from one socket
    (already polled by the runner from the second connection on)."""
    import quillane_native as q
    times, shared = [], udp_socket(cfg["buf"], announce=False)
    for _ in range(cfg["count"]):
        s = shared if cfg["reuse"] else udp_socket(cfg["buf"], announce=False)
        t0 = now()
        h = q.UTP_Make(s.fileno(), "127.0.0.1", cfg["port"], 0)
        first = q.UTP_Read(h, 1)
        times.append((now() - t0) * 1e3)
        q.UTP_Close(h)
        if first != b"!":
            raise RuntimeError("no greeting byte")
    rest = sorted(times[1:])
    say("RESULT", dict(first=times[0], median=rest[len(rest) // 2], worst=rest[-1]))


def child_main(name, cfg):
    if cfg.get("cpus") and hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(0, cfg["cpus"])  # threads started later (the runner) inherit it
    watchdog = threading.Timer(cfg.get("watchdog", 300), os._exit, (3,))
    watchdog.daemon = True
    watchdog.start()
    ROLES[name](cfg)
    sys.stdin.read()  # until the parent closes it
    os._exit(0)  # the module's runner thread is never stopped; do not wait for it


# ---- the parent ----------------------------------------------------------------------------------

class Child(object):

    def __init__(self, argv, name):
        self.name = name
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     universal_newlines=True)
        self.lines = []

    def expect(self, word):
        for line in iter(self.proc.stdout.readline, ""):
            if line.startswith(word + " "):
                return json.loads(line[len(word) + 1:])
            self.lines = (self.lines + [line.rstrip()])[-10:]
        raise RuntimeError("%s exited (%s) without %s; last lines: %s"
                           % (self.name, self.proc.wait(), word, self.lines))

    def stop(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Bench(object):

    def __init__(self, argv):
        self.quick = "--quick" in argv
        self.seconds = float(self.option(argv, "--seconds", "4" if self.quick else "12"))
        self.only = self.option(argv, "--only", "udp,tcp,single,multi,pingpong,connect").split(",")
        self.wrap = self.option(argv, "--wrap", "")
        positional = [a for i, a in enumerate(argv) if not a.startswith("--")
                      and (i == 0 or argv[i - 1] not in ("--only", "--wrap", "--seconds"))]
        self.blaster = positional[0] if positional else None
        self.volume = (300 if self.quick else 1000) * MB

    @staticmethod
    def option(argv, name, default):
        return argv[argv.index(name) + 1] if name in argv else default

    def spawn(self, role_name, cfg, tag):
        argv = [sys.executable, HERE, role_name, json.dumps(cfg)]
        if self.wrap and role_name.startswith("utp"):
            argv = shlex.split(self.wrap.replace("{name}", "%s-%s" % (tag, role_name))) + argv
        return Child(argv, role_name)

    def pair(self, server, server_cfg, client, client_cfg, tag=""):
        a = self.spawn(server, server_cfg, tag)
        b = None
        try:
            port = a.expect("PORT")
            b = self.spawn(client, dict(client_cfg, port=port), tag)
            return a.expect("RESULT"), b.expect("RESULT")
        finally:
            for child in (a, b):
                if child:
                    child.stop()

    # -- baselines --

    def udp(self):
        results = {}
        if self.blaster and os.path.exists(self.blaster):
            out = subprocess.check_output([self.blaster, str(self.seconds / 2), str(ENLARGED)],
                                          universal_newlines=True)
            results["cxx"] = json.loads(out.split("RESULT ", 1)[1])
        sink, _ = self.pair("udp_sink", dict(buf=ENLARGED), "udp_blast",
                            dict(buf=ENLARGED, seconds=self.seconds / 2))
        results["py"] = dict(rate=sink["bytes"] / MB / max(sink["seconds"], 1e-9))
        return results

    def raw_udp_now(self):
        """A short raw UDP run just before a stream figure, so that the ratio compares the two
        under the same load from elsewhere: the C++ blaster, or the Python one without it."""
        if self.blaster and os.path.exists(self.blaster):
            out = subprocess.check_output([self.blaster, "3", str(ENLARGED)],
                                          universal_newlines=True)
            return json.loads(out.split("RESULT ", 1)[1])["rate"]
        sink, _ = self.pair("udp_sink", dict(buf=ENLARGED), "udp_blast",
                            dict(buf=ENLARGED, seconds=3))
        return sink["bytes"] / MB / max(sink["seconds"], 1e-9)

    def tcp_ping(self, cpus=(None, None)):
        return self.pair("tcp_echo", dict(cpus=cpus[0]), "tcp_ping",
                         dict(count=1000, cpus=cpus[1]))[1]

    def tcp(self):
        sink, sender = self.pair("tcp_sink", {}, "tcp_send",
                                 dict(bytes=self.volume, seconds=self.seconds))
        sink["cpu_send"] = sender["cpu"]
        return dict(stream=sink, ping=self.tcp_ping())

    # -- streams --

    def transfer(self, buf, streams, tag):
        drops = receive_buffer_drops()
        recv, send = self.pair("utp_recv", dict(buf=buf, streams=streams), "utp_send",
                               dict(buf=buf, streams=streams, bytes=self.volume,
                                    seconds=self.seconds), tag)
        recv["cpu_send"] = send["cpu"]
        recv["sender_buffers"] = send["buffers"]
        after = receive_buffer_drops()
        recv["drops"] = after - drops if drops is not None and after is not None else None
        return recv

    def pingpong(self, buf, tag, cpus):
        return self.pair("utp_echo", dict(buf=buf, cpus=cpus[0]), "utp_ping",
                         dict(buf=buf, count=1000, cpus=cpus[1]), tag)[1]

    def connect(self, buf, tag, reuse):
        count = 10 if self.quick else 30
        return self.pair("utp_greeter", dict(buf=buf, count=count), "utp_connect_timer",
                         dict(buf=buf, count=count, reuse=reuse), tag)[1]


def row(label, value, note=""):
    print("  %-36s %14s   %s" % (label, value, note))


def mb_s(x):
    return "%.1f MB/s" % x


def cpu_note(result):
    mb = result["bytes"] / MB
    return "CPU per MB: send %.2f ms, receive %.2f ms" % (
        result["cpu_send"] / mb * 1e3, result["cpu"] / mb * 1e3)


def verdict(ratio, goal, more_is_better=True):
    met = ratio >= goal if more_is_better else ratio <= goal
    return "(goal %s %.1fx: %s)" % (">=" if more_is_better else "<=", goal,
                                   "met" if met else "MISSED")


def baselines(bench):
    if "udp" in bench.only:
        udp = bench.udp()
        for kind, label in (("cxx", "C++"), ("py", "Python")):
            if kind in udp:
                u = udp[kind]
                note = "4 MiB socket buffers"
                if "cpu_send_ms_per_mb" in u:
                    note += "; CPU per MB: send %.2f ms, receive %.2f ms" % (
                        u["cpu_send_ms_per_mb"], u["cpu_receive_ms_per_mb"])
                row("raw UDP, %s blaster, %d B" % (label, DATAGRAM), mb_s(u["rate"]), note)
    if "tcp" in bench.only:
        tcp = bench.tcp()
        row("TCP sendall/recv (Python)", mb_s(tcp["stream"]["rate"]), cpu_note(tcp["stream"]))
        row("TCP ping-pong, 64 B", "%.1f us RTT" % tcp["ping"]["median"],
            "median of the best of 5 rounds of 1000; p90 %.1f us" % tcp["ping"]["p90"])


def transfer_rows(label, r, raw_udp, goals):
    row(label, mb_s(r["rate"]), "steady %.1f MB/s from %s s on; %d MB in %.1f s" % (
        r["steady"], "%.2f" % r["steady_after"] if r["steady_after"] is not None else "?",
        r["bytes"] // MB, r["seconds"]))
    ratio = r["steady"] / raw_udp
    row("", "%.2fx raw UDP" % ratio, "raw UDP %.1f MB/s just before %s" % (
        raw_udp, verdict(ratio, 0.5) if goals else ""))
    row("", "", cpu_note(r))
    if r["drops"] is not None:
        row("", "", "datagrams dropped at full receive buffers (whole host): %d" % r["drops"])


def main(argv):
    bench = Bench(argv)
    print("uTP streams between two processes on 127.0.0.1 (load average %.2f %.2f %.2f, "
          "%d cores)" % (os.getloadavg() + (os.cpu_count(),)))
    print("-- baselines --")
    baselines(bench)
    for buf, tag, title in ((0, "default", "sockets as created (the module raises buffers "
                             "below 131072 to 131072)"),
                            (ENLARGED, "enlarged", "sockets enlarged to 4 MiB by the application")):
        print("-- %s --" % title)
        goals = buf == ENLARGED
        if "single" in bench.only:
            raw_udp = bench.raw_udp_now()
            r = bench.transfer(buf, 1, tag)
            transfer_rows("one stream", r, raw_udp, goals)
            row("", "", "socket buffers rcv/snd: receiver %s, sender %s" % (
                r["buffers"], r["sender_buffers"]))
            row("", "", "MB/s per 0.25 s: %s" % " ".join("%g" % x for x in r["series"][:48]))
        if "multi" in bench.only:
            raw_udp = bench.raw_udp_now()
            transfer_rows("20 streams, one socket per side", bench.transfer(buf, 20, tag),
                          raw_udp, goals)
        if "pingpong" in bench.only:
            # Where the two processes run decides much of a round trip (a wake-up on another
            # core costs more here), so each placement is measured for TCP and uTP alike.
            for cpus, label in (([0], [0]), "one core"), (([0], [1]), "two cores"):
                tcp = bench.tcp_ping(cpus)
                p = bench.pingpong(buf, tag, cpus)
                ratio = p["median"] / tcp["median"]
                row("ping-pong, 64 B, %s" % label, "%.1f us RTT" % p["median"],
                    "median; p90 %.1f us; %.2fx TCP (%.1f us just before) %s"
                    % (p["p90"], ratio, tcp["median"], verdict(ratio, 3.0, False) if goals
                       else ""))
        if "connect" in bench.only:
            for reuse, label in ((False, "new socket each"), (True, "shared socket")):
                c = bench.connect(buf, tag, reuse)
                row("connect, 1st byte: %s" % label, "%.2f ms" % c["median"],
                    "median; worst %.2f ms; the process's first %.1f ms"
                    % (c["worst"], c["first"]))
        sys.stdout.flush()


if __name__ == "__main__":
    if len(sys.argv) > 2 and sys.argv[1] in ROLES:
        child_main(sys.argv[1], json.loads(sys.argv[2]))
    else:
        main(sys.argv[1:])
