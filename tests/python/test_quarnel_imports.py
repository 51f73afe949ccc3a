"""The import visitors: import records found through a real analysis factory over a temporary
package tree, for real import lines cut, parsed and transformed by the environment."""
import os
import shutil
import tempfile
import unittest

import _quarnel_testhooks as hooks
import logicalline
from analyzer_support import analyzer_args, transformed_lines, walk_lines
from vornide import analysis, grammar, transformer

STDLIB = os.path.dirname(os.__file__)

FILES = {
    'm.py': 'a = 1\nc = 2\n_private = 3\nx.y = 4\n',
    'star_a.py': 'from star_b import *\nalpha = 1\n_hidden = 2\n',
    'star_b.py': 'from star_a import *\nbeta = 1\n',
    'pkg/__init__.py': 'from pkg.sub import *\n',
    'pkg/sub.py': 'x = 1\n',
    'pkg/main.py': '',
}


class WalkingAnalysis(analysis.CQuarnelAnalysis):
    """A module analysis whose module scope is read from its own lines, walked once each by
    its own analyzer's walker with the caller's imports_seen, the way an environment whose
    analyzers run answers GetScopeAttributes."""

    def GetScopeAttributes(self, scope_name, simple_names_valid=True, dotted_names_valid=True,
                           end_time=None, imports_seen=None):
        self.fScopeCalls = getattr(self, 'fScopeCalls', 0) + 1
        if getattr(self, '_pairs', None) is None:
            self._pairs = transformed_lines(self.GetSource())
            self.fQuarnelImpl = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=self))
            self.fQuarnelImpl.SetLogicalList([l for l, t in self._pairs])
        walk = hooks.walker(self.fQuarnelImpl)
        for logical, tree in self._pairs:
            if not logical.fParsed and tree is not None:
                walk(tree, (logical, self, end_time, imports_seen))
                logical.fParsed = True
        found, seen = [], set()
        for logical, tree in self._pairs:
            for entry in logical.fNames:
                name = entry[0] if isinstance(entry, tuple) else entry
                if name not in seen:
                    seen.add(name)
                    found.append(analysis.AttribRef('generic', name, name, self, logical, None))
        return found

    def destroy(self):
        if getattr(self, 'fQuarnelImpl', None) is not None:
            self.fQuarnelImpl.destroy()
        self.fQuarnelImpl = self._pairs = None


class ImportTest(unittest.TestCase):
    analysis_class = analysis.CQuarnelAnalysis

    def setUp(self):
        self.root = tempfile.mkdtemp()
        for name, text in FILES.items():
            path = os.path.join(self.root, name)
            if not os.path.isdir(os.path.dirname(path)):
                os.makedirs(os.path.dirname(path))
            with open(path, 'w') as f:
                f.write(text)
        self.factory = analysis.AnalysisFactory(search_path=[self.root, STDLIB],
                                                analysis_class=self.analysis_class)
        self.main = self.factory.AnalysisForFile(os.path.join(self.root, 'pkg', 'main.py'))
        self.analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=self.main))
        self.analyzer.SetLogicalList([])
        self.walk = hooks.walker(self.analyzer)

    def tearDown(self):
        for found in self.factory._by_file.values():
            if isinstance(found, WalkingAnalysis):
                found.destroy()
        self.analyzer.destroy()
        shutil.rmtree(self.root)

    def find(self, name):
        return self.factory.FindAnalysisByName(name, self.main.fPackageDir)

    def names(self, source, imports_seen=None):
        """The fNames of each line of source after one walk with one imports_seen."""
        pairs = transformed_lines(source)
        walk_lines(self.walk, pairs, self.main, imports_seen)
        return [l.fNames for l, t in pairs]


class Records(ImportTest):
    def test_import_statements(self):
        os_analysis = self.find('os')
        self.assertTrue(os_analysis.fFilename.endswith('os.py'))
        (dotted,), (aliased,), (several,) = [self.names(s) for s in [
            'import os.path\n', 'import os.path as p\n', 'import m, pkg.sub as s, nosuch\n']]
        self.assertEqual(dotted, [('os.path', os_analysis, 'path', None),
                                  ('os', os_analysis, '', None)])
        self.assertEqual(aliased, [('p', os_analysis, 'path', None)])
        self.assertEqual(several, [('m', self.find('m'), '', None),
                                   ('s', self.find('pkg'), 'sub', None),
                                   ('nosuch', None, '', None)])
        self.assertIs(dotted[0][1], dotted[1][1])

    def test_from_imports(self):
        (plain,), (relative,), (up,), (package,) = [self.names(s) for s in [
            'from m import a as b, c\n', 'from .sub import x\n', 'from ..m import (a,)\n',
            'from . import sub\n']]
        m = self.find('m')
        self.assertEqual(plain, [('b', m, 'a', None), ('c', m, 'c', None)])
        self.assertEqual(relative, [('x', self.find('.sub'), 'x', None)])
        self.assertTrue(relative[0][1].fFilename.endswith(os.path.join('pkg', 'sub.py')))
        self.assertEqual(up, [('a', m, 'a', None)])
        self.assertEqual(package, [('sub', self.find('pkg'), 'sub', None)])

    def test_own_module(self):
        # import skips the module's own analysis; from-import records it.
        self.assertIs(self.find('main'), self.main)
        (own,), (own_dotted,), (own_from,) = [self.names(s) for s in [
            'import main, m\n', 'import main.part\n', 'from main import y\n']]
        self.assertEqual(own, [('m', self.find('m'), '', None)])
        self.assertEqual(own_dotted, [])
        self.assertEqual(own_from, [('y', self.main, 'y', None)])

    def test_created_strings_are_pooled(self):
        pool = {}
        analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=self.main, name_pool=pool))
        analyzer.SetLogicalList([])
        pairs = transformed_lines('import os.path\nimport pkg.sub\n')
        walk_lines(hooks.walker(analyzer), pairs, self.main)
        (first, head), (second, package) = [l.fNames for l, t in pairs]
        self.assertIs(pool['path'], first[2])
        self.assertIs(pool['os'], head[0])
        self.assertIs(head[2], package[2])
        analyzer.destroy()

    def test_each_import_line_expanded_once_per_call(self):
        pairs = transformed_lines('import m\nfrom m import a\n')
        seen = walk_lines(self.walk, pairs, self.main)
        walk_lines(self.walk, pairs, self.main, seen)
        self.assertEqual([len(l.fNames) for l, t in pairs], [1, 1])
        self.assertEqual(sorted(map(id, seen)), sorted([id(l) for l, t in pairs]))
        walk_lines(self.walk, pairs, self.main)  # a new analyzer call expands them again
        self.assertEqual([len(l.fNames) for l, t in pairs], [2, 2])


