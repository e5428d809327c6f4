"""The common entry path: every way out of an implementation reaches Python as a value or as
RuntimeError, never as a crash or a lost error. quillane_testhooks routes its functions through
the module's own entry path."""

import sys
import unittest

import quillane_native as q
import quillane_testhooks as hooks

PY3 = sys.version_info[0] >= 3


class EntryPath(unittest.TestCase):
    def expect(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual(str(cm.exception), message)
        self.assertIs(type(cm.exception), RuntimeError)

    def test_each_kind_of_failure_becomes_runtime_error(self):
        text = b"cipher text is not a string"
        self.expect("cipher text is not a string", hooks.throw_runtime_error, text)
        self.expect("bad allocation", hooks.throw_bad_alloc)
        self.expect("Unknown C++ exception", hooks.throw_other)
        # The parser's own TypeError is replaced, whatever it said.
        self.expect("Couldn't interpret parameters", hooks.throw_runtime_error)
        self.expect("Couldn't interpret parameters", q.Crypto_Random, "x")

    def test_no_result_means_none(self):
        self.assertIsNone(hooks.return_nothing())
        self.assertIsNone(hooks.return_nothing(1, 2, 3))

    def test_failures_leave_no_pending_error(self):
        # A failed call must not leave an error set that a later, successful call would raise.
        for _ in range(3):
            self.assertRaises(RuntimeError, hooks.throw_other)
            self.assertRaises(RuntimeError, q.Crypto_Random, 1, 2)
            self.assertEqual(len(q.Crypto_Random(4)), 4)

    def test_registered_functions_and_conventions(self):
        names = sorted(n for n in dir(q) if not n.startswith("__"))
        self.assertEqual(names, sorted([
            "UTP_Make", "UTP_Close", "UTP_Read", "UTP_Write", "UTP_SetTimeout",
            "Crypto_Random", "Crypto_Symmetric_GenerateKey", "Crypto_Symmetric_Encrypt",
            "Crypto_Symmetric_Decrypt", "Crypto_PK_GenerateKeys", "Crypto_PK_Encrypt",
            "Crypto_PK_Decrypt", "Crypto_Sign_GetVerifyKey", "Crypto_Sign_Sign",
            "Crypto_Sign_Verify"]))
        self.assertIsNone(q.Crypto_Random.__doc__)
        self.assertIsNone(q.__doc__)
        # Positional arguments only.
        self.assertRaises(TypeError, q.Crypto_Random, count=3)


if __name__ == "__main__":
    unittest.main()
