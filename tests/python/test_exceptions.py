"""Exception stopping on real programs: the modes, the always-stop and never-stop tuples, the
bottom-frame rule, the for-loop rule, the clause shapes the handler prediction understands and
those it does not, ignored locations, the sre_parse location, the recursion allowance, and the
module methods' arguments."""
import opcode
import os
import re
import sys
import unittest

import zardel27
from corpus_prelude import Counter, ERRORS, Manager, MyError, Seq, get_errors, mod
from exc_support import ExceptionRun
from support import init_args, run_python

NEVER, ALWAYS, UNHANDLED = 0, 1, 2


def raise_key():
    raise KeyError('k')


def caught_same_frame():
    try:
        raise KeyError('k')
    except KeyError:
        pass


def middle():
    raise_key()


def wrong_clause_only():
    try:
        raise_key()
    except ValueError:
        pass


def called_clause():
    try:
        raise_key()
    except get_errors():
        pass


class MatchesAll(type):
    def __subclasscheck__(cls, subclass):
        return True


class AnyError(Exception):
    """Catches every exception: the interpreter asks its metaclass."""
    __metaclass__ = MatchesAll


def metaclass_raised_and_named():
    try:
        raise AnyError()
    except AnyError:
        pass


class Holder(object):
    pass


def understood_clauses():
    """Each try statement catches the KeyError or MyError raised in it, by a clause form the
    prediction understands; handlers one and two frames up."""
    holder = Holder()
    holder.a = Holder()
    holder.a.B = MyError
    errors = (ValueError, KeyError)
    try:
        middle()
    except LookupError:
        pass
    try:
        middle()
    except:
        pass
    try:
        raise MyError()
    except holder.a.B:
        pass
    try:
        raise MyError()
    except mod.Err:
        pass
    try:
        raise_key()
    except (ValueError, mod.Err, KeyError):
        pass
    try:
        raise_key()
    except ERRORS:
        pass
    try:
        raise_key()
    except errors as e:
        pass
    try:
        raise_key()
    except AnyError:
        pass
    try:
        raise_key()
    except ValueError:
        pass
    except TypeError as e:
        pass
    except KeyError as e:
        pass


def caught_by_base_here():
    try:
        raise KeyError('k')
    except LookupError:
        pass


def caught_bare_here():
    try:
        raise KeyError('k')
    except:
        pass


def caught_only_outside():
    try:
        raise_key()
    except KeyError:
        pass


def bottom_outside_blocks():
    raise_key()


def bottom_in_for_loop():
    for i in range(1):
        raise_key()


def loop_over_iterator():
    for x in Counter():
        pass
    for x in Seq():
        pass


def generator_raising_index_error():
    yield 1
    raise IndexError('from a generator')


def loop_over_bad_generator():
    # FOR_ITER ends a loop on StopIteration only: this IndexError leaves the loop.
    for x in generator_raising_index_error():
        pass


def finally_only():
    try:
        raise_key()
    finally:
        pass


def with_only():
    with Manager():
        raise_key()


def finally_and_with_inside_handler():
    try:
        finally_only()
    except KeyError:
        pass
    try:
        with_only()
    except KeyError:
        pass


def generator_with_try():
    try:
        yield 1
        raise KeyError('k')
    except KeyError:
        yield 2


def generator_raising():
    yield 1
    raise ValueError('v')


def generators():
    for x in generator_with_try():
        pass
    try:
        for x in generator_raising():
            pass
    except ValueError:
        pass
    it = generator_raising()
    next(it)
    next(it)


def recurse(n):
    return recurse(n + 1)


def recursion_error():
    try:
        recurse(0)
    except RuntimeError:
        pass


def deep_callback_stack(n):
    return 0 if n == 0 else deep_callback_stack(n - 1)


def long_first_clause():
    """A function whose second except clause lies more than 64K bytes into the code, so the
    first clause's jump to it needs an EXTENDED_ARG prefix."""
    source = ('def program():\n    try:\n        raise_key()\n    except ValueError:\n' +
              '        x = 1\n' * 12000 + '    except KeyError:\n        pass\n')
    namespace = {'raise_key': raise_key}
    exec compile(source, 'long_first_clause.py', 'exec') in namespace
    return namespace['program']


def odd_event_arguments():
    # Event arguments the interpreter never passes: only a real (type, value, traceback) tuple,
    # or one without a traceback, can be reported.
    frame = sys._getframe()
    for arg in (None, (), (KeyError, 'v'), (1, 2, 3), (KeyError, 'v', 5), (KeyError, None, None)):
        zardel27.trace_dispatch(frame, 'exception', arg)


