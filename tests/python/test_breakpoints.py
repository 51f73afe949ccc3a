"""Breakpoints: the editing and query methods, the check made at every line of real programs
(hits, conditions, ignore counts, temporary breakpoints), the report of changed breakpoints,
binding to files however they are spelt, and a differential test against bdb."""
import dis
import os
import random
import shutil
import sys
import tempfile
import time
import types
import unittest

import zardel27
import bp_support
import stepping
from bp_support import TracerRun, BdbRun, path_of, line_of
from support import init_args, run_python

TARGET = path_of('bp_target')
HELPER = path_of('bp_helper')
SQUARE = 2                                    # `result = n * n`, 15 runs
ACCUMULATE = line_of('bp_target', 'total += square')   # runs with i = 0 .. k-1 for k < 6
TOTAL = line_of('bp_target', 'total = 0')     # once per accumulate() call: 6 runs
RAISE = line_of('bp_target', 'raise ValueError')
EXPECTED_RESULTS = [0, 0, 0, -1, 1, 1, 0, 3, 2, 4, 6, -3, 12, 10, -4, 28, 15, -5, 36]


def bp(filename, line, enabled=1, temporary=0, cond=None, ignore=0):
    return (filename, line, enabled, temporary, cond, ignore)


def probe():
    """Whether a breakpoint stops this line (the method's own frame is the probe)."""
    return zardel27.break_here(sys._getframe())


PROBE_LINE = probe.func_code.co_firstlineno + 2


