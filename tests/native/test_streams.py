"""uTP streams from Python within one process, under Python 2.7 and 3: reads and the end of a
stream, many streams over shared sockets, what a raw UDP peer sees of a connect, hosts, socket
buffers and the argument cases of the five functions.

Blocking calls run through `within`, so a fault that hangs fails instead of stalling the run.
"""

import os
import select
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import quillane_native as q
from streamproc import SANITIZED, udp

PY3 = sys.version_info[0] >= 3


def start(call, *args):
    """call(*args) on a daemon thread; join(seconds) gives its result or raises its error."""
    box = {}

    def run():
        try:
            box["result"] = call(*args)
        except BaseException as e:
            box["error"] = e

    t = threading.Thread(target=run)
    t.daemon = True
    t.start()

    def join(seconds=30):
        t.join(seconds)
        if t.is_alive():
            raise AssertionError("%s still running after %s s" % (call.__name__, seconds))
        if "error" in box:
            raise box["error"]
        return box.get("result")
    join.thread = t
    return join


def within(seconds, call, *args):
    return start(call, *args)(seconds)


def pair(listener, connector):
    """(accepted, connected) handles."""
    accepted = start(q.UTP_Make, listener.fileno(), None, 0, 1)
    connected = within(30, q.UTP_Make, connector.fileno(), b"127.0.0.1", listener.getsockname()[1], 0)
    return accepted(), connected


def read_exactly(handle, count):
    parts, got = [], 0
    while got < count:
        part = q.UTP_Read(handle, count - got)
        if part is None:
            break
        parts.append(part)
        got += len(part)
    return b"".join(parts)


