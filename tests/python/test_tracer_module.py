"""The tracer module's state: init's checks, sys.exitfunc handling, reset and destroy."""
import sys
import unittest

import zardel27
from support import init_args, run_python


class InitChecks(unittest.TestCase):
    def tearDown(self):
        zardel27.destroy()

    def test_callables_checked_in_order(self):
        cases = [
            (dict(idle_cb=1, line_cb=2), "idle_cb must be callable"),
            (dict(line_cb=1, return_cb=2), "line_cb must be callable"),
            (dict(return_cb=1, exception_cb=2), "return_cb must be callable"),
            (dict(exception_cb=1, quit_cb=2), "exception_cb must be callable"),
            (dict(quit_cb=1, default_import=2), "quit_cb must be callable"),
            (dict(import_cb=1, default_import=2), "import_cb must be None or callable"),
            (dict(default_import='x'), "default_import must be callable"),
        ]
        for overrides, message in cases:
            with self.assertRaises(TypeError) as cm:
                zardel27.init(*init_args(**overrides))
            self.assertEqual(str(cm.exception), message)

    def test_import_cb_may_be_none_or_callable(self):
        zardel27.init(*init_args(import_cb=None))
        zardel27.init(*init_args(import_cb=lambda module: None))

    def test_argument_parsing(self):
        self.assertRaises(TypeError, zardel27.init)
        self.assertRaises(TypeError, zardel27.init, *init_args(idle_period='1'))
        self.assertRaises(TypeError, zardel27.init, *(init_args() + [None]))

    def test_failed_init_then_reset_and_destroy(self):
        # A failed init holds nothing that reset or destroy could release twice.
        callback = lambda *a: None
        before = sys.getrefcount(callback)
        self.assertRaises(TypeError, zardel27.init, *init_args(line_cb=callback, quit_cb=3))
        self.assertEqual(sys.getrefcount(callback), before)
        zardel27.reset()
        zardel27.destroy()
        self.assertEqual(sys.getrefcount(callback), before)

    def test_repeated_init_releases_previous_callbacks(self):
        first = lambda *a: None
        before = sys.getrefcount(first)
        zardel27.init(*init_args(line_cb=first))
        self.assertEqual(sys.getrefcount(first), before + 1)
        zardel27.init(*init_args())
        self.assertEqual(sys.getrefcount(first), before)

    def test_use_import_hook_zero_leaves_import_alone(self):
        import __builtin__
        original = __builtin__.__import__
        zardel27.init(*init_args(use_import_hook=0))
        self.assertIs(__builtin__.__import__, original)

    def test_import_hook_installed_from_module_attribute(self):
        # init installs whatever the module offers as import_hook into the caller's builtins.
        import __builtin__
        original = __builtin__.__import__
        calls = []

        def hook(name, *args, **kwargs):
            calls.append(name)
            return original(name, *args, **kwargs)
        own = zardel27.import_hook
        zardel27.import_hook = hook
        try:
            zardel27.init(*init_args(use_import_hook=1, default_import=original))
            self.assertIs(__builtin__.__import__, hook)
            import string
            self.assertIn('string', calls)
        finally:
            __builtin__.__import__ = original
            zardel27.import_hook = own

    def test_import_hook_equal_to_default_refused(self):
        import __builtin__
        original = __builtin__.__import__
        own = zardel27.import_hook
        zardel27.import_hook = original
        try:
            with self.assertRaises(AssertionError) as cm:
                zardel27.init(*init_args(use_import_hook=1, default_import=original))
            self.assertEqual(str(cm.exception),
                             'The default import hook cannot be equal to our import hook')
            self.assertIs(__builtin__.__import__, original)
        finally:
            __builtin__.__import__ = original
            zardel27.import_hook = own

    def test_state_after_init(self):
        zardel27.init(*init_args())
        self.assertEqual(zardel27.get_tracing(), 0)
        self.assertRaises(TypeError, zardel27.get_tracing, 1)


