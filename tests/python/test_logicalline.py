"""The environment's logical-line module: the LogicalLine type, its fields and the function
table the analyzer binds to."""
import ctypes
import gc
import sys
import unittest
import weakref

import logicalline
from logicalline import LogicalLine


def table_entries():
    """The 12 entries of the module's function table, as addresses (None for null)."""
    as_ptr = ctypes.pythonapi.PyCObject_AsVoidPtr
    as_ptr.restype = ctypes.c_void_p
    as_ptr.argtypes = [ctypes.py_object]
    address = as_ptr(logicalline.GetDirectLogicalLineFunctionTable())
    return list((ctypes.c_void_p * 12).from_address(address))


class Construction(unittest.TestCase):
    def test_fields_from_arguments(self):
        line = LogicalLine(['def', 'f', '(', ')', ':'],
                           [(0, 0), (0, 4), (0, 5), (0, 6), (65535, 65535)], 12, 3, 2, 2)
        self.assertEqual(line.fTokens, ['def', 'f', '(', ')', ':'])
        self.assertEqual(line.fTokenPositions[4], (65535, 65535))
        self.assertEqual((line.fLineno, line.fTokenCount, line.fLineCount, line.fIndent,
                          line.fLineType), (12, 5, 3, 2, 2))
        self.assertEqual((line.fParsed, line.fFlag1, line.fFlag2, line.fFlags),
                         (False, False, False, 0))
        self.assertIsNone(line.fScopeName)
        self.assertEqual((line.fNames, line.fEquivs, line.fBaseNames), ([], [], []))

    def test_defaults_and_keywords(self):
        line = LogicalLine()
        self.assertEqual((line.fTokens, line.fLineno, line.fLineCount, line.fLineType), ([], 0, 0, 0))
        line = LogicalLine(tokens=('a', 'b'), lineno=7)
        self.assertEqual(line.fTokenPositions, [(0, 0), (0, 0)])
        self.assertEqual(line.fLineno, 7)

    def test_any_token_object_is_kept(self):
        # The analyzer skips tokens that are not str, so the line must be able to hold them.
        marker = object()
        line = LogicalLine(['x', marker, 3])
        self.assertIs(line.fTokens[1], marker)

    def test_bad_arguments(self):
        cases = [
            ((['a'], [(0, 65536)]), ValueError),
            ((['a'], [(-1, 0)]), ValueError),
            ((['a'], [(0, 0), (0, 0)]), ValueError),
            ((['a'], [(0,)]), TypeError),
            ((['a'], [('x', 0)]), TypeError),
            ((['a'], 5), TypeError),
            ((5,), TypeError),
            (([], None, 0, 40000), OverflowError),
            (([], None, 0, 0, 0, 256), OverflowError),
            (([], None, 0, 0, 0, -1), OverflowError),
            (([], [(0, 0)]), ValueError),
            ((None, [(0, 0)]), TypeError),
        ]
        for args, error in cases:
            self.assertRaises(error, LogicalLine, *args)

    def test_type_is_final(self):
        # The analyzer recognises lines by exact type; a subclass could not be one.
        with self.assertRaises(TypeError):
            class Sub(LogicalLine):
                pass


class Fields(unittest.TestCase):
    def test_settable_fields(self):
        line = LogicalLine(['a'], [(1, 2)], 1, 1, 0, 0)
        line.fLineno, line.fLineCount, line.fIndent, line.fLineType = 40, 2, 3, 17
        self.assertEqual((line.fLineno, line.fLineCount, line.fIndent, line.fLineType),
                         (40, 2, 3, 17))
        for value in (-2 ** 31 - 1, 2 ** 31):
            self.assertRaises(OverflowError, setattr, line, 'fLineno', value)
        self.assertRaises(OverflowError, setattr, line, 'fLineType', 256)
        self.assertRaises(OverflowError, setattr, line, 'fIndent', 2 ** 15)
        self.assertRaises(TypeError, setattr, line, 'fLineno', 'x')
        self.assertRaises(TypeError, delattr, line, 'fLineno')

    def test_flags_share_one_byte(self):
        line = LogicalLine()
        line.fParsed = True
        line.fFlag2 = 1
        self.assertEqual(line.fFlags, 0x05)
        line.fParsed = 0
        self.assertEqual((line.fParsed, line.fFlag2, line.fFlags), (False, True, 0x04))
        line.fFlags = 0x03
        self.assertEqual((line.fParsed, line.fFlag1, line.fFlag2), (True, True, False))

    def test_read_only_fields(self):
        line = LogicalLine(['a'])
        for name in ('fTokenCount', 'fScopeName', 'fNames', 'fEquivs', 'fBaseNames',
                     'fNameCount', 'fEquivCount'):
            self.assertRaises((AttributeError, TypeError), setattr, line, name, None)

    def test_replacing_tokens_keeps_positions_of_remaining_tokens(self):
        line = LogicalLine(['a', 'b', 'c'], [(1, 1), (2, 2), (3, 3)])
        line.fTokens = ['x', 'y']
        self.assertEqual(line.fTokenCount, 2)
        self.assertEqual(line.fTokenPositions, [(1, 1), (2, 2)])
        line.fTokens = ('p', 'q', 'r', 's')
        self.assertEqual(line.fTokenPositions, [(1, 1), (2, 2), (0, 0), (0, 0)])
        self.assertRaises(TypeError, setattr, line, 'fTokens', 7)
        self.assertEqual(line.fTokens, ['p', 'q', 'r', 's'])

    def test_replacing_positions(self):
        line = LogicalLine(['a', 'b'])
        line.fTokenPositions = [(4, 5), (6, 7)]
        self.assertEqual(line.fTokenPositions, [(4, 5), (6, 7)])
        self.assertRaises(ValueError, setattr, line, 'fTokenPositions', [(1, 1)])
        self.assertRaises(ValueError, setattr, line, 'fTokenPositions', [(1, 1), (1, 70000)])
        self.assertEqual(line.fTokenPositions, [(4, 5), (6, 7)])

    def test_lists_are_copies(self):
        line = LogicalLine(['a'])
        line.fTokens.append('b')
        line.fNames.append('c')
        self.assertEqual((line.fTokens, line.fNames), (['a'], []))


