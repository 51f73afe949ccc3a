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
from vornide.analysis import AnalysisFactory, make_attrib_ref
from vornide.grammar import Grammar
from vornide.transformer import NodeTransformer
from analyzer_support import (ModuleAnalysis, TraceSink, analyzer_args, line, make_logical_lines,
                              module_source)

NO_LIST = "logical_list is not a list instance"


def new_analyzer(**overrides):
    return quarnel_impl.CreateQuarnelImpl(*analyzer_args(**overrides))


def fake_line_module(table=None, drop=None):
    """A module serving `table` (default: the real one) and the real kinds, less `drop`."""
    module = types.ModuleType('fake_logicalline')
    for name in ('kClassAttribKind', 'kFunctionAttribKind', 'kGenericAttribKind',
                 'kImportedAttribKind'):
        if name != drop:
            setattr(module, name, getattr(logicalline, name))
    module.GetDirectLogicalLineFunctionTable = (
        lambda: logicalline.GetDirectLogicalLineFunctionTable() if table is None else table)
    return module


def table_with_null_entry(index):
    """A CObject for a copy of the real table with one entry null, and the buffer behind it."""
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
    def test_initial_state(self):
        analyzer = new_analyzer()
        self.assertEqual((analyzer.fActiveMethodCount, analyzer.fParsedCount,
                          analyzer.fActiveEditLineno), (0, 0, -1))
        self.assertEqual((analyzer.fFromFutureFlags, analyzer.fParseErrors), ({}, {}))
        self.assertIs(analyzer.fFromFutureFlags, analyzer.fFromFutureFlags)
        self.assertRaises((AttributeError, TypeError), setattr, analyzer, 'fParsedCount', 1)
        for overrides in (dict(mod_analysis=object()), dict(name_pool=[]),
                          dict(logical_line_module='logicalline')):
            self.assertRaises(TypeError, new_analyzer, **overrides)

    def test_failed_binding_releases_what_was_taken(self):
        null_table, buffer = table_with_null_entry(7)
        cases = [
            (dict(xformer=object()), AttributeError, None),
            (dict(logical_line_module=types.ModuleType('empty')), AttributeError, None),
            (dict(logical_line_module=fake_line_module('not a CObject')), TypeError,
             "Bad logical line function table"),
            (dict(logical_line_module=fake_line_module(null_table)), TypeError,
             "Bad logical line function table"),
            (dict(logical_line_module=fake_line_module(drop='kImportedAttribKind')),
             AttributeError, None),
        ]
        for overrides, error, message in cases:
            analysis, pool = ModuleAnalysis(), {}
            before = sys.getrefcount(analysis), sys.getrefcount(pool)
            with self.assertRaises(error) as cm:
                new_analyzer(mod_analysis=analysis, name_pool=pool, **overrides)
            if message:
                self.assertEqual(str(cm.exception), message)
            del cm
            sys.exc_clear()  # the traceback holds the arguments
            self.assertEqual((sys.getrefcount(analysis), sys.getrefcount(pool)), before)
        # A copy of the real table binds like the original.
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
        analyzer = new_analyzer()
        self.assertEqual(dict((name, getattr(analyzer, name).__doc__) for name in (
            'SetLogicalList', 'SetActiveEditLineno', 'IndexForLineno', 'FinishActiveMethod',
            'destroy')), {
            'SetLogicalList': "Set the list of logicals in the module",
            'SetActiveEditLineno': "Set the lineno being actively editted",
            'IndexForLineno':
                "Returns index of logical in logical list which includes the given line #",
            'FinishActiveMethod': "Subtract 1 to the active method count",
            'destroy': "Destroy method to clear circular refs. "})

    def test_is_dotted_name(self):
        class Str(str):
            pass
        accepted = ['a', '_', '_a1.b2', 'os.path', 'a..b', 'a.', Str('x.y')]
        refused = ['', 'a b', '1a', '.a', 'a-b', 'a\xe9', u'abc', None, 3]
        self.assertEqual([quarnel_impl.IsDottedName(n) for n in accepted], [True] * len(accepted))
        self.assertEqual([quarnel_impl.IsDottedName(n) for n in refused], [False] * len(refused))
        self.assertRaises(TypeError, quarnel_impl.IsDottedName, 'a', 'b')


