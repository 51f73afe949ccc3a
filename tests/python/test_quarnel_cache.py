"""The source info cache (name map and scope map), through the test-only hooks module that
builds the analyzer's sources and exposes the cache operations."""
import gc
import sys
import unittest
import weakref

import _quarnel_testhooks as hooks
from analyzer_support import ModuleAnalysis, analyzer_args, line

CLASS, DEF = 1, 2


class CacheTest(unittest.TestCase):
    def setUp(self):
        self.analyzer = hooks.CreateQuarnelImpl(*analyzer_args())

    def maps(self):
        return hooks.cache_maps(self.analyzer)

    def lines_for(self, name):
        return hooks.cache_defining_lines(self.analyzer, name)


class NameMap(CacheTest):
    def test_keys_of_class_and_def_lines(self):
        cls = line(1, tokens=['class', 'A', ':'], linetype=CLASS, names=['ignored'])
        fn = line(2, tokens=['def', 'f', '(', ')', ':'], linetype=DEF, names=['self'])
        hooks.cache_add_line(self.analyzer, cls)
        hooks.cache_add_line(self.analyzer, fn)
        self.assertEqual(self.maps()[0], {'A': [cls], 'f': [fn]})

    def test_def_line_with_one_token_adds_no_key(self):
        hooks.cache_add_line(self.analyzer, line(1, tokens=['def'], linetype=DEF))
        hooks.cache_add_line(self.analyzer, line(2, tokens=[], linetype=CLASS))
        self.assertEqual(self.maps(), (None, None))

    def test_keys_of_other_lines(self):
        analysis = ModuleAnalysis()
        record = ('os', analysis, 'os', None)
        empty = ()
        stmt = line(1, names=['x', record, empty, 'self.y'])
        hooks.cache_add_line(self.analyzer, stmt)
        self.assertEqual(self.maps()[0], {'x': [stmt], 'os': [stmt], (): [stmt], 'self.y': [stmt]})

    def test_lists_keep_insertion_order_and_repeats(self):
        a, b = line(1, names=['x']), line(2, names=['x', 'x'])
        for l in (a, b, a):
            hooks.cache_add_line(self.analyzer, l)
        self.assertEqual([id(l) for l in self.lines_for('x')], [id(a), id(b), id(b), id(a)])
        self.assertIsNone(self.lines_for('missing'))

    def test_remove_takes_one_occurrence_per_key(self):
        a, b = line(1, names=['x']), line(2, names=['x', 'y'])
        for l in (a, b, a):
            hooks.cache_add_line(self.analyzer, l)
        hooks.cache_remove_line(self.analyzer, a)
        self.assertEqual([id(l) for l in self.lines_for('x')], [id(b), id(a)])
        hooks.cache_remove_line(self.analyzer, a)
        hooks.cache_remove_line(self.analyzer, b)
        # Emptied lists stay in the map; removing what is not there is no error.
        self.assertEqual(self.maps()[0], {'x': [], 'y': []})
        hooks.cache_remove_line(self.analyzer, a)
        hooks.cache_remove_line(self.analyzer, line(5, names=['never-added']))

    def test_repeated_key_in_one_line(self):
        twice = line(1, names=['x', ('x', None, 'x', None)])
        hooks.cache_add_line(self.analyzer, twice)
        hooks.cache_add_line(self.analyzer, twice)
        self.assertEqual(len(self.lines_for('x')), 4)
        hooks.cache_remove_line(self.analyzer, twice)
        self.assertEqual(len(self.lines_for('x')), 2)

    def test_remove_is_by_identity(self):
        first, twin = line(1, names=['x']), line(1, names=['x'])
        hooks.cache_add_line(self.analyzer, first)
        hooks.cache_add_line(self.analyzer, twin)
        hooks.cache_remove_line(self.analyzer, twin)
        self.assertEqual(self.lines_for('x'), [first])
        self.assertIs(self.lines_for('x')[0], first)

    def test_remove_without_a_map(self):
        hooks.cache_remove_line(self.analyzer, line(1, names=['x']))
        self.assertEqual(self.maps(), (None, None))

    def test_unhashable_name_fails_cleanly(self):
        self.assertRaises(TypeError, hooks.cache_add_line, self.analyzer, line(1, names=[['x']]))
        hooks.cache_remove_line(self.analyzer, line(1, names=[['x']]))
        hooks.cache_add_line(self.analyzer, line(1, names=['x']))
        self.assertEqual(len(self.lines_for('x')), 1)

    def test_name_whose_hash_empties_the_line(self):
        # The dict calls back into Python between keys; the line may change under the cache.
        stmt = line(1)

        class Name(object):
            def __hash__(self):
                stmt.ClearLineAnalysis()
                return 1
        stmt.AddName(Name())
        stmt.AddName('later')
        hooks.cache_add_line(self.analyzer, stmt)
        self.assertEqual(len(self.maps()[0]), 1)
        hooks.cache_remove_line(self.analyzer, stmt)

    def test_only_lines_are_accepted(self):
        self.assertRaises(TypeError, hooks.cache_add_line, self.analyzer, 'x')