class AnalysisRecords(unittest.TestCase):
    def test_names_equivs_and_bases_accumulate_in_order(self):
        line = LogicalLine(['x'])
        analysis = object()
        line.AddName('x')
        line.AddName(('os', analysis, 'os', None))
        line.AddArgName('self')
        for i in range(40):  # past several reallocations
            line.AddTypeEquiv('n%d' % i, '::dict:')
        line.AddBaseName('mod.Base')
        self.assertEqual(line.fNames, ['x', ('os', analysis, 'os', None), 'self'])
        self.assertEqual(line.fNameCount, 3)
        self.assertEqual(line.fEquivCount, 40)
        self.assertEqual(line.fEquivs[39], ('n39', '::dict:'))
        self.assertEqual(line.fBaseNames, ['mod.Base'])

    def test_clear_line_analysis(self):
        line = LogicalLine(['x'])
        value = object()
        before = sys.getrefcount(value)
        line.AddName(value)
        line.AddTypeEquiv(value, value)
        line.AddBaseName(value)
        line.ClearLineAnalysis()
        self.assertEqual((line.fNames, line.fEquivs, line.fBaseNames), ([], [], []))
        self.assertEqual(sys.getrefcount(value), before)
        line.AddName('again')
        self.assertEqual(line.fNames, ['again'])

    def test_cycle_through_import_record_is_collected(self):
        class Analysis:
            pass
        analysis = Analysis()
        line = LogicalLine(['import', 'os'])
        analysis.line = line
        line.AddName(('os', analysis, 'os', None))
        ref = weakref.ref(analysis)
        del analysis, line
        gc.collect()
        self.assertIsNone(ref())


class Module(unittest.TestCase):
    def test_kinds_are_distinct_strings(self):
        kinds = [logicalline.kClassAttribKind, logicalline.kFunctionAttribKind,
                 logicalline.kGenericAttribKind, logicalline.kImportedAttribKind]
        self.assertTrue(all(isinstance(k, str) for k in kinds))
        self.assertEqual(len(set(kinds)), 4)

    def test_function_table(self):
        self.assertRaises(TypeError, logicalline.GetDirectLogicalLineFunctionTable, 1)
        entries = table_entries()
        present = [i for i, e in enumerate(entries) if e]
        self.assertEqual(present, [0, 1, 2, 5, 7, 8, 9, 11])

    def test_table_entries_through_ctypes(self):
        entries = table_entries()
        new_line = ctypes.PYFUNCTYPE(ctypes.py_object)(entries[0])
        is_line = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(entries[1])
        get_type = ctypes.PYFUNCTYPE(ctypes.py_object)(entries[2])
        add_name = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)(
            entries[7])
        line = new_line()
        self.assertIs(type(line), LogicalLine)
        self.assertIs(get_type(), LogicalLine)
        self.assertTrue(is_line(line))
        self.assertFalse(is_line('not a line'))
        self.assertEqual(add_name(line, 'x'), 0)
        self.assertEqual(line.fNames, ['x'])
        # PYFUNCTYPE raises the error an entry leaves set.
        self.assertRaises(TypeError, add_name, 'not a line', 'x')


if __name__ == '__main__':
    unittest.main()