class Streams(unittest.TestCase):
    """Handles a test makes are closed after it."""

    def setUp(self):
        self.handles = []

    def tearDown(self):
        for h in self.handles:
            try:
                q.UTP_Close(h)
            except RuntimeError:
                pass  # the test closed it

    def pair(self):
        handles = pair(udp(), udp())
        self.handles.extend(handles)
        return handles

    def assertRaisesMessage(self, message, call, *args):
        with self.assertRaises(RuntimeError) as caught:
            call(*args)
        self.assertEqual(message, str(caught.exception))

    def test_reads_wait_without_the_interpreter_and_the_end_comes_after_every_byte(self):
        accepted, connected = self.pair()
        read = start(q.UTP_Read, accepted, 10)
        time.sleep(0.3)  # returns only if the waiting read released the interpreter
        self.assertTrue(read.thread.is_alive())
        self.assertEqual(4, q.UTP_Write(connected, b"ab\x00c"))
        self.assertEqual(b"ab\x00c", read(20))  # a short read returns what is there
        self.assertEqual(3, q.UTP_Write(connected, b"end"))
        read = start(q.UTP_Read, connected, 10)
        time.sleep(0.3)
        q.UTP_Close(connected)
        self.assertIsNone(read(20))  # closing wakes a waiting reader
        time.sleep(1)  # the end arrives behind the queued bytes, which still come first
        self.assertEqual(b"end", within(20, read_exactly, accepted, 3))
        self.assertIsNone(within(20, q.UTP_Read, accepted, 10))
        self.assertEqual(0, within(20, q.UTP_Write, accepted, b"late"))  # the peer has finished

    def test_blocking_calls_run_signal_handlers_and_leave_the_stream_usable(self):
        class Interrupted(Exception):
            pass

        def interrupt(signum, frame):
            raise Interrupted()

        accepted, connected = self.pair()
        previous = signal.signal(signal.SIGALRM, interrupt)
        try:
            # A read with nothing coming, an accept nobody connects to, a write into a closed
            # window (nobody reads accepted): each is interrupted (tests run in the main thread).
            for call, args in [(q.UTP_Read, (accepted, 10)), (q.UTP_Make, (udp().fileno(), None, 0, 1)),
                               (q.UTP_Write, (connected, b"x" * (8 << 20)))]:
                signal.setitimer(signal.ITIMER_REAL, 0.3)
                self.assertRaises(Interrupted, call, *args)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        # The bytes the write handed over arrive, then what follows, in order.
        reader = start(self.read_until_end, accepted)
        self.assertEqual(3, within(60, q.UTP_Write, connected, b"END"))
        got = reader(60)
        self.assertEqual({b"x"}, set(got[i:i + 1] for i in range(0, len(got) - 3, 4099)))
        self.assertEqual(b"xEND", got[-4:])

    @staticmethod
    def read_until_end(handle):
        parts = [b""]
        while not parts[-1].endswith(b"END"):
            parts.append(q.UTP_Read(handle, 1 << 20))
        return b"".join(parts)

    def test_an_accept_ends_when_its_socket_is_closed(self):
        sock = udp()
        make = start(q.UTP_Make, sock.fileno(), None, 0, 1)
        time.sleep(0.3)
        sock.close()
        self.assertIsNone(make(10))

    @unittest.skipIf(SANITIZED, "the sanitizers' runtimes do not follow a fork of a threaded process")
    def test_a_forked_child_starts_with_no_streams(self):
        accepted, connected = self.pair()
        pid = os.fork()
        if pid == 0:  # the child: only this thread, no runner
            code = 1
            try:
                try:
                    q.UTP_Read(accepted, 1)
                    old = "no error"
                except RuntimeError as e:
                    old = str(e)
                a, c = pair(udp(), udp())
                q.UTP_Write(c, b"child")
                code = 0 if (old, read_exactly(a, 5)) == ("invalid stream handle", b"child") else 2
            finally:
                os._exit(code)
        deadline, status = time.time() + 30, None
        while status is None and time.time() < deadline:
            done, code = os.waitpid(pid, os.WNOHANG)
            status = code if done else time.sleep(0.05)
        if status is None:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
        self.assertEqual(0, status, "the child hung" if status is None else "the child's status")
        self.assertEqual(2, within(20, q.UTP_Write, connected, b"ok"))  # the parent's go on
        self.assertEqual(b"ok", within(20, read_exactly, accepted, 2))

    def test_a_hundred_streams_over_four_shared_sockets(self):
        count = 100
        listeners, connectors = [udp(), udp()], [udp(), udp()]
        accepts = [start(q.UTP_Make, listeners[i % 2].fileno(), None, 0, 1) for i in range(count)]
        connected = [within(30, q.UTP_Make, connectors[(i // 2) % 2].fileno(), None,
                            listeners[i % 2].getsockname()[1], 0) for i in range(count)]
        accepted = [a() for a in accepts]
        self.handles.extend(connected + accepted)
        payloads = [struct.pack("<I", i) + os.urandom(20000) for i in range(count)]
        for h, data in zip(connected, payloads):
            self.assertEqual(len(data), q.UTP_Write(h, data))
        seen = []
        for h in accepted:
            data = within(30, read_exactly, h, 20004)
            seen.append(struct.unpack("<I", data[:4])[0])
            self.assertEqual(payloads[seen[-1]], data)
        self.assertEqual(list(range(count)), sorted(seen))

    def refuse(self, *raws):
        """Answers the first SYN on any of the raw sockets with a reset; the socket that got it.
        Other datagrams (an earlier test's connections closing to a port used again) are skipped."""
        deadline = time.time() + 20
        while time.time() < deadline:
            for raw in select.select(raws, [], [], max(0, deadline - time.time()))[0]:
                data, source = raw.recvfrom(2048)
                key = ord(data[7:8]) if len(data) >= 8 else 0
                syn = bytearray(b ^ key for b in bytearray(data))  # the header is masked by byte 7
                if len(syn) == 30 and syn[0] == 0x41:
                    conn_id, seq = struct.unpack(">H", bytes(syn[2:4]))[0], struct.unpack(">H", bytes(syn[16:18]))[0]
                    # A reset carries zero time stamps: its key is 0, so it needs no mask.
                    raw.sendto(struct.pack(">BBHIIIHH", 0x31, 0, conn_id, 0, 0, 0, 1234, seq), source)
                    return raw
        self.fail("no SYN arrived")

    def test_connects_to_the_host_given_and_a_reset_ends_the_connect(self):
        two = udp("127.0.0.2")
        port = two.getsockname()[1]
        one = udp("127.0.0.1", port)
        for host, expected in [(None, one), (b"127.0.0.2", two), (u"127.0.0.2", two)]:
            make = start(q.UTP_Make, udp().fileno(), host, port, 0)
            self.assertIs(expected, self.refuse(one, two), host)
            h = make(20)
            self.handles.append(h)
            self.assertIsNone(within(20, q.UTP_Read, h, 10))
            self.assertEqual(0, within(20, q.UTP_Write, h, b"refused"))

    def test_arguments_handles_and_counts(self):
        for call, args in [(q.UTP_Make, ()), (q.UTP_Make, (1, None, 2)), (q.UTP_Make, ("1", None, 2, 0)),
                           (q.UTP_Make, (1, None, 2 ** 40, 0)), (q.UTP_Close, ()), (q.UTP_Close, ("1",)),
                           (q.UTP_Close, (2 ** 40,)), (q.UTP_Read, (1,)), (q.UTP_Read, (1, "2")),
                           (q.UTP_Read, (1, 2, 3)), (q.UTP_Write, (1,)), (q.UTP_Write, (None, b"x"))]:
            self.assertRaisesMessage("Couldn't interpret parameters", call, *args)
        # Only an IPv4 UDP socket will do: not a TCP or IPv6 socket, a pipe or a file.
        others = [socket.socket(socket.AF_INET, socket.SOCK_STREAM), open(__file__)]
        if socket.has_ipv6:
            others.append(socket.socket(socket.AF_INET6, socket.SOCK_DGRAM))
        pipe = os.pipe()
        for fd in [-1, pipe[0]] + [o.fileno() for o in others]:
            self.assertRaisesMessage("socket is not a valid socket", q.UTP_Make, fd, None, 1, 0)
        for o in others:
            o.close()
        for fd in pipe:
            os.close(fd)
        for host in [12345, bytearray(b"127.0.0.1")] + ([u"\udc80"] if PY3 else []):
            self.assertRaisesMessage("host is not a valid host name", q.UTP_Make, udp().fileno(), host, 1, 0)
        for host in [b"", b"nonexistent.invalid", b"a\x00b"]:
            self.assertIsNone(within(60, q.UTP_Make, udp().fileno(), host, 1, 0))

        accepted, connected = self.pair()
        self.assertTrue(0 < accepted < 1000000 and 0 < connected < 1000000)
        self.assertRaisesMessage("bad allocation", q.UTP_Read, accepted, -1)
        self.assertIsNone(q.UTP_Read(accepted, 0))
        self.assertEqual(0, q.UTP_Write(connected, b""))
        for not_bytes in [12, None, bytearray(b"x")] + ([u"text"] if PY3 else []):
            self.assertIsNone(q.UTP_Write(connected, not_bytes))
        self.assertIsNone(q.UTP_SetTimeout())
        self.assertIsNone(q.UTP_SetTimeout(1, "two", None))
        q.UTP_Close(connected)
        for h in (connected, 987654, -3):
            self.assertRaisesMessage("invalid stream handle", q.UTP_Read, h, 10)
            self.assertRaisesMessage("invalid stream handle", q.UTP_Write, h, b"x")
            self.assertRaisesMessage("invalid stream handle", q.UTP_Close, h)
        for call, args in [(q.UTP_Close, (0,)), (q.UTP_Read, (0, 10)), (q.UTP_Write, (0, b"x"))]:
            self.assertIsNone(call(*args))  # 0 stands for no stream

    def test_buffers_are_raised_but_never_shrunk(self):
        options = (socket.SO_RCVBUF, socket.SO_SNDBUF)
        reference = udp()
        reference.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 131072)
        granted = reference.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
        plain, enlarged = udp(), udp()
        for option in options:
            plain.setsockopt(socket.SOL_SOCKET, option, 4096)
            enlarged.setsockopt(socket.SOL_SOCKET, option, 4 << 20)
        before = [enlarged.getsockopt(socket.SOL_SOCKET, o) for o in options]
        self.assertGreater(before[0], granted)
        for sock in (plain, enlarged):
            self.assertIsNone(q.UTP_Make(sock.fileno(), b"", 1, 0))  # no address: returns at once
        self.assertEqual([True, True], [plain.getsockopt(socket.SOL_SOCKET, o) >= granted for o in options])
        self.assertEqual(before, [enlarged.getsockopt(socket.SOL_SOCKET, o) for o in options])

    @unittest.skipIf(SANITIZED, "address-space limits break the sanitizers")
    def test_a_huge_count_allocates_only_what_is_queued(self):
        # With no room for 2 GiB in the address space, a read for 2 GiB - 1 bytes still returns
        # the 5 bytes that are there.
        child = r"""
import resource, sys, time
import quillane_native as q
from test_streams import pair, udp, within
accepted, connected = pair(udp(), udp())
q.UTP_Write(connected, b"small")
time.sleep(0.5)
size = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize")][0]
resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), resource.RLIM_INFINITY))
sys.stderr.write("result %r\n" % within(20, q.UTP_Read, accepted, 2 ** 31 - 1))
"""
        run = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=os.path.dirname(os.path.abspath(__file__)))
        self.assertIn("result %r" % b"small", run.communicate()[1].decode("ascii", "replace"))


if __name__ == "__main__":
    unittest.main()
