# The cryptographic functions: layouts, check order and messages, tamper resistance.
# Runs unchanged under Python 2.7 (byte strings are str) and Python 3 (bytes).

import os
import sys
import threading
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
if PY3:
    text_type = str

    def b(s):
        return s.encode("latin-1")
else:
    text_type = unicode  # noqa: F821

    def b(s):
        return s


def flip(data, index):
    """data with one bit of the byte at index flipped."""
    arr = bytearray(data)
    arr[index] ^= 0x01
    return bytes(arr)


class Errors(object):
    def assertMessage(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual(str(cm.exception), message)


class RandomAndKeys(unittest.TestCase, Errors):
    def test_random_counts(self):
        self.assertIsNone(q.Crypto_Random(0))
        for n in (1, 7, 32, 1000):
            r = q.Crypto_Random(n)
            self.assertIsInstance(r, bytes)
            self.assertEqual(len(r), n)
        self.assertNotEqual(q.Crypto_Random(32), q.Crypto_Random(32))

    def test_large_counts_are_not_degenerate(self):
        # Large counts are expanded from a fresh seed: different each call, every byte value seen.
        r1, r2 = q.Crypto_Random(65536), q.Crypto_Random(65536)
        self.assertNotEqual(r1, r2)
        self.assertNotEqual(r1[:32768], r1[32768:])
        self.assertEqual(len(set(bytearray(r1))), 256)

    def test_random_refuses_bad_counts(self):
        # A negative count would be read as ~4 GiB and allocated; it must be refused first.
        self.assertMessage("bad allocation", q.Crypto_Random, -1)
        self.assertMessage("bad allocation", q.Crypto_Random, -2 ** 31)
        for args in ((), (1, 2), ("3",), (1.5,), (2 ** 40,)):
            self.assertMessage("Couldn't interpret parameters", q.Crypto_Random, *args)

    def test_generators_ignore_arguments(self):
        self.assertEqual(len(q.Crypto_Symmetric_GenerateKey(1, "x", None)), 32)
        pair = q.Crypto_PK_GenerateKeys(1, 2, 3)
        self.assertIsInstance(pair, tuple)
        self.assertEqual([len(k) for k in pair], [32, 32])
        self.assertNotEqual(pair[0], pair[1])


class Symmetric(unittest.TestCase, Errors):
    def setUp(self):
        self.key = q.Crypto_Symmetric_GenerateKey()

    def test_round_trip_and_layout(self):
        for plain in (b(""), b("x"), b("a\x00b\x00"), b("\xff") * 1000, bytes(bytearray(range(256))) * 300):
            c = q.Crypto_Symmetric_Encrypt(self.key, plain)
            self.assertEqual(len(c), len(plain) + 40)
            self.assertEqual(q.Crypto_Symmetric_Decrypt(self.key, c), plain)

    def nonces(self, count):
        return [q.Crypto_Symmetric_Encrypt(self.key, b("same"))[:24] for _ in range(count)]

    def test_nonces_never_repeat_across_threads(self):
        # Threads taking turns at the interpreter lock must each draw fresh nonces; so must
        # consecutive messages of one thread.
        drawn = []
        threads = [threading.Thread(target=lambda: drawn.extend(self.nonces(500))) for _ in range(4)]
        for t in threads:
            t.start()
        drawn.extend(self.nonces(500))
        for t in threads:
            t.join()
        self.assertEqual(len(drawn), 2500)
        self.assertEqual(len(set(drawn)), 2500)

    @unittest.skipUnless(hasattr(os, "fork"), "needs fork")
    def test_forked_child_draws_other_nonces(self):
        # Whatever the parent drew before the fork, parent and child must not share a nonce after.
        self.nonces(1)
        r, w = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(r)
                os.write(w, b("").join(self.nonces(10)))
            finally:
                os._exit(0)
        os.close(w)
        child = b("")
        while True:
            chunk = os.read(r, 4096)
            if not chunk:
                break
            child += chunk
        os.close(r)
        os.waitpid(pid, 0)
        self.assertEqual(len(child), 240)
        child_set = set(child[i:i + 24] for i in range(0, 240, 24))
        self.assertFalse(child_set & set(self.nonces(10)))

    def test_any_altered_byte_or_other_key_fails(self):
        c = q.Crypto_Symmetric_Encrypt(self.key, b("attack at dawn"))
        for i in range(len(c)):
            self.assertMessage("Got error from crypto_secretbox_open",
                               q.Crypto_Symmetric_Decrypt, self.key, flip(c, i))
        self.assertMessage("Got error from crypto_secretbox_open",
                           q.Crypto_Symmetric_Decrypt, q.Crypto_Symmetric_GenerateKey(), c)
        self.assertMessage("Got error from crypto_secretbox_open",
                           q.Crypto_Symmetric_Decrypt, self.key, c + b("z"))

    def test_messages_in_check_order(self):
        k, e, d = self.key, q.Crypto_Symmetric_Encrypt, q.Crypto_Symmetric_Decrypt
        cases = [
            (e, (), "Couldn't interpret parameters"),
            (e, (k,), "Couldn't interpret parameters"),
            (e, (k, b("x"), b("y")), "Couldn't interpret parameters"),
            (e, (text_type("k") * 32, 5), "symmetric key is not a string"),
            (e, (bytearray(32), b("x")), "symmetric key is not a string"),
            (e, (k[:31], 5), "symmetric key is wrong length"),
            (e, (k + b("x"), b("p")), "symmetric key is wrong length"),
            (e, (k, text_type("plain")), "plain text is not a string"),
            (e, (k, None), "plain text is not a string"),
            (d, (k,), "Couldn't interpret parameters"),
            (d, (None, None), "symmetric key is not a string"),
            (d, (k[:1], None), "symmetric key is wrong length"),
            (d, (k, text_type("c") * 60), "cipher text is not a string"),
            (d, (k, b("\x00") * 39), "cipher text is too short to contain the MAC and nonce"),
            (d, (k, b("\x00") * 40), "Got error from crypto_secretbox_open"),
        ]
        for fn, args, message in cases:
            self.assertMessage(message, fn, *args)

    def test_string_subclasses_are_strings(self):
        class Sub(bytes):
            pass
        c = q.Crypto_Symmetric_Encrypt(Sub(self.key), Sub(b("sub")))
        self.assertEqual(q.Crypto_Symmetric_Decrypt(self.key, Sub(c)), b("sub"))


class PublicKey(unittest.TestCase, Errors):
    def setUp(self):
        self.a_priv, self.a_pub = q.Crypto_PK_GenerateKeys()
        self.b_priv, self.b_pub = q.Crypto_PK_GenerateKeys()

    def test_round_trip_between_two_parties(self):
        for plain in (b(""), b("hello\x00world"), b("\x01") * 70000):
            c = q.Crypto_PK_Encrypt(self.a_priv, self.b_pub, plain)
            self.assertEqual(len(c), len(plain) + 40)
            self.assertEqual(q.Crypto_PK_Decrypt(self.b_priv, self.a_pub, c), plain)
            # The sender can open it too: the shared key is symmetric in the two pairs.
            self.assertEqual(q.Crypto_PK_Decrypt(self.a_priv, self.b_pub, c), plain)

    def test_tampering_and_wrong_keys_fail(self):
        c = q.Crypto_PK_Encrypt(self.a_priv, self.b_pub, b("secret"))
        msg = "Got error from crypto_box_open"
        for i in range(len(c)):
            self.assertMessage(msg, q.Crypto_PK_Decrypt, self.b_priv, self.a_pub, flip(c, i))
        c_priv, c_pub = q.Crypto_PK_GenerateKeys()
        self.assertMessage(msg, q.Crypto_PK_Decrypt, c_priv, self.a_pub, c)
        self.assertMessage(msg, q.Crypto_PK_Decrypt, self.b_priv, c_pub, c)

    def test_messages_in_check_order(self):
        e, d = q.Crypto_PK_Encrypt, q.Crypto_PK_Decrypt
        sk, pk = self.a_priv, self.b_pub
        u = text_type("k") * 32
        cases = [
            (e, (sk, pk), "Couldn't interpret parameters"),
            (e, (sk, pk, b(""), b("")), "Couldn't interpret parameters"),
            (e, (u, u, u), "private key is not a string"),
            (e, (sk[:31], pk[:31], None), "private key is wrong length"),
            (e, (sk + b("\x00"), pk, b("")), "private key is wrong length"),
            (e, (sk, u, None), "public key is not a string"),
            (e, (sk, pk + b("\x00"), None), "public key is wrong length"),
            (e, (sk, pk, u), "plain text is not a string"),
            (d, (sk,), "Couldn't interpret parameters"),
            (d, (1, 2, 3), "private key is not a string"),
            (d, (sk[:3], 2, 3), "private key is wrong length"),
            (d, (sk, 2, 3), "public key is not a string"),
            (d, (sk, pk[:3], 3), "public key is wrong length"),
            (d, (sk, pk, 3), "cipher text is not a string"),
            (d, (sk, pk, b("\x00") * 39), "cipher text is too short to contain the MAC and nonce"),
            (d, (sk, pk, b("\x00") * 40), "Got error from crypto_box_open"),
        ]
        for fn, args, message in cases:
            self.assertMessage(message, fn, *args)

    def test_small_order_public_key_is_refused(self):
        # An all-zero public key gives an all-zero shared secret; the library refuses it.
        self.assertMessage("Got error from crypto_box", q.Crypto_PK_Encrypt,
                           self.a_priv, b("\x00") * 32, b("x"))


class Signatures(unittest.TestCase, Errors):
    seed = bytes(bytearray(range(32)))

    def test_sign_and_verify(self):
        vk = q.Crypto_Sign_GetVerifyKey(self.seed)
        self.assertEqual(len(vk), 32)
        for message in (b(""), b("m"), b("\x00") * 5, b("z") * 100000):
            sm = q.Crypto_Sign_Sign(self.seed, message)
            self.assertEqual(len(sm), len(message) + 64)
            self.assertEqual(sm[64:], message)
            self.assertEqual(q.Crypto_Sign_Verify(vk, sm), message)

    def test_deterministic_and_seed_dependent(self):
        s1 = q.Crypto_Sign_Sign(self.seed, b("msg"))
        self.assertEqual(s1, q.Crypto_Sign_Sign(self.seed, b("msg")))
        other = b("\x07") * 32
        self.assertNotEqual(s1, q.Crypto_Sign_Sign(other, b("msg")))
        self.assertNotEqual(q.Crypto_Sign_GetVerifyKey(self.seed), q.Crypto_Sign_GetVerifyKey(other))

    def test_forgeries_fail(self):
        vk = q.Crypto_Sign_GetVerifyKey(self.seed)
        sm = q.Crypto_Sign_Sign(self.seed, b("pay 10"))
        msg = "Got error from crypto_sign_open"
        for i in range(len(sm)):
            self.assertMessage(msg, q.Crypto_Sign_Verify, vk, flip(sm, i))
        self.assertMessage(msg, q.Crypto_Sign_Verify, q.Crypto_Sign_GetVerifyKey(b("\x01") * 32), sm)
        self.assertMessage(msg, q.Crypto_Sign_Verify, vk, sm[:-1])

    def test_short_signed_messages(self):
        vk = q.Crypto_Sign_GetVerifyKey(self.seed)
        # Under 64 bytes the message length would be negative: refused before any allocation.
        for n in (0, 1, 63):
            self.assertMessage("bad allocation", q.Crypto_Sign_Verify, vk, b("\x00") * n)
        self.assertMessage("Got error from crypto_sign_open", q.Crypto_Sign_Verify, vk, b("\x00") * 64)

    def test_messages_in_check_order(self):
        u = text_type("s") * 32
        s = self.seed
        cases = [
            (q.Crypto_Sign_GetVerifyKey, (), "Couldn't interpret parameters"),
            (q.Crypto_Sign_GetVerifyKey, (s, s), "Couldn't interpret parameters"),
            (q.Crypto_Sign_GetVerifyKey, (u,), "seed is not a string"),
            (q.Crypto_Sign_GetVerifyKey, (s[:31],), "seed is wrong length"),
            (q.Crypto_Sign_Sign, (s,), "Couldn't interpret parameters"),
            (q.Crypto_Sign_Sign, (u, u), "seed is not a string"),
            (q.Crypto_Sign_Sign, (s + s, u), "seed is wrong length"),
            (q.Crypto_Sign_Sign, (s, u), "message is not a string"),
            (q.Crypto_Sign_Verify, (s, s, s), "Couldn't interpret parameters"),
            (q.Crypto_Sign_Verify, (u, b("")), "verify key is not a string"),
            (q.Crypto_Sign_Verify, (s[:1], b("")), "verify key is wrong length"),
            (q.Crypto_Sign_Verify, (s, u), "signed message is not a string"),
        ]
        for fn, args, message in cases:
            self.assertMessage(message, fn, *args)


if __name__ == "__main__":
    unittest.main()
