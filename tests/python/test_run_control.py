"""Run control and dispatch details: frame ranges of start_trace, the bottom frame and
quit_cb, callbacks that fail, idle pacing, threads, and the argument checks."""
import inspect
import sys
import threading
import time
import unittest

import zardel27
from support import init_args, run_python

ALL_FRAMES = 0xFFFFFF


def stack_depth():
    """The caller's depth: the number of frames from the caller outward, so the caller's own
    number in start_trace's numbering is stack_depth() - 1."""
    depth, f = 0, sys._getframe(1)
    while f:
        depth += 1
        f = f.f_back
    return depth


class Stops(object):
    """Callbacks that record (event, function name, line) and give one command at each stop."""
    def __init__(self, command='step_into', only=None):
        self.command = command
        self.only = only
        self.stops = []
        self.quits = 0

    def _cb(self, event):
        def cb(frame, *rest):
            if self.only and frame.f_code.co_name not in self.only:
                zardel27.step_into()
                return
            self.stops.append((event, frame.f_code.co_name, frame.f_lineno))
            getattr(zardel27, self.command)()
        return cb

    def quit(self):
        self.quits += 1

    def init(self, **overrides):
        args = dict(line_cb=self._cb('line'), return_cb=self._cb('return'),
                    exception_cb=self._cb('exception'), quit_cb=self.quit)
        args.update(overrides)
        zardel27.init(*init_args(**args))


class TracerTest(unittest.TestCase):
    def tearDown(self):
        zardel27.stop_trace()
        zardel27.destroy()


class FrameRanges(TracerTest):
    def frames_w_x_y_z(self, first, last):
        """Arms tracing from the innermost of four nested frames W, X, Y, Z with the range
        (depth(W) + first, depth(W) + last) and reports, outermost first, whether each frame
        holds the tracer and which is the bottom frame."""
        zardel27.init(*init_args())
        report = {}

        def w():
            sys._getframe().f_trace = lambda *a: None  # an earlier trace function
            x()

        def x():
            y()

        def y():
            z()

        def z():
            frames = [sys._getframe(i) for i in (3, 2, 1, 0)]
            base = stack_depth() - 4
            zardel27.start_trace(base + first, base + last); report['traced'] = [f.f_trace is zardel27.trace_dispatch for f in frames]; report['bottom'] = [zardel27.is_botframe(f) for f in frames]; zardel27.stop_trace()
        w()
        return report

    def test_whole_stack(self):
        report = self.frames_w_x_y_z(0, ALL_FRAMES)
        self.assertEqual(report['traced'], [True, True, True, True])
        self.assertEqual(report['bottom'], [1, 0, 0, 0])

    def test_inner_frames_only(self):
        report = self.frames_w_x_y_z(2, ALL_FRAMES)
        self.assertEqual(report['traced'], [False, False, True, True])
        self.assertEqual(report['bottom'], [0, 0, 1, 0])

    def test_outermost_range_limit(self):
        # Frames numbered below min lose an earlier trace function; the range's own frames keep
        # the tracer; the frame numbered min is the bottom frame.
        report = self.frames_w_x_y_z(-5, 2)
        self.assertEqual(report['traced'], [True, True, False, False])
        self.assertEqual(report['bottom'], [0, 0, 0, 0])  # the outermost frame of the thread is

    def test_empty_range_then_first_call_opens_the_region(self):
        zardel27.init(*init_args())
        seen = {}

        def callee():
            seen['bottom'] = zardel27.is_botframe(sys._getframe())
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, depth + 9); seen['before'] = [zardel27.is_botframe(sys._getframe(i)) for i in range(depth - 1)]; callee(); zardel27.stop_trace()
        self.assertEqual(seen['before'], [0] * (depth - 1))
        self.assertEqual(seen['bottom'], 1)

    def test_second_start_changes_nothing(self):
        zardel27.init(*init_args())
        here = stack_depth() - 1
        outer = sys._getframe(1)
        zardel27.start_trace(here, ALL_FRAMES); zardel27.start_trace(0, ALL_FRAMES); traced = outer.f_trace; bottom = zardel27.is_botframe(sys._getframe()); zardel27.stop_trace()
        self.assertIsNone(traced)
        self.assertEqual(bottom, 1)

    def test_f_lineno_current_when_armed(self):
        # The caller's frame is running at the line of its call; arming must not leave a stale
        # line number in it.
        zardel27.init(*init_args())
        lines = {}

        def arm():
            caller = sys._getframe(1)
            zardel27.start_trace(0, ALL_FRAMES); lines['armed'] = caller.f_lineno; zardel27.stop_trace()
        expected = sys._getframe().f_lineno + 1
        arm()
        self.assertEqual(lines['armed'], expected)


