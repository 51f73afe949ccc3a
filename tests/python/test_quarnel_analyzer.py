"""The analyzer module and object: creation and binding, the logical list, IndexForLineno, the
active-method count, the debug trace and teardown."""
import ctypes
import difflib
import gc
import inspect
import re
import sys
import textwrap
import time
import types
import unittest
import weakref

import logicalline
import quarnel_impl
import _quarnel_testhooks as hooks
from analyzer_support import (ModuleAnalysis, TraceSink, analyzer_args, line, make_logical_lines,
                              module_source)


def new_analyzer(**overrides):
    return quarnel_impl.CreateQuarnelImpl(*analyzer_args(**overrides))


def fake_line_module(table=None, **attributes):
    """A module whose GetDirectLogicalLineFunctionTable returns `table` (default: the real
    table), with the real kind attributes unless overridden."""
    module = types.ModuleType('fake_logicalline')
    for name in ('kClassAttribKind', 'kFunctionAttribKind', 'kGenericAttribKind',
                 'kImportedAttribKind'):
        setattr(module, name, getattr(logicalline, name))
    module.GetDirectLogicalLineFunctionTable = (
        lambda: logicalline.GetDirectLogicalLineFunctionTable() if table is None else table)
    for name, value in attributes.items():
        if value is None:
            delattr(module, name)
        else:
            setattr(module, name, value)
    return module


def table_with_null_entry(index):
    """A CObject for a copy of the real table with one entry set to null, and the buffer that
    must outlive the binding step."""
    as_ptr = ctypes.pythonapi.PyCObject_AsVoidPtr
    as_ptr.restype, as_ptr.argtypes = ctypes.c_void_p, [ctypes.py_object]
    from_ptr = ctypes.pythonapi.PyCObject_FromVoidPtr
    from_ptr.restype, from_ptr.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_void_p]
    real = (ctypes.c_void_p * 12).from_address(
        as_ptr(logicalline.GetDirectLogicalLineFunctionTable()))
    buffer = (ctypes.c_void_p * 12)(*real)
    buffer[index] = None
    return from_ptr(ctypes.addressof(buffer), None), buffer


