"""An impaired path between two UDP sockets, as a process of its own (Python 2.7 and 3).

    udp_relay.py '<json config>'    config: target_port, seed, drop, duplicate, reorder, delay

The relay binds two sockets on 127.0.0.1 and prints "RELAY <port>": the side that connects
sends to that port; the relay forwards from its second socket to target_port, and the target's
answers, which come back to the second socket, go to whichever address last wrote to the first.
Every datagram, both ways, is delayed by `delay` seconds; a fraction `drop` is lost, a fraction
`duplicate` is sent twice (the copy up to 10 ms later), a fraction `reorder` is held back 2 to
20 ms more so that later datagrams overtake it. The random choices come from `seed`, so a failing
run can be repeated with the same choices (timing still varies).

A line "stats" on standard input prints "STATS <json>" (datagrams forwarded, dropped,
duplicated, and sent out of order); end of input stops the relay.
"""

from __future__ import print_function

import errno
import heapq
import json
import random
import select
import socket
import sys
import time

BUFFER = 4 << 20


def open_socket():
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    for option in (socket.SO_RCVBUF, socket.SO_SNDBUF):
        sock.setsockopt(socket.SOL_SOCKET, option, BUFFER)
    sock.bind(("127.0.0.1", 0))
    sock.setblocking(False)
    return sock


class Relay(object):

    def __init__(self, config):
        self.config = config
        self.rng = random.Random(config["seed"])
        self.front, self.back = open_socket(), open_socket()
        self.target = ("127.0.0.1", config["target_port"])
        self.front_peer = None
        self.queue = []  # (due time, sequence, socket, data, address)
        self.sequence = 0
        self.last_sent = {}  # per outgoing socket: the highest sequence number sent so far
        self.stats = dict(forwarded=0, dropped=0, duplicated=0, out_of_order=0)

    def schedule(self, due, out, data, address, sequence):
        heapq.heappush(self.queue, (due, sequence, out, data, address))

    def take(self, sock):
        """Reads what is waiting on one socket (a bounded batch) and schedules it."""
        for _ in range(256):
            try:
                data, source = sock.recvfrom(65536)
            except socket.error as e:
                if e.args[0] in (errno.EAGAIN, errno.EWOULDBLOCK):
                    return
                raise
            if sock is self.front:
                self.front_peer, out, address = source, self.back, self.target
            elif self.front_peer is None:
                continue
            else:
                out, address = self.front, self.front_peer
            self.impair(out, data, address)

    def impair(self, out, data, address):
        c, rng, now = self.config, self.rng, time.time()
        self.sequence += 1
        if rng.random() < c["drop"]:
            self.stats["dropped"] += 1
            return
        due = now + c["delay"]
        if rng.random() < c["reorder"]:
            due += rng.uniform(0.002, 0.020)
        self.schedule(due, out, data, address, self.sequence)
        if rng.random() < c["duplicate"]:
            self.stats["duplicated"] += 1
            self.schedule(due + rng.uniform(0, 0.010), out, data, address, self.sequence)

    def emit_due(self):
        now = time.time()
        while self.queue and self.queue[0][0] <= now:
            _, sequence, out, data, address = heapq.heappop(self.queue)
            if sequence < self.last_sent.get(out, 0):
                self.stats["out_of_order"] += 1
            self.last_sent[out] = max(sequence, self.last_sent.get(out, 0))
            try:
                out.sendto(data, address)
                self.stats["forwarded"] += 1
            except socket.error:
                self.stats["dropped"] += 1  # the kernel's buffer was full: a loss like any other

    def run(self):
        print("RELAY %d" % self.front.getsockname()[1])
        sys.stdout.flush()
        while True:
            wait = 0.5 if not self.queue else max(0.0, self.queue[0][0] - time.time())
            readable = select.select([self.front, self.back, sys.stdin], [], [], wait)[0]
            for sock in (self.front, self.back):
                if sock in readable:
                    self.take(sock)
            if sys.stdin in readable:
                line = sys.stdin.readline()
                if not line:
                    return
                if line.strip() == "stats":
                    print("STATS " + json.dumps(self.stats))
                    sys.stdout.flush()
            self.emit_due()


if __name__ == "__main__":
    Relay(json.loads(sys.argv[1])).run()