class BottomFrameAndQuit(TracerTest):
    def run_two_regions(self, autoquit):
        stops = Stops('continue_run')
        stops.init()
        zardel27.set_autoquit(autoquit)
        seen = []

        def region():
            seen.append(zardel27.is_botframe(sys._getframe()))
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run(); region(); region(); zardel27.stop_trace()
        return stops.quits, seen

    def test_bottom_frame_return_calls_quit_cb(self):
        quits, seen = self.run_two_regions(1)
        self.assertEqual(quits, 2)
        self.assertEqual(seen, [1, 1])  # each call opened a new region

    def test_autoquit_off(self):
        quits, seen = self.run_two_regions(0)
        self.assertEqual(quits, 0)
        self.assertEqual(seen, [1, 1])


class CallbackFailures(TracerTest):
    def test_line_callback_error_raised_at_that_line(self):
        def line_cb(frame, changed):
            if frame.f_code.co_name == 'victim' and frame.f_lineno == target_line:
                raise ValueError('from the debugger')

        def victim():
            a = 1
            b = 2
            return a + b
        target_line = victim.func_code.co_firstlineno + 2
        zardel27.init(*init_args(line_cb=line_cb))
        depth = stack_depth() + 1
        try:
            zardel27.start_trace(depth + 5, ALL_FRAMES); victim()
        except ValueError:
            tb = sys.exc_info()[2]
        finally:
            zardel27.stop_trace()
        while tb.tb_frame.f_code.co_name != 'victim':
            tb = tb.tb_next
        self.assertEqual(tb.tb_lineno, target_line)

    def test_callbacks_receive_changed_report(self):
        received = []

        def line_cb(frame, changed):
            received.append(changed)
            zardel27.stop_trace()
        zardel27.init(*init_args(line_cb=line_cb))
        zardel27.start_trace(0, ALL_FRAMES); x = 1
        self.assertEqual(received, [([], [])])

    def test_exception_callback_arguments(self):
        received = []

        def exception_cb(frame, exc, changed):
            received.append((frame.f_code.co_name, exc[0], changed))
            zardel27.stop_trace()

        def raiser():
            raise KeyError('k')
        zardel27.init(*init_args(exception_cb=exception_cb))
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run(); zardel27.stop()
        try:
            raiser()
        except KeyError:
            pass
        self.assertEqual(received, [('raiser', KeyError, ([], []))])

    def test_recursion_overflow_reported_with_room_to_run(self):
        limits = []

        def exception_cb(frame, exc, changed):
            limits.append(sys.getrecursionlimit())
            zardel27.stop_trace()

        def deep(n):
            return deep(n + 1)
        zardel27.init(*init_args(exception_cb=exception_cb))
        old = sys.getrecursionlimit()
        sys.setrecursionlimit(200)
        try:
            depth = stack_depth() + 1
            zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run(); zardel27.stop()
            self.assertRaises(RuntimeError, deep, 0)
        finally:
            sys.setrecursionlimit(old)
        self.assertEqual(limits, [250])


class Idle(TracerTest):
    leak_check = False

    def spin(self, seconds, idle_period):
        calls = []
        zardel27.init(*init_args(idle_period=idle_period, idle_cb=lambda: calls.append(1)))
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run()
        end = time.time() + seconds
        while time.time() < end:
            pass
        zardel27.stop_trace()
        return len(calls)

    def test_idle_period_zero_never_calls(self):
        self.assertEqual(self.spin(0.3, 0), 0)

    def test_huge_idle_period_calls_once(self):
        # The next idle time saturates instead of overflowing: with a period near 2**31 the
        # first check calls idle_cb and no later one does, however many checks follow.
        calls = []
        zardel27.init(*init_args(idle_period=2 ** 31 - 1, idle_cb=lambda: calls.append(1)))
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run()
        for i in range(5000):
            pass
        zardel27.stop_trace()
        self.assertEqual(len(calls), 1)

    def test_idle_period_one_calls_every_second_or_two(self):
        calls = self.spin(2.5, 1)
        self.assertTrue(1 <= calls <= 3, calls)


class StepOut(unittest.TestCase):
    leak_check = False

    def test_step_out_from_outermost_frame_steps_into(self):
        status, out, err = run_python('''
            import sys, __builtin__, zardel27
            def f():
                return 1
            stops = []
            def line_cb(frame, changed):
                stops.append(frame.f_lineno)
                if len(stops) == 1:
                    zardel27.step_out()
                else:
                    zardel27.stop_trace()
            n = lambda *a: None
            zardel27.init(0, 0, 0, 0, 0, n, line_cb, n, n, n, None, __builtin__.__import__)
            zardel27.start_trace(0, 0xFFFFFF)
            f()
            print stops
        ''')
        self.assertEqual((out, err), ('[15, 4]\n', ''))

    def test_start_before_init_refused(self):
        # Without init there are no callbacks to stop with: arming would crash at the first stop.
        status, out, err = run_python('''
            import zardel27
            try:
                zardel27.start_trace(0, 0xFFFFFF)
            except RuntimeError:
                print 'refused', zardel27.get_tracing()
        ''')
        self.assertEqual((out, err), ('refused 0\n', ''))