class Modes(unittest.TestCase):
    def test_unhandled_mode_follows_handlers_up_the_stack(self):
        unhandled = ExceptionRun(UNHANDLED)
        for program in [caught_same_frame, understood_clauses, loop_over_iterator,
                        finally_and_with_inside_handler]:
            run = ExceptionRun(UNHANDLED)
            self.assertEqual(run(program), [], 'stops at lines %r' % run.event_lines)
        # Stops once, at the raise: not again in the frames the exception passes through.
        self.assertEqual(unhandled(wrong_clause_only), [('raise_key', 'raise_key', 'KeyError')])
        # The event in the bottom frame came while its try block was still set up; the
        # exception then left it all the same.
        self.assertEqual(unhandled.exiting, 1)

    def test_extended_argument_of_a_clause_jump(self):
        program = long_first_clause()
        self.assertIn(chr(opcode.EXTENDED_ARG), program.func_code.co_code)
        self.assertEqual(ExceptionRun(UNHANDLED)(program), [])

    def test_clause_that_calls_is_followed_instead(self):
        # The clause is not read; what the exception does next decides: it is caught.
        run = ExceptionRun(UNHANDLED)
        self.assertEqual(run(called_clause), [])
        self.assertEqual(run.exiting, 0)

    def test_finally_and_with_are_not_handlers(self):
        # The exception passes them and stops once, reported with its raise frame.
        for program in (finally_only, with_only):
            self.assertEqual(ExceptionRun(UNHANDLED)(program),
                             [('raise_key', 'raise_key', 'KeyError')])

    def test_always_and_never_modes(self):
        self.assertEqual(ExceptionRun(ALWAYS)(caught_same_frame),
                         [('caught_same_frame', 'caught_same_frame', 'KeyError')])
        self.assertEqual(ExceptionRun(NEVER)(caught_same_frame), [])
        # Any other mode number behaves as "never".
        self.assertEqual(ExceptionRun(7)(wrong_clause_only), [])

    def test_event_arguments_that_are_not_an_exception(self):
        self.assertEqual(ExceptionRun(ALWAYS)(odd_event_arguments),
                         [('odd_event_arguments', 'odd_event_arguments', 'KeyError')])

    def test_always_stop_tuple_tests_the_raising_frame_for_the_class_itself(self):
        for program, stops in [
                (caught_same_frame, []),
                (caught_by_base_here, [('caught_by_base_here', 'caught_by_base_here',
                                        'KeyError')]),
                (caught_bare_here, [('caught_bare_here', 'caught_bare_here', 'KeyError')]),
                # Only the event's frame counts: the raise stops, the event in the frame with
                # the handler does not.
                (caught_only_outside, [('raise_key', 'raise_key', 'KeyError')])]:
            self.assertEqual(ExceptionRun(NEVER, always=(KeyError,))(program), stops,
                             program.__name__)
        # A class whose metaclass derives from type is a class, too.
        self.assertEqual(ExceptionRun(NEVER, always=(AnyError,))(metaclass_raised_and_named), [])
        # A class not in the tuple does not stop, and an empty tuple disables the rule.
        self.assertEqual(ExceptionRun(NEVER, always=(ValueError,))(caught_by_base_here), [])
        self.assertEqual(ExceptionRun(NEVER, always=())(caught_by_base_here), [])

    def test_never_stop_tuple(self):
        # The mode "always" comes first.
        self.assertEqual(len(ExceptionRun(ALWAYS, never=(LookupError,))(caught_same_frame)), 1)
        run = ExceptionRun(UNHANDLED, never=(LookupError,))
        self.assertEqual(run(bottom_outside_blocks), [])
        self.assertEqual(run.exiting, 0)
        run = ExceptionRun(NEVER, always=(KeyError,), never=(LookupError,))
        self.assertEqual(run(caught_by_base_here), [])

    def test_bottom_frame_rule(self):
        for mode in (NEVER, ALWAYS):
            run = ExceptionRun(mode)
            stops = run(bottom_outside_blocks)
            self.assertEqual(stops[-1], ('bottom_outside_blocks', 'raise_key', 'KeyError'))
            self.assertEqual(run.exiting, 1)
        # The unhandled mode stopped at the raise already: not again in the bottom frame.
        run = ExceptionRun(UNHANDLED)
        self.assertEqual(run(bottom_outside_blocks), [('raise_key', 'raise_key', 'KeyError')])
        self.assertEqual(run.exiting, 1)
        run = ExceptionRun(NEVER)
        self.assertEqual(run(bottom_in_for_loop), [])
        self.assertEqual(run.exiting, 0)
        # The loop is not a handler: the unhandled mode still stops, and the exception leaving
        # the bottom frame sets the exit mark.
        run = ExceptionRun(UNHANDLED)
        self.assertEqual(run(bottom_in_for_loop), [('raise_key', 'raise_key', 'KeyError')])
        self.assertEqual(run.exiting, 1)

    def test_for_loop_rule(self):
        self.assertEqual(ExceptionRun(UNHANDLED)(loop_over_iterator), [])
        self.assertEqual(ExceptionRun(ALWAYS)(loop_over_iterator),
                         [('next', 'next', 'StopIteration'),
                          ('__getitem__', '__getitem__', 'IndexError')])
        # An IndexError out of a generator is not the end of the loop.
        self.assertEqual(ExceptionRun(UNHANDLED)(loop_over_bad_generator)[0],
                         ('generator_raising_index_error', 'generator_raising_index_error',
                          'IndexError'))

    def test_generators_and_yield_inside_try(self):
        self.assertEqual(ExceptionRun(UNHANDLED)(generators),
                         [('generator_raising', 'generator_raising', 'ValueError')])

    def test_stepping_stop_comes_first(self):
        # While stepping, the exception is reported whatever the never-stop tuple says, and the
        # exit mark is not set.
        run = ExceptionRun(UNHANDLED, never=(LookupError,), command='step_into')
        stops = run(bottom_outside_blocks)
        self.assertIn(('bottom_outside_blocks', 'raise_key', 'KeyError'), stops)
        self.assertEqual(run.exiting, 0)


