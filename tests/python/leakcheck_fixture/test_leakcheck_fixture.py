"""Fixture for the leak checker's own test: one test leaks a reference per run, one does not."""
import unittest

import _leakprobe


class LeakProbe(unittest.TestCase):
    def test_leaks_one_reference(self):
        _leakprobe.leak_one()

    def test_balanced(self):
        _leakprobe.balanced()