class Methods(unittest.TestCase):
    """The editing and query methods on their own, and break_here on a live frame."""

    def setUp(self):
        zardel27.init(*init_args())
        self.here = zardel27.get_frame_file(sys._getframe())

    def tearDown(self):
        zardel27.destroy()

    def test_every_set_break_adds_one_with_the_next_id(self):
        first = zardel27.set_break('a.py', 7, 1, 0, None, 0)
        second = zardel27.set_break('a.py', 7, 0, 1, 'x > 1', 2)
        self.assertEqual(second, first + 1)
        self.assertEqual(zardel27.get_breaks('a.py', 7),
                         [(second, 0, 1, 'x > 1', 2, 0), (first, 1, 0, None, 0, 0)])
        self.assertEqual(zardel27.get_breaks('b.py', 7), [])
        zardel27.set_break('b.py', 7, 1, 0, None, 0)
        zardel27.set_break('a.py', 9, 1, 0, '', 0)   # an empty condition is none
        self.assertEqual(sorted(zardel27.get_file_breaks('a.py')),
                         [(7, first, 1, 0, None, 0, 0), (7, second, 0, 1, 'x > 1', 2, 0),
                          (9, second + 2, 1, 0, None, 0, 0)])
        zardel27.clear_breaks('a.py', 7)
        self.assertEqual(zardel27.get_breaks('a.py', 7), [])
        self.assertEqual(len(zardel27.get_breaks('b.py', 7)), 1)   # other file, same line

    def test_edits_apply_to_every_breakpoint_of_file_and_line(self):
        ids = [zardel27.set_break('a.py', 3, 1, 0, None, 0) for _ in range(2)]
        other = zardel27.set_break('./a.py', 3, 1, 0, None, 0)   # matched byte for byte
        zardel27.enable_breaks('a.py', 3, 0)
        zardel27.ignore_breaks('a.py', 3, 4)
        zardel27.set_breaks_cond('a.py', 3, 'y == 2')
        self.assertEqual(zardel27.get_breaks('a.py', 3),
                         [(i, 0, 0, 'y == 2', 4, 0) for i in reversed(ids)])
        self.assertEqual(zardel27.get_breaks('./a.py', 3), [(other, 1, 0, None, 0, 0)])
        zardel27.set_breaks_cond('a.py', 3, '')
        self.assertEqual([b[3] for b in zardel27.get_breaks('a.py', 3)], [None, None])

    def test_ids_go_on_after_clear_all_and_start_again_after_reset(self):
        zardel27.set_break('a.py', 1, 1, 0, None, 0)
        last = zardel27.set_break('a.py', 2, 1, 0, None, 0)
        zardel27.clear_all_breaks()
        self.assertEqual(zardel27.get_file_breaks('a.py'), [])
        self.assertEqual(zardel27.set_break('a.py', 1, 1, 0, None, 0), last + 1)
        zardel27.reset()
        self.assertEqual(zardel27.get_file_breaks('a.py'), [])
        self.assertEqual(zardel27.set_break('a.py', 1, 1, 0, None, 0), 1)

    def test_break_here_counts_nothing(self):
        self.assertFalse(probe())
        number = zardel27.set_break(self.here, PROBE_LINE, 1, 0, None, 3)
        self.assertTrue(probe())
        self.assertEqual(zardel27.get_breaks(self.here, PROBE_LINE), [(number, 1, 0, None, 3, 0)])
        zardel27.enable_breaks(self.here, PROBE_LINE, 0)
        self.assertFalse(probe())
        zardel27.enable_breaks(self.here, PROBE_LINE, 1)
        self.assertTrue(probe())
        zardel27.set_breaks_cond(self.here, PROBE_LINE, 'sys is None')
        self.assertFalse(probe())
        zardel27.set_breaks_cond(self.here, PROBE_LINE, 'no_such_name')   # raising: stops
        self.assertTrue(probe())
        zardel27.clear_breaks(self.here, PROBE_LINE)
        self.assertFalse(probe())
        zardel27.set_break(self.here + 'c', PROBE_LINE, 1, 0, None, 0)   # the compiled name
        self.assertTrue(probe())

    def test_conditions_given_as_unicode(self):
        number = zardel27.set_break(u'a.py', 4, 1, 0, u'x > 1', 0)
        zardel27.set_break('a.py', 4, 1, 0, u'', 0)   # empty: none
        self.assertEqual(zardel27.get_breaks('a.py', 4),
                         [(number + 1, 1, 0, None, 0, 0), (number, 1, 0, 'x > 1', 0, 0)])
        zardel27.set_breaks_cond(u'a.py', 4, u'y < 2')
        self.assertEqual([b[3] for b in zardel27.get_breaks('a.py', 4)], ['y < 2', 'y < 2'])
        zardel27.set_break(self.here, PROBE_LINE, 1, 0, u'sys is None', 0)
        self.assertFalse(probe())
        zardel27.set_breaks_cond(self.here, PROBE_LINE, u'sys is not None')
        self.assertTrue(probe())
        # As for the file name: the value in the default encoding, or its error.
        for call, args in [(zardel27.set_break, (u'a\xe9.py', 1, 1, 0, None, 0)),
                           (zardel27.set_break, ('a.py', 1, 1, 0, u'x == "\xe9"', 0)),
                           (zardel27.set_breaks_cond, ('a.py', 4, u'x == "\xe9"'))]:
            self.assertRaises(UnicodeError, call, *args)
        self.assertRaises(TypeError, zardel27.set_break, 'a.py', 1, 1, 0, 'x\0', 0)
        self.assertEqual(len(zardel27.get_file_breaks('a.py')), 2)

    def test_bad_arguments(self):
        for call, args in [(zardel27.set_break, ('a.py', 1, 1, 0, 5, 0)),
                           (zardel27.set_break, ('a.py', 'one', 1, 0, None, 0)),
                           (zardel27.set_break, ('a.py', 1)),
                           (zardel27.clear_breaks, (None, 1)),
                           (zardel27.enable_breaks, ('a.py', 1)),
                           (zardel27.ignore_breaks, ('a.py', 1, 'x')),
                           (zardel27.set_breaks_cond, ('a.py', 1, None)),
                           (zardel27.get_breaks, ('a.py',)),
                           (zardel27.get_file_breaks, (3,)),
                           (zardel27.break_here, (None,))]:
            self.assertRaises(TypeError, call, *args)
        self.assertEqual(zardel27.get_file_breaks('a.py'), [])

    def test_setting_or_enabling_a_breakpoint_arms_tracing_again(self):
        zardel27.init(*init_args(optimize_nobps=1))
        zardel27.start_trace(0, 0); zardel27.continue_run()
        self.assertEqual(zardel27.get_tracing(), 0)   # no breakpoint: the tracer left
        number = zardel27.set_break('a.py', 1, 0, 0, None, 0)
        self.assertEqual(zardel27.get_tracing(), 1)
        zardel27.continue_run()   # a disabled breakpoint keeps it
        self.assertEqual(zardel27.get_tracing(), 1)
        zardel27.stop_trace()
        zardel27.enable_breaks('a.py', 1, 0)
        self.assertEqual(zardel27.get_tracing(), 0)
        zardel27.enable_breaks('b.py', 1, 1)   # nothing there
        self.assertEqual(zardel27.get_tracing(), 0)
        zardel27.enable_breaks('a.py', 1, 1)
        self.assertEqual(zardel27.get_tracing(), 1)
        zardel27.stop_trace()
        self.assertEqual(zardel27.get_breaks('a.py', 1), [(number, 1, 0, None, 0, 0)])

    def test_methods_refuse_before_init(self):
        # In a fresh interpreter the methods refuse until init() built the tracer.
        from support import run_python
        status, out, err = run_python('''
            import zardel27
            for name in ('set_break', 'get_breaks', 'clear_all_breaks'):
                try:
                    getattr(zardel27, name)('a.py', 1, 1, 0, None, 0)
                except (RuntimeError, TypeError), e:
                    print type(e).__name__
            ''')
        self.assertEqual((status, out.split()), (0, ['RuntimeError', 'TypeError', 'RuntimeError']),
                         err)