class LogicalList(unittest.TestCase):
    def setUp(self):
        self.analyzer = new_analyzer()

    def assertNoList(self):
        with self.assertRaises(AssertionError) as cm:
            self.analyzer.IndexForLineno(1)
        self.assertEqual(str(cm.exception), NO_LIST)

    def test_counts_parsed_lines_and_none_keeps_the_count(self):
        lines = [line(1, parsed=True), line(2), line(3, parsed=True)]
        self.assertIsNone(self.analyzer.SetLogicalList(lines))
        self.assertEqual(self.analyzer.fParsedCount, 2)
        self.analyzer.SetLogicalList(None)
        self.assertEqual(self.analyzer.fParsedCount, 2)
        self.assertNoList()

    def test_bad_lists_leave_no_list(self):
        not_list = "logical_list must be None or a Python list object"
        bad_item = "All items in the logical_list must be logical lines"
        for bad, message in [((line(1),), not_list), ('abc', not_list),
                             ([line(1), 'not a line', line(3)], bad_item), ([line(1), None], bad_item)]:
            self.analyzer.SetLogicalList([line(1, parsed=True)])
            before = sys.getrefcount(bad)
            with self.assertRaises(TypeError) as cm:
                self.analyzer.SetLogicalList(bad)
            self.assertEqual(str(cm.exception), message)
            del cm
            self.assertEqual(sys.getrefcount(bad), before)
            self.assertNoList()
            self.assertEqual(self.analyzer.fParsedCount, 1)

    def test_list_is_kept_not_copied_and_subclasses_are_not_searched(self):
        lines = [line(1)]
        self.analyzer.SetLogicalList(lines)
        lines.append(line(10))
        self.assertEqual(self.analyzer.IndexForLineno(10), 1)

        class Lines(list):
            pass
        self.analyzer.SetLogicalList(Lines([line(1, parsed=True)]))
        self.assertEqual(self.analyzer.fParsedCount, 1)
        self.assertNoList()


def linear_answers(spans, lineno):
    """The indexes IndexForLineno may give, by looking at every line in turn: those of the lines
    that span lineno (several when statements share a physical line, as in "if x: break"), else
    that of the first line starting after it, else the list length."""
    spanning = [i for i, (first, count) in enumerate(spans)
                if count and first <= lineno <= first + count - 1]
    if spanning:
        return spanning
    return [next((i for i, (first, _) in enumerate(spans) if first > lineno), len(spans))]


class IndexForLineno(unittest.TestCase):
    def search(self, lines, linenos, **overrides):
        analyzer = new_analyzer(**overrides)
        analyzer.SetLogicalList(lines)
        return [analyzer.IndexForLineno(n) for n in linenos]

    def test_edges(self):
        self.assertEqual(self.search([], [-1, 0, 1000]), [0, 0, 0])
        lines = [line(3, 1), line(5, 3), line(10, 1), line(11, 2)]
        self.assertEqual(self.search(lines, range(0, 16) + [-2 ** 31, 2 ** 31 - 1]),
                         [0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 3, 3, 4, 4, 4, 0, 4])
        # A line of no physical lines never matches.
        self.assertEqual(self.search([line(1), line(4, 0), line(4, 1), line(8, 0)], [4, 8, 9]),
                         [2, 4, 4])
        self.assertEqual(self.search([line(2 ** 31 - 1, 5)], [2 ** 31 - 1]), [0])

    def test_item_replaced_after_set_is_an_internal_error(self):
        analyzer = new_analyzer()
        lines = [line(1), line(2), line(3)]
        analyzer.SetLogicalList(lines)
        lines[1] = 'not a line'
        self.assertRaises(SystemError, analyzer.IndexForLineno, 2)

    _real = None  # (name, lines, answers of the linear search), made once per run

    @classmethod
    def real_modules(cls):
        if cls._real is None:
            cls._real = []
            for module in (difflib, inspect, textwrap, re):
                lines = make_logical_lines(module_source(module))
                spans = [(l.fLineno, l.fLineCount) for l in lines]
                last = spans[-1][0] + spans[-1][1] + 2
                expected = [linear_answers(spans, n) for n in range(-1, last)]
                cls._real.append((module.__name__, lines, expected))
        return cls._real

    def test_every_line_number_of_real_modules(self):
        # The analyzer is made with the environment's own objects, as the IDE makes it.
        factory = AnalysisFactory(logicalline_module=logicalline)
        for name, lines, expected in self.real_modules():
            self.assertGreater(len(lines), 50, name)
            environment = dict(mod_analysis=factory.FindAnalysisByName(name, None),
                               grammar=Grammar(), xformer=NodeTransformer(),
                               attrib_ref_factory=make_attrib_ref)
            found = self.search(lines, range(-1, len(expected) - 1), **environment)
            wrong = [(n - 1, index, answers) for n, (index, answers)
                     in enumerate(zip(found, expected)) if index not in answers]
            self.assertEqual(wrong, [], name)


