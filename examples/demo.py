# -*- coding: utf-8 -*-
"""A short tour of quillane_native: keys, encryption both ways, signatures.

Run with `make demo` (Python 2.7), or build/py3 examples/demo.py under Python 3.
"""
from __future__ import print_function

import binascii
import sys

import quillane_native as q


def hexs(data, limit=16):
    text = binascii.hexlify(data[:limit]).decode("ascii")
    return text + ("..." if len(data) > limit else "")


def section(title):
    print()
    print(title)
    print("-" * len(title))


def main():
    print("quillane_native on Python %d.%d" % sys.version_info[:2])

    section("Random bytes and keys")
    print("Crypto_Random(8)            ->", hexs(q.Crypto_Random(8)))
    print("Crypto_Random(0)            ->", q.Crypto_Random(0))
    key = q.Crypto_Symmetric_GenerateKey()
    print("symmetric key (32 bytes)    ->", hexs(key))
    alice_priv, alice_pub = q.Crypto_PK_GenerateKeys()
    bob_priv, bob_pub = q.Crypto_PK_GenerateKeys()
    print("Alice's public key          ->", hexs(alice_pub))
    print("Bob's public key            ->", hexs(bob_pub))

    section("Secret-key encryption")
    plain = b"Meet me at the old mill at midnight."
    cipher = q.Crypto_Symmetric_Encrypt(key, plain)
    print("plain text  (%2d bytes)      -> %r" % (len(plain), plain))
    print("cipher text (%2d bytes)      -> nonce %s | mac %s | %s" % (
        len(cipher), hexs(cipher[:24], 6), hexs(cipher[24:40], 6), hexs(cipher[40:], 6)))
    print("decrypted                   -> %r" % q.Crypto_Symmetric_Decrypt(key, cipher))
    tampered = cipher[:-1] + (b"\x00" if cipher[-1:] != b"\x00" else b"\x01")
    try:
        q.Crypto_Symmetric_Decrypt(key, tampered)
    except RuntimeError as e:
        print("one byte altered            -> RuntimeError: %s" % e)

    section("Public-key encryption (Alice to Bob)")
    letter = b"Bob, the package is on its way. -- Alice"
    sealed = q.Crypto_PK_Encrypt(alice_priv, bob_pub, letter)
    print("sealed by Alice (%d bytes)" % len(sealed))
    print("opened by Bob               -> %r" % q.Crypto_PK_Decrypt(bob_priv, alice_pub, sealed))
    eve_priv, _ = q.Crypto_PK_GenerateKeys()
    try:
        q.Crypto_PK_Decrypt(eve_priv, alice_pub, sealed)
    except RuntimeError as e:
        print("opened by Eve               -> RuntimeError: %s" % e)

    section("Signatures")
    seed = q.Crypto_Random(32)
    verify_key = q.Crypto_Sign_GetVerifyKey(seed)
    statement = b"I owe Carol 10 coins."
    signed = q.Crypto_Sign_Sign(seed, statement)
    print("verify key                  ->", hexs(verify_key))
    print("signed message (%d bytes)   -> signature %s | %r" % (len(signed), hexs(signed[:64], 8), signed[64:]))
    print("verified                    -> %r" % q.Crypto_Sign_Verify(verify_key, signed))
    print("signing is deterministic    ->", q.Crypto_Sign_Sign(seed, statement) == signed)
    forged = signed[:64] + b"I owe Carol 99 coins."
    try:
        q.Crypto_Sign_Verify(verify_key, forged)
    except RuntimeError as e:
        print("forged amount               -> RuntimeError: %s" % e)

    section("Errors name the argument")
    for call, args in [(q.Crypto_Symmetric_Encrypt, (key[:31], b"x")),
                       (q.Crypto_Symmetric_Decrypt, (key, b"short")),
                       (q.Crypto_Sign_Verify, (verify_key, b"\x00" * 10)),
                       (q.Crypto_PK_Encrypt, (alice_priv,))]:
        try:
            call(*args)
        except RuntimeError as e:
            print("%-27s -> RuntimeError: %s" % (call.__name__, e))


if __name__ == "__main__":
    main()