class PerIdEdits(unittest.TestCase):
    """clear_break, enable_break, ignore_break and set_break_cond act on the one breakpoint
    they name, where the per-line methods act on every breakpoint of the line."""

    def setUp(self):
        zardel27.init(*init_args(optimize_nobps=1))

    def tearDown(self):
        zardel27.destroy()

    def test_edits_touch_only_the_breakpoint_named(self):
        ids = [zardel27.set_break('a.py', 3, 1, 0, None, 0) for _ in range(3)]
        other = zardel27.set_break('a.py', 4, 1, 0, 'z', 0)
        self.assertIs(zardel27.enable_break(ids[0], 0), True)
        self.assertIs(zardel27.ignore_break(ids[1], 4), True)
        self.assertIs(zardel27.set_break_cond(ids[2], u'y == 2'), True)
        self.assertEqual(sorted(zardel27.get_breaks('a.py', 3)),
                         [(ids[0], 0, 0, None, 0, 0), (ids[1], 1, 0, None, 4, 0),
                          (ids[2], 1, 0, 'y == 2', 0, 0)])
        zardel27.set_break_cond(ids[2], '')     # empty: unconditional, as None is
        zardel27.set_break_cond(other, None)
        self.assertEqual([b[4] for b in zardel27.get_file_breaks('a.py')], [None] * 4)
        self.assertIs(zardel27.clear_break(ids[1]), True)
        self.assertIs(zardel27.clear_break(ids[1]), False)   # gone
        self.assertEqual(sorted(b[0] for b in zardel27.get_breaks('a.py', 3)),
                         [ids[0], ids[2]])
        for call, args in [(zardel27.clear_break, (999,)), (zardel27.enable_break, (999, 1)),
                           (zardel27.ignore_break, (999, 1)),
                           (zardel27.set_break_cond, (999, 'x'))]:
            self.assertIs(call(*args), False)
        for call, args in [(zardel27.clear_break, ('1',)), (zardel27.enable_break, (ids[0],)),
                           (zardel27.ignore_break, (ids[0], 'x')),
                           (zardel27.set_break_cond, (ids[0], 5)),
                           (zardel27.set_break_cond, (ids[0], 'x\0')),
                           (zardel27.return_value, (1,))]:
            self.assertRaises(TypeError, call, *args)
        self.assertRaises(UnicodeError, zardel27.set_break_cond, ids[0], u'x == "\xe9"')
        self.assertIsNone(zardel27.return_value())   # no return stop is being reported
        # Enabling a breakpoint arms tracing again, as enable_breaks does.
        zardel27.start_trace(0, 0); zardel27.stop_trace()
        zardel27.enable_break(ids[0], 1)
        self.assertEqual(zardel27.get_tracing(), 1)
        zardel27.stop_trace()

    def test_stops_follow_the_breakpoint_edited(self):
        # Two breakpoints on the line of square(): `first` unconditional, `second` never true.
        # Each edit of `first` changes the stops; `second` stays as it was set.
        breaks = [bp(TARGET, SQUARE), bp(TARGET, SQUARE, cond='n > 100')]
        calls = 15
        squares_of_2 = 3   # accumulate(3), (4) and (5)
        for edit, stops in [(lambda ids: zardel27.enable_break(ids[0], 0), 0),
                            (lambda ids: zardel27.ignore_break(ids[0], 12), calls - 12),
                            (lambda ids: zardel27.set_break_cond(ids[0], 'n == 2'),
                             squares_of_2),
                            (lambda ids: zardel27.clear_break(ids[0]), 0)]:
            run = TracerRun('bp_target', breaks, before=edit)
            self.assertEqual(run.stops.count(('bp_target.py', SQUARE)), stops)
            first, second = run.ids
            self.assertEqual(run.final[second][2:7], (1, 0, 'n > 100', 0, calls))

    def test_methods_refuse_before_init(self):
        status, out, err = run_python('''
            import zardel27
            for name, args in (('clear_break', (1,)), ('enable_break', (1, 1)),
                               ('ignore_break', (1, 1)), ('set_break_cond', (1, 'x'))):
                try:
                    getattr(zardel27, name)(*args)
                except RuntimeError:
                    print 'refused'
            ''')
        self.assertEqual((status, out.split()), (0, ['refused'] * 4), err)


