"""The environment's logical-line module: the LogicalLine type and the function table the
analyzer binds to."""
import ctypes
import gc
import sys
import textwrap
import unittest
import weakref

import logicalline
from logicalline import LogicalLine
from support import run_python


def table_entries():
    """The 12 entries of the module's function table, as addresses (None for null)."""
    as_ptr = ctypes.pythonapi.PyCObject_AsVoidPtr
    as_ptr.restype, as_ptr.argtypes = ctypes.c_void_p, [ctypes.py_object]
    address = as_ptr(logicalline.GetDirectLogicalLineFunctionTable())
    return list((ctypes.c_void_p * 12).from_address(address))


class Fields(unittest.TestCase):
    def test_construction(self):
        marker = object()  # tokens need not be str; the analyzer skips the others
        line = LogicalLine(['def', marker, ':'], [(0, 0), (0, 4), (65535, 65535)], 12, 3, 2, 2)
        self.assertEqual(line.fTokens, ['def', marker, ':'])
        self.assertEqual(line.fTokenPositions, [(0, 0), (0, 4), (65535, 65535)])
        self.assertEqual((line.fLineno, line.fTokenCount, line.fLineCount, line.fIndent,
                          line.fLineType, line.fFlags, line.fScopeName),
                         (12, 3, 3, 2, 2, 0, None))
        self.assertEqual(LogicalLine(tokens=('a', 'b')).fTokenPositions, [(0, 0), (0, 0)])

    def test_bad_arguments(self):
        cases = [((['a'], [(0, 65536)]), ValueError), ((['a'], [(-1, 0)]), ValueError),
                 ((['a'], [(0, 0), (0, 0)]), ValueError), ((['a'], [(0,)]), TypeError),
                 ((['a'], [('x', 0)]), TypeError), ((5,), TypeError),
                 (([], None, 0, 40000), OverflowError), (([], None, 0, 0, 0, 256), OverflowError),
                 (([], [(0, 0)]), ValueError)]
        for args, error in cases:
            self.assertRaises(error, LogicalLine, *args)
        with self.assertRaises(TypeError):  # the analyzer recognises lines by exact type
            class Sub(LogicalLine):
                pass

    def test_setting_fields(self):
        line = LogicalLine(['a', 'b', 'c'], [(1, 1), (2, 2), (3, 3)], 1, 1)
        line.fLineno, line.fLineCount, line.fIndent, line.fLineType = 40, 2, 3, 17
        self.assertEqual((line.fLineno, line.fLineCount, line.fIndent, line.fLineType),
                         (40, 2, 3, 17))
        self.assertRaises(OverflowError, setattr, line, 'fLineno', 2 ** 31)
        self.assertRaises(OverflowError, setattr, line, 'fLineType', 256)
        self.assertRaises((AttributeError, TypeError), setattr, line, 'fTokenCount', 1)
        # Replacing tokens keeps the positions of the tokens that remain.
        line.fTokens = ['x', 'y']
        self.assertEqual(line.fTokenPositions, [(1, 1), (2, 2)])
        line.fTokens = ('p', 'q', 'r')
        self.assertEqual(line.fTokenPositions, [(1, 1), (2, 2), (0, 0)])
        self.assertRaises(TypeError, setattr, line, 'fTokens', 7)
        line.fTokenPositions = [(4, 5), (6, 7), (8, 9)]
        self.assertRaises(ValueError, setattr, line, 'fTokenPositions', [(1, 1)])
        self.assertEqual((line.fTokens, line.fTokenPositions),
                         (['p', 'q', 'r'], [(4, 5), (6, 7), (8, 9)]))

    def test_flags_share_one_byte(self):
        line = LogicalLine()
        line.fParsed, line.fFlag2 = True, 1
        self.assertEqual(line.fFlags, 0x05)
        line.fParsed = 0
        line.fFlags |= 0x02
        self.assertEqual((line.fParsed, line.fFlag1, line.fFlag2, line.fFlags),
                         (False, True, True, 0x06))


