"""Typed use of every function that mypy --strict must accept with the installed stubs. Checked,
never run: the calls would open streams and change the firewall."""
import socket
from typing import Optional, Tuple

import quillane_native as q


def crypto(their_public: bytes, message: bytes) -> Tuple[bytes, bytes]:
    my_private, my_public = q.Crypto_PK_GenerateKeys()
    key, seed = q.Crypto_Symmetric_GenerateKey(), q.Crypto_Random(32)
    assert seed is not None
    sealed = q.Crypto_Symmetric_Encrypt(key, q.Crypto_PK_Encrypt(my_private, their_public, message))
    opened = q.Crypto_PK_Decrypt(my_private, their_public, q.Crypto_Symmetric_Decrypt(key, sealed))
    signed = q.Crypto_Sign_Sign(seed, opened)
    return my_public, q.Crypto_Sign_Verify(q.Crypto_Sign_GetVerifyKey(seed), signed)


def send(sock: socket.socket, host: Optional[str], data: bytes) -> Optional[bytes]:
    handle = q.UTP_Make(sock.fileno(), host, 5000, 0)
    if handle is None:
        return None
    q.UTP_SetTimeout(handle, 10.0)
    written: Optional[int] = q.UTP_Write(handle, data)
    answer = q.UTP_Read(handle, 4096) if written else None
    q.UTP_Close(handle)
    return answer


def open_firewall(exe: bytes) -> bool:
    if not q.IsElevated():
        q.RunElevated(exe, b"--open-firewall")
    elif q.Firewall_IsEnabled() and not q.Firewall_IsOpenFor(exe):
        q.Firewall_OpenFor(exe, b"quillane")
    return q.Firewall_IsOpenFor(exe) == 1
