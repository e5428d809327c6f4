# Firewall control on a system without a per-program firewall: argument checks in their order,
# and answers of 0 (ints) from every function.

import unittest

import quillane_native as q


class Firewall(unittest.TestCase):
    def test_messages_in_argument_order(self):
        bad = "Couldn't interpret parameters"
        for fn, args, message in [
                (q.Firewall_IsOpenFor, (), bad),
                (q.Firewall_OpenFor, (b"/a",), bad),
                (q.Firewall_IsOpenFor, (u"/a",), "Require a string for exe path"),
                (q.Firewall_OpenFor, (None, 1), "exe_path (param 0) is not a string"),
                (q.Firewall_OpenFor, (b"/a", u"n"), "name (param 1) is not a string")]:
            with self.assertRaises(RuntimeError) as cm:
                fn(*args)
            self.assertEqual(str(cm.exception), message)

    def test_every_answer_is_zero_here(self):
        answers = [q.Firewall_IsEnabled(), q.Firewall_IsEnabled(1, 2),
                   q.Firewall_IsOpenFor(b"/bin/sh"), q.Firewall_OpenFor(b"/bin/sh", b"Q"),
                   q.Firewall_IsOpenFor(b"/bin/sh")]
        self.assertEqual([(type(a), a) for a in answers], [(int, 0)] * len(answers))