class RecursionLimit(unittest.TestCase):
    def test_callback_gets_more_stack_for_a_stack_overflow(self):
        limit = sys.getrecursionlimit()
        seen = []

        def callback(frame, arg):
            seen.append(sys.getrecursionlimit())
            deep_callback_stack(30)  # needs stack beyond the exhausted limit
            zardel27.stop_trace()

        stops = ExceptionRun(NEVER, always=(RuntimeError,), callback=callback)(recursion_error)
        self.assertEqual(stops[0][1:], ('recurse', 'RuntimeError'))
        self.assertEqual(seen, [limit + 50])
        self.assertEqual(sys.getrecursionlimit(), limit)


class IgnoredLocations(unittest.TestCase):
    def location(self):
        run = ExceptionRun(UNHANDLED)
        run(raise_key)
        return run.locations[0]

    def stops_with(self, *ignores):
        def setup():
            for args in ignores:
                zardel27.ignore_exception_loc(*args)
        return ExceptionRun(UNHANDLED, setup=setup)(wrong_clause_only)

    def test_ignore_and_unignore(self):
        path, line = self.location()
        self.assertEqual(os.path.basename(path), 'test_exceptions.py')
        self.assertEqual(len(self.stops_with()), 1)
        # The test uses the raise location.
        self.assertEqual(self.stops_with((path, line, 1)), [])
        self.assertEqual(len(self.stops_with((path, line + 1, 1))), 1)
        # Adding twice keeps one record: one removal ends the ignoring.
        self.assertEqual(len(self.stops_with((path, line, 1), (path, line, 1),
                                             (path, line, 0))), 1)

    def test_two_spellings_of_one_file(self):
        path, line = self.location()
        other = os.path.join(os.path.dirname(path), '.', os.path.basename(path))
        self.assertEqual(self.stops_with((other, line, 1)), [])
        # Removal compares names exactly: the record added under the other spelling stays.
        self.assertEqual(self.stops_with((other, line, 1), (path, line, 0)), [])
        self.assertEqual(len(self.stops_with((other, line, 1), (other, line, 0))), 1)

    def test_compiled_spellings_stand_for_the_source(self):
        path, line = self.location()
        for compiled in (path + 'c', path + 'o'):
            self.assertEqual(self.stops_with((compiled, line, 1)), [], compiled)
            # Removal takes the name as it was given.
            self.assertEqual(len(self.stops_with((compiled, line, 1), (compiled, line, 0))), 1)
            self.assertEqual(self.stops_with((compiled, line, 1), (path, line, 0)), [])
        # The source's and the compiled file's names make one location: one removal ends it.
        self.assertEqual(len(self.stops_with((path + 'c', line, 1), (path, line, 1),
                                             (path + 'c', line, 0))), 1)

    def test_clear_and_reset_drop_ignores(self):
        path, line = self.location()
        for clear in (zardel27.clear_exception_ignores, zardel27.reset):
            def setup():
                zardel27.ignore_exception_loc(path, line, 1)
                clear()
            self.assertEqual(len(ExceptionRun(UNHANDLED, setup=setup)(wrong_clause_only)), 1)

    def test_sre_parse_location_is_never_reported(self):
        # The library's regular-expression parser ends loops with an IndexError at one line.
        def compile_patterns():
            re.purge()
            re.compile(r'(a|b)*c[xyz]+(?P<n>\d{2,3})?')
        run = ExceptionRun(ALWAYS)
        run(compile_patterns)
        self.assertNotIn('__getitem__', [s[1] for s in run.stops])
        seen = []

        def watch(frame, event, arg):
            if event == 'exception' and frame.f_code.co_name == '__getitem__':
                seen.append((os.path.basename(frame.f_code.co_filename), frame.f_lineno))
            return watch
        sys.settrace(watch); compile_patterns(); sys.settrace(None)
        self.assertIn(('sre_parse.py', 145), seen)


