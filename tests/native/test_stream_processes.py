"""Streams between two processes over 127.0.0.1, each process a peer of streamproc.py: both
directions at once, byte-exact; a reader that stops reading holds the sender back instead of
queueing without bound. Runs under Python 2.7 and 3.

Limits here are generous: the machine may be loaded, and nothing is timed.
"""

import sys
import time
import unittest

from streamproc import MB, SANITIZED, TRANSFER_LIMIT, Child, Children, pattern_sha

SCALE = 8 if SANITIZED else 1  # sizes are divided by this under a sanitizer


class TwoProcesses(unittest.TestCase):

    def start_pair(self, children, listener, connector):
        """A listening peer and a peer that connects to it; returns both."""
        a = children.add(Child.peer("listener", listen=True, **listener))
        port = int(a.expect("PORT", 60))
        b = children.add(Child.peer("connector", port=port, **connector))
        b.expect("PORT", 60)
        return a, b

    def assertReceived(self, result, seed, size):
        self.assertIsNone(result["mismatch"], "first wrong byte at offset %s" % result["mismatch"])
        self.assertEqual(result["received"], size)
        self.assertEqual(result["received_sha"], pattern_sha(seed, size))

    def test_fifty_megabytes_each_way_at_once_arrive_intact(self):
        size = 50 * MB // SCALE
        with Children() as children:
            a, b = self.start_pair(children,
                                   dict(seed=1, send=size, peer_seed=2, recv=size),
                                   dict(seed=2, send=size, peer_seed=1, recv=size))
            ra, rb = a.result(TRANSFER_LIMIT), b.result(TRANSFER_LIMIT)
        for sender, receiver, seed in ((ra, rb, 1), (rb, ra, 2)):
            self.assertEqual(sender["sent"], size)
            self.assertEqual(sender["sent_sha"], receiver["received_sha"])
            self.assertReceived(receiver, seed, size)

    def test_reader_that_stops_holds_the_sender_back_and_memory_stays_bounded(self):
        # Far above the receive window (a few MB), so an unbounded queue shows plainly.
        size, bound_kb = 200 * MB // SCALE, 64 * 1024
        with Children() as children:
            receiver, sender = self.start_pair(
                children,
                dict(hold=True, peer_seed=3, recv=-1, slow_reads=200),
                dict(seed=3, send=size, write_size=64 * 1024, progress=64 * 1024))
            receiver.expect("HOLDING", 60)
            offered = self.wait_until_stalled(sender, size)
            receiver.tell("drain")
            result = receiver.result(TRANSFER_LIMIT)
            sent = sender.result(TRANSFER_LIMIT)
        held_growth = result["held_rss_kb"] - result["base_rss_kb"]
        peak_growth = result["hwm_kb"] - result["base_rss_kb"]
        report = "offered %d MB before the sender stalled; receiver grew %d KiB (peak %d KiB)" % (
            offered // MB, held_growth, peak_growth)
        sys.stderr.write("\n  %s\n" % report)
        self.assertLess(offered, size, report)
        if not SANITIZED:
            self.assertLess(held_growth, bound_kb, report)
            self.assertLess(peak_growth, bound_kb, report)
        self.assertNotIn("slow_read_failed_at", result)
        self.assertEqual(sent["sent"], size)
        self.assertReceived(result, 3, size)

    def wait_until_stalled(self, sender, size, quiet=3.0, limit=120.0):
        """Bytes the sender got taken while nobody read: waits until it has made no progress
        for `quiet` seconds, has sent everything, or `limit` seconds have passed."""
        start = last_change = time.time()
        offered = 0
        while time.time() - start < limit and offered < size:
            progress = sender.poll_word("SENT")
            if progress:
                offered, last_change = int(progress[-1]), time.time()
            elif time.time() - last_change > quiet and time.time() - start > 2 * quiet:
                break
            time.sleep(0.1)
        return offered


if __name__ == "__main__":
    unittest.main()