class Creation(unittest.TestCase):
    def test_argument_types(self):
        for overrides in (dict(mod_analysis=object()), dict(name_pool=[]),
                          dict(logical_line_module='logicalline')):
            self.assertRaises(TypeError, quarnel_impl.CreateQuarnelImpl, *analyzer_args(**overrides))
        self.assertRaises(TypeError, quarnel_impl.CreateQuarnelImpl, *analyzer_args()[:5])

    def test_initial_state(self):
        analyzer = new_analyzer()
        self.assertEqual((analyzer.fActiveMethodCount, analyzer.fParsedCount,
                          analyzer.fActiveEditLineno), (0, 0, -1))
        self.assertEqual((analyzer.fFromFutureFlags, analyzer.fParseErrors), ({}, {}))
        self.assertIs(analyzer.fFromFutureFlags, analyzer.fFromFutureFlags)
        self.assertIs(analyzer.fParseErrors, analyzer.fParseErrors)
        self.assertIsNot(analyzer.fFromFutureFlags, analyzer.fParseErrors)

    def test_attributes_are_read_only(self):
        analyzer = new_analyzer()
        for name in ('fActiveMethodCount', 'fParsedCount', 'fActiveEditLineno',
                     'fFromFutureFlags', 'fParseErrors', 'fLogicalList'):
            self.assertRaises((AttributeError, TypeError), setattr, analyzer, name, 1)

    def test_failed_binding_releases_what_was_taken(self):
        # Each case fails after the analysis, pool and factory were taken; nothing may stay held.
        null_table, buffer = table_with_null_entry(7)
        cases = [
            (dict(xformer=object()), AttributeError, None),
            (dict(logical_line_module=types.ModuleType('empty')), AttributeError, None),
            (dict(logical_line_module=fake_line_module(table='not a CObject')), TypeError,
             "Bad logical line function table"),
            (dict(logical_line_module=fake_line_module(table=null_table)), TypeError,
             "Bad logical line function table"),
            (dict(logical_line_module=fake_line_module(kImportedAttribKind=None)),
             AttributeError, None),
        ]
        for overrides, error, message in cases:
            analysis, pool = ModuleAnalysis(), {}
            before = sys.getrefcount(analysis), sys.getrefcount(pool)
            args = analyzer_args(mod_analysis=analysis, name_pool=pool, **overrides)
            with self.assertRaises(error) as cm:
                quarnel_impl.CreateQuarnelImpl(*args)
            if message:
                self.assertEqual(str(cm.exception), message)
            del args, cm
            self.assertEqual((sys.getrefcount(analysis), sys.getrefcount(pool)), before)

    def test_table_failure_in_the_environment_propagates(self):
        def broken():
            raise KeyError('no table')
        module = fake_line_module()
        module.GetDirectLogicalLineFunctionTable = broken
        self.assertRaises(KeyError, new_analyzer, logical_line_module=module)

    def test_a_copied_table_binds_like_the_original(self):
        analyzer = new_analyzer(logical_line_module=fake_line_module())
        analyzer.SetLogicalList([line(1), line(5)])
        self.assertEqual(analyzer.IndexForLineno(5), 1)

    def test_docstrings(self):
        self.assertEqual(quarnel_impl.CreateQuarnelImpl.__doc__.splitlines(), [
            "Create a new python source analyzer.",
            "mod_analysis: analysis.CQuarnelAnalysis -- analysis of module",
            "grammar -- Grammar used to parse lines",
            "xformer -- Node transformer used to convert to AST",
            "name_pool: PyDict -- dictionary containing shared strings"])
        self.assertEqual(quarnel_impl.IsDottedName.__doc__,
                         "Returns whether name is a valid Python dotted name with no spaces")
        analyzer = new_analyzer()
        docs = [(name, getattr(analyzer, name).__doc__) for name in (
            'SetLogicalList', 'SetActiveEditLineno', 'ClearCache', 'IndexForLineno',
            'StartActiveMethod', 'FinishActiveMethod', 'SetTracer', 'destroy')]
        self.assertEqual(docs, [
            ('SetLogicalList', "Set the list of logicals in the module"),
            ('SetActiveEditLineno', "Set the lineno being actively editted"),
            ('ClearCache', "Clears all entries from the source info cache"),
            ('IndexForLineno',
             "Returns index of logical in logical list which includes the given line #"),
            ('StartActiveMethod', "Add 1 to the active method count"),
            ('FinishActiveMethod', "Subtract 1 to the active method count"),
            ('SetTracer', "Set tracer object"),
            ('destroy', "Destroy method to clear circular refs. ")])


class DottedNames(unittest.TestCase):
    def test_cases(self):
        class Str(str):
            pass
        accepted = ['a', '_', '_a1.b2', 'os.path', 'a..b', 'a.', 'Z9_', Str('x.y')]
        refused = ['', 'a b', ' a', '1a', '.a', 'a-b', 'a\xe9', '\xe9', u'abc', None, 3, ['a']]
        self.assertEqual([quarnel_impl.IsDottedName(n) for n in accepted], [True] * len(accepted))
        self.assertEqual([quarnel_impl.IsDottedName(n) for n in refused], [False] * len(refused))
        self.assertIs(quarnel_impl.IsDottedName('a'), True)
        self.assertRaises(TypeError, quarnel_impl.IsDottedName)
        self.assertRaises(TypeError, quarnel_impl.IsDottedName, 'a', 'b')


