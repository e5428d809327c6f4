# Elevation: argument checks, IsElevated for root and for an unprivileged user, and RunElevated
# starting a program, waiting for its end, and handing it exactly the arguments a Windows
# program would get from the same parameter text; nothing starts when the rights cannot be had.

import os
import pwd
import shutil
import sys
import tempfile
import traceback
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
IS_ROOT = os.geteuid() == 0

# Records its arguments, each followed by a zero byte, in OUT after DELAY seconds (so a caller
# that does not wait finds nothing yet).
RECORDER = """#!%(python)s
import os, sys, time
time.sleep(%(delay)r)
args = sys.argv[1:]
if sys.version_info[0] >= 3:
    args = [os.fsencode(a) for a in args]
open(%(out)r, "wb").write(b"".join(a + b"\\0" for a in args))
"""


def run_as_nobody(fn):
    """repr(fn()) computed in a forked child that runs as the user nobody."""
    nobody = pwd.getpwnam("nobody")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            # No codec lookup: nobody may be unable to read the interpreter's library (a
            # root-only installation), though the module is already loaded.
            result = repr(fn())
            os.write(write_end, result.encode("ascii") if PY3 else result)
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(0)
    os.close(write_end)
    result = os.read(read_end, 100)
    os.close(read_end)
    os.waitpid(pid, 0)
    return result.decode("ascii")


class Errors(object):
    def assertMessage(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual(str(cm.exception), message)


class IsElevated(unittest.TestCase):
    def test_root_and_unprivileged(self):
        result = q.IsElevated(1, "ignored")
        self.assertIs(type(result), int)
        self.assertEqual(result, 1 if IS_ROOT else 0)
        if IS_ROOT:
            self.assertEqual(run_as_nobody(q.IsElevated), "0")


class RunElevatedArguments(unittest.TestCase, Errors):
    def test_messages_in_argument_order(self):
        for args in ((), (b"/bin/true",), (b"/bin/true", b"", b"")):
            self.assertMessage("Couldn't interpret parameters", q.RunElevated, *args)
        for args in ((u"/bin/true", b""), (None, 1), (bytearray(b"/bin/true"), b"")):
            self.assertMessage("exe_path (param 0) is not a string", q.RunElevated, *args)
        for second in (u"", None, 0):
            self.assertMessage("cmd_line (param 1) is not a string", q.RunElevated, b"/bin/true",
                               second)


@unittest.skipUnless(IS_ROOT, "starting programs as root and as nobody needs root")
class RunElevated(unittest.TestCase):
    def setUp(self):
        # Anyone may write the output (a program wrongly started as nobody would leave a trace);
        # the programs sit in a folder whose name has a space and non-ASCII letters.
        self.dir = tempfile.mkdtemp(prefix="qn-elev-")
        os.chmod(self.dir, 0o777)
        self.out = os.path.join(self.dir, "out")
        self.bin = os.path.join(self.dir, b"bin \xc3\xa9t\xc3\xa9".decode("utf-8") if PY3
                                else "bin \xc3\xa9t\xc3\xa9")
        os.mkdir(self.bin, 0o755)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def program(self, text, name="recorder"):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)
        return path.encode("utf-8") if PY3 else path

    def recorder(self, delay=0):
        return self.program(RECORDER % {"python": sys.executable, "delay": delay, "out": self.out})

    def recorded(self):
        """The arguments the recorder received, or None when it did not run."""
        if not os.path.exists(self.out):
            return None
        with open(self.out, "rb") as f:
            data = f.read()
        os.remove(self.out)
        return data.split(b"\0")[:-1]

    def test_waits_for_the_program(self):
        self.assertIsNone(q.RunElevated(self.recorder(delay=1.0), b"done"))
        self.assertEqual(self.recorded(), [b"done"])

    def test_arguments_follow_the_windows_rules(self):
        recorder = self.recorder()
        cases = [  # no shell expands anything
            (b"", []),
            (b'one "two three" "" \t four', [b"one", b"two three", b"", b"four"]),
            (b'a\\\\\\"b "C:\\Program Files\\\\" "x""y"', [b'a\\"b', b"C:\\Program Files\\", b'x"y']),
            (b"$HOME `id` ; | * > x", [b"$HOME", b"`id`", b";", b"|", b"*", b">", b"x"]),
            (b'\xc3\xa9 "\xe2\x82\xac \xf0\x9f\x98\x80"', [b"\xc3\xa9", b"\xe2\x82\xac \xf0\x9f\x98\x80"]),
        ]
        for cmd_line, expected in cases:
            self.assertIsNone(q.RunElevated(recorder, cmd_line))
            self.assertEqual(self.recorded(), expected, cmd_line)
        # A relative path starts from the current directory.
        here = os.getcwd()
        os.chdir(self.bin)
        try:
            q.RunElevated(b"./recorder", b"r")
        finally:
            os.chdir(here)
        self.assertEqual(self.recorded(), [b"r"])

    def test_nothing_starts_for_a_path_that_names_no_program(self):
        recorder = self.recorder()
        # A zero byte would cut the path, or the parameters, short: nothing may start.
        for exe, cmd_line in ((recorder + b"\0.txt", b"x"), (recorder, b"x\0 y"),
                              (recorder + b"-missing", b"x"), (b"", b"x"),
                              (os.path.dirname(recorder), b"x")):
            self.assertIsNone(q.RunElevated(exe, cmd_line))
            self.assertIsNone(self.recorded(), exe)

    @unittest.skipIf(any(os.path.exists(p) for p in ("/usr/bin/pkexec", "/bin/pkexec")),
                     "pkexec is installed: this checks the case without a consent mechanism")
    def test_unprivileged_without_consent_starts_nothing(self):
        # A program nobody could run too (the interpreter may be root's alone).
        marker = self.program("#!/bin/sh\necho > '%s'\n" % self.out, "marker")
        self.assertEqual(run_as_nobody(lambda: q.RunElevated(marker, b"x")), "None")
        self.assertIsNone(self.recorded())


if __name__ == "__main__":
    unittest.main()