class Stops(unittest.TestCase):
    """The check at the lines of a real program."""

    def test_hits_conditions_and_ignore_counts(self):
        run = TracerRun('bp_target', [bp(TARGET, SQUARE, ignore=10),
                                      bp(TARGET, ACCUMULATE, cond='i == 2'),
                                      bp(TARGET, TOTAL, enabled=0)])
        self.assertEqual(run.stops.count(('bp_target.py', SQUARE)), 5)
        self.assertEqual(run.stops.count(('bp_target.py', ACCUMULATE)), 3)
        self.assertEqual([run.final[number][6] for number in run.ids],
                         [15, 15, 0])   # the disabled one counts no hit
        self.assertEqual(run.final[run.ids[0]][5], 0)   # every ignored hit used up
        self.assertEqual(run.globals['results'], EXPECTED_RESULTS)

    def test_condition_sees_current_locals(self):
        seen = []
        run = TracerRun('bp_target', [bp(TARGET, ACCUMULATE, cond='i == limit - 1')],
                        on_stop=lambda run, frame, changed: seen.append(
                            (frame.f_locals['i'], frame.f_locals['limit'])))
        self.assertEqual(seen, [(k - 1, k) for k in range(1, 6)])

    def test_raising_condition_stops_and_leaves_no_exception(self):
        run = TracerRun('bp_target', [bp(TARGET, SQUARE, cond='no_such_name', temporary=1,
                                         ignore=20)])
        # A condition that raises stops every time, neither ignoring nor consuming.
        self.assertEqual(run.stops, [('bp_target.py', SQUARE)] * 15)
        self.assertEqual(run.final[run.ids[0]][3:], (1, 'no_such_name', 20, 15))
        self.assertEqual(run.globals['results'], EXPECTED_RESULTS)

    def test_exception_pending_while_a_condition_raises_is_kept(self):
        # Stepping into every event: the exception event of the raise checks the breakpoints
        # of its line with the program's ValueError pending; the condition's NameError must not
        # replace it, or the program's `except ValueError` would not catch it.
        run = TracerRun('bp_target', [bp(TARGET, RAISE, cond='no_such_name')],
                        command=zardel27.step_into, exception_mode=1)
        self.assertEqual(run.globals['results'], EXPECTED_RESULTS)
        self.assertEqual(run.final[run.ids[0]][6], 6)   # line and exception event, three raises

    def test_condition_calling_traced_code_does_not_stop_in_it(self):
        run = TracerRun('bp_target', [bp(TARGET, SQUARE),
                                      bp(TARGET, ACCUMULATE, cond='square(3) == 9 and i == 0')])
        self.assertEqual(run.stops.count(('bp_target.py', SQUARE)), 15)
        self.assertEqual(run.final[run.ids[0]][6], 15)   # the condition's calls are not hits
        self.assertEqual(run.stops.count(('bp_target.py', ACCUMULATE)), 5)

    def test_condition_cannot_free_the_breakpoints_it_is_checked_with(self):
        cond = "__import__('zardel27').clear_all_breaks()"
        run = TracerRun('bp_target', [bp(TARGET, TOTAL, cond=cond), bp(TARGET, TOTAL)])
        # The RuntimeError it meets makes the condition stop; both breakpoints stay.
        self.assertEqual(run.stops, [('bp_target.py', TOTAL)] * 6)
        self.assertEqual(sorted(run.final), run.ids)

    def test_temporary_with_ignore_count_stops_on_second_hit_and_goes(self):
        run = TracerRun('bp_target', [bp(TARGET, SQUARE, temporary=1, ignore=1)])
        self.assertEqual(run.stops, [('bp_target.py', SQUARE)])
        self.assertEqual(run.reports[0], ([run.ids[0]], []))
        self.assertEqual(run.final, {})

    def test_temporary_conditional_stops_once_when_true(self):
        seen = []
        run = TracerRun('bp_target', [bp(TARGET, SQUARE, temporary=1, cond='n == 1')],
                        on_stop=lambda run, frame, changed: seen.append(frame.f_locals['n']))
        self.assertEqual(seen, [1])
        self.assertEqual(run.final, {})

    def test_report_lists_changes_since_last_stop_most_recent_first(self):
        run = TracerRun('bp_target', [bp(TARGET, TOTAL), bp(TARGET, SQUARE, cond='False')])
        total, square = run.ids
        self.assertEqual(len(run.stops), 6)
        # accumulate(0) and accumulate(1) stop at `total = 0`; square(0) runs in between.
        self.assertEqual(run.reports[0], ([], [(TARGET, TOTAL, total, 1, 0, None, 0, 1)]))
        self.assertEqual(run.reports[2],
                         ([], [(TARGET, TOTAL, total, 1, 0, None, 0, 3),
                               (TARGET, SQUARE, square, 1, 0, 'False', 0, 1)]))
        self.assertEqual(run.reports[3][1][1][-1], 3)   # reported changes are not repeated
        self.assertEqual(run.final[square][6], 15)


# A child interpreter in which Python code that the breakpoint check runs tries to free the
# breakpoint records the check is walking. `scribble` then takes the memory of whatever was
# freed, so that a check going on with a freed record reads pointers made of its characters.
CODE_RUN_BY_THE_CHECK = '''
    import __builtin__, sys, zardel27
    from bp_support import TracerRun, path_of
    from support import init_args
    case = sys.argv[1]
    junk, refused = [], []

    def scribble():
        junk.extend(bytearray('A' * n) for n in range(40, 400) for k in range(3))
        junk.extend('A' * n for n in range(1, 64) for k in range(30))

    def clear_all():
        try:
            zardel27.clear_all_breaks()
        except RuntimeError:
            refused.append(case)
        scribble()

    class Truth(object):
        def __nonzero__(self):
            clear_all()
            return True

    class Dying(object):
        def __del__(self):
            clear_all()

    def nested_stop():
        # The condition's frame, then the frame of the line being checked.
        zardel27.trace_dispatch(sys._getframe(2), 'line', None)
        scribble()
        return True

    class SameHash(object):
        """A key of the frame's namespace that the lookup of "__file__" compares."""
        def __init__(self, action):
            self.action, self.calls = action, 0

        def __hash__(self):
            return hash('__file__')

        def __eq__(self, other):
            self.calls += 1
            self.compared = repr(other)
            if self.calls == 2:  # the first is at the call event
                self.action()
            return False

    def init_again():
        zardel27.init(*init_args())

    __builtin__.Truth, __builtin__.Dying, __builtin__.nested_stop = Truth, Dying, nested_stop
    if case in ('value', 'del', 'nested'):
        cond = {'value': 'Truth()', 'del': 'Dying()', 'nested': 'nested_stop()'}[case]
        run = TracerRun('bp_target', [(path_of('bp_target'), 2, 1, 1, cond, 0)])
        print len(run.stops), run.final, refused
    else:
        # Code whose own file name names no file (compiled elsewhere) runs in a namespace whose
        # "__file__" lookup runs Python code: it clears the breakpoints during the check, or
        # re-initialises the tracer during the lookup itself (the second key compared then
        # meets the looked-up name).
        elsewhere = '/nonexistent/compiled/elsewhere.py'
        zardel27.init(*init_args(line_cb=lambda frame, changed: zardel27.continue_run()))
        zardel27.set_break(elsewhere, 2, 1, 0, None, 0)
        zardel27.set_break(elsewhere, 2, 1, 0, None, 0)
        if case == 'key':
            keys = [SameHash(clear_all)]
        else:
            keys = [SameHash(init_again), SameHash(scribble)]
        namespace = dict((key, n) for n, key in enumerate(keys))
        code = compile('x = 1\\ny = 2\\n', elsewhere, 'exec')
        zardel27.start_trace(0xFFFFFF, 0xFFFFFF); zardel27.continue_run(); exec code in namespace
        zardel27.stop_trace()
        print 'ran', keys[0].calls > 0  # the lookup compared the key
'''