class ScopeMap(CacheTest):
    def setUp(self):
        CacheTest.setUp(self)
        self.def_line = line(3, tokens=['def', 'f'], linetype=DEF)

    def test_entry_for_returns_the_existing_entry(self):
        entry = hooks.cache_entry_for(self.analyzer, 'A.f', self.def_line)
        self.assertEqual(type(entry).__name__, 'PerScopeEntry')
        self.assertIs(hooks.cache_entry_for(self.analyzer, 'A.f', None), entry)
        self.assertIs(hooks.cache_get_def(self.analyzer, 'A.f'), self.def_line)
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)

    def test_enter_replaces(self):
        first = hooks.cache_enter(self.analyzer, 'A.f', self.def_line)
        hooks.cache_set_body(self.analyzer, 'A.f', None, [self.def_line])
        second = hooks.cache_enter(self.analyzer, 'A.f', None)
        self.assertIsNot(first, second)
        self.assertIsNone(hooks.cache_get_def(self.analyzer, 'A.f'))
        self.assertIsNone(hooks.cache_get_body(self.analyzer, 'A.f'))

    def test_get_def(self):
        hooks.cache_enter(self.analyzer, '', None)
        self.assertIsNone(hooks.cache_get_def(self.analyzer, ''))
        for missing in ('B', ('B', 'C')):
            with self.assertRaises(KeyError) as cm:
                hooks.cache_get_def(self.analyzer, missing)
            self.assertEqual(cm.exception.args, (missing,))

    def test_drop(self):
        hooks.cache_drop(self.analyzer, 'nothing yet')
        hooks.cache_enter(self.analyzer, 'A', None)
        hooks.cache_enter(self.analyzer, 'B', None)
        hooks.cache_drop(self.analyzer, 'A')
        hooks.cache_drop(self.analyzer, 'A')
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)
        self.assertRaises(KeyError, hooks.cache_get_def, self.analyzer, 'A')

    def test_fields(self):
        body, attribs, lead = [self.def_line], ['x'], line(4, linetype=3)
        self.assertIsNone(hooks.cache_get_body(self.analyzer, 'f'))
        self.assertIsNone(hooks.cache_get_attribs(self.analyzer, 'f'))
        self.assertIsNone(hooks.cache_get_lead(self.analyzer, 'f'))
        hooks.cache_set_lead(self.analyzer, 'f', self.def_line, lead)
        hooks.cache_set_body(self.analyzer, 'f', None, body)
        hooks.cache_set_attribs(self.analyzer, 'f', None, attribs)
        # The entry was made by the first setter, with its def.
        self.assertIs(hooks.cache_get_def(self.analyzer, 'f'), self.def_line)
        self.assertIs(hooks.cache_get_body(self.analyzer, 'f'), body)
        self.assertIs(hooks.cache_get_attribs(self.analyzer, 'f'), attribs)
        self.assertIs(hooks.cache_get_lead(self.analyzer, 'f'), lead)
        hooks.cache_set_attribs(self.analyzer, 'f', None, None)
        self.assertIsNone(hooks.cache_get_attribs(self.analyzer, 'f'))
        hooks.cache_clear_body(self.analyzer, 'f')
        hooks.cache_clear_lead(self.analyzer, 'f')
        self.assertIsNone(hooks.cache_get_body(self.analyzer, 'f'))
        self.assertIsNone(hooks.cache_get_lead(self.analyzer, 'f'))
        self.assertIs(hooks.cache_get_def(self.analyzer, 'f'), self.def_line)
        for clear in (hooks.cache_clear_body, hooks.cache_clear_lead, hooks.cache_clear_attribs):
            clear(self.analyzer, 'no such scope')
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)

    def test_setters_release_what_they_replace(self):
        body, other = [1], [2]
        before = sys.getrefcount(body)
        hooks.cache_set_body(self.analyzer, 'f', None, body)
        hooks.cache_set_body(self.analyzer, 'f', None, other)
        self.assertEqual(sys.getrefcount(body), before)
        hooks.cache_drop(self.analyzer, 'f')
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 0)


class Clearing(CacheTest):
    def fill(self):
        stmt, body = line(1, names=['x']), [1, 2]
        hooks.cache_add_line(self.analyzer, stmt)
        hooks.cache_set_body(self.analyzer, 'A', None, body)
        return stmt, body

    def test_clear_all(self):
        stmt, body = self.fill()
        refs = sys.getrefcount(stmt), sys.getrefcount(body)
        hooks.cache_clear_all(self.analyzer)
        self.assertEqual(self.maps(), (None, None))
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 0)
        self.assertEqual((sys.getrefcount(stmt), sys.getrefcount(body)), (refs[0] - 1, refs[1] - 1))
        hooks.cache_add_line(self.analyzer, stmt)
        self.assertEqual(self.lines_for('x'), [stmt])

    def test_clear_cache_method(self):
        self.fill()
        self.assertIsNone(self.analyzer.ClearCache())
        self.assertEqual(self.maps(), (None, None))
        self.assertRaises(TypeError, self.analyzer.ClearCache, 1)

    def test_set_logical_list_leaves_the_cache_alone(self):
        stmt, _ = self.fill()
        self.analyzer.SetLogicalList([stmt])
        self.analyzer.SetLogicalList(None)
        self.assertEqual(self.lines_for('x'), [stmt])
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)

    def test_destroy_empties_the_cache(self):
        self.fill()
        self.analyzer.destroy()
        self.assertEqual(self.maps(), (None, None))

    def test_cycle_through_a_scope_entry_is_collected(self):
        # entry -> def line -> import record -> analysis -> analyzer -> cache -> entry
        analysis = ModuleAnalysis()
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=analysis))
        analysis.analyzer = analyzer
        def_line = line(1, tokens=['def', 'f'], linetype=DEF)
        def_line.AddName(('os', analysis, 'os', None))
        hooks.cache_set_body(analyzer, 'f', def_line, [def_line])
        hooks.cache_add_line(analyzer, def_line)
        ref = weakref.ref(analysis)
        del analysis, analyzer, def_line
        gc.collect()
        self.assertIsNone(ref())


if __name__ == '__main__':
    unittest.main()
