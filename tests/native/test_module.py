"""What every function of the module shares: the entry path (every way out of an implementation
reaches Python as a value or as RuntimeError), the interpreter lock given up around blocking work
and held again on every way out, and an import that writes nothing. quillane_testhooks
(testhooks/) blocks inside the lock's releaser behind the module's own entry path."""

import subprocess
import sys
import threading
import time
import unittest

import quillane_testhooks as hooks


def progress_during(call, *args):
    """How often a busy Python thread ran while call(*args) ran (the edges, where the lock
    changes hands, left out)."""
    stamps, done = [], []

    def spin():
        while not done:
            stamps.append(time.time())
            for _ in range(200):
                pass
    thread = threading.Thread(target=spin)
    thread.start()
    while not stamps:
        time.sleep(0.001)
    start = time.time()
    call(*args)
    end = time.time()
    done.append(True)
    thread.join()
    return len([t for t in stamps if start + 0.1 < t < end - 0.1])


class Module(unittest.TestCase):
    def test_other_threads_run_while_one_is_inside_the_releaser(self):
        self.assertGreater(progress_during(hooks.hold_released, 0.5, 0), 10)

    def test_every_way_out_of_the_releaser_holds_the_lock_again(self):
        def ways_out():  # while another thread runs, so a lock not held again shows
            for _ in range(5):
                self.assertIsNone(hooks.hold_released(0.01, 0))
                self.assertEqual(hooks.hold_released(0.01, 2), 42)
                for how, message in ((1, "thrown inside the releaser"),
                                     (3, "Unknown C++ exception")):
                    with self.assertRaises(RuntimeError) as cm:
                        hooks.hold_released(0.01, how)
                    self.assertEqual(str(cm.exception), message)
        progress_during(ways_out)

    def test_import_writes_nothing(self):
        out = subprocess.check_output([sys.executable, "-c", "import quillane_native"],
                                      stderr=subprocess.STDOUT)
        self.assertEqual(out, b"")


if __name__ == "__main__":
    unittest.main()