class LogicalList(unittest.TestCase):
    def setUp(self):
        self.analyzer = new_analyzer()

    def assertNoList(self):
        with self.assertRaises(AssertionError) as cm:
            self.analyzer.IndexForLineno(1)
        self.assertEqual(str(cm.exception), "logical_list is not a list instance")

    def test_counts_parsed_lines(self):
        lines = [line(1, parsed=True), line(2), line(3, parsed=True)]
        self.assertIsNone(self.analyzer.SetLogicalList(lines))
        self.assertEqual(self.analyzer.fParsedCount, 2)
        self.analyzer.SetLogicalList([line(1)])
        self.assertEqual(self.analyzer.fParsedCount, 0)

    def test_none_keeps_the_count_and_drops_the_list(self):
        self.analyzer.SetLogicalList([line(1, parsed=True)])
        self.analyzer.SetLogicalList(None)
        self.assertEqual(self.analyzer.fParsedCount, 1)
        self.assertNoList()

    def test_bad_lists_leave_no_list(self):
        cases = [
            ((line(1),), "logical_list must be None or a Python list object"),
            ('abc', "logical_list must be None or a Python list object"),
            ([line(1), 'not a line', line(3)], "All items in the logical_list must be logical lines"),
            ([line(1), None], "All items in the logical_list must be logical lines"),
        ]
        for bad, message in cases:
            self.analyzer.SetLogicalList([line(1, parsed=True), line(2, parsed=True)])
            with self.assertRaises(TypeError) as cm:
                self.analyzer.SetLogicalList(bad)
            self.assertEqual(str(cm.exception), message)
            self.assertNoList()
            self.assertEqual(self.analyzer.fParsedCount, 2)
        self.assertRaises(TypeError, self.analyzer.SetLogicalList)

    def test_failed_list_is_released(self):
        bad = [line(1), 3]
        before = sys.getrefcount(bad)
        self.assertRaises(TypeError, self.analyzer.SetLogicalList, bad)
        self.assertEqual(sys.getrefcount(bad), before)

    def test_list_is_kept_not_copied(self):
        lines = [line(1)]
        self.analyzer.SetLogicalList(lines)
        lines.append(line(10))
        self.assertEqual(self.analyzer.IndexForLineno(10), 1)

    def test_list_subclass_accepted_but_not_searched(self):
        class Lines(list):
            pass
        self.analyzer.SetLogicalList(Lines([line(1, parsed=True)]))
        self.assertEqual(self.analyzer.fParsedCount, 1)
        self.assertNoList()

    def test_lines_of_another_type_are_refused(self):
        class FakeLine(object):
            fLineno = 1
        self.assertRaises(TypeError, self.analyzer.SetLogicalList, [FakeLine()])

    def test_set_active_edit_lineno(self):
        for value in (12, -5, 0):
            self.assertIsNone(self.analyzer.SetActiveEditLineno(value))
            self.assertEqual(self.analyzer.fActiveEditLineno, value)
        self.assertRaises(TypeError, self.analyzer.SetActiveEditLineno, '3')
        self.assertRaises(OverflowError, self.analyzer.SetActiveEditLineno, 2 ** 40)


def linear_index(spans, lineno):
    """The index IndexForLineno must give, by looking at every line in turn: the first line that
    spans lineno or starts after it; the list length when there is none."""
    for index, (first, count) in enumerate(spans):
        if first > lineno or (count and first <= lineno <= first + count - 1):
            return index
    return len(spans)