class RepeatedInit(unittest.TestCase):
    """init called again: after a failure the tracer is as it was; the import hook and the
    exit function are handed over, not lost."""

    def setUp(self):
        import __builtin__
        self.builtins = __builtin__
        self.original_import = __builtin__.__import__
        self.had_exitfunc = hasattr(sys, 'exitfunc')
        self.saved_exitfunc = getattr(sys, 'exitfunc', None)
        self.had_hook = hasattr(zardel27, 'import_hook')
        self.saved_hook = getattr(zardel27, 'import_hook', None)

    def tearDown(self):
        zardel27.stop_trace()
        zardel27.destroy()
        self.builtins.__import__ = self.original_import
        if self.had_exitfunc:
            sys.exitfunc = self.saved_exitfunc
        elif hasattr(sys, 'exitfunc'):
            del sys.exitfunc
        if self.had_hook:
            zardel27.import_hook = self.saved_hook
        elif hasattr(zardel27, 'import_hook'):
            del zardel27.import_hook

    def test_failed_init_inside_a_callback_leaves_the_tracer_working(self):
        # The debugger's idle callback calls init with a bad argument, catches the error and
        # asks for a stop: the stop must reach the callbacks of the first init.
        stops = []

        def line_cb(frame, changed):
            stops.append(frame.f_code.co_name)
            zardel27.continue_run()

        def idle_cb():
            if not stops:
                for bad in (dict(line_cb=3), dict(idle_period='x'), dict(default_import=None)):
                    self.assertRaises(TypeError, zardel27.init, *init_args(**bad))
                zardel27.stop()

        def work():
            total = 0
            for i in range(300):
                total += i
            return total
        zardel27.init(*init_args(idle_period=1, idle_cb=idle_cb, line_cb=line_cb))
        zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run(); result = work(); zardel27.stop_trace()
        self.assertEqual(result, 44850)
        self.assertEqual(stops[:1], ['work'])
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)

    def test_reentered_init(self):
        # An argument whose conversion calls init: the outer call takes over the inner call's
        # state, and destroy still gives back the program's exit function.
        previous = lambda: None
        sys.exitfunc = previous

        class Reentering(object):
            def __int__(self):
                zardel27.init(*init_args())
                return 0
        zardel27.init(*init_args(idle_period=Reentering()))
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)
        zardel27.destroy()
        self.assertIs(sys.exitfunc, previous)

    def test_import_hook_handed_over(self):
        calls = []

        def hook(name, *args, **kwargs):
            calls.append(name)
            return self.original_import(name, *args, **kwargs)
        zardel27.import_hook = hook
        zardel27.init(*init_args(use_import_hook=1, default_import=self.original_import))
        self.assertIs(self.builtins.__import__, hook)
        # Called again as its docstring asks, with __builtins__['__import__']: our own hook,
        # which stands for the import it replaced.
        zardel27.init(*init_args(use_import_hook=1, default_import=self.builtins.__import__))
        self.assertIs(self.builtins.__import__, hook)
        import string
        self.assertIn('string', calls)
        zardel27.destroy()
        self.assertIs(self.builtins.__import__, self.original_import)
        zardel27.init(*init_args(use_import_hook=1, default_import=self.builtins.__import__))
        self.assertIs(self.builtins.__import__, hook)
        # A hook that is no longer the builtins' import is not taken out again.
        other = lambda *a, **k: self.original_import(*a, **k)
        self.builtins.__import__ = other
        zardel27.destroy()
        self.assertIs(self.builtins.__import__, other)

    def test_refused_import_hook_leaves_the_tracer_as_it_was(self):
        zardel27.init(*init_args())
        zardel27.import_hook = self.original_import
        with self.assertRaises(AssertionError):
            zardel27.init(*init_args(use_import_hook=1, default_import=self.original_import))
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)
        self.assertIs(self.builtins.__import__, self.original_import)
        stops = []

        def line_cb(frame, changed):
            stops.append(frame.f_code.co_name)
            zardel27.stop_trace()
        zardel27.destroy()
        zardel27.init(*init_args(line_cb=line_cb))
        zardel27.start_trace(0, 0xFFFFFF)
        self.assertEqual(stops, [sys._getframe().f_code.co_name])


