# Interoperability with an independent implementation (PyNaCl, Python 3 only): cipher texts and
# signed messages made by the module open there, and those made there open here.

import sys
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
if PY3:
    # Installed with the build's packages; its absence is a set-up fault, not a reason to skip.
    import nacl.public
    import nacl.secret
    import nacl.signing

MESSAGES = [b"", b"x", b"\x00\x01\x02 zero bytes inside \x00", bytes(range(256)) * 257]


@unittest.skipUnless(PY3, "PyNaCl serves the Python 3 run only")
class Interop(unittest.TestCase):
    def test_secret_box_both_ways(self):
        key = q.Crypto_Symmetric_GenerateKey()
        box = nacl.secret.SecretBox(key)
        for m in MESSAGES:
            ours = q.Crypto_Symmetric_Encrypt(key, m)
            self.assertEqual(box.decrypt(ours), m)
            theirs = bytes(box.encrypt(m))
            self.assertEqual(q.Crypto_Symmetric_Decrypt(key, theirs), m)

    def test_box_both_ways(self):
        a_priv, a_pub = q.Crypto_PK_GenerateKeys()
        b_key = nacl.public.PrivateKey.generate()
        b_pub = bytes(b_key.public_key)
        # The module's public key is the one the library derives from the private key.
        self.assertEqual(bytes(nacl.public.PrivateKey(a_priv).public_key), a_pub)
        their_box = nacl.public.Box(b_key, nacl.public.PublicKey(a_pub))
        for m in MESSAGES:
            ours = q.Crypto_PK_Encrypt(a_priv, b_pub, m)
            self.assertEqual(their_box.decrypt(ours), m)
            theirs = bytes(their_box.encrypt(m))
            self.assertEqual(q.Crypto_PK_Decrypt(a_priv, b_pub, theirs), m)

    def test_signatures_both_ways(self):
        seed = q.Crypto_Random(32)
        sk = nacl.signing.SigningKey(seed)
        vk = q.Crypto_Sign_GetVerifyKey(seed)
        self.assertEqual(bytes(sk.verify_key), vk)
        for m in MESSAGES:
            ours = q.Crypto_Sign_Sign(seed, m)
            self.assertEqual(ours, bytes(sk.sign(m)))  # deterministic: identical bytes
            self.assertEqual(sk.verify_key.verify(ours), m)
            self.assertEqual(q.Crypto_Sign_Verify(vk, bytes(sk.sign(m))), m)


if __name__ == "__main__":
    unittest.main()