class Threads(TracerTest):
    def test_other_thread_never_stops(self):
        stops = Stops('step_into')
        stops.init()
        done = threading.Event()
        seen = {}

        def worker():
            total = 0
            for i in range(50):
                total += i
            seen['total'] = total
            seen['hook'] = sys.gettrace()
            seen['f_trace'] = sys._getframe().f_trace
            done.set()
        thread = threading.Thread(target=worker)
        # The worker starts with the tracer as its Python-level hook: the tracer must take itself
        # out of that thread at its first event instead of stopping there.
        here = stack_depth() - 1
        threading.settrace(zardel27.trace_dispatch)
        try:
            zardel27.start_trace(here, ALL_FRAMES); thread.start(); done.wait(5); zardel27.stop_trace()
        finally:
            threading.settrace(None)
        thread.join()
        self.assertEqual(seen, {'total': 1225, 'hook': None, 'f_trace': None})
        self.assertTrue(stops.stops)
        self.assertNotIn('worker', [name for event, name, line in stops.stops])

    def test_stop_trace_clears_every_thread(self):
        zardel27.init(*init_args())
        armed, release = threading.Event(), threading.Event()

        def worker():
            zardel27.start_trace(0, ALL_FRAMES); zardel27.continue_run(); armed.set(); release.wait(5)
        thread = threading.Thread(target=worker)
        thread.start()
        armed.wait(5)
        worker_frame = sys._current_frames()[thread.ident]
        self.assertIs(worker_frame.f_trace, zardel27.trace_dispatch)
        zardel27.stop_trace()
        for frame in sys._current_frames().values():
            while frame:
                self.assertIsNot(frame.f_trace, zardel27.trace_dispatch)
                frame = frame.f_back
        release.set()
        thread.join()
        self.assertEqual(zardel27.get_tracing(), 0)


class ContinueAndState(TracerTest):
    def test_continue_run_without_breakpoints_stops_tracing(self):
        zardel27.init(*init_args(optimize_nobps=1))
        zardel27.start_trace(0, ALL_FRAMES); zardel27.continue_run(); tracing = zardel27.get_tracing()
        self.assertEqual(tracing, 0)
        frame = sys._getframe()
        while frame:
            self.assertIsNot(frame.f_trace, zardel27.trace_dispatch)
            frame = frame.f_back

    def test_continue_run_keeps_tracing_without_optimisation(self):
        zardel27.init(*init_args(optimize_nobps=0))
        zardel27.start_trace(0, ALL_FRAMES); zardel27.continue_run(); tracing = zardel27.get_tracing(); zardel27.stop_trace()
        self.assertEqual(tracing, 1)

    def test_exiting_on_exception_starts_clear(self):
        zardel27.init(*init_args())
        self.assertEqual(zardel27.exiting_on_exception(), 0)
        zardel27.reset()
        self.assertEqual(zardel27.exiting_on_exception(), 0)

    def test_reset_stops_tracing(self):
        zardel27.init(*init_args())
        zardel27.start_trace(0, ALL_FRAMES); zardel27.continue_run(); zardel27.reset(); tracing = zardel27.get_tracing()
        self.assertEqual(tracing, 0)



def line_of(func, marker):
    """Line number of the line of `func` whose source holds `marker`."""
    lines, first = inspect.getsourcelines(func)
    return first + [i for i, line in enumerate(lines) if marker in line][0]


def tb_line(tb, name):
    """Line that the traceback `tb` reports for the frame of function `name`."""
    while tb.tb_frame.f_code.co_name != name:
        tb = tb.tb_next
    return tb.tb_lineno


def late_raiser():
    yield 1
    yield 2
    raise ValueError('late')  # raise


def send_target():
    y = report_caller_line((yield 1))  # yield
    z = 10 / (yield y)  # divide
    yield z


def report_caller_line(value):
    return sys._getframe(1).f_lineno


