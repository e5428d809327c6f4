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

# A program that records its arguments (each followed by a zero byte) in OUT after DELAY
# seconds, so a caller that does not wait finds nothing yet.
HELPER = """#!%(python)s
import os, sys, time
time.sleep(%(delay)r)
args = sys.argv[1:]
if sys.version_info[0] >= 3:
    args = [os.fsencode(a) for a in args]
f = open(%(out)r, "wb")
f.write(b"".join(a + b"\\0" for a in args))
f.close()
"""


def fs(text):
    """A path as the byte string the module takes."""
    return text.encode("utf-8") if PY3 else text


class Errors(object):
    def assertMessage(self, message, fn, *args):
        with self.assertRaises(RuntimeError) as cm:
            fn(*args)
        self.assertEqual(str(cm.exception), message)


class Helper(object):
    """A recording program in a folder of its own, readable by everyone, whose output folder
    anyone may write to (so a program started without the rights would leave a trace)."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="qn-elev-")
        os.chmod(self.dir, 0o777)

    def tearDown(self):
        shutil.rmtree(self.dir)

    def make_helper(self, name="recorder", delay=0):
        folder = os.path.join(self.dir, "bin \xc3\xa9t\xc3\xa9" if not PY3 else "bin \u00e9t\u00e9")
        if not os.path.isdir(folder):
            os.mkdir(folder)
            os.chmod(folder, 0o755)
        self.out = os.path.join(self.dir, "out")
        path = os.path.join(folder, name)
        with open(path, "w") as f:
            f.write(HELPER % {"python": sys.executable, "delay": delay, "out": self.out})
        os.chmod(path, 0o755)
        return path

    def recorded(self):
        """The arguments the helper received, or None when it did not run."""
        if not os.path.exists(self.out):
            return None
        with open(self.out, "rb") as f:
            return f.read().split(b"\0")[:-1]


def run_as_nobody(fn):
    """fn() in a forked child whose user and groups are nobody's; returns repr of its result."""
    nobody = pwd.getpwnam("nobody")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            # No codec lookup: an unprivileged child may be unable to read the interpreter's
            # library (a root-only installation), though the module is already loaded.
            result = repr(fn())
            os.write(write_end, result.encode("ascii") if PY3 else result)
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(0)
    os.close(write_end)
    chunks = []
    while True:
        chunk = os.read(read_end, 4096)
        if not chunk:
            break
        chunks.append(chunk)
    os.close(read_end)
    os.waitpid(pid, 0)
    return b"".join(chunks).decode("ascii")


class IsElevated(unittest.TestCase):
    def test_root_and_unprivileged(self):
        result = q.IsElevated(1, "ignored")
        self.assertIs(type(result), int)
        if not IS_ROOT:
            self.assertEqual(result, 0)
            return
        self.assertEqual(result, 1)
        self.assertEqual(run_as_nobody(q.IsElevated), "0")


class RunElevatedArguments(unittest.TestCase, Errors):
    def test_messages_in_argument_order(self):
        for args in ((), (b"/bin/true",), (b"/bin/true", b"", b"")):
            self.assertMessage("Couldn't interpret parameters", q.RunElevated, *args)
        text = u"/bin/true"
        for args in ((text, b""), (text, 1), (None, b""), (bytearray(b"/bin/true"), b"")):
            self.assertMessage("exe_path (param 0) is not a string", q.RunElevated, *args)
        for second in (u"", None, 0):
            self.assertMessage("cmd_line (param 1) is not a string", q.RunElevated, b"/bin/true",
                               second)


@unittest.skipUnless(IS_ROOT, "starting a program elevated without a prompt needs root")
class RunElevatedAsRoot(Helper, unittest.TestCase):
    def test_waits_for_the_program(self):
        helper = self.make_helper(delay=1.0)
        self.assertIsNone(q.RunElevated(fs(helper), b"done"))
        self.assertEqual(self.recorded(), [b"done"])

    def test_arguments_follow_the_windows_rules(self):
        # Each parameter text and the arguments the program must receive; no shell expands
        # anything. The program's path holds a space and non-ASCII letters.
        helper = fs(self.make_helper())
        cases = [
            (b"", []),
            (b'one "two three" "" \t four', [b"one", b"two three", b"", b"four"]),
            (b'a\\\\\\"b "C:\\Program Files\\\\" "x""y"', [b'a\\"b', b"C:\\Program Files\\", b'x"y']),
            (b"$HOME `id` ; | * > x", [b"$HOME", b"`id`", b";", b"|", b"*", b">", b"x"]),
            (b'\xc3\xa9 "\xe2\x82\xac \xf0\x9f\x98\x80"', [b"\xc3\xa9", b"\xe2\x82\xac \xf0\x9f\x98\x80"]),
        ]
        for cmd_line, expected in cases:
            if os.path.exists(self.out):
                os.remove(self.out)
            self.assertIsNone(q.RunElevated(helper, cmd_line))
            self.assertEqual(self.recorded(), expected, cmd_line)

    def test_relative_paths_start_from_the_current_directory(self):
        helper = self.make_helper("rel")
        here = os.getcwd()
        os.chdir(os.path.dirname(helper))
        try:
            q.RunElevated(b"./rel", b"r")
        finally:
            os.chdir(here)
        self.assertEqual(self.recorded(), [b"r"])

    def test_nothing_starts_for_a_path_that_names_no_program(self):
        helper = fs(self.make_helper())
        # A zero byte would cut the path, or the parameters, short: nothing may start.
        for exe, cmd_line in ((helper + b"\0.txt", b"x"), (helper, b"x\0 y"),
                              (helper + b"-missing", b"x"), (b"", b"x"), (self.dir.encode(), b"x")):
            self.assertIsNone(q.RunElevated(exe, cmd_line))
            self.assertIsNone(self.recorded(), exe)


@unittest.skipUnless(IS_ROOT, "becoming an unprivileged user needs root")
class RunElevatedUnprivileged(Helper, unittest.TestCase):
    @unittest.skipIf(any(os.path.exists(p) for p in ("/usr/bin/pkexec", "/bin/pkexec")),
                     "pkexec is installed: this checks the case without a consent mechanism")
    def test_returns_none_without_starting_anything(self):
        # A program that nobody could run too (the interpreter may be root's alone), so that
        # starting it without the rights would leave its trace.
        self.out = os.path.join(self.dir, "out")
        marker = os.path.join(self.dir, "marker")
        with open(marker, "w") as f:
            f.write("#!/bin/sh\necho > %s\n" % self.out)
        os.chmod(marker, 0o755)
        result = run_as_nobody(lambda: q.RunElevated(fs(marker), b"x"))
        self.assertEqual(result, "None")
        self.assertFalse(os.path.exists(self.out))


if __name__ == "__main__":
    unittest.main()
