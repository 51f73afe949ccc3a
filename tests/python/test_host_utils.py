"""Diagnostic printing of the tracer."""
import ctypes
import StringIO
import sys
import unittest

import _dprintfprobe
import zardel27


class DiagnosticPrinting(unittest.TestCase):
    def setUp(self):
        self.saved = sys.stderr
        sys.stderr = self.out = StringIO.StringIO()

    def tearDown(self):
        sys.stderr = self.saved

    def test_writes_to_sys_stderr_keeping_the_pending_exception(self):
        _dprintfprobe.emit('hits', 7, 0)
        with self.assertRaises(ValueError) as cm:
            _dprintfprobe.emit('hits', 8, 1)
        self.assertEqual(str(cm.exception), 'pending')
        self.assertEqual(self.out.getvalue(), 'hits 7\nhits 8\n')

    def test_failing_or_missing_stderr(self):
        class Broken(object):
            def write(self, text):
                raise IOError('disk full')
        sys.stderr = Broken()
        self.assertIsNone(_dprintfprobe.emit('x', 1, 0))
        self.assertRaises(ValueError, _dprintfprobe.emit, 'x', 1, 1)
        del sys.stderr
        self.assertIsNone(_dprintfprobe.emit('x', 1, 0))

    def test_switch_exported_and_off(self):
        library = ctypes.CDLL(zardel27.__file__)
        self.assertEqual(ctypes.c_int.in_dll(library, 'gUseDPrintf').value, 0)


if __name__ == '__main__':
    unittest.main()
