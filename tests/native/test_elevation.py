# Elevation: argument checks, IsElevated as root and as nobody, and RunElevated waiting for a program
# given exactly the arguments a Windows program would get; nothing starts without the rights.

import os
import pwd
import shutil
import sys
import tempfile
import unittest

import quillane_native as q

PY3 = sys.version_info[0] >= 3
IS_ROOT = os.geteuid() == 0

# Records its arguments, each ended by a zero byte, a second after it starts (so a caller that does
# not wait finds nothing yet).
RECORDER = """#!%s
import os, sys, time
time.sleep(1)
args = [os.fsencode(a) for a in sys.argv[1:]] if sys.version_info[0] >= 3 else sys.argv[1:]
open(%r, "wb").write(b"".join(a + b"\\0" for a in args))
"""


def as_nobody(fn):
    """fn() run with the effective user nobody (the real user stays root, to come back)."""
    os.seteuid(pwd.getpwnam("nobody").pw_uid)
    try:
        return fn()
    finally:
        os.seteuid(0)


class Elevation(unittest.TestCase):
    def test_messages_in_argument_order(self):
        for args, message in [((b"/bin/true",), "Couldn't interpret parameters"),
                              ((u"/bin/true", b""), "exe_path (param 0) is not a string"),
                              ((None, 1), "exe_path (param 0) is not a string"),
                              ((b"/bin/true", u""), "cmd_line (param 1) is not a string")]:
            with self.assertRaises(RuntimeError) as cm:
                q.RunElevated(*args)
            self.assertEqual(str(cm.exception), message)

    def test_is_elevated_as_root_and_as_nobody(self):
        result = q.IsElevated(1, "ignored")
        self.assertEqual((int, 1 if IS_ROOT else 0), (type(result), result))
        if IS_ROOT:
            self.assertEqual(as_nobody(q.IsElevated), 0)


@unittest.skipUnless(IS_ROOT, "starting programs as root and as nobody needs root")
class RunElevated(unittest.TestCase):
    def setUp(self):
        # Anyone may write the output (a program wrongly started as nobody leaves a trace); the
        # programs' folder has a space and non-ASCII letters in its name.
        self.dir = tempfile.mkdtemp(prefix="qn-elev-")
        os.chmod(self.dir, 0o777)
        self.out = os.path.join(self.dir, "out")
        self.bin = os.path.join(self.dir, u"bin \xe9t\xe9" if PY3 else "bin \xc3\xa9t\xc3\xa9")
        os.mkdir(self.bin, 0o755)
        self.recorder = self.program(RECORDER % (sys.executable, self.out), "recorder")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def program(self, text, name):
        path = os.path.join(self.bin, name)
        with open(path, "w") as f:
            f.write(text)
        os.chmod(path, 0o755)
        return path.encode("utf-8") if PY3 else path

    def recorded(self):
        """The arguments the recorder received, or None when it has not run."""
        if not os.path.exists(self.out):
            return None
        with open(self.out, "rb") as f:
            data = f.read().split(b"\0")[:-1]
        os.remove(self.out)
        return data

    def test_waits_and_passes_the_arguments_of_the_windows_rules(self):
        # No shell expands anything; a relative path starts from the current directory. A zero
        # byte, which would cut the path or the parameters short, starts nothing, nor does text
        # that is not valid UTF-8: read leniently, an overlong '/' makes a bare name a relative
        # path, an overlong '"' splits a quoted argument, a stray byte drops out of a path.
        cases = [(self.recorder, b'a "b c" "" \t d\\\\\\"e "C:\\D\\\\" "x""y" $HOME `id` ; * '
                  b'\xc3\xa9 "\xe2\x82\xac \xf0\x9f\x98\x80"',
                  [b"a", b"b c", b"", b'd\\"e', b"C:\\D\\", b'x"y', b"$HOME", b"`id`", b";",
                   b"*", b"\xc3\xa9", b"\xe2\x82\xac \xf0\x9f\x98\x80"]),
                 (b"./recorder", b"r", [b"r"]),
                 (self.recorder + b"\0.txt", b"x", None),
                 (self.recorder, b"x\0 y", None),
                 (b".\xc0\xafrecorder", b"r", None),
                 (self.recorder, b'"a\xc0\xa2 b"', None),
                 (self.recorder[:-1] + b"\xff" + self.recorder[-1:], b"x", None)]
        here = os.getcwd()
        os.chdir(self.bin)
        try:
            for exe, cmd_line, expected in cases:
                self.assertIsNone(q.RunElevated(exe, cmd_line))
                self.assertEqual(self.recorded(), expected, cmd_line)
        finally:
            os.chdir(here)

    @unittest.skipIf(any(os.path.exists(p) for p in ("/usr/bin/pkexec", "/bin/pkexec")),
                     "pkexec is installed: this checks the case without a consent mechanism")
    def test_unprivileged_without_consent_starts_nothing(self):
        # A program nobody could run too (the interpreter may be root's alone).
        marker = self.program("#!/bin/sh\necho > '%s'\n" % self.out, "marker")
        self.assertIsNone(as_nobody(lambda: q.RunElevated(marker, b"x")))
        self.assertIsNone(self.recorded())
