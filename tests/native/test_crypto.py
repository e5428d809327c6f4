# The cryptographic functions as Python sees them: check order and messages, what counts as a
# string, results and their types, nonces after a fork. The layouts, the refusal of tampered
# messages and the random draws are the interpreter-free core's, tested in C++ on Linux and under
# Wine (core/Crypto_test.cpp). Runs unchanged under Python 2.7 (byte strings are str) and
# Python 3 (bytes).

import os
import sys
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
TEXT = (str if PY3 else unicode)("u") * 32  # noqa: F821  (text, never a string here)


def b(s):
    return s.encode("latin-1") if PY3 else s


ARGS = "Couldn't interpret parameters"
KEY, ZERO, SEED = b("k") * 32, b("\x00") * 64, bytes(bytearray(range(32)))

# Each function with the names its messages give its arguments, in check order. Arguments named
# in VALID are strings of any length (those values pass every check); the others are 32 bytes.
CHECKED = [
    (q.Crypto_Symmetric_Encrypt, "symmetric key", "plain text"),
    (q.Crypto_Symmetric_Decrypt, "symmetric key", "cipher text"),
    (q.Crypto_PK_Encrypt, "private key", "public key", "plain text"),
    (q.Crypto_PK_Decrypt, "private key", "public key", "cipher text"),
    (q.Crypto_Sign_GetVerifyKey, "seed"),
    (q.Crypto_Sign_Sign, "seed", "message"),
    (q.Crypto_Sign_Verify, "verify key", "signed message"),
]
VALID = {"plain text": b(""), "message": b(""), "cipher text": ZERO[:40], "signed message": ZERO}
SHORT = "cipher text is too short to contain the MAC and nonce"
# The checks that follow the argument checks, and the count of random bytes.
AFTER_CHECKS = [
    (q.Crypto_Symmetric_Decrypt, (KEY, ZERO[:39]), SHORT),
    (q.Crypto_Symmetric_Decrypt, (KEY, ZERO[:40]), "Got error from crypto_secretbox_open"),
    (q.Crypto_PK_Decrypt, (KEY, KEY, ZERO[:39]), SHORT),
    (q.Crypto_PK_Decrypt, (KEY, KEY, ZERO[:40]), "Got error from crypto_box_open"),
    # An all-zero public key gives an all-zero shared secret; the library refuses it.
    (q.Crypto_PK_Encrypt, (KEY, ZERO[:32], b("x")), "Got error from crypto_box"),
    # Shorter than a signature: refused before a wrapped-around allocation.
    (q.Crypto_Sign_Verify, (KEY, ZERO[:63]), "bad allocation"),
    (q.Crypto_Sign_Verify, (KEY, ZERO), "Got error from crypto_sign_open"),
    (q.Crypto_Random, (), ARGS),
    (q.Crypto_Random, (2 ** 40,), ARGS),
    # Not read as ~4 GiB and allocated.
    (q.Crypto_Random, (-1,), "bad allocation"),
]


class Crypto(unittest.TestCase):
    def assertMessage(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual((type(cm.exception), str(cm.exception)), (RuntimeError, message))

    def test_messages_in_check_order(self):
        # Each argument fails each of its checks while every later argument is bad too: the
        # message shows which check ran first.
        for row in CHECKED:
            fn, names = row[0], row[1:]
            valid = [VALID.get(name, KEY) for name in names]
            self.assertMessage(ARGS, fn, *valid[:-1])
            self.assertMessage(ARGS, fn, *valid + [b("")])
            for i, name in enumerate(names):
                later = [None] * (len(names) - i - 1)
                for bad in (TEXT, bytearray(32), None):
                    self.assertMessage(name + " is not a string", fn, *valid[:i] + [bad] + later)
                if name not in VALID:
                    for bad in (KEY[:31], KEY + b("k")):
                        self.assertMessage(name + " is wrong length",
                                           fn, *valid[:i] + [bad] + later)
        for fn, args, message in AFTER_CHECKS:
            self.assertMessage(message, fn, *args)

    def test_round_trips_and_results(self):
        class Sub(bytes):  # a subclass is a string too
            pass
        key = q.Crypto_Symmetric_GenerateKey(1, "x", None)  # generators ignore their arguments
        (a_priv, a_pub), (b_priv, b_pub) = q.Crypto_PK_GenerateKeys(1), q.Crypto_PK_GenerateKeys()
        plain, vk = b("a\x00b\x00"), q.Crypto_Sign_GetVerifyKey(SEED)
        sealed = [q.Crypto_Symmetric_Encrypt(Sub(key), Sub(plain)),
                  q.Crypto_PK_Encrypt(a_priv, b_pub, plain), q.Crypto_Sign_Sign(SEED, plain)]
        self.assertEqual([q.Crypto_Symmetric_Decrypt(key, Sub(sealed[0])),
                          q.Crypto_PK_Decrypt(b_priv, a_pub, sealed[1]),
                          q.Crypto_Sign_Verify(vk, sealed[2])], [plain] * 3)
        self.assertIsNone(q.Crypto_Random(0))
        results = [key, a_priv, a_pub, vk, q.Crypto_Random(257)] + sealed
        self.assertEqual([(type(r), len(r)) for r in results],
                         [(bytes, 32)] * 4 + [(bytes, 257), (bytes, 44), (bytes, 44), (bytes, 68)])

    def nonces(self, count):
        return [q.Crypto_Symmetric_Encrypt(KEY, b(""))[:24] for _ in range(count)]

    @unittest.skipUnless(hasattr(os, "fork"), "needs fork")
    def test_forked_child_draws_other_nonces(self):
        self.nonces(1)  # the parent has drawn before the fork
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.write(w, b("").join(self.nonces(10)))
            finally:
                os._exit(0)
        os.close(w)
        os.waitpid(pid, 0)
        child = os.read(r, 4096)  # one write of 240 bytes, whole in the pipe by now
        os.close(r)
        child = set(child[i:i + 24] for i in range(0, len(child), 24))
        self.assertEqual(len(child), 10)
        self.assertFalse(child & set(self.nonces(10)))


if __name__ == "__main__":
    unittest.main()
