"""The unhandled mode's stops against what the interpreter really does.

Every program runs twice. Untraced, the exception that leaves its entry function (if any) is
what escaped: its class, the function it was raised in and the line. Under the tracer in the
unhandled mode, with the entry function as the bottom frame, the stops must be exactly that:
one stop for an exception that escaped, reported with the frame it was raised in (its locals
readable, its callers reachable through f_back), and none for an exception that was caught,
whoever caught it (an except clause, C code consuming it, a context manager, a finally block
that cancels it, generator finalisation). exiting_on_exception() says whether one escaped.

The programs: the hand-written shapes of uncaught_shapes, and the seeded generated programs of
raising_corpus. Both tracer entry points run them: the C-level hook armed by start_trace, and
trace_dispatch given to sys.settrace.
"""
import sys
import unittest

import zardel27
import raising_corpus
import uncaught_shapes
from exc_support import NO_FRAMES, raise_location
from support import init_args

UNHANDLED = 2
SEEDS = range(150)


def innermost(tb):
    while tb.tb_next is not None:
        tb = tb.tb_next
    return tb


def escape_of(entry):
    """Runs entry() untraced: (class name, raising function, line) of the exception that left
    it, or None."""
    try:
        entry()
    except BaseException:
        exc_type, _, tb = sys.exc_info()
        tb = innermost(tb.tb_next)  # the first entry is this harness frame
        return exc_type.__name__, tb.tb_frame.f_code.co_name, tb.tb_lineno
    finally:
        sys.exc_clear()
    return None


class TracedRun(object):
    """entry() as the debugged region under the tracer in the unhandled mode."""

    def __init__(self, testcase, python_entry):
        self.testcase, self.python_entry = testcase, python_entry
        self.stops = []

    def exception_cb(self, frame, arg, changed):
        tb = innermost(arg[2])
        self.testcase.assertIs(frame, raise_location(frame, arg[2]),
                               'the stop is not reported with the raise frame')
        frame.f_locals  # readable
        self.stops.append((arg[0].__name__, frame.f_code.co_name, tb.tb_lineno))
        zardel27.continue_run()

    def __call__(self, entry):
        zardel27.init(*init_args(exception_mode=UNHANDLED, exception_cb=self.exception_cb))
        try:
            try:
                if self.python_entry:
                    # One line: the first call event the tracer sees is entry()'s.
                    zardel27.start_trace(NO_FRAMES, NO_FRAMES); zardel27.continue_run(); sys.settrace(zardel27.trace_dispatch); entry()
                else:
                    zardel27.start_trace(NO_FRAMES, NO_FRAMES); zardel27.continue_run(); entry()
            except BaseException:
                pass
            finally:
                sys.settrace(None)
                zardel27.stop_trace()
            exiting = zardel27.exiting_on_exception()
        finally:
            zardel27.destroy()
        sys.exc_clear()
        return self.stops, exiting


class UnhandledModeOracle(unittest.TestCase):
    def check(self, make_entry, context):
        """make_entry() gives the entry function of a fresh copy of the program, so that every
        run starts from the same state."""
        escaped = escape_of(make_entry())
        for python_entry in (False, True):
            stops, exiting = TracedRun(self, python_entry)(make_entry())
            where = '%s (%s entry)' % (context, 'Python' if python_entry else 'C')
            self.assertEqual(stops, [escaped] if escaped else [], where)
            self.assertEqual(exiting, 1 if escaped else 0, where)
        return escaped

    def test_caught_shapes_never_stop(self):
        for entry in uncaught_shapes.CAUGHT:
            self.assertIsNone(self.check(lambda: entry, entry.__name__), entry.__name__)

    def test_escaping_shapes_stop_once_at_their_raise(self):
        for entry in uncaught_shapes.ESCAPES:
            self.assertIsNotNone(self.check(lambda: entry, entry.__name__), entry.__name__)

    def test_generated_programs(self):
        escaped = 0
        for seed in SEEDS:
            code = compile(raising_corpus.program(seed), '/corpus/program_%d.py' % seed, 'exec')

            def make_entry():
                namespace = {'__name__': 'program'}
                exec code in namespace
                return namespace['main']

            if self.check(make_entry, 'program %d' % seed):
                escaped += 1
        # The corpus has programs of both outcomes.
        self.assertTrue(20 < escaped < len(SEEDS) - 20, escaped)


# Exceptions unwinding a deep recursion, of functions and of generators, to a handler far up:
# the handler's clause names a global whose lookup meets a key of the same hash, whose __eq__
# counts the lookups. Each exception gives an event in each of the 31 frames it passes; deciding
# each by walking up to the handler would read the clause at every one of them.
UNWIND = '''
def down(n):
    if n == 0:
        raise KeyError('bottom')
    return down(n - 1)

def gen(n):
    if n == 0:
        raise KeyError('bottom')
        yield 0
    for x in gen(n - 1):
        yield x

def main():
    try:
        down(30)
    except Handled:
        pass
    try:
        for x in gen(30):
            pass
    except Handled:
        pass

Handled = KeyError
'''


class SameHash(object):
    def __init__(self, name):
        self.name, self.compared = name, 0

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        self.compared += 1
        return False


class PropagationCost(unittest.TestCase):
    def test_a_handler_far_up_is_read_a_fixed_number_of_times(self):
        code = compile(UNWIND, '/corpus/unwind.py', 'exec')
        counts = []
        for traced in (False, True):
            key = SameHash('Handled')
            namespace = {key: None, '__name__': 'unwind'}
            exec code in namespace
            if traced:
                stops, exiting = TracedRun(self, False)(namespace['main'])
                self.assertEqual((stops, exiting), ([], 0))
            else:
                namespace['main']()
            counts.append(key.compared)
        # Untraced: the global's assignment and the interpreter's own tests of the clauses.
        untraced, traced = counts
        self.assertEqual(untraced, 3)
        self.assertTrue(traced - untraced <= 4, counts)


if __name__ == '__main__':
    unittest.main()
