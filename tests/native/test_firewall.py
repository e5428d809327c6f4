# Firewall control on a system without a per-program firewall: argument checks and their order,
# answers of 0 (ints) from every function, and nothing written to the log at its threshold.

import os
import subprocess
import sys
import unittest

import quillane_native as q


class Firewall(unittest.TestCase):
    def assertMessage(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual(str(cm.exception), message)

    def test_messages_in_argument_order(self):
        for args in ((), (b"/a", b"b")):
            self.assertMessage("Couldn't interpret parameters", q.Firewall_IsOpenFor, *args)
        for args in ((), (b"/a",), (b"/a", b"b", b"c")):
            self.assertMessage("Couldn't interpret parameters", q.Firewall_OpenFor, *args)
        for exe in (u"/a", None, 1, bytearray(b"/a")):
            self.assertMessage("Require a string for exe path", q.Firewall_IsOpenFor, exe)
            self.assertMessage("exe_path (param 0) is not a string", q.Firewall_OpenFor, exe, 1)
        for name in (u"n", None, 1):
            self.assertMessage("name (param 1) is not a string", q.Firewall_OpenFor, b"/a", name)

    def test_every_answer_is_zero_here(self):
        exe = sys.executable.encode("utf-8") if sys.version_info[0] >= 3 else sys.executable
        answers = [q.Firewall_IsEnabled(), q.Firewall_IsEnabled(1, 2),
                   q.Firewall_IsOpenFor(exe), q.Firewall_OpenFor(exe, b"Q"),
                   q.Firewall_IsOpenFor(exe), q.Firewall_OpenFor(b"", b"")]
        self.assertEqual(answers, [0] * len(answers))
        self.assertEqual(set(type(a) for a in answers), set([int]))

    def test_missing_policy_is_not_logged_at_the_threshold(self):
        code = ("import quillane_native as q; q.Firewall_IsEnabled(); "
                "q.Firewall_IsOpenFor(b'/a'); q.Firewall_OpenFor(b'/a', b'n')")
        process = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=dict(os.environ))
        out, err = process.communicate()
        self.assertEqual((process.returncode, out, err), (0, b"", b""))


if __name__ == "__main__":
    unittest.main()
