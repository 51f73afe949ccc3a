"""The debugger core driven without a terminal, as an editor-protocol front end drives it:
stops as data, stepping against bdb, breakpoints by number, evaluation and execution in a
frame, return values, the uncaught-exception stop and restart."""
import bdb
import os
import sys
import unittest

import vorncore

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, 'debugger')
ORACLE = os.path.join(SAMPLES, 'oracle.py')
CRASH = os.path.join(SAMPLES, 'crash.py')


def go(name):
    """The action that resumes with the core's method name."""
    return lambda core, stop: getattr(core, name)()


class Scripted(vorncore.Core):
    """A front end that records each stop and answers it with the next of its actions: a
    callable taking (core, stop), which must resume."""

    def __init__(self, actions):
        vorncore.Core.__init__(self)
        self.actions = list(actions)
        self.stops = []

    def user_stop(self, stop):
        frame = stop.frame
        self.stops.append((stop.kind, os.path.basename(frame.f_code.co_filename),
                           stop.lineno(), frame.f_code.co_name))
        action = self.actions.pop(0) if self.actions else go('set_continue')
        action(self, stop)
        assert self.resumed, 'the action did not resume'

    def run_quietly(self, program, args=()):
        saved = sys.stdout
        sys.stdout = open(os.devnull, 'w')
        try:
            return self.run(program, list(args))
        finally:
            sys.stdout.close()
            sys.stdout = saved


class CoreTest(unittest.TestCase):
    def tearDown(self):
        # The core keeps the __main__ modules of the programs it ran for the process's exit
        # handlers; a test's are dropped.
        del vorncore.core.PROGRAM_MODULES[:]


class BdbSteps(bdb.Bdb):
    """bdb stepping into everything: (kind, file, line, function) of its stops in the program."""

    def __init__(self):
        bdb.Bdb.__init__(self)
        self.stops = []

    def record(self, kind, frame):
        if frame.f_code.co_filename == ORACLE or 'oracle_helper' in frame.f_code.co_filename:
            self.stops.append((kind, os.path.basename(frame.f_code.co_filename),
                               frame.f_lineno, frame.f_code.co_name))
        self.set_step()

    def user_call(self, frame, args):
        self.record('call', frame)

    def user_line(self, frame):
        self.record('line', frame)

    def user_return(self, frame, value):
        self.record('return', frame)


class Stepping(CoreTest):

    def test_stepping_into_everything_stops_where_bdb_stops(self):
        # The core's --Call-- stops at fresh frames, line stops and return stops, against
        # bdb's call, line and return events in the program's own files.
        sys.modules.pop('oracle_helper', None)   # imported again, stepped through
        core = Scripted([go('set_step')] * 400)
        self.assertEqual(core.run_quietly(ORACLE), 0)
        theirs = BdbSteps()
        saved = sys.stdout, sys.path[0]
        sys.stdout, sys.path[0] = open(os.devnull, 'w'), SAMPLES
        try:
            with open(ORACLE) as f:
                code = compile(f.read(), ORACLE, 'exec')
            sys.modules.pop('oracle_helper', None)
            theirs.run(code, {'__name__': '__main__'})
        finally:
            sys.stdout.close()
            sys.stdout, sys.path[0] = saved
        self.assertEqual(core.stops, theirs.stops)

    def test_next_until_and_return_values(self):
        values = []

        def record_return(core, stop):
            values.append((stop.frame.f_code.co_name, stop.return_value))
            core.set_next()
        # First line, the defs, into total() at its call stop, step over its lines with until
        # over the loop, then return stops with their values.
        # A breakpoint on the loop's line whose condition stays false neither stops until
        # nor the stepping.
        actions = ([lambda core, stop: (core.set_break('11', 'v == 99'), core.set_next())] +
                   [go('set_next')] * 5 + [go('set_step')] + [go('set_next')] * 3 +
                   [go('set_until'), go('set_next'), record_return])
        core = Scripted(actions)
        core.run_quietly(ORACLE)
        self.assertEqual(core.stops[6:14], [
            ('line', 'oracle.py', 28, '<module>'), ('call', 'oracle.py', 9, 'total'),
            ('line', 'oracle.py', 10, 'total'), ('line', 'oracle.py', 11, 'total'),
            ('line', 'oracle.py', 12, 'total'), ('line', 'oracle.py', 13, 'total'),
            ('return', 'oracle.py', 13, 'total'), ('line', 'oracle.py', 29, '<module>')])
        self.assertEqual(values, [('total', 12)])