class IndexForLineno(unittest.TestCase):
    def search(self, lines, linenos):
        analyzer = new_analyzer()
        analyzer.SetLogicalList(lines)
        return [analyzer.IndexForLineno(n) for n in linenos]

    def test_empty_list(self):
        self.assertEqual(self.search([], [-1, 0, 1, 1000]), [0, 0, 0, 0])

    def test_spans_gaps_and_ends(self):
        lines = [line(3, 1), line(5, 3), line(10, 1), line(11, 2)]
        linenos = range(0, 16) + [-2 ** 31, 2 ** 31 - 1]
        self.assertEqual(self.search(lines, linenos),
                         [0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4, 0, 4])

    def test_zero_line_count_never_matches(self):
        lines = [line(1), line(4, 0), line(4, 1), line(8, 0)]
        self.assertEqual(self.search(lines, [4, 8, 9]), [2, 4, 4])
        self.assertEqual(self.search([line(4, 0)], [3, 4, 5]), [0, 1, 1])

    def test_line_at_the_top_of_the_int_range(self):
        self.assertEqual(self.search([line(2 ** 31 - 1, 5)], [2 ** 31 - 1, 0]), [0, 0])

    def test_item_replaced_after_set_is_an_internal_error(self):
        analyzer = new_analyzer()
        lines = [line(1), line(2), line(3)]
        analyzer.SetLogicalList(lines)
        lines[1] = 'not a line'
        self.assertRaises(SystemError, analyzer.IndexForLineno, 2)

    def test_argument(self):
        analyzer = new_analyzer()
        analyzer.SetLogicalList([])
        self.assertRaises(TypeError, analyzer.IndexForLineno, 'x')
        self.assertRaises(TypeError, analyzer.IndexForLineno)

    # Lines of real modules, and the answers of the linear search, made once per run.
    _real = None

    @classmethod
    def real_modules(cls):
        if cls._real is None:
            cls._real = []
            for module in (difflib, inspect, textwrap, re):
                lines = make_logical_lines(module_source(module))
                spans = [(l.fLineno, l.fLineCount) for l in lines]
                last = spans[-1][0] + spans[-1][1] + 2
                expected = [linear_index(spans, n) for n in range(-1, last)]
                cls._real.append((module.__name__, lines, expected))
        return cls._real

    def test_every_line_number_of_real_modules(self):
        for name, lines, expected in self.real_modules():
            self.assertGreater(len(lines), 50, name)
            found = self.search(lines, range(-1, len(expected) - 1))
            self.assertEqual(found, expected, name)


class ActiveMethodCount(unittest.TestCase):
    """Every counted method puts the count back as it found it, on success and on failure."""

    def calls(self, analyzer):
        lines = [line(1), line(4)]
        return [
            lambda: analyzer.SetLogicalList(lines),
            lambda: analyzer.SetLogicalList(None),
            lambda: analyzer.SetLogicalList((1,)),
            lambda: analyzer.SetLogicalList([line(1), 1]),
            lambda: analyzer.SetLogicalList(),
            lambda: analyzer.IndexForLineno(3),
            lambda: analyzer.IndexForLineno('x'),
            lambda: analyzer.ClearCache(),
            lambda: analyzer.ClearCache(1),
        ]

    def test_count_restored(self):
        analyzer = new_analyzer()
        for start in (0, 2):
            while analyzer.fActiveMethodCount < start:
                analyzer.StartActiveMethod()
            for call in self.calls(analyzer):
                try:
                    call()
                except (TypeError, AssertionError):
                    pass
                self.assertEqual(analyzer.fActiveMethodCount, start)
            # IndexForLineno without a list fails too.
            analyzer.SetLogicalList(None)
            self.assertRaises(AssertionError, analyzer.IndexForLineno, 1)
            self.assertEqual(analyzer.fActiveMethodCount, start)

    def test_start_and_finish(self):
        analyzer = new_analyzer()
        analyzer.StartActiveMethod()
        analyzer.StartActiveMethod()
        self.assertEqual(analyzer.fActiveMethodCount, 2)
        analyzer.FinishActiveMethod()
        self.assertEqual(analyzer.fActiveMethodCount, 1)
        self.assertRaises(TypeError, analyzer.StartActiveMethod, 1)
        self.assertRaises(TypeError, analyzer.FinishActiveMethod, 1)
        self.assertEqual(analyzer.fActiveMethodCount, 1)

    def test_count_is_raised_while_set_logical_list_runs(self):
        # Dropping the previous list runs its __del__ inside SetLogicalList.
        analyzer = new_analyzer()
        seen = []

        class Lines(list):
            def __del__(self):
                seen.append(analyzer.fActiveMethodCount)
        analyzer.SetLogicalList(Lines())
        analyzer.SetLogicalList(None)
        self.assertEqual((seen, analyzer.fActiveMethodCount), ([1], 0))

    def test_count_is_raised_while_clear_cache_runs(self):
        # The last reference to a name-map key goes when the cache is cleared.
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
        seen = []

        class Name:
            def __del__(self):
                seen.append(analyzer.fActiveMethodCount)
        hooks.cache_add_line(analyzer, line(names=[Name()]))
        analyzer.ClearCache()
        self.assertEqual((seen, analyzer.fActiveMethodCount), ([1], 0))

    def test_destroy_inside_a_counted_method(self):
        analyzer = new_analyzer()

        class Lines(list):
            def __del__(self):
                analyzer.destroy()
        analyzer.SetLogicalList(Lines())
        analyzer.SetLogicalList(None)
        self.assertEqual(analyzer.fActiveMethodCount, 0)
        self.assertIsNone(analyzer.fFromFutureFlags)


