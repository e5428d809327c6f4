"""Typed use of the module that mypy --strict must accept with the installed stubs.

Checked, never run: the calls would open streams and change the firewall.
"""
import socket
from typing import Optional, Tuple

import quillane_native as q


def seal_for(their_public: bytes, message: bytes) -> Tuple[bytes, bytes]:
    my_private, my_public = q.Crypto_PK_GenerateKeys()
    return my_public, q.Crypto_PK_Encrypt(my_private, their_public, message)


def signed(message: bytes) -> Tuple[bytes, bytes]:
    seed = q.Crypto_Random(32)
    assert seed is not None
    return q.Crypto_Sign_GetVerifyKey(seed), q.Crypto_Sign_Sign(seed, message)


def round_trip(text: bytes) -> bool:
    key = q.Crypto_Symmetric_GenerateKey()
    return q.Crypto_Symmetric_Decrypt(key, q.Crypto_Symmetric_Encrypt(key, text)) == text


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