class ActiveMethodCount(unittest.TestCase):
    """Every counted method adds 1 on entry and takes 1 off on every exit, success or failure."""

    def test_count_restored(self):
        analyzer = new_analyzer()
        calls = [lambda: analyzer.SetLogicalList([line(1), line(4)]),
                 lambda: analyzer.IndexForLineno(3),
                 lambda: analyzer.SetLogicalList(None),
                 lambda: analyzer.IndexForLineno(3),
                 lambda: analyzer.SetLogicalList((1,)),
                 lambda: analyzer.SetLogicalList([line(1), 1]),
                 lambda: analyzer.SetLogicalList(),
                 lambda: analyzer.IndexForLineno('x'),
                 lambda: analyzer.ClearCache(),
                 lambda: analyzer.ClearCache(1)]
        for start in (0, 2):
            while analyzer.fActiveMethodCount < start:
                analyzer.StartActiveMethod()
            for call in calls:
                try:
                    call()
                except (TypeError, AssertionError):
                    pass
                self.assertEqual(analyzer.fActiveMethodCount, start)
        analyzer.FinishActiveMethod()
        self.assertEqual(analyzer.fActiveMethodCount, 1)

    def test_count_is_raised_while_methods_run(self):
        # Dropping the previous list, and the cache's last reference to a name, run __del__
        # inside the method.
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
        seen = []

        class Lines(list):
            def __del__(self):
                seen.append(analyzer.fActiveMethodCount)

        class Name:
            def __del__(self):
                seen.append(analyzer.fActiveMethodCount)
        analyzer.SetLogicalList(Lines())
        analyzer.SetLogicalList(None)
        hooks.cache_add_line(analyzer, line(names=[Name()]))
        analyzer.ClearCache()
        self.assertEqual((seen, analyzer.fActiveMethodCount), ([1, 1], 0))

    def test_bracket_opened_inside_a_counted_method_survives_it(self):
        # The Python side may start its own bracket from a callback and finish it later.
        analyzer = new_analyzer()

        class Lines(list):
            def __del__(self):
                analyzer.StartActiveMethod()
        analyzer.SetLogicalList(Lines())
        analyzer.SetLogicalList(None)
        self.assertEqual(analyzer.fActiveMethodCount, 1)
        analyzer.FinishActiveMethod()
        self.assertEqual(analyzer.fActiveMethodCount, 0)

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
        self.sink = TraceSink()
        self.analyzer.SetTracer(self.sink)

    def test_three_writes(self):
        before = time.time()
        hooks.trace_lineno(self.analyzer, 42)
        after = time.time()
        analysis_repr, clock, message = self.sink.writes
        self.assertEqual(analysis_repr, '<ModuleAnalysis stand-in>')
        match = re.match(r'^ get_time\(\) = (\d+\.\d{3})\n$', clock)
        self.assertTrue(before - 0.01 <= float(match.group(1)) <= after + 0.01, clock)
        self.assertEqual(message, "Parsing line starting at lineno 42\n")
        # The message buffer is 500 bytes.
        hooks.trace(self.analyzer, 'x' * 2000)
        self.assertEqual(self.sink.writes[5], 'x' * 499)

    def test_replacing_and_switching_off(self):
        second = TraceSink()
        self.analyzer.SetTracer(second)
        hooks.trace(self.analyzer, 'a')
        self.analyzer.SetTracer(None)
        hooks.trace(self.analyzer, 'b')
        self.assertEqual((len(self.sink.writes), len(second.writes)), (0, 3))

    def test_failures(self):
        for fail_at in range(3):
            sink = TraceSink(fail_at=fail_at)
            self.analyzer.SetTracer(sink)
            self.assertRaises(IOError, hooks.trace, self.analyzer, 'msg')
            self.assertEqual(len(sink.writes), fail_at)

        class Analysis:
            def __repr__(self):
                raise ValueError('no repr')
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=Analysis()))
        analyzer.SetTracer(self.sink)
        self.assertRaises(ValueError, hooks.trace, analyzer, 'msg')
        self.assertEqual(self.sink.writes, [])

    def test_pending_error_survives_the_trace(self):
        pending = KeyError('pending')
        self.assertIs(hooks.trace(self.analyzer, 'msg', pending), pending)
        self.assertEqual(len(self.sink.writes), 3)

    def test_sink_that_drops_itself_or_the_analyzer(self):
        analyzer = self.analyzer
        analyzer.SetTracer(TraceSink(on_write=lambda text: analyzer.SetTracer(None)))
        hooks.trace(analyzer, 'msg')
        sink = TraceSink(on_write=lambda text: analyzer.destroy())
        analyzer.SetTracer(sink)
        hooks.trace(analyzer, 'msg')
        self.assertEqual(sink.writes[0], '<ModuleAnalysis stand-in>')
        self.assertEqual(len(sink.writes), 3)


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
        self.assertIsNone(analyzer.destroy())
        self.assertEqual([sys.getrefcount(o) for o in held], before)
        self.assertEqual((analyzer.fParsedCount, analyzer.fActiveMethodCount,
                          analyzer.fActiveEditLineno), (0, 0, 7))

    def test_calls_after_destroy(self):
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
        analyzer.SetLogicalList([line(1)])
        analyzer.destroy()
        analyzer.destroy()
        for args, error, message in [
                ([line(1)], TypeError, "All items in the logical_list must be logical lines"),
                ([], TypeError, "Incorrect type of StdVisitors constructor")]:
            with self.assertRaises(error) as cm:
                analyzer.SetLogicalList(args)
            self.assertEqual(str(cm.exception), message)
        with self.assertRaises(AssertionError) as cm:
            analyzer.IndexForLineno(1)
        self.assertEqual(str(cm.exception), NO_LIST)
        for call in (lambda: analyzer.SetLogicalList(None), analyzer.ClearCache,
                     lambda: analyzer.SetActiveEditLineno(3)):
            self.assertIsNone(call())
        self.assertEqual((analyzer.fFromFutureFlags, analyzer.fParseErrors), (None, None))
        self.assertRaises(SystemError, hooks.intern, analyzer, 'name')
        sink = TraceSink()
        analyzer.SetTracer(sink)
        hooks.trace(analyzer, 'msg')
        self.assertEqual(sink.writes[0], '<NULL>')

    def test_cycle_is_collected_without_destroy(self):
        analysis = ModuleAnalysis()
        analyzer = new_analyzer(mod_analysis=analysis)
        analysis.analyzer = analyzer
        lines = [line(1, names=[('x', analysis, 'x', None)])]
        analyzer.SetLogicalList(lines)
        analyzer.SetTracer(analysis)
        ref = weakref.ref(analysis)
        del analysis, analyzer, lines
        gc.collect()
        self.assertIsNone(ref())


class SharedHelpers(unittest.TestCase):
    def test_intern_and_clock(self):
        pool = {}
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(name_pool=pool))
        first = hooks.intern(analyzer, ''.join(['a', '.b']))
        self.assertIs(hooks.intern(analyzer, ''.join(['a.', 'b'])), first)
        self.assertIs(pool.keys()[0], first)
        now = hooks.get_time()
        self.assertAlmostEqual(now, time.time(), delta=1.0)
        self.assertAlmostEqual(now * 1000, round(now * 1000), delta=1e-3)


if __name__ == '__main__':
    unittest.main()