class AnalysisRecords(unittest.TestCase):
    def test_records_accumulate_in_order_and_clear(self):
        line, value = LogicalLine(['x']), object()
        before = sys.getrefcount(value)
        line.AddName('x')
        line.AddName(('os', value, 'os', None))
        line.AddArgName('self')
        for i in range(40):  # past several reallocations
            line.AddTypeEquiv('n%d' % i, value)
        line.AddBaseName('mod.Base')
        self.assertEqual(line.fNames, ['x', ('os', value, 'os', None), 'self'])
        self.assertEqual((line.fNameCount, line.fEquivCount), (3, 40))
        self.assertEqual(line.fEquivs[39], ('n39', value))
        self.assertEqual(line.fBaseNames, ['mod.Base'])
        line.ClearLineAnalysis()
        self.assertEqual((line.fNames, line.fEquivs, line.fBaseNames), ([], [], []))
        self.assertEqual(sys.getrefcount(value), before)

    def test_cycle_through_import_record_is_collected(self):
        class Analysis:
            pass
        analysis, line = Analysis(), LogicalLine(['import', 'os'])
        analysis.line = line
        line.AddName(('os', analysis, 'os', None))
        ref = weakref.ref(analysis)
        del analysis, line
        gc.collect()
        self.assertIsNone(ref())


class Module(unittest.TestCase):
    def test_kinds_are_distinct_strings(self):
        kinds = set([logicalline.kClassAttribKind, logicalline.kFunctionAttribKind,
                     logicalline.kGenericAttribKind, logicalline.kImportedAttribKind])
        self.assertEqual(len(kinds), 4)
        self.assertTrue(all(isinstance(k, str) for k in kinds))

    def test_table_entries(self):
        entries = table_entries()
        self.assertEqual([i for i, e in enumerate(entries) if e], [0, 1, 2, 5, 7, 8, 9, 11])
        new_line = ctypes.PYFUNCTYPE(ctypes.py_object)(entries[0])
        is_line = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(entries[1])
        get_type = ctypes.PYFUNCTYPE(ctypes.py_object)(entries[2])
        add_name = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)(entries[7])
        line = new_line()
        self.assertIs(get_type(), LogicalLine)
        self.assertEqual((type(line), is_line(line), is_line('x')), (LogicalLine, 1, 0))
        self.assertEqual(add_name(line, 'x'), 0)
        self.assertEqual(line.fNames, ['x'])
        # PYFUNCTYPE raises the error an entry leaves set with its non-zero status.
        self.assertRaises(TypeError, add_name, 'not a line', 'x')

    def test_shift_linenos_against_attribute_stores(self):
        import random
        rng = random.Random(4)
        lines = [LogicalLine(lineno=n) for n in range(0, 400, 3)]
        model = [line.fLineno for line in lines]
        for step in range(200):
            start = rng.randint(-2, len(lines) + 2)
            delta = rng.randint(-50, 50)
            logicalline.ShiftLinenos(lines, start, delta)
            for i in range(max(start, 0), len(model)):
                model[i] += delta
            self.assertEqual([line.fLineno for line in lines], model)
        # A refused shift changes nothing: every item is checked first.
        lines[-1].fLineno = 2 ** 31 - 2
        before = [line.fLineno for line in lines]
        self.assertRaises(OverflowError, logicalline.ShiftLinenos, lines, 0, 5)
        self.assertRaises(OverflowError, logicalline.ShiftLinenos, lines, 0, sys.maxint)
        self.assertRaises(TypeError, logicalline.ShiftLinenos, lines + ['x'], 0, 1)
        self.assertEqual([line.fLineno for line in lines], before)
        for args in [(tuple(lines), 0, 1), (lines, 'a', 1), (lines, 0, 1.5), (lines, 0),
                     (None, 0, 1)]:
            self.assertRaises(TypeError, logicalline.ShiftLinenos, *args)
        self.assertRaises(OverflowError, logicalline.ShiftLinenos, lines, 0, 2 ** 70)
        self.assertEqual([line.fLineno for line in lines], before)


