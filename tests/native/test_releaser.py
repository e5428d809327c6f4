"""The interpreter lock around blocking work: while a thread blocks inside a
ThreadStateReleaser other Python threads run, and the lock is held again afterwards on every
way out (normal return, exception, explicit Acquire). Runs under Python 2.7 and 3.

quillane_testhooks is a test-only module built beside quillane_native; hold_gil is the control
that blocks without giving the lock up.
"""

import threading
import time
import unittest

import quillane_testhooks as hooks


class ProgressRecorder(object):
    """A Python thread that notes the time of each pass of a busy loop; it can only make
    progress while no other thread holds the interpreter lock."""

    def __init__(self):
        self.stamps = []
        self.stop = False
        self.thread = threading.Thread(target=self._run)
        self.thread.daemon = True

    def _run(self):
        while not self.stop:
            self.stamps.append(time.time())
            for _ in range(200):
                pass

    def __enter__(self):
        self.thread.start()
        while not self.stamps:
            time.sleep(0.001)
        return self

    def __exit__(self, *exc):
        self.stop = True
        self.thread.join()
        return False

    def passes_between(self, start, end):
        return len([t for t in self.stamps if start < t < end])


def timed(call, *args):
    start = time.time()
    result = call(*args)
    return result, start, time.time()


class ReleaserLetsOtherThreadsRun(unittest.TestCase):

    def test_other_threads_progress_while_a_thread_is_inside_the_releaser(self):
        with ProgressRecorder() as recorder:
            _, start, end = timed(hooks.hold_released, 0.5)
        # Leave the edges out: the lock changes hands there.
        self.assertGreater(recorder.passes_between(start + 0.1, end - 0.1), 10)

    def test_concurrent_releasers_overlap(self):
        threads = [threading.Thread(target=hooks.hold_released, args=(0.5,)) for _ in range(4)]
        start = time.time()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # Four half-second holds one after another would take 2 s.
        self.assertLess(time.time() - start, 1.5)


class ReleaserRetakesTheLock(unittest.TestCase):

    def test_exception_inside_the_releaser_reaches_python_with_the_lock_held(self):
        with ProgressRecorder():
            for _ in range(5):
                try:
                    hooks.hold_released_throw(0.01)
                    self.fail("no exception")
                except RuntimeError as ex:
                    self.assertEqual("thrown inside the releaser", str(ex))
        # The interpreter still schedules threads normally afterwards.
        with ProgressRecorder() as recorder:
            _, start, end = timed(hooks.hold_released, 0.3)
        self.assertGreater(recorder.passes_between(start + 0.05, end - 0.05), 0)

    def test_acquire_then_destruction_leaves_the_lock_held_once(self):
        with ProgressRecorder():
            for _ in range(5):
                self.assertEqual(42, hooks.hold_released_acquire(0.01))
        with ProgressRecorder() as recorder:
            _, start, end = timed(hooks.hold_gil, 0.3)
        self.assertEqual(0, recorder.passes_between(start + 0.1, end - 0.1))


if __name__ == "__main__":
    unittest.main()
