# The module's log goes to standard output, and only when something logs: importing the module
# (which installs the log) writes nothing to standard output or standard error.

import os
import subprocess
import sys
import unittest


class LogStartUpTest(unittest.TestCase):
    def run_python(self, code):
        process = subprocess.Popen([sys.executable, "-c", code],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   env=dict(os.environ))
        out, err = process.communicate()
        return process.returncode, out, err

    def test_import_writes_nothing(self):
        code, out, err = self.run_python("import quillane_native")
        self.assertEqual(0, code, err)
        self.assertEqual(b"", out)
        self.assertEqual(b"", err)


if __name__ == "__main__":
    unittest.main()