class Trace(unittest.TestCase):
    def setUp(self):
        self.analyzer = hooks.CreateQuarnelImpl(*analyzer_args())

    def test_three_writes(self):
        sink = TraceSink()
        self.analyzer.SetTracer(sink)
        before = time.time()
        hooks.trace_lineno(self.analyzer, 42)
        after = time.time()
        self.assertEqual(len(sink.writes), 3)
        analysis_repr, clock, message = sink.writes
        self.assertEqual(analysis_repr, '<ModuleAnalysis stand-in>')
        match = re.match(r'^ get_time\(\) = (\d+\.\d{3})\n$', clock)
        self.assertTrue(match, clock)
        self.assertTrue(before - 0.01 <= float(match.group(1)) <= after + 0.01)
        self.assertEqual(message, "Parsing line starting at lineno 42\n")

    def test_message_cut_to_the_buffer(self):
        sink = TraceSink()
        self.analyzer.SetTracer(sink)
        hooks.trace(self.analyzer, 'x' * 2000)
        hooks.trace(self.analyzer, 'y' * 499)
        self.assertEqual([len(w) for w in sink.writes[2::3]], [499, 499])

    def test_replacing_and_switching_off(self):
        first, second = TraceSink(), TraceSink()
        self.analyzer.SetTracer(first)
        self.analyzer.SetTracer(second)
        hooks.trace(self.analyzer, 'a')
        self.analyzer.SetTracer(None)
        hooks.trace(self.analyzer, 'b')
        self.assertEqual((len(first.writes), len(second.writes)), (0, 3))
        self.assertRaises(TypeError, self.analyzer.SetTracer)

    def test_failing_write_fails_the_trace(self):
        for fail_at in range(3):
            sink = TraceSink(fail_at=fail_at)
            self.analyzer.SetTracer(sink)
            self.assertRaises(IOError, hooks.trace, self.analyzer, 'msg')
            self.assertEqual(len(sink.writes), fail_at)
        self.analyzer.SetTracer(object())
        self.assertRaises(AttributeError, hooks.trace, self.analyzer, 'msg')

    def test_failing_repr_fails_the_trace(self):
        class Analysis:
            def __repr__(self):
                raise ValueError('no repr')
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=Analysis()))
        sink = TraceSink()
        analyzer.SetTracer(sink)
        self.assertRaises(ValueError, hooks.trace, analyzer, 'msg')
        self.assertEqual(sink.writes, [])

    def test_pending_error_survives_the_trace(self):
        sink = TraceSink()
        self.analyzer.SetTracer(sink)
        pending = KeyError('pending')
        self.assertIs(hooks.trace(self.analyzer, 'msg', pending), pending)
        self.assertEqual(len(sink.writes), 3)

    def test_sink_that_drops_itself_or_the_analyzer(self):
        analyzer = self.analyzer
        sink = TraceSink(on_write=lambda text: analyzer.SetTracer(None))
        analyzer.SetTracer(sink)
        del sink
        hooks.trace(analyzer, 'msg')
        sink = TraceSink(on_write=lambda text: analyzer.destroy())
        analyzer.SetTracer(sink)
        hooks.trace(analyzer, 'msg')
        self.assertEqual(len(sink.writes), 3)
        self.assertEqual(sink.writes[0], '<ModuleAnalysis stand-in>')