class Failures(ImportTest):
    def walk_node(self, node, seen=None):
        (logical, tree), = transformed_lines('pass\n')
        seen = {} if seen is None else seen
        try:
            self.walk(node, (logical, self.main, 0.0, seen))
        finally:
            self.logical = logical

    def test_bad_nodes(self):
        message = '^Imported id must be a string or a tuple with 2\\+ elements$'
        seen = {}
        self.assertRaisesRegexp(TypeError, message, self.walk_node,
                                ('Import', ('m', ('x',))), seen)
        # The records made before the failure stay, and so does the line in imports_seen.
        self.assertEqual(self.logical.fNames, [('m', self.find('m'), '', None)])
        self.assertEqual(seen, {self.logical: True})
        for entry in [3, (1, 'x'), ('x', None)]:
            self.assertRaisesRegexp(TypeError, message, self.walk_node, ('Import', (entry,)))
        for node in [('Import', ['m']), ('From', 'm', ['a'])]:
            self.assertRaisesRegexp(SystemError, 'astinspect', self.walk_node, node)
        self.assertRaises(IndexError, self.walk_node, ('From', 'm'))
        self.assertRaises(TypeError, self.walk_node, ('Import', ('m',)), 5)
        # Odd from-import entries are skipped.
        self.walk_node(('From', 'm', ('a', ('b',), ['c', 'd'], 3)))
        self.assertEqual(self.logical.fNames, [('a', self.find('m'), 'a', None)])

    def test_environment_failures_propagate(self):
        def broken(name, package_dir):
            raise LookupError(name)
        self.factory.FindAnalysisByName = broken
        self.assertRaises(LookupError, self.walk_node, ('Import', ('m',)))
        self.assertRaises(LookupError, self.walk_node, ('From', 'm', ('*',)))
        del self.factory.FindAnalysisByName
        del self.main.fPackageDir
        self.assertRaises(AttributeError, self.walk_node, ('Import', ('m',)))


class StarImports(ImportTest):
    analysis_class = WalkingAnalysis

    def test_public_names_of_the_module_scope(self):
        (names,), = [self.names('from m import *\n')]
        m = self.find('m')
        self.assertEqual([(r[0], r[1], r[2]) for r in names], [('a', m, 'a'), ('c', m, 'c')])
        self.assertEqual([r[3].fLocalName for r in names], ['a', 'c'])

    def test_mutual_star_imports_expand_once(self):
        seen = {}
        (names,), = [self.names('from star_a import *\n', seen)]
        self.assertEqual(sorted([r[0] for r in names]), ['alpha', 'beta'])
        star_a, star_b = self.find('star_a'), self.find('star_b')
        self.assertTrue(all([r[1] is star_a for r in names]))
        # star_a is asked by this module and again by star_b; each import line of the three
        # modules is in imports_seen once.
        self.assertEqual((star_a.fScopeCalls, star_b.fScopeCalls), (2, 1))
        self.assertEqual(len(seen), 3)

    def test_what_is_not_expanded(self):
        other_class = analysis.CQuarnelAnalysis(self.factory, os.path.join(self.root, 'x.py'))
        self.factory._by_file[os.path.realpath(os.path.join(self.root, 'x.py'))] = other_class
        (missing,), (other,), (two,) = [self.names(s) for s in [
            'from nosuch import *\n', 'from x import *\n', 'from m import a, b\n']]
        self.assertEqual((missing, other), ([], []))
        self.assertEqual([r[0] for r in two], ['a', 'b'])

    def test_odd_scope_results(self):
        m = self.find('m')
        for result, expected in [(None, []), ('ab', []),
                                 ((analysis.AttribRef('k', 'ok', 'ok', m, None, None),
                                   analysis.AttribRef('k', 'n.o', 'n.o', m, None, None),
                                   analysis.AttribRef('k', 5, '', m, None, None),
                                   analysis.AttribRef('k', '', '', m, None, None)), ['ok'])]:
            m.GetScopeAttributes = lambda *args: result
            (names,), = [self.names('from m import *\n')]
            self.assertEqual([r[0] for r in names], expected)
        m.GetScopeAttributes = lambda *args: [object()]
        self.assertRaises(AttributeError, self.names, 'from m import *\n')


if __name__ == '__main__':
    unittest.main()
