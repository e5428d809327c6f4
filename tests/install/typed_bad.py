"""Misuse of the module that the installed stubs must let mypy catch: one error on each line
marked "# error", none elsewhere. Checked, never run."""
import quillane_native as q


def misuse() -> None:
    key = q.Crypto_Symmetric_GenerateKey()
    q.Crypto_Symmetric_Encrypt(key, "text, not bytes")  # error
    q.Crypto_Symmetric_Encrypt(key)  # error
    q.Crypto_Sign_Sign(seed=key, message=b"")  # error
    length: int = len(q.Crypto_Random(8))  # error
    private, public, extra = q.Crypto_PK_GenerateKeys()  # error
    handle = q.UTP_Make(3, None, 5000, 0)
    q.UTP_Read(handle, 10)  # error
    q.UTP_Make(3, 127001, 5000, 0)  # error
    q.Crypto_Random_Bytes(8)  # error
    verify_key: str = q.Crypto_Sign_GetVerifyKey(key)  # error
