# Interoperability with an independent implementation (PyNaCl, Python 3 only): keys derive alike,
# cipher texts made on either side open on the other, and signed messages are the same bytes.

import sys
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
if PY3:
    # Installed with the build's packages; its absence is a set-up fault, not a reason to skip.
    import nacl.public
    import nacl.secret
    import nacl.signing


@unittest.skipUnless(PY3, "PyNaCl serves the Python 3 run only")
class Interop(unittest.TestCase):
    def test_both_ways(self):
        key, seed = q.Crypto_Symmetric_GenerateKey(), q.Crypto_Random(32)
        a_priv, a_pub = q.Crypto_PK_GenerateKeys()
        b_key = nacl.public.PrivateKey.generate()
        b_pub = bytes(b_key.public_key)
        secret_box = nacl.secret.SecretBox(key)
        their_box = nacl.public.Box(b_key, nacl.public.PublicKey(a_pub))
        signing_key = nacl.signing.SigningKey(seed)
        self.assertEqual(bytes(nacl.public.PrivateKey(a_priv).public_key), a_pub)
        self.assertEqual(bytes(signing_key.verify_key), q.Crypto_Sign_GetVerifyKey(seed))
        for m in (b"", b"\x00\x01\x02 zero bytes inside \x00", bytes(range(256)) * 257):
            self.assertEqual(secret_box.decrypt(q.Crypto_Symmetric_Encrypt(key, m)), m)
            self.assertEqual(q.Crypto_Symmetric_Decrypt(key, bytes(secret_box.encrypt(m))), m)
            self.assertEqual(their_box.decrypt(q.Crypto_PK_Encrypt(a_priv, b_pub, m)), m)
            self.assertEqual(q.Crypto_PK_Decrypt(a_priv, b_pub, bytes(their_box.encrypt(m))), m)
            self.assertEqual(q.Crypto_Sign_Sign(seed, m), bytes(signing_key.sign(m)))


if __name__ == "__main__":
    unittest.main()
