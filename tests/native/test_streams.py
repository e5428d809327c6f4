"""uTP streams from Python, within one process: transfers over two sockets, end of stream, short
reads, closing from another thread, many streams over shared sockets, the wire as a raw UDP peer
sees it, hosts, socket buffers and the argument cases of the five functions. Runs under Python
2.7 and 3.

Every blocking call runs through `within`, so a fault that hangs fails the test instead of the
run. Sizes shrink under the sanitizers (QN_SANITIZED), which slow everything down.
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
MB = 1000 * 1000


def within(seconds, call, *args):
    """call(*args) on a daemon thread; its result, or a failure when it is still running."""
    box = {}

    def run():
        try:
            box["result"] = call(*args)
        except BaseException as e:  # handed to the test's thread
            box["error"] = e

    t = threading.Thread(target=run)
    t.daemon = True
    t.start()
    t.join(seconds)
    if t.is_alive():
        raise AssertionError("%s still running after %s s" % (getattr(call, "__name__", call), seconds))
    if "error" in box:
        raise box["error"]
    return box.get("result")


# Sockets stay open until the process ends: a stream's connection may still be closing after its
# handle was closed, and its socket's descriptor is polled until then. A descriptor closed and
# reused meanwhile would hand another test's datagrams to that connection.
KEEP_OPEN = []


def udp(host="127.0.0.1", port=0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((host, port))
    KEEP_OPEN.append(s)
    return s


def pair(listener, connector):
    """(accepted, connected) handles over two sockets."""
    box = {}
    t = threading.Thread(target=lambda: box.update(h=q.UTP_Make(listener.fileno(), None, 0, 1)))
    t.daemon = True
    t.start()
    connected = within(30, q.UTP_Make, connector.fileno(), b"127.0.0.1", listener.getsockname()[1], 0)
    t.join(30)
    return box["h"], connected


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
    """Handles made by a test are closed after it."""

    def setUp(self):
        self.handles = []

    def tearDown(self):
        for h in self.handles:
            try:
                q.UTP_Close(h)
            except RuntimeError:
                pass  # closed by the test itself

    def udp(self, *args):
        return udp(*args)

    def pair(self, listener=None, connector=None):
        handles = pair(listener or udp(), connector or udp())
        self.handles.extend(handles)
        return handles


class Transfers(Streams):

    def test_both_directions_at_once_are_byte_exact(self):
        size = int(50 * MB * SCALE)
        accepted, connected = self.pair()
        sent = {accepted: pattern(size, 1), connected: pattern(size, 2)}
        digests = {}

        def read(handle):
            h, got = hashlib.sha256(), 0
            while got < size:
                part = q.UTP_Read(handle, 1 << 20)
                if part is None:
                    break
                h.update(part)
                got += len(part)
            digests[handle] = (got, h.hexdigest())

        threads = [threading.Thread(target=q.UTP_Write, args=(h, sent[h])) for h in sent]
        threads += [threading.Thread(target=read, args=(h,)) for h in sent]
        for t in threads:
            t.daemon = True
            t.start()
        for t in threads:
            t.join(600)
        self.assertEqual((size, hashlib.sha256(sent[connected]).hexdigest()), digests[accepted])
        self.assertEqual((size, hashlib.sha256(sent[accepted]).hexdigest()), digests[connected])

    def test_short_reads_return_at_once_and_the_end_comes_after_every_byte(self):
        accepted, connected = self.pair()
        self.assertEqual(3, q.UTP_Write(connected, b"abc"))
        self.assertEqual(b"abc", within(20, q.UTP_Read, accepted, 10))
        self.assertEqual(5, q.UTP_Write(connected, b"de\x00gh"))
        q.UTP_Close(connected)
        self.assertEqual(b"de\x00gh", within(20, read_exactly, accepted, 5))
        self.assertIsNone(within(20, q.UTP_Read, accepted, 10))

    def test_close_wakes_a_reader_blocked_in_another_thread(self):
        accepted, connected = self.pair()
        box = {}
        reader = threading.Thread(target=lambda: box.update(r=q.UTP_Read(accepted, 10)))
        reader.daemon = True
        reader.start()
        time.sleep(0.3)
        self.assertTrue(reader.is_alive())
        q.UTP_Close(accepted)
        reader.join(20)
        self.assertFalse(reader.is_alive())
        self.assertIsNone(box["r"])

    def test_other_threads_run_while_one_is_blocked_in_a_read(self):
        accepted, connected = self.pair()
        ticks = []
        reader = threading.Thread(target=q.UTP_Read, args=(accepted, 10))
        reader.daemon = True
        reader.start()
        start = time.time()
        while time.time() - start < 0.5:
            ticks.append(time.time())
            time.sleep(0.001)
        self.assertTrue(reader.is_alive())
        self.assertGreater(len(ticks), 50)
        q.UTP_Write(connected, b"done")
        reader.join(20)
        self.assertFalse(reader.is_alive())

    def test_a_hundred_streams_over_four_shared_sockets(self):
        count = 100
        listeners = [self.udp(), self.udp()]
        connectors = [self.udp(), self.udp()]
        accepted = []

        def accept(sock):
            accepted.append(q.UTP_Make(sock.fileno(), None, 0, 1))

        threads = [threading.Thread(target=accept, args=(listeners[i % 2],)) for i in range(count)]
        for t in threads:
            t.daemon = True
            t.start()
        connected = []
        for i in range(count):
            port = listeners[i % 2].getsockname()[1]
            connected.append(within(30, q.UTP_Make, connectors[(i // 2) % 2].fileno(), None, port, 0))
        for t in threads:
            t.join(30)
        self.handles.extend(connected + accepted)
        self.assertEqual(count, len(accepted))

        payloads = [struct.pack("<I", i) + pattern(20000 + i, i) for i in range(count)]
        for h, data in zip(connected, payloads):
            self.assertEqual(len(data), q.UTP_Write(h, data))
        seen = set()
        for h in accepted:
            head = within(30, read_exactly, h, 4)
            i = struct.unpack("<I", head)[0]
            self.assertEqual(payloads[i][4:], within(30, read_exactly, h, len(payloads[i]) - 4))
            seen.add(i)
        self.assertEqual(set(range(count)), seen)


class Wire(Streams):
    """What a plain UDP socket sees of a connect, and how a reset ends it."""

    def refuse(self, *raws):
        """Waits for a SYN on any of the raw sockets and answers it with a reset; the socket that
        got it and the SYN, unmasked. Other datagrams (a closing packet of an earlier test's
        connection to a port used again) are passed over."""
        deadline = time.time() + 20
        while time.time() < deadline:
            for raw in select.select(raws, [], [], max(0, deadline - time.time()))[0]:
                data, source = raw.recvfrom(2048)
                key = ord(data[7:8]) if len(data) >= 8 else 0
                syn = bytearray(b ^ key for b in bytearray(data))
                if len(syn) >= 8:
                    syn[7] = key
                if syn and syn[0] >> 4 == 4:
                    self.assertEqual(30, len(syn))
                    self.assertEqual(0x41, syn[0])  # type 4 (SYN), version 1
                    conn_id = struct.unpack(">H", bytes(syn[2:4]))[0]
                    seq = struct.unpack(">H", bytes(syn[16:18]))[0]
                    # A reset carries zero time stamps: its key is 0, so it needs no mask.
                    raw.sendto(struct.pack(">BBHIIIHH", 0x31, 0, conn_id, 0, 0, 0, 1234, seq), source)
                    return raw
        self.fail("no SYN arrived")

    def test_connect_sends_a_masked_version_1_syn_and_a_reset_ends_it(self):
        raw = self.udp()
        box = {}
        t = threading.Thread(target=lambda: box.update(h=q.UTP_Make(self.udp().fileno(), None, raw.getsockname()[1], 0)))
        t.daemon = True
        t.start()
        self.refuse(raw)
        t.join(20)
        h = box["h"]
        self.handles.append(h)
        self.assertIsNone(within(20, q.UTP_Read, h, 10))
        self.assertEqual(0, within(20, q.UTP_Write, h, b"nothing"))

    def test_hosts(self):
        two = self.udp("127.0.0.2")
        port = two.getsockname()[1]
        one = self.udp("127.0.0.1", port)
        text_two = u"127.0.0.2"
        cases = [
            (None, "127.0.0.1"),
            (12345, "127.0.0.1"),
            (b"127.0.0.2", "127.0.0.2"),
            (text_two, "127.0.0.2" if PY3 else "127.0.0.1"),  # text is a host only under 3
        ]
        for host, expected in cases:
            box = {}
            t = threading.Thread(target=lambda s, h: box.update(h=q.UTP_Make(s, h, port, 0)),
                                 args=(self.udp().fileno(), host))
            t.daemon = True
            t.start()
            self.assertEqual(expected, self.refuse(one, two).getsockname()[0], host)
            t.join(20)
            self.handles.append(box["h"])


class Arguments(Streams):

    def assertRaisesMessage(self, message, call, *args):
        with self.assertRaises(RuntimeError) as caught:
            call(*args)
        self.assertEqual(message, str(caught.exception))

    def test_arguments_the_parser_refuses(self):
        for call, args in [(q.UTP_Make, ()), (q.UTP_Make, (1, None, 2)), (q.UTP_Make, ("1", None, 2, 0)),
                           (q.UTP_Make, (1, None, 2 ** 40, 0)), (q.UTP_Close, ()), (q.UTP_Close, ("1",)),
                           (q.UTP_Close, (2 ** 40,)), (q.UTP_Read, (1,)), (q.UTP_Read, (1, "2")),
                           (q.UTP_Read, (1, 2, 3)), (q.UTP_Write, (1,)), (q.UTP_Write, (None, b"x"))]:
            self.assertRaisesMessage("Couldn't interpret parameters", call, *args)

    def test_handles(self):
        accepted, connected = self.pair()
        for h in (accepted, connected):
            self.assertTrue(0 < h < 1000000)
        q.UTP_Close(connected)
        self.handles.remove(connected)
        for h in (connected, 987654, -3):
            self.assertRaisesMessage("invalid stream handle", q.UTP_Read, h, 10)
            self.assertRaisesMessage("invalid stream handle", q.UTP_Write, h, b"x")
            self.assertRaisesMessage("invalid stream handle", q.UTP_Close, h)
        # 0 stands for no stream.
        self.assertIsNone(q.UTP_Close(0))
        self.assertIsNone(q.UTP_Read(0, 10))
        self.assertIsNone(q.UTP_Write(0, b"x"))

    def test_counts_and_data(self):
        accepted, connected = self.pair()
        self.assertRaisesMessage("bad allocation", q.UTP_Read, accepted, -1)
        self.assertIsNone(q.UTP_Read(accepted, 0))
        self.assertEqual(0, q.UTP_Write(connected, b""))
        for not_bytes in [12, None, bytearray(b"x")] + ([u"text"] if PY3 else []):
            self.assertIsNone(q.UTP_Write(connected, not_bytes))
        self.assertIsNone(q.UTP_SetTimeout())
        self.assertIsNone(q.UTP_SetTimeout(1, "two", None))

    def test_sockets_and_hosts_that_lead_nowhere(self):
        sock = self.udp()
        self.assertRaisesMessage("socket is not a valid socket", q.UTP_Make, -1, None, 1, 0)
        for host in [b"", b"nonexistent.invalid", b"a\x00b"]:
            self.assertIsNone(within(60, q.UTP_Make, sock.fileno(), host, 1, 0))
        if PY3:
            self.assertRaisesMessage("host is not a valid host name", q.UTP_Make, sock.fileno(), u"\udc80", 1, 0)

    def test_buffers_are_raised_but_never_shrunk(self):
        reference = self.udp()
        reference.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 131072)
        granted = reference.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF)
        plain, enlarged = self.udp(), self.udp()
        for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
            plain.setsockopt(socket.SOL_SOCKET, option, 4096)
            enlarged.setsockopt(socket.SOL_SOCKET, option, 4 << 20)
        before = [enlarged.getsockopt(socket.SOL_SOCKET, o) for o in (socket.SO_RCVBUF, socket.SO_SNDBUF)]
        self.assertGreater(before[0], granted)
        for sock in (plain, enlarged):
            self.assertIsNone(q.UTP_Make(sock.fileno(), b"", 1, 0))  # no address: returns at once
        for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
            self.assertGreaterEqual(plain.getsockopt(socket.SOL_SOCKET, option), granted)
        self.assertEqual(before, [enlarged.getsockopt(socket.SOL_SOCKET, o) for o in (socket.SO_RCVBUF, socket.SO_SNDBUF)])

    @unittest.skipIf(os.environ.get("QN_SANITIZED"), "address-space limits break the sanitizers")
    def test_a_huge_count_allocates_only_what_is_queued(self):
        # In a process whose address space leaves no room for 2 GiB, a read for 2 GiB - 1 bytes
        # must still return the 5 bytes that are there.
        child = r"""
import resource, socket, sys, time
sys.path[:0] = %r
import quillane_native as q
from test_streams import pair, within
a, b = socket.socket(socket.AF_INET, socket.SOCK_DGRAM), socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
a.bind(("127.0.0.1", 0)); b.bind(("127.0.0.1", 0))
accepted, connected = pair(a, b)
q.UTP_Write(connected, b"small")
time.sleep(0.5)
size = [int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmSize")][0]
resource.setrlimit(resource.RLIMIT_AS, (size + (512 << 20), resource.RLIM_INFINITY))
sys.stderr.write("result " + repr(within(20, q.UTP_Read, accepted, 2 ** 31 - 1)) + "\n")
""" % (sys.path,)
        run = subprocess.Popen([sys.executable, "-c", child], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               cwd=os.path.dirname(os.path.abspath(__file__)))
        err = run.communicate()[1].decode("ascii", "replace")
        self.assertIn("result " + repr(b"small"), err)


if __name__ == "__main__":
    unittest.main()