class Data(CoreTest):

    def test_evaluate_execute_and_locals_that_stick(self):
        seen = []

        def change(core, stop):
            seen.append((core.evaluate('value, factor'), dict(core.arguments())))
            core.execute('factor = 10')
            seen.append(core.evaluate('factor'))
            shown = []
            core.execute('value * 2', displayhook=shown.append)
            seen.append(shown)
            self.assertRaises(NameError, core.evaluate, 'no_such_name')
            stop.move(-1)
            seen.append(core.evaluate('v'))
            stop.move(-5)   # as far as the oldest frame
            self.assertRaises(vorncore.Error, stop.move, -1)
            core.breaks.clear(1)
            core.set_continue()

        core = Scripted([lambda core, stop: (core.set_break('scale'), core.set_continue()),
                         change])
        core.run_quietly(ORACLE)
        self.assertEqual(seen, [((1, 2), {'value': 1, 'factor': 2}), 10, [2], 1])
        # total() summed 1 * 10 + 2 * 2 + 3 * 2: the assignment stuck in the running frame.
        self.assertEqual(vorncore.core.PROGRAM_MODULES[-1].answer, 20)


class Breakpoints(CoreTest):

    def test_breakpoints_by_number_sharing_a_line(self):
        def setup(core, stop):
            first = core.set_break('12')
            second = core.set_break('12', 'v == 3')
            core.breaks.enable(first.number, False)
            self.assertRaises(vorncore.Error, core.set_break, '2')      # blank
            self.assertRaises(vorncore.Error, core.set_break, '17')     # comment
            self.assertRaises(vorncore.Error, core.set_break, 'oracle_helper.nosuch')
            self.assertRaises(vorncore.Error, core.breaks.get, 99)
            helper = core.set_break('oracle_helper.helped')             # not imported yet
            self.assertEqual((helper.shown_lineno, helper.lineno), (4, 5))
            core.breaks.condition(helper.number, 'x == 5')
            core.set_break('24', temporary=True)
            core.set_continue()

        core = Scripted([setup])
        core.run_quietly(ORACLE)
        self.assertEqual(core.stops[1:], [('line', 'oracle.py', 12, 'total'),
                                          ('line', 'oracle_helper.py', 5, 'helped'),
                                          ('line', 'oracle.py', 24, 'size')])
        self.assertEqual([(bp.number, bp.hits, bp.enabled) for bp in core.breaks],
                         [(1, 0, False), (2, 3, True), (3, 1, True)])


class Ending(CoreTest):

    def test_uncaught_exception_after_continue_without_breakpoints_and_restart(self):
        kinds = []

        def at_crash(core, stop):
            kinds.append((stop.kind, stop.post_mortem, stop.exception,
                          [f.f_code.co_name for f in stop.frames]))
            if len(kinds) == 1:
                core.set_restart()
            else:
                core.set_quit()

        core = Scripted([go('set_continue'), at_crash, go('set_continue'),
                         at_crash])
        self.assertEqual(core.run_quietly(CRASH), 0)
        # Tracing was off after continue: the stop comes when the exception has ended the
        # program, at its raise point with the frames alive; restart runs it again.
        self.assertEqual(kinds, [('uncaught', True, 'IndexError: list index out of range',
                                  ['<module>', 'load', 'parse'])] * 2)


if __name__ == '__main__':
    unittest.main()
