"""The source info cache (name map and scope map), through the test-only hooks module that
builds the analyzer's sources and exposes the cache operations."""
import gc
import sys
import unittest
import weakref

import _quarnel_testhooks as hooks
from analyzer_support import ModuleAnalysis, analyzer_args, line
from support import run_python

CLASS, DEF = 1, 2


class CacheTest(unittest.TestCase):
    def setUp(self):
        self.analyzer = hooks.CreateQuarnelImpl(*analyzer_args())

    def maps(self):
        return hooks.cache_maps(self.analyzer)

    def ids_for(self, name):
        return [id(l) for l in hooks.cache_defining_lines(self.analyzer, name) or []]

    def add(self, *lines):
        for l in lines:
            hooks.cache_add_line(self.analyzer, l)

    def remove(self, *lines):
        for l in lines:
            hooks.cache_remove_line(self.analyzer, l)


class NameMap(CacheTest):
    def test_keys_of_a_line(self):
        cls = line(1, tokens=['class', 'A', ':'], linetype=CLASS, names=['ignored'])
        fn = line(2, tokens=['def', 'f', '(', ')', ':'], linetype=DEF, names=['self'])
        stmt = line(3, names=['x', ('os', ModuleAnalysis(), 'os', None), (), 'self.y'])
        self.add(line(4, tokens=['def'], linetype=DEF), line(5, tokens=[], linetype=CLASS))
        self.assertEqual(self.maps(), (None, None))  # a def line with one token has no key
        self.add(cls, fn, stmt)
        self.assertEqual(self.maps()[0], {'A': [cls], 'f': [fn], 'x': [stmt], 'os': [stmt],
                                          (): [stmt], 'self.y': [stmt]})
        self.assertIsNone(hooks.cache_defining_lines(self.analyzer, 'missing'))

    def test_remove_takes_one_occurrence_per_key(self):
        a, b, twin = line(1, names=['x']), line(2, names=['x', 'y']), line(1, names=['x'])
        self.add(a, b, a)
        self.assertEqual(self.ids_for('x'), [id(a), id(b), id(a)])
        self.remove(a)
        self.assertEqual(self.ids_for('x'), [id(b), id(a)])
        self.remove(twin, a, b, a)  # twin was never added: removal is by identity
        self.assertEqual(self.maps()[0], {'x': [], 'y': []})  # emptied lists stay

    def test_repeated_key_in_one_line(self):
        twice = line(1, names=['x', ('x', None, 'x', None)])
        self.add(twice, twice)
        self.assertEqual(len(self.ids_for('x')), 4)
        self.remove(twice)
        self.assertEqual(len(self.ids_for('x')), 2)

    def test_remove_without_a_map_and_unhashable_names(self):
        self.remove(line(1, names=['x'], ), line(1, names=[['x']]))
        self.assertEqual(self.maps(), (None, None))
        self.assertRaises(TypeError, self.add, line(1, names=[['x']]))
        self.add(line(1, names=['x']))
        self.assertEqual(len(self.ids_for('x')), 1)

    def test_name_whose_hash_empties_the_line(self):
        # The dict calls back into Python between keys; the line may change under the cache.
        stmt = line(1)

        class Name(object):
            def __hash__(self):
                stmt.ClearLineAnalysis()
                return 1
        stmt.AddName(Name())
        stmt.AddName('later')
        self.add(stmt)
        self.assertEqual(len(self.maps()[0]), 1)
        self.remove(stmt)


class ScopeMap(CacheTest):
    def setUp(self):
        CacheTest.setUp(self)
        self.def_line = line(3, tokens=['def', 'f'], linetype=DEF)

    def test_entry_for_enter_and_get_def(self):
        entry = hooks.cache_entry_for(self.analyzer, 'A.f', self.def_line)
        self.assertEqual(type(entry).__name__, 'PerScopeEntry')
        self.assertIs(hooks.cache_entry_for(self.analyzer, 'A.f', None), entry)
        self.assertIs(hooks.cache_get_def(self.analyzer, 'A.f'), self.def_line)
        hooks.cache_set_body(self.analyzer, 'A.f', None, [self.def_line])
        self.assertIsNot(hooks.cache_enter(self.analyzer, 'A.f', None), entry)
        self.assertIsNone(hooks.cache_get_def(self.analyzer, 'A.f'))  # entered with None
        self.assertIsNone(hooks.cache_get_body(self.analyzer, 'A.f'))
        for missing in ('B', ('B', 'C')):
            with self.assertRaises(KeyError) as cm:
                hooks.cache_get_def(self.analyzer, missing)
            self.assertEqual(cm.exception.args, (missing,))

    def test_drop(self):
        hooks.cache_drop(self.analyzer, 'no map yet')
        hooks.cache_enter(self.analyzer, 'A', None)
        hooks.cache_enter(self.analyzer, 'B', None)
        hooks.cache_drop(self.analyzer, 'A')
        hooks.cache_drop(self.analyzer, 'A')
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)
        self.assertRaises(KeyError, hooks.cache_get_def, self.analyzer, 'A')

    def test_fields(self):
        body, attribs, lead = [self.def_line], ['x'], line(4, linetype=3)
        before = sys.getrefcount(body)
        get = dict(body=hooks.cache_get_body, attribs=hooks.cache_get_attribs,
                   lead=hooks.cache_get_lead)
        self.assertEqual([g(self.analyzer, 'f') for g in get.values()], [None] * 3)
        hooks.cache_set_lead(self.analyzer, 'f', self.def_line, lead)  # makes the entry
        hooks.cache_set_body(self.analyzer, 'f', None, body)
        hooks.cache_set_attribs(self.analyzer, 'f', None, attribs)
        self.assertIs(hooks.cache_get_def(self.analyzer, 'f'), self.def_line)
        self.assertEqual([get[k](self.analyzer, 'f') for k in ('body', 'attribs', 'lead')],
                         [body, attribs, lead])
        hooks.cache_set_body(self.analyzer, 'f', None, [])
        self.assertEqual(sys.getrefcount(body), before)
        hooks.cache_set_attribs(self.analyzer, 'f', None, None)
        hooks.cache_clear_body(self.analyzer, 'f')
        hooks.cache_clear_lead(self.analyzer, 'f')
        for clear in (hooks.cache_clear_body, hooks.cache_clear_lead, hooks.cache_clear_attribs):
            clear(self.analyzer, 'no such scope')
        self.assertEqual([g(self.analyzer, 'f') for g in get.values()], [None] * 3)
        self.assertIs(hooks.cache_get_def(self.analyzer, 'f'), self.def_line)
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)