def line_state(line):
    return (line.fTokens, [tuple(p) for p in line.fTokenPositions], line.fLineno,
            line.fLineCount, line.fIndent, line.fLineType)


def made_one_by_one(records):
    """What LogicalLines(records) must give: the lines made one call each, or the error."""
    try:
        return [line_state(LogicalLine(*record)) for record in records]
    except Exception as error:
        return type(error)


class MadeInOneCall(unittest.TestCase):
    """LogicalLines(records), the lines of a cut in one call, against a call per record: seeded
    random records, from the cutter's plain ones to fields out of range or of other types,
    lists for tuples, iterators for lists and positions that do not match the tokens."""

    def test_random_records_against_one_call_each(self):
        import random
        from vornide import logicallines as ll
        rng = random.Random(11)
        plain = ll.cut_logical_lines(textwrap.dedent('''\
            import os
            def f(a, b=[1,
                        2]):
                return a  # c

            x = """s
            t"""
            '''))
        # Each number field's bounds and the values just past them, and values of other types.
        bounds = {2: [2 ** 31 - 1, 2 ** 31, -2 ** 31, -2 ** 31 - 1],
                  3: [2 ** 15 - 1, 2 ** 15, -2 ** 15, -2 ** 15 - 1],
                  4: [2 ** 15 - 1, 2 ** 15, -2 ** 15, -2 ** 15 - 1],
                  5: [255, 256, 0, -1]}
        others = [2 ** 70, 1.5, 'x', None, True, 7L]

        def variant(record):
            """(fields, as_tuple, iterate_positions) of a changed copy of record."""
            fields = list(record)
            kind = rng.randrange(6)
            if kind <= 1:
                at = rng.randrange(2, 6)
                fields[at] = rng.choice(bounds[at] + bounds[at] + others)
            elif kind == 2:
                fields[0] = tuple(fields[0])
            elif kind == 3:
                fields = fields[:rng.randrange(7)]
            elif kind == 4:
                fields[1] = fields[1][:-1] if fields[1] else [(70000, 1)]
            return fields, rng.randrange(3) > 0, kind == 5 and len(fields) > 1

        def build(shape):
            fields, as_tuple, iterate = shape
            fields = list(fields)
            if iterate:
                fields[1] = iter(fields[1])
            return tuple(fields) if as_tuple else fields
        for step in range(600):
            shapes = [(list(rng.choice(plain)), True, False) for i in range(rng.randrange(4))]
            if rng.randrange(2):
                shapes = [variant(fields) for fields, _, _ in shapes]
            try:
                mine = [line_state(line)
                        for line in logicalline.LogicalLines([build(s) for s in shapes])]
            except Exception as error:
                mine = type(error)
            self.assertEqual(mine, made_one_by_one([build(s) for s in shapes]), shapes)
        self.assertEqual(logicalline.LogicalLines(()), [])
        self.assertRaises(TypeError, logicalline.LogicalLines, 5)
        self.assertRaises(TypeError, logicalline.LogicalLines)

    def test_lines_of_strs_left_to_themselves_until_they_hold_more(self):
        # A line of a cut holds strs alone and is not tracked by the cyclic collector; each
        # way of storing another object in it has the collector track it, so that a cycle
        # through the line is collected.
        import weakref
        record = (['x', '=', 'f', '(', ')'], [(0, 0), (0, 2), (0, 4), (0, 5), (0, 6)], 1, 1, 0, 0)
        entries = table_entries()
        add_name = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)(entries[7])
        add_equiv = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object,
                                      ctypes.py_object)(entries[5])
        add_base = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)(entries[9])

        class Holder(object):
            pass

        def set_tokens(line, holder):
            line.fTokens = ['x', holder, 'y', 'z', 'w']
        stores = [lambda line, holder: add_name(line, ('x', holder)),
                  lambda line, holder: add_equiv(line, 'x', holder),
                  lambda line, holder: add_equiv(line, holder, 'x'),
                  lambda line, holder: add_base(line, 'Base') or setattr(holder, 'x', 1),
                  set_tokens]
        for store in stores:
            line, = logicalline.LogicalLines([record])
            self.assertFalse(gc.is_tracked(line))
            self.assertEqual(add_name(line, 'plain'), 0)
            self.assertFalse(gc.is_tracked(line))
            holder = Holder()
            holder.line = line   # the cycle: line -> holder -> line
            store(line, holder)
            self.assertTrue(gc.is_tracked(line))
            gone = weakref.ref(holder)
            if store is stores[3]:
                line.fBaseNames.append(holder)   # the base names list holds it
            del line, holder
            gc.collect()
            self.assertIsNone(gone(), store)
        # Lines of other tokens, and lines made one by one, are tracked from the start.
        odd, = logicalline.LogicalLines([([u'x'], [(0, 0)], 1, 1, 0, 0)])
        self.assertTrue(gc.is_tracked(odd))
        self.assertTrue(gc.is_tracked(LogicalLine(*record)))