class Generators(TracerTest):
    """Generator frames suspended while tracing starts or stops: their line numbers stay
    right, and a tracer left in them never touches the program's own trace function."""

    def test_suspended_when_tracing_stops(self):
        resume_line = line_of(self.run_late_raiser, '# resume')

        def line_cb(frame, changed):
            if frame.f_code.co_name == 'run_late_raiser' and frame.f_lineno == resume_line:
                zardel27.continue_run()  # no breakpoints: tracing goes off completely
            else:
                zardel27.step_into()
        zardel27.init(*init_args(optimize_nobps=1, line_cb=line_cb))
        tb, hook = self.run_late_raiser(None)
        self.assertEqual(tb_line(tb, 'late_raiser'), line_of(late_raiser, '# raise'))
        events = []

        def program_trace(frame, event, arg):
            events.append(event)
            return None  # the program traces calls only
        tb, hook = self.run_late_raiser(program_trace)
        self.assertIs(hook, program_trace)
        self.assertEqual(events, ['call', 'call'])  # next(g) twice, nothing else
        self.assertEqual(tb_line(tb, 'late_raiser'), line_of(late_raiser, '# raise'))

    def run_late_raiser(self, program_trace):
        depth = stack_depth() + 1
        g = late_raiser()
        zardel27.start_trace(depth, ALL_FRAMES); zardel27.stop()
        next(g)
        resumed = 1  # resume
        self.assertEqual(zardel27.get_tracing(), 0)
        sys.settrace(program_trace)
        try:
            next(g)
            next(g)
        except ValueError:
            return sys.exc_info()[2], sys.gettrace()
        finally:
            sys.settrace(None)

    def test_suspended_before_tracing_starts(self):
        # Resumed while tracing, in the middle of a line: at a stop in a function called from
        # that line, and in a traceback, the generator's frame names that line.
        seen = []

        def line_cb(frame, changed):
            if frame.f_code.co_name == 'report_caller_line':
                seen.append(frame.f_back.f_lineno)
            zardel27.continue_run()
        zardel27.init(*init_args(line_cb=line_cb))
        g = send_target()
        next(g)
        depth = stack_depth() + 1
        zardel27.start_trace(depth, ALL_FRAMES); zardel27.stop(); y = g.send(5); zardel27.stop_trace()
        self.assertEqual(seen, [line_of(send_target, '# yield')])
        self.assertEqual(y, line_of(send_target, '# yield'))
        zardel27.start_trace(depth, ALL_FRAMES); zardel27.continue_run()
        try:
            g.send(0)
        except ZeroDivisionError:
            tb = sys.exc_info()[2]
        finally:
            zardel27.stop_trace()
        self.assertEqual(tb_line(tb, 'send_target'), line_of(send_target, '# divide'))

    def test_tracer_called_while_off_leaves_the_program_hook(self):
        # A program's trace function hands the tracer to one frame while tracing is off: the
        # tracer takes itself out of that frame and leaves the program's hook in place.
        zardel27.init(*init_args())

        def program_trace(frame, event, arg):
            if frame.f_code is target.__code__:
                return zardel27.trace_dispatch
            return None

        def target():
            a = 1
            b = 2
            return sys._getframe().f_trace, sys.gettrace()
        sys.settrace(program_trace)
        try:
            local_trace, hook = target()
        finally:
            sys.settrace(None)
        self.assertIsNone(local_trace)
        self.assertIs(hook, program_trace)


class BadArguments(TracerTest):
    def test_trace_dispatch_arguments(self):
        frame = sys._getframe()
        self.assertRaises(TypeError, zardel27.trace_dispatch)
        self.assertRaises(TypeError, zardel27.trace_dispatch, frame, 'line')
        self.assertRaises(TypeError, zardel27.trace_dispatch, None, 'line', None)
        self.assertRaises(TypeError, zardel27.trace_dispatch, frame, 3, None)

    def test_unknown_event(self):
        zardel27.init(*init_args())
        depth = stack_depth() + 1
        zardel27.start_trace(depth + 5, ALL_FRAMES); zardel27.continue_run()
        try:
            zardel27.trace_dispatch(sys._getframe(), 'xyz', None)
        except TypeError as exc:
            message = str(exc)
        zardel27.stop_trace()
        self.assertEqual(message, 'Unknown debugger event type')

    def test_trace_dispatch_while_off(self):
        zardel27.init(*init_args())
        self.assertIsNone(zardel27.trace_dispatch(sys._getframe(), 'line', None))

    def test_is_botframe_arguments(self):
        self.assertRaises(TypeError, zardel27.is_botframe)
        self.assertRaises(TypeError, zardel27.is_botframe, 1)
        zardel27.init(*init_args())
        self.assertEqual(zardel27.is_botframe(sys._getframe()), 0)

    def test_start_trace_and_autoquit_arguments(self):
        zardel27.init(*init_args())
        self.assertRaises(TypeError, zardel27.start_trace, 0)
        self.assertRaises(TypeError, zardel27.start_trace, 'a', 1)
        self.assertRaises(TypeError, zardel27.set_autoquit, None)
        self.assertRaises(TypeError, zardel27.stop_trace, 1)

    def test_stepping_commands_before_any_stop(self):
        zardel27.init(*init_args())
        for name in ('step_into', 'step_over', 'step_out', 'continue_run', 'stop'):
            self.assertIsNone(getattr(zardel27, name)())


if __name__ == '__main__':
    unittest.main()
