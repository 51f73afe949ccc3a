"""Stepping through real programs: the tracer stops where bdb stops.

bdb's stop rule is the same walk from the event's frame to the bottom frame, so for the same
program and the same command at every stop both must stop at the same (event, file, line)
sequence. bdb's call stops are left out (the tracer never stops at calls), and so are stops in
bdb's own run() frame, which is bdb's bottom frame where the tracer's is the harness frame.
"""
import unittest

import stepping

PROGRAMS = ['recursion', 'generators', 'classes', 'exceptions', 'uncaught', 'nested']
COMMANDS = [
    'step_into',
    'step_over',
    'step_out',
    ('step_into', 'step_into', 'step_out'),
    ('step_into', 'step_over'),
    ('step_into', 'step_into', 'step_into', 'step_into', 'step_out', 'step_over'),
]


class SameStopsAsBdb(unittest.TestCase):
    def check(self, program):
        for commands in COMMANDS:
            ours = stepping.run_with_tracer(program, commands)
            theirs = stepping.run_with_bdb(program, commands)
            self.assertTrue(ours, 'no stop at all in %s' % program)
            self.assertEqual(ours, theirs, '%s with %r' % (program, commands))

    def test_recursion(self):
        self.check('recursion')

    def test_generators(self):
        self.check('generators')

    def test_classes(self):
        self.check('classes')

    def test_caught_exceptions(self):
        self.check('exceptions')

    def test_uncaught_exception(self):
        self.check('uncaught')

    def test_nested_calls_and_import(self):
        # nested.py imports helper_module while it runs: stepping enters the module's code.
        stops = stepping.run_with_tracer('nested', 'step_into')
        self.assertIn(('line', 'helper_module.py', 1), stops)
        self.check('nested')


class KnownSequences(unittest.TestCase):
    """A few sequences spelled out, so a fault common to bdb and the tracer shows too."""

    def test_step_over_stays_in_module_frame(self):
        self.assertEqual(stepping.run_with_tracer('recursion', 'step_over'),
                         [('line', 'recursion.py', 1), ('line', 'recursion.py', 7),
                          ('line', 'recursion.py', 8), ('return', 'recursion.py', 8, 'None')])

    def test_step_over_across_return_into_caller(self):
        # Stepping over the last line of leaf() returns into middle(): the next stop is there.
        commands = ['step_into'] * 10 + ['step_over'] * 10
        stops = stepping.run_with_tracer('nested', commands)
        self.assertEqual(stops[9:14], [('line', 'nested.py', 9), ('line', 'nested.py', 5),
                                       ('return', 'nested.py', 5, '2'), ('line', 'nested.py', 10),
                                       ('line', 'nested.py', 11)])

    def test_step_out_returns_to_caller(self):
        stops = stepping.run_with_tracer('recursion', ['step_into'] * 3 + ['step_out'] * 3)
        self.assertEqual(stops, [('line', 'recursion.py', 1), ('line', 'recursion.py', 7),
                                 ('line', 'recursion.py', 2), ('line', 'recursion.py', 4),
                                 ('return', 'recursion.py', 4, '24'),
                                 ('line', 'recursion.py', 8), ('return', 'recursion.py', 8, 'None')])


if __name__ == '__main__':
    unittest.main()