def run_scenario(code):
    """Runs `code` in a child interpreter with LogicalLine, gc and `summary(line)` (token count,
    first three positions, set of distinct positions) at hand; returns (status, output, errors)."""
    prelude = textwrap.dedent("""\
        import gc, sys, threading
        from logicalline import LogicalLine
        def summary(line):
            positions = line.fTokenPositions
            return line.fTokenCount, len(positions), positions[:3], sorted(set(positions))[:4]
        """)
    return run_python(prelude + textwrap.dedent(code))


class ReentrantSetters(unittest.TestCase):
    """Python code run inside a setter (a generator, an item's __int__, a finalizer run by a
    collection the setter's allocations start) sees a consistent record and may replace the
    tokens; the setter then installs arrays that match the record. A crash or a position read
    past the end of its array shows as a failed child or as positions that were never set."""
    leak_check = False  # only drives child interpreters

    def assertScenario(self, code, expected):
        status, out, err = run_scenario(code)
        self.assertEqual((status, out.splitlines()), (0, expected), err)

    def test_tokens_from_a_generator_that_reads_the_line(self):
        self.assertScenario("""
            line = LogicalLine(['a', 'b', 'c'], [(1, 1), (2, 2), (3, 3)])
            def tokens():
                yield 'x'
                print summary(line)
                yield 'y'
            line.fTokens = tokens()
            print summary(line)
            """, ["(3, 3, [(1, 1), (2, 2), (3, 3)], [(1, 1), (2, 2), (3, 3)])",
                  "(2, 2, [(1, 1), (2, 2)], [(1, 1), (2, 2)])"])

    def test_positions_whose_producer_replaces_the_tokens(self):
        # A generator and an item's __int__ both grow the line while its positions are read.
        self.assertScenario("""
            line = LogicalLine(['a'], [(3, 4)])
            def positions():
                line.fTokens = ['t'] * 2000
                yield (1, 2)
            class Late(object):
                def __int__(self):
                    line.fTokens = ['t'] * 100000
                    return 0
            for value in (positions(), [(Late(), 0)]):
                try:
                    line.fTokenPositions = value
                except ValueError as exc:
                    print exc
                print summary(line)
            """, ["there must be one position pair per token",
                  "(2000, 2000, [(3, 4), (0, 0), (0, 0)], [(0, 0), (3, 4)])",
                  "there must be one position pair per token",
                  "(100000, 100000, [(3, 4), (0, 0), (0, 0)], [(0, 0), (3, 4)])"])

    def test_failed_token_setter_keeps_what_its_producer_installed(self):
        self.assertScenario("""
            line = LogicalLine(['a'], [(3, 4)])
            def tokens():
                line.fTokens = ['t'] * 2000
                yield 'x'
                raise RuntimeError('stop')
            try:
                line.fTokens = tokens()
            except RuntimeError as exc:
                print exc
            print summary(line)
            """, ["stop", "(2000, 2000, [(3, 4), (0, 0), (0, 0)], [(0, 0), (3, 4)])"])

    def test_finalizer_run_by_a_collection_the_line_starts(self):
        # A garbage cycle holds the finalizer; with a threshold of 1 and the list and pair free
        # lists drained, the first container allocated after the collector is enabled again
        # starts the collection: the setter's list copy of a frozenset, a getter's result.
        # Nothing between the two may allocate a container (so no calls).
        self.assertScenario("""
            line = LogicalLine(['a', 'b'], [(3, 4), (5, 6)])
            class Finalizer(object):
                def __init__(self, action):
                    self.action = action
                def __del__(self):
                    self.action()
            def arm(action):
                global drained
                gc.collect()
                gc.disable()
                drained = [[] for i in xrange(100)]  # no temporary list goes back
                drained.append([(i, i) for i in xrange(2100)])
                cycle = [Finalizer(action)]
                cycle.append(cycle)
                gc.set_threshold(1)
            def disarm():
                global drained
                gc.set_threshold(700)
                drained = None
            def show():
                print 'finalizer', summary(line)
            def grow():
                line.fTokens = ['t'] * 100000
            def shrink():
                line.fTokens = []
                line.ClearLineAnalysis()
            def reset():
                line.fTokens = ['a']
                line.ClearLineAnalysis()
                line.AddTypeEquiv('a', 'b')
            tokens, positions = frozenset(['x']), frozenset([(7, 8)])
            arm(show)
            gc.enable(); line.fTokens = tokens
            disarm()
            print summary(line)
            arm(grow)
            try:
                gc.enable(); line.fTokenPositions = positions
            except ValueError as exc:
                print exc
            disarm()
            print summary(line)
            reset(); arm(grow)
            gc.enable(); value = line.fTokenPositions
            disarm()
            print len(value), value[:1]
            reset(); arm(shrink)
            gc.enable(); value = line.fTokens
            disarm()
            print len(value), value[:1]
            reset(); arm(shrink)
            gc.enable(); value = line.fEquivs
            disarm()
            print len(value), value[:1]
            reset(); line.AddBaseName('B'); arm(shrink)
            gc.enable(); value = line.fBaseNames
            disarm()
            print value
            reset(); arm(lambda: line.AddBaseName('A'))
            gc.enable(); line.AddBaseName('B')
            disarm()
            print line.fBaseNames
            """, ["finalizer (2, 2, [(3, 4), (5, 6)], [(3, 4), (5, 6)])",
                  "(1, 1, [(3, 4)], [(3, 4)])",
                  "there must be one position pair per token",
                  "(100000, 100000, [(3, 4), (0, 0), (0, 0)], [(0, 0), (3, 4)])",
                  "1 [(3, 4)]", "0 []", "0 []", "['B']", "['A', 'B']"])

    def test_freeing_a_long_chain_of_lines(self):
        # Each line holds the next through its names or its tokens; freeing the head must not
        # recurse once per line. A thread with a small stack makes the chain short enough to
        # build quickly and still far too deep for a recursive free.
        self.assertScenario("""
            def chain():
                head = LogicalLine()
                for i in xrange(200000):
                    line = LogicalLine([head] if i % 2 else [])
                    if not i % 2:
                        line.AddName(head)
                    head = line
                del line
                del head
                print 'freed'
            threading.stack_size(1 << 19)
            worker = threading.Thread(target=chain)
            worker.start()
            worker.join()
            """, ["freed"])


if __name__ == '__main__':
    unittest.main()