# A child interpreter whose exception-class tuple is replaced by Python code that the test of the
# tuple runs: the __subclasscheck__ of a class in the tuple. The tuple's classes are its only
# holders; the strings made afterwards take the memory the freed tuple had, so a walk that went on
# through it would read their characters as class pointers.
REPLACED_WHILE_MATCHED = '''
    import sys, zardel27
    from support import init_args
    setting, replace = sys.argv[1:]
    junk = []

    class Meta(type):
        def __subclasscheck__(cls, subclass):
            if replace == 'set':
                getattr(zardel27, 'set_%s_stop_excepts' % setting)(())
            elif replace == 'init':
                zardel27.init(*init_args(exception_mode=2))
            else:
                getattr(zardel27, replace)()
            junk.extend('A' * n for n in range(100, 400) for k in range(3))
            return False

    def program():
        try:
            raise KeyError('k')
        except KeyError:
            pass

    zardel27.init(*init_args(exception_mode=2))
    getattr(zardel27, 'set_%s_stop_excepts' % setting)(
        tuple(Meta('E%d' % i, (Exception,), {}) for i in range(20)))
    zardel27.start_trace(0xFFFFFF, 0xFFFFFF); zardel27.continue_run(); program()
    zardel27.stop_trace()
    print 'ran', len(junk) > 0
'''


class SettingsReplacedWhileTested(unittest.TestCase):
    leak_check = False  # only drives child interpreters

    def test_tuple_replaced_by_a_subclass_check(self):
        for setting in ('never', 'always'):
            for replace in ('set', 'reset', 'destroy', 'init'):
                status, out, err = run_python(REPLACED_WHILE_MATCHED, [setting, replace])
                self.assertEqual((status, out), (0, 'ran True\n'), (setting, replace, err))


class MethodArguments(unittest.TestCase):
    def tearDown(self):
        zardel27.destroy()

    def test_setters_and_getters(self):
        zardel27.init(*init_args())
        zardel27.set_exception_mode(2)
        self.assertEqual(zardel27.get_exception_mode(), 2)
        zardel27.set_always_stop_excepts((KeyError, ValueError))
        zardel27.set_never_stop_excepts((IndexError,))
        self.assertEqual(zardel27.get_always_stop_excepts(), (KeyError, ValueError))
        self.assertEqual(zardel27.get_never_stop_excepts(), (IndexError,))
        zardel27.set_always_stop_excepts(())
        self.assertEqual(zardel27.get_always_stop_excepts(), ())
        # reset drops the tuples and keeps the mode.
        zardel27.reset()
        self.assertEqual(zardel27.get_never_stop_excepts(), ())
        self.assertEqual(zardel27.get_exception_mode(), 2)
        zardel27.set_exception_mode(0)

    def test_bad_arguments(self):
        zardel27.init(*init_args())
        for call, args in [(zardel27.set_exception_mode, ('2',)),
                           (zardel27.set_always_stop_excepts, ([KeyError],)),
                           (zardel27.set_never_stop_excepts, (KeyError,)),
                           (zardel27.get_always_stop_excepts, (1,)),
                           (zardel27.ignore_exception_loc, (1, 2, 1)),
                           (zardel27.ignore_exception_loc, ('f.py', 'x', 1)),
                           (zardel27.ignore_exception_loc, ('f.py', 1))]:
            self.assertRaises(TypeError, call, *args)

    def test_ignores_need_init(self):
        status, out, err = run_python('''
            import zardel27
            for call in (lambda: zardel27.ignore_exception_loc('f.py', 1, 1),
                         zardel27.clear_exception_ignores):
                try:
                    call()
                except RuntimeError:
                    print 'refused'
            print zardel27.get_exception_mode(), zardel27.get_always_stop_excepts()
        ''')
        self.assertEqual((status, out.split()), (0, ['refused', 'refused', '0', '()']), err)


if __name__ == '__main__':
    unittest.main()