class CodeRunByTheCheck(unittest.TestCase):
    """Python code run while breakpoints are checked cannot free the records being walked:
    removals refuse (RuntimeError), and a trace event passed in by such code is let by (that
    code is never traced)."""
    leak_check = False  # only drives child interpreters

    def test_removals_and_nested_stops_from_code_the_check_runs(self):
        for case, expected in [
                # A condition's value whose truth or destruction tries to clear: refused, and
                # the temporary breakpoint is consumed by its first hit as usual.
                ('value', "1 {} ['value']\n"),
                ('del', "1 {} ['del']\n"),
                # A temporary breakpoint whose condition dispatches a line event of the frame
                # being checked: no nested stop, so no report freeing the breakpoint.
                ('nested', '1 {} []\n'),
                # A namespace key's __eq__, run while the frame's file is looked up.
                ('key', 'ran True\n'),
                ('init', 'ran True\n')]:
            status, out, err = run_python(CODE_RUN_BY_THE_CHECK, [case])
            self.assertEqual((status, out), (0, expected), (case, err))


class ChangesWhileRunning(unittest.TestCase):
    """The check remembers lines whose breakpoints do not match a code object; a breakpoint set,
    enabled or bound while the program runs must stop there all the same."""

    def run_with_change(self, breaks, change):
        # A temporary breakpoint at accumulate(3)'s first iteration makes the change; square()
        # has run 3 times by then (its line 2 checked against the helper's line 2) and runs 12
        # times after.
        trigger = bp(TARGET, ACCUMULATE, temporary=1, cond='k == 3')
        return TracerRun('bp_target', breaks + [trigger],
                         on_stop=lambda run, frame, changed: change() if len(run.stops) == 1
                         else None)

    def test_set_while_running(self):
        run = self.run_with_change(
            [bp(HELPER, SQUARE)], lambda: zardel27.set_break(TARGET, SQUARE, 1, 0, None, 0))
        self.assertEqual(run.stops[1:], [('bp_target.py', SQUARE)] * 12 + [('bp_helper.py', 2)])

    def test_enabled_while_running(self):
        run = self.run_with_change([bp(HELPER, SQUARE), bp(TARGET, SQUARE, enabled=0)],
                                   lambda: zardel27.enable_breaks(TARGET, SQUARE, 1))
        self.assertEqual(run.stops[1:], [('bp_target.py', SQUARE)] * 12 + [('bp_helper.py', 2)])

    def test_unbound_on_a_file_not_loaded(self):
        # The breakpoint on a file nothing imports waits unbound; the target's own stops.
        other = path_of('recursion')
        run = self.run_with_change(
            [bp(other, SQUARE)], lambda: zardel27.set_break(TARGET, SQUARE, 1, 0, None, 0))
        self.assertEqual(run.stops[1:], [('bp_target.py', SQUARE)] * 12)
        self.assertEqual(run.final[run.ids[0]][6], 0)


class MissingFileAppears(unittest.TestCase):
    """A breakpoint on a missing file is compared again once the file-identity cache stops
    taking the file for missing (its marks last three seconds): the remembered "no match" must
    not outlive them."""
    leak_check = False  # it waits for the marks to expire

    def test_breakpoint_file_created_while_running(self):
        folder = tempfile.mkdtemp()
        try:
            missing = os.path.join(folder, 'later.py')

            def create_and_wait():
                os.symlink(TARGET, missing)
                time.sleep(3.5)
            trigger = bp(TARGET, ACCUMULATE, temporary=1, cond='k == 3')
            run = TracerRun('bp_target', [bp(missing, SQUARE), trigger],
                            on_stop=lambda run, frame, changed: len(run.stops) == 1 and
                            create_and_wait())
            self.assertEqual(run.stops, [('bp_target.py', ACCUMULATE)] +
                             [('bp_target.py', SQUARE)] * 12)
        finally:
            shutil.rmtree(folder)


