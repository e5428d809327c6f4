"""uTP streams from Python within one process, under Python 2.7 and 3: transfers, end of stream,
short reads, closing from another thread, many streams over shared sockets, what a raw UDP peer
sees of a connect, hosts, socket buffers and the argument cases of the five functions.

Blocking calls run through `within`, so a fault that hangs fails instead of stalling the run.
Sizes shrink under the sanitizers (QN_SANITIZED).
"""

import hashlib
import os
import select
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
SCALE = 0.1 if os.environ.get("QN_SANITIZED") else 1.0

# Sockets stay open until the process ends: a connection may still be closing after its handle
# was closed, and its socket's descriptor is polled until then; a descriptor closed and reused
# meanwhile would hand another test's datagrams to that connection.
KEEP_OPEN = []


def udp(host="127.0.0.1", port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, port))
    KEEP_OPEN.append(s)
    return s


def start(call, *args):
    """call(*args) on a daemon thread; join() gives its result or raises its error."""
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
        part = q.UTP_Read(handle, min(count - got, 1 << 20))
        if part is None:
            break
        parts.append(part)
        got += len(part)
    return b"".join(parts)


def pattern(size, seed):
    block = hashlib.sha256(struct.pack("<I", seed)).digest() * 2048
    return (block * (size // len(block) + 1))[:size]


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


class Transfers(Streams):

    def test_both_directions_at_once_are_byte_exact(self):
        size = int(50 * 1000 * 1000 * SCALE)
        accepted, connected = self.pair()
        sent = {accepted: pattern(size, 1), connected: pattern(size, 2)}

        def digest(handle):
            h, got = hashlib.sha256(), 0
            while got < size:
                part = q.UTP_Read(handle, 1 << 20)
                if part is None:
                    break
                h.update(part)
                got += len(part)
            return got, h.hexdigest()

        writers = [start(q.UTP_Write, h, sent[h]) for h in sent]
        readers = dict((h, start(digest, h)) for h in sent)
        self.assertEqual((size, hashlib.sha256(sent[connected]).hexdigest()), readers[accepted](600))
        self.assertEqual((size, hashlib.sha256(sent[accepted]).hexdigest()), readers[connected](600))
        self.assertEqual([size, size], [w(60) for w in writers])

    def test_short_reads_return_at_once_and_the_end_comes_after_every_byte(self):
        accepted, connected = self.pair()
        self.assertEqual(3, q.UTP_Write(connected, b"abc"))
        self.assertEqual(b"abc", within(20, q.UTP_Read, accepted, 10))
        self.assertEqual(5, q.UTP_Write(connected, b"de\x00gh"))
        q.UTP_Close(connected)
        self.assertEqual(b"de\x00gh", within(20, read_exactly, accepted, 5))
        self.assertIsNone(within(20, q.UTP_Read, accepted, 10))

    def test_a_blocked_read_lets_other_threads_run_and_a_close_wakes_it(self):
        accepted, connected = self.pair()
        for end in ("write", "close"):
            read = start(q.UTP_Read, accepted, 10)
            ticks, begin = 0, time.time()
            while time.time() - begin < 0.3:
                ticks += 1
                time.sleep(0.001)
            self.assertTrue(read.thread.is_alive())
            self.assertGreater(ticks, 30)
            if end == "write":
                q.UTP_Write(connected, b"x")
                self.assertEqual(b"x", read(20))
            else:
                q.UTP_Close(accepted)
                self.assertIsNone(read(20))

    def test_a_hundred_streams_over_four_shared_sockets(self):
        count = 100
        listeners, connectors = [udp(), udp()], [udp(), udp()]
        accepts = [start(q.UTP_Make, listeners[i % 2].fileno(), None, 0, 1) for i in range(count)]
        connected = [within(30, q.UTP_Make, connectors[(i // 2) % 2].fileno(), None,
                            listeners[i % 2].getsockname()[1], 0) for i in range(count)]
        accepted = [a() for a in accepts]
        self.handles.extend(connected + accepted)

        payloads = [struct.pack("<I", i) + pattern(20000 + i, i) for i in range(count)]
        for h, data in zip(connected, payloads):
            self.assertEqual(len(data), q.UTP_Write(h, data))
        seen = set()
        for h in accepted:
            i = struct.unpack("<I", within(30, read_exactly, h, 4))[0]
            self.assertEqual(payloads[i][4:], within(30, read_exactly, h, len(payloads[i]) - 4))
            seen.add(i)
        self.assertEqual(set(range(count)), seen)


class Wire(Streams):

    def refuse(self, *raws):
        """Waits for a SYN on any of the raw sockets and answers it with a reset; the socket that
        got it. Other datagrams (closing packets of an earlier test's connections to a port used
        again) are passed over."""
        deadline = time.time() + 20
        while time.time() < deadline:
            for raw in select.select(raws, [], [], max(0, deadline - time.time()))[0]:
                data, source = raw.recvfrom(2048)
                key = ord(data[7:8]) if len(data) >= 8 else 0
                syn = bytearray(b ^ key for b in bytearray(data))
                if len(syn) >= 8:
                    syn[7] = key
                if syn and syn[0] >> 4 == 4:
                    self.assertEqual(30, len(syn))  # a masked version-1 SYN
                    self.assertEqual(0x41, syn[0])
                    conn_id, seq = struct.unpack(">H", bytes(syn[2:4]))[0], struct.unpack(">H", bytes(syn[16:18]))[0]
                    # A reset carries zero time stamps: its key is 0, so it needs no mask.
                    raw.sendto(struct.pack(">BBHIIIHH", 0x31, 0, conn_id, 0, 0, 0, 1234, seq), source)
                    return raw
        self.fail("no SYN arrived")

    def test_connects_to_the_host_given_and_a_reset_ends_the_connect(self):
        two = udp("127.0.0.2")
        port = two.getsockname()[1]
        one = udp("127.0.0.1", port)
        for host, expected in [(None, one), (12345, one), (b"127.0.0.2", two),
                               (u"127.0.0.2", two if PY3 else one)]:  # text is a host only under 3
            make = start(q.UTP_Make, udp().fileno(), host, port, 0)
            self.assertIs(expected, self.refuse(one, two), host)
            h = make(20)
            self.handles.append(h)
            self.assertIsNone(within(20, q.UTP_Read, h, 10))
            self.assertEqual(0, within(20, q.UTP_Write, h, b"refused"))


class Arguments(Streams):

    def test_arguments_the_parser_refuses(self):
        for call, args in [(q.UTP_Make, ()), (q.UTP_Make, (1, None, 2)), (q.UTP_Make, ("1", None, 2, 0)),
                           (q.UTP_Make, (1, None, 2 ** 40, 0)), (q.UTP_Close, ()), (q.UTP_Close, ("1",)),
                           (q.UTP_Close, (2 ** 40,)), (q.UTP_Read, (1,)), (q.UTP_Read, (1, "2")),
                           (q.UTP_Read, (1, 2, 3)), (q.UTP_Write, (1,)), (q.UTP_Write, (None, b"x"))]:
            self.assertRaisesMessage("Couldn't interpret parameters", call, *args)

    def test_handles_counts_and_data(self):
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

    def test_sockets_and_hosts_that_lead_nowhere(self):
        sock = udp()
        self.assertRaisesMessage("socket is not a valid socket", q.UTP_Make, -1, None, 1, 0)
        for host in [b"", b"nonexistent.invalid", b"a\x00b"]:
            self.assertIsNone(within(60, q.UTP_Make, sock.fileno(), host, 1, 0))
        if PY3:
            self.assertRaisesMessage("host is not a valid host name", q.UTP_Make, sock.fileno(), u"\udc80", 1, 0)

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

    @unittest.skipIf(os.environ.get("QN_SANITIZED"), "address-space limits break the sanitizers")
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