class Clearing(CacheTest):
    def fill(self):
        stmt, body = line(1, names=['x']), [1, 2]
        self.add(stmt)
        hooks.cache_set_body(self.analyzer, 'A', None, body)
        return stmt, body

    def test_clear_all_and_clear_cache(self):
        stmt, body = self.fill()
        refs = sys.getrefcount(stmt), sys.getrefcount(body)
        hooks.cache_clear_all(self.analyzer)
        self.assertEqual((self.maps(), hooks.cache_scope_count(self.analyzer)), ((None, None), 0))
        self.assertEqual((sys.getrefcount(stmt), sys.getrefcount(body)), (refs[0] - 1, refs[1] - 1))
        self.fill()
        self.assertIsNone(self.analyzer.ClearCache())
        self.assertEqual(self.maps(), (None, None))

    def test_set_logical_list_leaves_the_cache_alone_destroy_empties_it(self):
        stmt, _ = self.fill()
        self.analyzer.SetLogicalList([stmt])
        self.analyzer.SetLogicalList(None)
        self.assertEqual(self.ids_for('x'), [id(stmt)])
        self.assertEqual(hooks.cache_scope_count(self.analyzer), 1)
        self.analyzer.destroy()
        self.assertEqual(self.maps(), (None, None))

    def test_cycle_through_a_scope_entry_is_collected(self):
        # entry -> def line -> import record -> analysis -> analyzer -> cache -> entry
        analysis = ModuleAnalysis()
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=analysis))
        analysis.analyzer = analyzer
        def_line = line(1, tokens=['def', 'f'], linetype=DEF,
                        names=[('os', analysis, 'os', None)])
        hooks.cache_set_body(analyzer, 'f', def_line, [def_line])
        hooks.cache_add_line(analyzer, def_line)
        ref = weakref.ref(analysis)
        del analysis, analyzer, def_line
        gc.collect()
        self.assertIsNone(ref())


class LookupThatClearsTheCache(unittest.TestCase):
    """A name whose __hash__ calls ClearCache frees the maps while a lookup runs; the lookup
    holds the map it started in and answers from it. Each operation runs in one child, which
    a lookup in a freed map crashes, loops (ended by an alarm) or answers from whatever took
    the map's place."""
    leak_check = False  # only drives a child interpreter

    def test_every_lookup(self):
        status, out, err = run_python("""
            import signal
            signal.alarm(30)
            import _quarnel_testhooks as hooks
            from analyzer_support import analyzer_args, line
            analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
            class Name(object):
                def __hash__(self):
                    analyzer.ClearCache()
                    return hash('x')
                def __eq__(self, other):
                    return other == 'x'
            stmt, def_line = line(1, names=['x']), line(2, tokens=['def', 'x'], linetype=2)
            def fill():
                for i in range(20):  # maps large enough to own a separate table
                    hooks.cache_add_line(analyzer, line(i, names=['n%d' % i]))
                    hooks.cache_enter(analyzer, 'n%d' % i, None)
                hooks.cache_add_line(analyzer, stmt)
                hooks.cache_set_body(analyzer, 'x', def_line, ['body'])
                hooks.cache_set_lead(analyzer, 'x', def_line, 'lead')
                hooks.cache_set_attribs(analyzer, 'x', def_line, ['attribs'])
            def show(value):
                return ([v is stmt for v in value] if isinstance(value, list) and value
                        and value[0] is stmt else 'def' if value is def_line else value)
            lookups = ['defining_lines', 'get_def', 'get_body', 'get_lead', 'get_attribs',
                       'drop', 'clear_body', 'clear_lead', 'clear_attribs', 'entry_for',
                       'set_body']
            extra = dict(entry_for=(None,), set_body=(None, ['new']))
            fill()
            print 'remove_line', hooks.cache_remove_line(analyzer, line(1, names=[Name()]))
            for name in lookups:
                fill()
                result = getattr(hooks, 'cache_' + name)(analyzer, Name(), *extra.get(name, ()))
                print name, show(result) if name != 'entry_for' else type(result).__name__
            print hooks.cache_maps(analyzer)
            """)
        self.assertEqual((status, out.splitlines()), (0, [
            'remove_line None', 'defining_lines [True]', 'get_def def', "get_body ['body']",
            'get_lead lead', "get_attribs ['attribs']", 'drop None', 'clear_body None',
            'clear_lead None', 'clear_attribs None', 'entry_for PerScopeEntry', 'set_body None',
            '(None, None)']), err)


if __name__ == '__main__':
    unittest.main()
