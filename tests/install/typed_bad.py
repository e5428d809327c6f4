"""Misuse of the module that the installed stubs must let mypy catch: one error on each line
marked "# error", none elsewhere. Checked, never run."""
import quillane_native as q


def misuse() -> None:
    key = q.Crypto_Symmetric_GenerateKey()
    q.Crypto_Symmetric_Encrypt(key, "text, not bytes")  # error
    q.Crypto_Sign_Sign(seed=key, message=b"")  # error
    length: int = len(q.Crypto_Random(8))  # error
    private, public, extra = q.Crypto_PK_GenerateKeys()  # error
    verify_key: str = q.Crypto_Sign_GetVerifyKey(key)  # error
    q.UTP_Read(q.UTP_Make(3, None, 5000, 0), 10)  # error
