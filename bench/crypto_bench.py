"""Crypto benchmark: the module against PyNaCl on the same Python 3 interpreter.

For each function and message size it prints the module's calls/s and MB/s, PyNaCl's for the same
work, and their ratio. Like is compared with like: the module takes raw keys on every call, so
PyNaCl's main figure builds its Box / SecretBox / SigningKey / VerifyKey objects per call; the
figure with prebuilt objects is printed for information. Finally the module's MB/s at 1 MiB is set
against raw libsodium called from C++ (the crypto_raw program, given as the first argument).

Usage: build/py3 bench/crypto_bench.py [path/to/crypto_raw] [--quick]
"""

import subprocess
import sys
import time

import nacl.public
import nacl.secret
import nacl.signing
import nacl.utils

import quillane_native as q

SIZES = [0, 64, 1024, 64 * 1024, 1024 * 1024]
QUICK = "--quick" in sys.argv
ROUND_SECONDS = 0.05 if QUICK else 0.15
ROUNDS = 2 if QUICK else 4


def rate(fn):
    """Best calls/s over several timed rounds (noise only ever slows a round down)."""
    batch = 1
    while True:  # grow the batch until one takes a measurable time
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        dt = time.perf_counter() - t0
        if dt > 0.01:
            break
        batch *= 4
    per_round = max(1, int(batch * ROUND_SECONDS / dt))
    best = 0.0
    for _ in range(ROUNDS):
        t0 = time.perf_counter()
        for _ in range(per_round):
            fn()
        best = max(best, per_round / (time.perf_counter() - t0))
    return best


def cases(size):
    """(name, module call, PyNaCl per-call, PyNaCl prebuilt or None) for one message size."""
    m = nacl.utils.random(size)
    key = q.Crypto_Symmetric_GenerateKey()
    sk, pk = q.Crypto_PK_GenerateKeys()
    sk2, pk2 = q.Crypto_PK_GenerateKeys()
    seed = q.Crypto_Random(32)
    vk = q.Crypto_Sign_GetVerifyKey(seed)
    sbox = nacl.secret.SecretBox(key)
    box = nacl.public.Box(nacl.public.PrivateKey(sk), nacl.public.PublicKey(pk2))
    box_back = nacl.public.Box(nacl.public.PrivateKey(sk2), nacl.public.PublicKey(pk))
    signer = nacl.signing.SigningKey(seed)
    verifier = nacl.signing.VerifyKey(vk)
    c_sym = q.Crypto_Symmetric_Encrypt(key, m)
    c_pk = q.Crypto_PK_Encrypt(sk, pk2, m)
    sm = q.Crypto_Sign_Sign(seed, m)
    SecretBox, Box = nacl.secret.SecretBox, nacl.public.Box
    PrivateKey, PublicKey = nacl.public.PrivateKey, nacl.public.PublicKey
    SigningKey, VerifyKey = nacl.signing.SigningKey, nacl.signing.VerifyKey
    return [
        ("Crypto_Random", lambda: q.Crypto_Random(size) if size else None,
         lambda: nacl.utils.random(size), None),
        ("Crypto_Symmetric_Encrypt", lambda: q.Crypto_Symmetric_Encrypt(key, m),
         lambda: SecretBox(key).encrypt(m), lambda: sbox.encrypt(m)),
        ("Crypto_Symmetric_Decrypt", lambda: q.Crypto_Symmetric_Decrypt(key, c_sym),
         lambda: SecretBox(key).decrypt(c_sym), lambda: sbox.decrypt(c_sym)),
        ("Crypto_PK_Encrypt", lambda: q.Crypto_PK_Encrypt(sk, pk2, m),
         lambda: Box(PrivateKey(sk), PublicKey(pk2)).encrypt(m), lambda: box.encrypt(m)),
        ("Crypto_PK_Decrypt", lambda: q.Crypto_PK_Decrypt(sk2, pk, c_pk),
         lambda: Box(PrivateKey(sk2), PublicKey(pk)).decrypt(c_pk), lambda: box_back.decrypt(c_pk)),
        ("Crypto_Sign_Sign", lambda: q.Crypto_Sign_Sign(seed, m),
         lambda: SigningKey(seed).sign(m), lambda: signer.sign(m)),
        ("Crypto_Sign_Verify", lambda: q.Crypto_Sign_Verify(vk, sm),
         lambda: VerifyKey(vk).verify(sm), lambda: verifier.verify(sm)),
    ]


def fixed_cases():
    seed = q.Crypto_Random(32)
    SigningKey, PrivateKey = nacl.signing.SigningKey, nacl.public.PrivateKey
    return [
        ("Crypto_Symmetric_GenerateKey", q.Crypto_Symmetric_GenerateKey,
         lambda: nacl.utils.random(32)),
        ("Crypto_PK_GenerateKeys", q.Crypto_PK_GenerateKeys,
         lambda: (lambda k: (bytes(k), bytes(k.public_key)))(PrivateKey.generate())),
        ("Crypto_Sign_GetVerifyKey", lambda: q.Crypto_Sign_GetVerifyKey(seed),
         lambda: bytes(SigningKey(seed).verify_key)),
    ]


def mbps(calls, size):
    return calls * size / 1e6


def main():
    raw = None
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    if args:
        out = subprocess.check_output([args[0]]).decode()
        raw = float(out.split()[1])

    head = "%-30s %8s %12s %9s %12s %9s %7s %12s" % (
        "function", "size", "ours/s", "ours MB/s", "nacl/s", "nacl MB/s", "ratio", "prebuilt/s")
    print(head)
    print("-" * len(head))
    ratios = {}
    ours_1mib = None
    for size in SIZES:
        for name, ours, theirs, prebuilt in cases(size):
            a, b = rate(ours), rate(theirs)
            c = rate(prebuilt) if prebuilt else None
            ratios[(name, size)] = a / b
            if name == "Crypto_Symmetric_Encrypt" and size == SIZES[-1]:
                ours_1mib = mbps(a, size)
            print("%-30s %8d %12.0f %9.1f %12.0f %9.1f %6.2fx %12s" % (
                name, size, a, mbps(a, size), b, mbps(b, size), a / b,
                "%.0f" % c if c else "-"))
    for name, ours, theirs in fixed_cases():
        a, b = rate(ours), rate(theirs)
        print("%-30s %8s %12.0f %9s %12.0f %9s %6.2fx %12s" % (name, "-", a, "-", b, "-", a / b, "-"))

    print()
    print("Goals at 64 bytes (ratio of calls/s to PyNaCl, per-call objects):")
    goals = [("Crypto_Symmetric_Encrypt", 2.0), ("Crypto_Symmetric_Decrypt", 1.8),
             ("Crypto_PK_Encrypt", 1.7), ("Crypto_PK_Decrypt", 1.7),
             ("Crypto_Sign_Sign", 1.0), ("Crypto_Sign_Verify", 0.95)]
    for name, goal in goals:
        r = ratios[(name, 64)]
        print("  %-28s %6.2fx  (goal >= %.2fx) %s" % (name, r, goal, "met" if r >= goal else "MISSED"))
    if raw:
        r = ours_1mib / raw
        print("  %-28s %6.2fx  (goal >= 0.85x)  %s  [module %.0f MB/s, raw libsodium %.0f MB/s]" % (
            "1 MiB encrypt vs raw C++", r, "met" if r >= 0.85 else "MISSED", ours_1mib, raw))


if __name__ == "__main__":
    main()
