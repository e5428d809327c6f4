"""Streams between peer processes of streamproc.py: both ways at once, byte-exact, directly and
across an impairing relay; a reader that stops holds the sender back; and what a hostile or dying
peer can do: flood a socket with forged connections, make one hold what nobody reads, leave its
peer waiting. Nothing is timed beyond generous limits and the protocol's own time-outs."""

import random
import sys
import time
import unittest

from streamproc import MB, SANITIZED, TRANSFER_LIMIT, Child, PeerTest, forged_syn, udp

SCALE = 8 if SANITIZED else 1  # sizes are divided by this under a sanitizer


class TwoProcesses(PeerTest):

    def both_ways(self, forth, back, relay=None, note=""):
        a, b = self.start_pair(dict(seed=1, send=back, peer_seed=2, recv=forth),
                               dict(seed=2, send=forth, peer_seed=1, recv=back), relay)
        ra, rb = a.result(TRANSFER_LIMIT), b.result(TRANSFER_LIMIT)
        for sender, receiver, size in ((ra, rb, back), (rb, ra, forth)):
            self.assertEqual(size, sender["sent"], note)
            self.assertReceived(receiver, size, note)

    def test_fifty_megabytes_each_way_at_once_arrive_intact(self):
        self.both_ways(50 * MB // SCALE, 50 * MB // SCALE)

    def test_transfer_both_ways_across_a_lossy_reordering_relay_is_byte_exact(self):
        seed = random.randrange(1 << 30)
        impairment = dict(drop=0.03, duplicate=0.02, reorder=0.03, delay=0.020, seed=seed)
        self.both_ways(3 * MB, 1 * MB, impairment, "relay seed %d" % seed)
        report = "relay seed %d, %s" % (seed, self.relay.stats)
        sys.stderr.write("\n  %s\n" % report)
        for kind in ("dropped", "duplicated", "out_of_order"):  # else this test proved nothing
            self.assertGreater(self.relay.stats[kind], 0, report)

    def test_reader_that_stops_holds_the_sender_back_and_memory_stays_bounded(self):
        # Far above the receive window (a few MB), so an unbounded queue shows plainly.
        size, bound_kb = 200 * MB // SCALE, 64 * 1024
        receiver, sender = self.start_pair(dict(hold=True, peer_seed=3, recv=-1),
                                           dict(seed=3, send=size, write_size=64 * 1024, watch=True))
        offered = int(sender.expect("STALLED", 120))
        receiver.tell("drain")
        result, sent = receiver.result(TRANSFER_LIMIT), sender.result(TRANSFER_LIMIT)
        growth = [result[k] - result["base_rss_kb"] for k in ("held_rss_kb", "hwm_kb")]
        report = "offered %d MB before the sender stalled; receiver grew %d KiB (peak %d KiB)" % (
            offered // MB, growth[0], growth[1])
        sys.stderr.write("\n  %s\n" % report)
        self.assertLess(offered, size, report)
        if not SANITIZED:
            self.assertLess(max(growth), bound_kb, report)
        self.assertEqual(sent["sent"], size)
        self.assertReceived(result, size)

    def test_forged_connections_cannot_lock_a_client_out_or_make_the_victim_hold_much(self):
        # The victim accepts one connection and keeps it; everything after queues on its socket.
        victim = Child(self, "victim", dict(listen=True))
        port, base_kb = int(victim.expect("PORT")), int(victim.expect("BASE"))
        raw = udp()
        for i in range(300):  # forged SYNs (any source will do): the queue holds 128
            raw.sendto(forged_syn(10000 + 2 * i, i), ("127.0.0.1", port))
            if i % 20 == 19:
                time.sleep(0.01)
        victim.result(60)
        # As many connections that write, to a socket nobody accepts on: each replaces a silent
        # forged one, and holds at most its queued window of what it sends.
        attacker = Child(self, "attacker", dict(attack=128, port=port, write=MB))
        self.assertEqual(128, int(attacker.expect("READY", 120)))
        time.sleep(3)
        victim.tell("rss")
        growth = int(victim.expect("RSS")) - base_kb
        sys.stderr.write("\n  victim grew %d KiB\n" % growth)
        if not SANITIZED:
            self.assertLess(growth, 32 * 1024)

    def test_a_socket_number_used_again_is_not_read_by_the_module(self):
        # A stray SYN queued on the socket before it is closed must not keep it polled.
        child = Child(self, "reuser", dict(reuse=True))
        port = int(child.expect("PORT"))
        udp().sendto(forged_syn(777, 1), ("127.0.0.1", port))
        time.sleep(0.3)
        child.tell("go")
        new_port, sender = int(child.expect("REUSED")), udp()
        for i in range(50):
            sender.sendto(b"datagram %d" % i, ("127.0.0.1", new_port))
        self.assertEqual(50, int(child.expect("GOT")))

    def test_peers_that_die_end_the_calls_waiting_on_them(self):
        # Pair 1: the receiver stops reading until its window closes, then dies; the writer's
        # probe of the closed window fails well before the idle limit. Pair 2: the sender sends
        # and then dies; the reader's connection falls silent and fails at the idle limit (87 s).
        holder, writer = self.start_pair(dict(hold=True), dict(seed=6, send=64 * MB, write_size=65536, watch=True))
        writer.expect("STALLED", 120)
        sender, reader = self.start_pair(dict(seed=5, send=MB, keep_open=True), dict(peer_seed=5, recv=-1))
        sender.expect("SENT", 60)
        time.sleep(1)  # the last of it arrives; after that nothing but keep-alives would
        killed = time.time()
        for child in (holder, sender):
            child.proc.kill()
        self.assertLess(int(writer.expect("SENT", 80)), 64 * MB)
        self.assertLess(time.time() - killed, 80)
        self.assertReceived(reader.result(120), MB)
        self.assertGreater(time.time() - killed, 80)


if __name__ == "__main__":
    unittest.main()
