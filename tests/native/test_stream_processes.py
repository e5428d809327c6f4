"""Streams between two peer processes of streamproc.py: both ways at once, byte-exact, directly
and across an impairing relay; a reader that stops holds the sender back. Nothing is timed."""

import random
import sys
import unittest

from streamproc import MB, SANITIZED, TRANSFER_LIMIT, PeerTest

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


if __name__ == "__main__":
    unittest.main()