class ExitFunc(unittest.TestCase):
    def setUp(self):
        self.had = hasattr(sys, 'exitfunc')
        self.saved = getattr(sys, 'exitfunc', None)

    def tearDown(self):
        zardel27.destroy()
        if self.had:
            sys.exitfunc = self.saved
        elif hasattr(sys, 'exitfunc'):
            del sys.exitfunc

    def test_installed_and_restored(self):
        previous = lambda: None
        sys.exitfunc = previous
        zardel27.init(*init_args())
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)
        zardel27.destroy()
        self.assertIs(sys.exitfunc, previous)

    def test_absent_again_when_there_was_none(self):
        if hasattr(sys, 'exitfunc'):
            del sys.exitfunc
        zardel27.init(*init_args())
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)
        zardel27.destroy()
        self.assertFalse(hasattr(sys, 'exitfunc'))

    def test_repeated_init_keeps_the_users_exit_function(self):
        previous = lambda: None
        sys.exitfunc = previous
        zardel27.init(*init_args())
        zardel27.init(*init_args())
        zardel27.destroy()
        self.assertIs(sys.exitfunc, previous)

    def test_called_twice_runs_previous_once_and_quit_cb_twice(self):
        calls = []
        sys.exitfunc = lambda: calls.append('previous')
        zardel27.init(*init_args(quit_cb=lambda: calls.append('quit')))
        zardel27.exitfunc()
        zardel27.exitfunc()
        self.assertEqual(calls, ['quit', 'previous', 'quit'])

    def test_quit_cb_failure_not_reported(self):
        def quit_cb():
            raise ValueError('ignored')
        zardel27.init(*init_args(quit_cb=quit_cb))
        self.assertIsNone(zardel27.exitfunc())