class Files(unittest.TestCase):
    """Which file a breakpoint stops in."""

    def test_same_line_number_in_two_files(self):
        run = TracerRun('bp_target', [bp(HELPER, SQUARE)])
        self.assertEqual(run.stops, [('bp_helper.py', SQUARE)])
        run = TracerRun('bp_target', [bp(HELPER, SQUARE), bp(TARGET, SQUARE)])
        self.assertEqual(run.stops, [('bp_target.py', SQUARE)] * 15 + [('bp_helper.py', SQUARE)])
        self.assertEqual(sorted(info[6] for info in run.final.values()), [1, 15])

    def test_module_imported_later(self):
        for synonyms in (0, 1):
            for hook in (0, 1):
                run = TracerRun('bp_target', [bp(HELPER, 3)], synonyms=synonyms,
                                import_hook=hook)
                self.assertEqual(run.stops, [('bp_helper.py', 3)], (synonyms, hook))

    def test_other_spellings_of_the_running_file(self):
        folder = tempfile.mkdtemp()
        try:
            link = os.path.join(folder, 'link.py')
            os.symlink(TARGET, link)
            for name in (os.path.relpath(TARGET), link, TARGET + 'c', TARGET + 'o'):
                run = TracerRun('bp_target', [bp(name, TOTAL)])
                self.assertEqual(run.stops, [('bp_target.py', TOTAL)] * 6, name)
                self.assertEqual(run.final[run.ids[0]][6], 6)
        finally:
            shutil.rmtree(folder)

    def test_one_file_loaded_under_two_names(self):
        # The same file loaded as two modules, through its folder and through a link to the
        # folder, both recorded: a breakpoint on either spelling stops in the code of both,
        # whichever name was recorded first.
        folder = os.path.realpath(tempfile.mkdtemp())
        try:
            os.mkdir(os.path.join(folder, 'real'))
            os.symlink(os.path.join(folder, 'real'), os.path.join(folder, 'link'))
            real, link = [os.path.join(folder, name, 'twin.py') for name in ('real', 'link')]
            source = 'def f(x):\n    y = x + 1\n    return y\n'
            with open(real, 'w') as f:
                f.write(source)
            stops = []

            def line_cb(frame, changed):
                if frame.f_code.co_name == 'f':
                    stops.append(frame.f_code.co_filename)
                zardel27.continue_run()
            for bp_file in (real, link):
                for order in ((real, link), (link, real)):
                    zardel27.init(*init_args(allow_synonyms=1, line_cb=line_cb))
                    try:
                        modules = []
                        for name in order:
                            module = types.ModuleType('twin')
                            module.__file__ = name
                            exec compile(source, name, 'exec') in module.__dict__
                            self.assertEqual(zardel27.register_module(module), name)
                            modules.append(module)
                        zardel27.set_break(bp_file, 2, 1, 0, None, 0)
                        del stops[:]
                        zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run()
                        for module in modules:
                            module.f(1)
                        zardel27.stop_trace()
                        self.assertEqual(stops, list(order), (bp_file, order))
                    finally:
                        zardel27.destroy()
        finally:
            shutil.rmtree(folder)

    def test_without_synonyms_names_are_taken_as_given(self):
        run = TracerRun('bp_target', [bp(TARGET + 'c', TOTAL)], synonyms=0)
        self.assertEqual(len(run.stops), 6)
        run = TracerRun('bp_target', [bp(os.path.relpath(TARGET), TOTAL)], synonyms=0)
        self.assertEqual(run.stops, [])


def executable_lines(path):
    """Line numbers that start a statement in the file's code, nested code included."""
    with open(path) as f:
        code = compile(f.read(), path, 'exec')
    lines, todo = set(), [code]
    while todo:
        co = todo.pop()
        lines.update(line for offset, line in dis.findlinestarts(co))
        todo.extend(c for c in co.co_consts if isinstance(c, types.CodeType))
    return sorted(lines)


CONDITIONS = [None, None, None, 'i % 2 == 0', 'n > 2', 'k >= 3', 'value == 4',
              'len(results) > 6', 'x > 5', 'no_such_name']


