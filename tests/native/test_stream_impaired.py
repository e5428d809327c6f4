"""A stream across an impaired path: a relay process (udp_relay.py) between the two peers'
sockets drops 3% of the datagrams, duplicates some, reorders some and delays all by 20 ms, both
ways; what arrives must be exactly what was sent. Runs under Python 2.7 and 3.
"""

import json
import random
import sys
import unittest

from streamproc import MB, TRANSFER_LIMIT, Child, Children, pattern_sha

IMPAIRMENT = dict(drop=0.03, duplicate=0.02, reorder=0.03, delay=0.020)


class ImpairedPath(unittest.TestCase):

    def test_transfer_both_ways_across_a_lossy_reordering_relay_is_byte_exact(self):
        forth, back = 3 * MB, 1 * MB
        seed = random.randrange(1 << 30)
        with Children() as children:
            listener = children.add(Child.peer("listener", listen=True, seed=5, send=back,
                                               peer_seed=4, recv=forth))
            port = int(listener.expect("PORT", 60))
            relay = children.add(Child(
                "relay", ["udp_relay.py", json.dumps(dict(IMPAIRMENT, target_port=port, seed=seed))]))
            relay_port = int(relay.expect("RELAY", 60))
            connector = children.add(Child.peer("connector", port=relay_port, seed=4, send=forth,
                                                peer_seed=5, recv=back))
            results = listener.result(TRANSFER_LIMIT), connector.result(TRANSFER_LIMIT)
            relay.tell("stats")
            stats = json.loads(relay.expect("STATS", 60))
        note = "relay seed %d, %s" % (seed, stats)
        sys.stderr.write("\n  %s\n" % note)
        for result, peer_seed, size in zip(results, (4, 5), (forth, back)):
            self.assertIsNone(result["mismatch"], note)
            self.assertEqual((result["received"], result["received_sha"]),
                             (size, pattern_sha(peer_seed, size)), note)
        # The path really was impaired, or this test proved nothing.
        for kind in ("dropped", "duplicated", "out_of_order"):
            self.assertGreater(stats[kind], 0, note)


if __name__ == "__main__":
    unittest.main()