class ExitFuncAtInterpreterExit(unittest.TestCase):
    leak_check = False

    def test_previous_error_printed_under_heading(self):
        status, out, err = run_python('''
            import sys, __builtin__, zardel27
            def previous():
                raise KeyError('boom')
            def quit_cb():
                sys.stdout.write('quit\\n')
            sys.exitfunc = previous
            zardel27.init(0, 0, 0, 0, 0, quit_cb, quit_cb, quit_cb, quit_cb, quit_cb, None,
                          __builtin__.__import__)
        ''')
        self.assertEqual(out, 'quit\n')
        self.assertIn("Error in sys.exitfunc (called from debugger core):\n", err)
        self.assertIn("KeyError: 'boom'", err)
        self.assertLess(err.index('called from debugger core'), err.index('KeyError'))

    def test_previous_replaces_stderr_then_fails(self):
        # The heading goes to the stderr in place after the previous function ran; the one in
        # place before may be gone by then (it crashed the interpreter).
        status, out, err = run_python('''
            import sys, __builtin__, zardel27
            class Sink(object):
                def __init__(self, name):
                    self.name = name
                def write(self, text):
                    sys.__stderr__.write('%s:%s' % (self.name, text))
            sys.stderr = Sink('old')
            def previous():
                sys.stderr = Sink('new')
                raise KeyError('boom')
            sys.exitfunc = previous
            f = lambda *a: None
            zardel27.init(0, 0, 0, 0, 0, f, f, f, f, f, None, __builtin__.__import__)
        ''')
        self.assertEqual(status, 0)
        self.assertTrue(err.startswith('new:Error in sys.exitfunc (called from debugger core):\n'),
                        err)
        self.assertIn("'boom'", err)

    def test_no_exit_handler_of_the_program_is_dropped(self):
        # Exit functions and atexit handlers that the program sets between two inits, or
        # before a destroy, all run at exit, each once; so does the one set before the first
        # init, also when quit_cb destroys the tracer.
        program = '''
            import sys, __builtin__, zardel27
            say = lambda text: lambda: sys.stdout.write(text + '\\n')
            def quit_cb():
                say('quit')()
                if mode == 'quit-destroys':
                    zardel27.destroy()
            def init():
                f = lambda *a: None
                zardel27.init(0, 0, 0, 0, 0, f, f, f, f, quit_cb, None, __builtin__.__import__)
            mode = sys.argv[1]
            sys.exitfunc = say('previous')
            init()
            if mode == 'atexit-then-init':
                import atexit
                atexit.register(say('handler'))
                init()
            elif mode == 'exitfunc-then-init':
                sys.exitfunc = say('mine')
                init()
            elif mode == 'atexit-then-destroy':
                import atexit
                atexit.register(say('handler'))
                zardel27.destroy()
        '''
        cases = [
            ('atexit-then-init', 'quit\nhandler\nprevious\n'),
            ('exitfunc-then-init', 'quit\nmine\nprevious\n'),
            ('atexit-then-destroy', 'handler\nquit\nprevious\n'),
            ('quit-destroys', 'quit\nprevious\n'),
        ]
        for mode, expected in cases:
            self.assertEqual(run_python(program, args=[mode]), (0, expected, ''), mode)

    def test_quit_cb_runs_once_untraced_at_exit(self):
        # At exit the trace hook is removed before quit_cb runs: quit_cb and the interpreter's
        # teardown are not stepped through, and quit_cb's own return is not the end of a
        # debugged region that would call it again.
        program = '''
            import sys, __builtin__, zardel27
            stops = []
            def line_cb(frame, changed):
                stops.append(frame.f_code.co_name)
                zardel27.step_into() if mode == 'step' else zardel27.continue_run()
            def quit_cb():
                sys.stdout.write('quit %s\\n' % ('quit_cb' in stops))
            def previous():
                sys.stdout.write('previous %s\\n' % ('previous' in stops))
            sys.exitfunc = previous
            f = lambda *a: None
            mode = sys.argv[1]
            zardel27.init(0, 0, 0, 0, 0, f, line_cb, f, f, quit_cb, None, __builtin__.__import__)
            zardel27.start_trace(0, 0xFFFFFF)
            x = 1
        '''
        # Stepping: the module's return stops, so only exitfunc calls quit_cb. Running freely:
        # the module's return ends the debugged region (quit_cb), then exitfunc calls it again.
        for mode, expected in [('step', 'quit False\nprevious False\n'),
                               ('continue', 'quit False\nquit False\nprevious False\n')]:
            self.assertEqual(run_python(program, args=[mode]), (0, expected, ''), mode)

    def test_previous_runs_at_exit(self):
        status, out, err = run_python('''
            import sys, __builtin__, zardel27
            def previous():
                sys.stdout.write('previous\\n')
            def quit_cb():
                sys.stdout.write('quit\\n')
            sys.exitfunc = previous
            f = lambda *a: None
            zardel27.init(0, 0, 0, 0, 0, f, f, f, f, quit_cb, None, __builtin__.__import__)
            print 'done',
        ''')
        self.assertEqual((status, out, err), (0, 'done\nquit\nprevious\n', ''))


class ResetAndIdle(unittest.TestCase):
    def tearDown(self):
        zardel27.destroy()

    def test_reset_before_init_is_harmless(self):
        zardel27.reset()
        zardel27.destroy()
        self.assertEqual(zardel27.get_tracing(), 0)

    def test_reset_keeps_exit_function(self):
        zardel27.init(*init_args())
        zardel27.reset()
        self.assertEqual(sys.exitfunc, zardel27.exitfunc)
        self.assertEqual(zardel27.get_tracing(), 0)

    def test_set_idle_period(self):
        zardel27.init(*init_args())
        self.assertIsNone(zardel27.set_idle_period(0))
        self.assertIsNone(zardel27.set_idle_period(-5))
        self.assertRaises(TypeError, zardel27.set_idle_period, 'x')
        self.assertRaises(TypeError, zardel27.set_idle_period)


class Docstrings(unittest.TestCase):
    def test_docstrings(self):
        self.assertTrue(zardel27.init.__doc__.startswith('Initialize the tracer:  This must'))
        self.assertEqual(zardel27.reset.__doc__, 'Reset the debug tracer to blank initial state')
        self.assertEqual(zardel27.destroy.__doc__, 'Clear all info from the tracer')
        self.assertEqual(zardel27.get_tracing.__doc__,
                         'Returns whether tracing is active in any thread')


if __name__ == '__main__':
    unittest.main()