class Destroy(unittest.TestCase):
    def test_releases_everything(self):
        analysis, pool, lines, sink = ModuleAnalysis(), {}, [line(1, parsed=True)], TraceSink()
        held = [analysis, pool, lines, sink, logicalline]
        before = [sys.getrefcount(o) for o in held]
        analyzer = new_analyzer(mod_analysis=analysis, name_pool=pool)
        analyzer.SetLogicalList(lines)
        analyzer.SetTracer(sink)
        analyzer.SetActiveEditLineno(7)
        analyzer.StartActiveMethod()
        self.assertTrue(all(sys.getrefcount(o) > b for o, b in zip(held, before)))
        self.assertIsNone(analyzer.destroy())
        self.assertEqual([sys.getrefcount(o) for o in held], before)
        self.assertEqual((analyzer.fParsedCount, analyzer.fActiveMethodCount,
                          analyzer.fActiveEditLineno), (0, 0, 7))

    def test_calls_after_destroy(self):
        analyzer = new_analyzer()
        analyzer.SetLogicalList([line(1)])
        analyzer.destroy()
        analyzer.destroy()
        with self.assertRaises(AssertionError) as cm:
            analyzer.IndexForLineno(1)
        self.assertEqual(str(cm.exception), "logical_list is not a list instance")
        with self.assertRaises(TypeError) as cm:
            analyzer.SetLogicalList([line(1)])
        self.assertEqual(str(cm.exception), "All items in the logical_list must be logical lines")
        with self.assertRaises(TypeError) as cm:
            analyzer.SetLogicalList([])
        self.assertEqual(str(cm.exception), "Incorrect type of StdVisitors constructor")
        self.assertRaises(AssertionError, analyzer.IndexForLineno, 1)
        self.assertIsNone(analyzer.SetLogicalList(None))
        self.assertIsNone(analyzer.ClearCache())
        self.assertIsNone(analyzer.SetActiveEditLineno(3))
        self.assertEqual((analyzer.fFromFutureFlags, analyzer.fParseErrors), (None, None))
        self.assertEqual(analyzer.fActiveMethodCount, 0)

    def test_trace_after_destroy(self):
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
        analyzer.destroy()
        sink = TraceSink()
        analyzer.SetTracer(sink)
        hooks.trace(analyzer, 'msg')
        self.assertEqual(sink.writes[0], '<NULL>')
        self.assertRaises(SystemError, hooks.intern, analyzer, 'name')

    def test_cycle_is_collected_without_destroy(self):
        analysis = ModuleAnalysis()
        analyzer = new_analyzer(mod_analysis=analysis)
        analysis.analyzer = analyzer
        lines = [line(1)]
        lines[0].AddName(('x', analysis, 'x', None))
        analyzer.SetLogicalList(lines)
        analyzer.SetTracer(analysis)
        ref = weakref.ref(analysis)
        del analysis, analyzer, lines
        gc.collect()
        self.assertIsNone(ref())


class SharedHelpers(unittest.TestCase):
    def test_intern_returns_the_pooled_string(self):
        pool = {}
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(name_pool=pool))
        first = hooks.intern(analyzer, ''.join(['a', '.b']))
        second = hooks.intern(analyzer, ''.join(['a.', 'b']))
        self.assertIs(first, second)
        self.assertEqual(pool, {'a.b': 'a.b'})
        self.assertIs(pool.keys()[0], first)

    def test_get_time_has_millisecond_resolution(self):
        now = hooks.get_time()
        self.assertAlmostEqual(now, time.time(), delta=1.0)
        self.assertAlmostEqual(now * 1000, round(now * 1000), delta=1e-3)


if __name__ == '__main__':
    unittest.main()