class Binding(unittest.TestCase):
    """Breakpoints bound to loaded modules through the index by file, against a model: a
    breakpoint stops a frame when its name, however spelt (a link, a relative name, the compiled
    name), is the same file as the frame's. Seeded runs load modules under their real names and
    through a link, in random order, some only by running, with breakpoints set before and after
    the modules are recorded, some cleared again (waiting or bound), all of them at times."""

    SOURCE = 'def run():\n    x = 1\n    y = 2\n    return x + y\n'
    LINES = [2, 3, 4]

    def setUp(self):
        self.folder = os.path.realpath(tempfile.mkdtemp())
        os.mkdir(os.path.join(self.folder, 'real'))
        os.symlink(os.path.join(self.folder, 'real'), os.path.join(self.folder, 'link'))
        self.files = []
        for name in ('one', 'two', 'three'):
            path = os.path.join(self.folder, 'real', name + '.py')
            with open(path, 'w') as f:
                f.write(self.SOURCE)
            self.files.append(path)

    def tearDown(self):
        shutil.rmtree(self.folder)

    def spellings(self, path):
        linked = os.path.join(self.folder, 'link', os.path.basename(path))
        return [path, linked, os.path.relpath(linked), path + 'c']

    def module(self, path, spelling):
        module = types.ModuleType(os.path.basename(path)[:-3])
        module.__file__ = spelling
        exec compile(self.SOURCE, spelling, 'exec') in module.__dict__
        return module

    def run_case(self, rand):
        missing = os.path.join(self.folder, 'real', 'missing.py')
        loads = [(path, rand.choice(self.spellings(path)[:2]))
                 for path in self.files for _ in range(rand.randint(0, 2))]
        rand.shuffle(loads)
        breaks = [(rand.choice(self.spellings(rand.choice(self.files)) + [missing]),
                   rand.choice(self.LINES)) for _ in range(rand.randint(1, 8))]
        early = rand.randint(0, len(breaks))
        stops = []

        def line_cb(frame, changed):
            if frame.f_code.co_name == 'run':
                stops.append((frame.f_code.co_filename, frame.f_lineno))
            zardel27.continue_run()
        zardel27.init(*init_args(allow_synonyms=1, line_cb=line_cb))
        try:
            for filename, line in breaks[:early]:
                zardel27.set_break(filename, line, 1, 0, None, 0)
            modules = [self.module(path, spelling) for path, spelling in loads]
            for module in modules:
                if rand.random() < 0.7:   # the others are met only when they run
                    zardel27.register_module(module)
            for filename, line in breaks[early:]:
                zardel27.set_break(filename, line, 1, 0, None, 0)
            if rand.random() < 0.1:
                zardel27.clear_all_breaks()
                for filename, line in breaks:
                    zardel27.set_break(filename, line, 1, 0, None, 0)
            for filename, line in rand.sample(breaks, rand.randint(0, len(breaks) // 2)):
                zardel27.clear_breaks(filename, line)
                breaks = [b for b in breaks if b != (filename, line)]
            zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run()
            for module in modules:
                module.run()
            zardel27.stop_trace()
        finally:
            zardel27.destroy()
        same = lambda a, b: os.path.exists(a) and os.path.samefile(a, b)
        expected = [(spelling, line) for path, spelling in loads for line in self.LINES
                    if any(l == line and same(f[:-1] if f.endswith('c') else f, path)
                           for f, l in breaks)]
        self.assertEqual(stops, expected, (loads, breaks, early))

    def test_random_loads_and_spellings(self):
        rand = random.Random(1907)
        for case in range(60):
            self.run_case(rand)


class StringCode(unittest.TestCase):
    """Code compiled from a string and run in a module's namespace has no file, and code of
    another file run there (execfile) has that file: breakpoints on the module's lines must not
    stop in either, nor those of the other file miss it. Stops as bdb's, which names a frame's
    file by its code alone."""

    def test_stops_as_bdb(self):
        program, other, helper = [path_of(name) for name in
                                  ('string_code', 'string_other', 'string_helper')]
        first_statement = line_of('string_code', 'import os')   # bdb's first stop, not counted
        breaks = []
        for path in (program, other, helper):
            with open(path) as f:
                count = len(f.readlines())
            breaks += [bp(path, line) for line in range(1, count + 1)
                       if (path, line) != (program, first_statement)]
        theirs = BdbRun('string_code', breaks)
        self.assertIn(('string_other.py', 1), theirs.stops)
        for synonyms in (0, 1):
            ours = TracerRun('string_code', breaks, synonyms=synonyms)
            self.assertEqual(ours.stops, theirs.stops, synonyms)
            self.assertEqual(ours.globals['results'], [3, 3, 6, 11, 5])
            self.assertEqual(dict((number, info[6]) for number, info in ours.final.items()),
                             theirs.hits)


class PlainConditions(unittest.TestCase):
    """Conditions made of names, constants, comparisons, `not`, `and` and `or` are run by the
    tracer itself while their values are built-in numbers and strings, and by the interpreter
    otherwise. In every namespace shape of programs/cond_shapes.py, for seeded random conditions
    and values, the tracer's answer must be the interpreter's (the frame's locals copied into its
    dictionary, then eval; raising: stop), and Python code a condition runs (a value's
    comparison or truth) must run as often as in the interpreter's evaluation."""

    NAMES = ['a', 'b', 'c', 'd', 'e', 'extra', 'cell', 'closed', 'G_INT', 'G_TEXT', 'max', 'True',
             'None', 'nope', 'len']
    CONSTANTS = ['0', '1', '-1', '3', '7', '2.5', '10**20', "'a'", "u'a'", "''", '7L']
    OPERATORS = ['<', '<=', '==', '!=', '>', '>=', 'is', 'is not', 'in']

    def setUp(self):
        path, code = stepping.load('cond_shapes')
        self.shapes = {'__name__': 'cond_shapes', '__file__': path}
        exec code in self.shapes
        lines = open(path).read().splitlines()
        self.lines = dict((line.split('# PROBE ')[1], number)
                          for number, line in enumerate(lines, 1) if '# PROBE ' in line)
        module_lines = self.shapes['MODULE_LEVEL'].splitlines()
        self.lines['module_level'] = [i for i, line in enumerate(module_lines, 1)
                                      if 'PROBE' in line][0]
        Recorder = self.shapes['Recorder']
        self.values = [0, 1, -1, 3, 7, 2.5, 10 ** 20, True, False, None, 'a', u'a', '', [1],
                       Recorder(1), Recorder(0)]
        zardel27.init(*init_args())
        self.ids = dict((name, zardel27.set_break(path, line, 1, 0, None, 0))
                        for name, line in self.lines.items())

    def tearDown(self):
        zardel27.destroy()

    def atom(self, rand):
        return rand.choice(self.NAMES if rand.random() < 0.6 else self.CONSTANTS)

    def condition(self, rand, depth=0):
        shape = rand.randint(0, 9 if depth < 2 else 3)
        if shape == 0:
            return self.atom(rand)
        if shape <= 3:
            parts = [self.atom(rand)]
            for _ in range(1 if shape < 3 else 2):   # a chain for 3
                parts += [rand.choice(self.OPERATORS), self.atom(rand)]
            return ' '.join(parts)
        if shape <= 5:
            return 'not ' + self.condition(rand, depth + 1)
        if shape <= 8:
            return '(%s) %s (%s)' % (self.condition(rand, depth + 1), rand.choice(['and', 'or']),
                                     self.condition(rand, depth + 1))
        return '(%s if %s else %s)' % tuple(self.condition(rand, depth + 1) for _ in range(3))

    def ask(self, shape, cond, args):
        zardel27.set_break_cond(self.ids[shape], cond)
        return self.shapes[shape](cond, *args)

    def test_random_conditions_in_every_shape(self):
        rand = random.Random(5)
        runs, copied = 0, 0
        for case in range(600):
            shape = sorted(self.lines)[case % len(self.lines)]
            cond = self.condition(rand)
            args = [rand.choice(self.values) for _ in range(3)] + [rand.random() < 0.3]
            hit, want, copied_locals, calls, wanted_calls = self.ask(shape, cond, args)
            self.assertEqual((hit, calls), (want, wanted_calls), (shape, cond, args))
            if shape in ('function', 'with_cell', 'with_free'):
                runs += 1
                copied += copied_locals
        # The frames whose copy of locals shows: some conditions ran without the interpreter
        # (no copy), the others with it.
        self.assertTrue(0 < copied < runs, (copied, runs))

    def test_which_conditions_run_without_the_interpreter(self):
        # With a, b, c = 1, 5, [1]: function has d = 1, e = [1], extra = 5; with_cell has
        # cell = [1], e = 5; with_free's inner frame has a = 1, d = 5 (free) and x = [1].
        plain = ['a == 1', 'not a', 'a', '0 < a <= G_INT and not max', 'a is None or a != 2.5',
                 "(G_TEXT if a else b) == 'a'", 'a <= 10**20', 'True is not None']
        other = ['a in (1, 2)', 'len(G_TEXT)', 'a + 1 == 2', 'nope == 1', "a == u'a'",
                 "G_TEXT == u'a'"]
        own = {'function': (['d > -1', 'extra == 5', 'e is not None'], ['e == 1']),
               'with_cell': (['e == 5', 'cell is e'], ['cell == 1', 'not cell']),
               'with_free': (['d == 5'], ['x == 5', 'b == 5'])}
        for shape, (own_plain, own_other) in sorted(own.items()):
            for cond in plain + own_plain + other + own_other:
                answer = self.ask(shape, cond, (1, 5, [1], False))
                self.assertEqual(answer[0], answer[1], (shape, cond))
                self.assertEqual(answer[2], cond in other + own_other, (shape, cond))


class AgainstBdb(unittest.TestCase):
    """bdb's effective() counts hits, applies conditions and ignore counts and consumes
    temporary breakpoints the same way: for breakpoints on distinct lines the stops and the
    final counts must be bdb's."""

    def random_breaks(self, rand):
        places = [(TARGET, line) for line in executable_lines(TARGET) if line != 1]
        places += [(HELPER, line) for line in executable_lines(HELPER)]
        breaks = []
        for filename, line in rand.sample(places, rand.randint(1, 7)):
            breaks.append(bp(filename, line, enabled=int(rand.random() > 0.15),
                             temporary=int(rand.random() < 0.3), cond=rand.choice(CONDITIONS),
                             ignore=rand.choice([0, 0, 1, 2, 5])))
        return breaks

    def test_random_breakpoint_sets(self):
        rand = random.Random(20261207)
        for case in range(40):
            breaks = self.random_breaks(rand)
            # Synonyms on (breakpoints bound to loaded modules) and off (names as given).
            ours = TracerRun('bp_target', breaks, synonyms=case % 2)
            theirs = BdbRun('bp_target', breaks)
            self.assertEqual(ours.stops, theirs.stops, breaks)
            self.assertEqual(dict((number, info[6]) for number, info in ours.final.items()),
                             theirs.hits, breaks)

    def test_several_breakpoints_on_one_line(self):
        # The difference: bdb stops at the first breakpoint of a line that says so and counts
        # no hit of the later ones; the tracer counts every matching breakpoint of the line.
        breaks = [bp(TARGET, SQUARE, temporary=1), bp(TARGET, SQUARE, cond='n > 1')]
        ours, theirs = TracerRun('bp_target', breaks), BdbRun('bp_target', breaks)
        self.assertEqual(ours.stops, theirs.stops)
        first, second = ours.ids
        self.assertNotIn(first, ours.final)          # consumed by its first hit in both
        self.assertEqual(theirs.hits, {second: 14})  # bdb: the first hit went to the temporary
        self.assertEqual(ours.final[second][6], 15)  # the tracer counted it for both


if __name__ == '__main__':
    unittest.main()
