"""Module analyses: finding modules, scope attributes and the analyzer's notices."""
import os
import shutil
import string
import tempfile
import textwrap
import types
import unittest

from vornide.analysis import AnalysisFactory, CQuarnelAnalysis, make_attrib_ref
from vornide.grammar import Grammar
from vornide.logicallines import cut_logical_lines, make_logical_lines
from vornide.transformer import NodeTransformer

from env_support import STDLIB, parse_record


class TempFolders(unittest.TestCase):
    def setUp(self):
        self.folders = []

    def tearDown(self):
        for folder in self.folders:
            shutil.rmtree(folder)

    def folder(self, files):
        """A new folder holding files (relative name -> text)."""
        folder = os.path.realpath(tempfile.mkdtemp(prefix='vornide'))
        self.folders.append(folder)
        for name, text in files.items():
            path = os.path.join(folder, name)
            if not os.path.isdir(os.path.dirname(path)):
                os.makedirs(os.path.dirname(path))
            f = open(path, 'w')
            f.write(textwrap.dedent(text))
            f.close()
        return folder


class FindAnalysisByName(TempFolders):
    def test_stdlib_module_found_once(self):
        factory = AnalysisFactory()
        analysis = factory.FindAnalysisByName('string', None)
        self.assertIs(type(analysis), types.InstanceType)
        self.assertIsInstance(analysis, CQuarnelAnalysis)
        self.assertEqual(analysis.fFilename, os.path.join(os.path.realpath(STDLIB), 'string.py'))
        self.assertEqual(analysis.fPackageDir, os.path.dirname(analysis.fFilename))
        self.assertIs(analysis.fAnalysisFactory, factory)
        self.assertIs(factory.FindAnalysisByName('string', None), analysis)
        self.assertIs(factory.FindAnalysisByName('string', '/nonexistent'), analysis)
        self.assertIs(factory.AnalysisForFile(analysis.fFilename), analysis)

    def test_packages_and_relative_names(self):
        factory = AnalysisFactory()
        xml = os.path.join(os.path.realpath(STDLIB), 'xml')
        dom = os.path.join(xml, 'dom')

        def found(name, package_dir):
            analysis = factory.FindAnalysisByName(name, package_dir)
            return analysis and analysis.fFilename
        self.assertEqual(found('xml.dom', None), os.path.join(dom, '__init__.py'))
        self.assertEqual(found('.minidom', dom), os.path.join(dom, 'minidom.py'))
        self.assertEqual(found('minidom', dom), os.path.join(dom, 'minidom.py'))
        self.assertEqual(found('..sax', dom), os.path.join(xml, 'sax', '__init__.py'))
        self.assertEqual(found('.', dom), os.path.join(dom, '__init__.py'))
        for name, package_dir in (('os.path', None),        # os is no package
                                  ('sys', None),            # no source
                                  ('no_such_module_here', None),
                                  ('.minidom', None),       # relative without a package
                                  ('..', STDLIB),           # no package above
                                  ('bad-name', None), ('', None)):
            self.assertIsNone(found(name, package_dir), name)

    def test_search_order(self):
        mine = self.folder({'string.py': 'x = 1\n', 'xml/__init__.py': ''})
        later = self.folder({'late.py': ''})
        factory = AnalysisFactory(search_path=[later, STDLIB])
        self.assertEqual(factory.FindAnalysisByName('string', mine).fFilename,
                         os.path.join(mine, 'string.py'))
        self.assertEqual(factory.FindAnalysisByName('string', None).fFilename,
                         os.path.join(os.path.realpath(STDLIB), 'string.py'))
        # A package found first ends the search, as the interpreter's import does.
        self.assertIsNone(factory.FindAnalysisByName('xml.dom', mine))
        self.assertIsNotNone(factory.FindAnalysisByName('xml.dom', None))
        # Misses are remembered until the look-ups are forgotten.
        self.assertIsNone(factory.FindAnalysisByName('newcomer', None))
        open(os.path.join(later, 'newcomer.py'), 'w').close()
        self.assertIsNone(factory.FindAnalysisByName('newcomer', None))
        factory.ForgetLookups()
        self.assertEqual(factory.FindAnalysisByName('newcomer', None).fFilename,
                         os.path.join(later, 'newcomer.py'))


MODULE = '''\
    """A module that defines names in many ways."""
    import os.path, sys as system
    from . import sibling
    from collections import OrderedDict as OD, namedtuple
    from string import *
    import selfmod
    CONSTANT = 1
    a, (b, [c]) = f()
    x = y = {}
    obj.attr = 2
    d[0] = 3
    g = lambda k=1: k
    z += 1
    for i, j in pairs:
        inner = 1
    def func(arg):
        local = 1
    class K(Base):
        attr = 1
        def method(self):
            self.x = 1
        nested = 2; attr = 3
    CONSTANT = 2
    '''


class ScopeAttributes(TempFolders):
    def setUp(self):
        TempFolders.setUp(self)
        folder = self.folder({'selfmod.py': MODULE})
        self.factory = AnalysisFactory(search_path=[folder, STDLIB])
        self.analysis = self.factory.FindAnalysisByName('selfmod', None)

    def attributes(self, *args):
        return [(r.fLocalName, r.fFullName, r.fKind)
                for r in self.analysis.GetScopeAttributes(*args)]

    def test_module_scope(self):
        simple = [name for name, _, _ in self.attributes('', True, False, 0.0, {})]
        self.assertEqual(simple, ['os', 'system', 'sibling', 'OD', 'namedtuple', 'CONSTANT',
                                  'a', 'b', 'c', 'x', 'y', 'g', 'i', 'j', 'inner', 'func',
                                  'K'])
        dotted = [name for name, _, _ in self.attributes('', False, True)]
        self.assertEqual(dotted, ['os.path', 'obj.attr'])
        kinds = dict((name, kind) for name, _, kind in self.attributes('', True, True))
        self.assertEqual([kinds[n] for n in ('os.path', 'OD', 'CONSTANT', 'func', 'K')],
                         ['imported', 'imported', 'generic', 'function', 'class'])

    def test_import_records(self):
        refs = dict((r.fLocalName, r) for r in self.analysis.GetScopeAttributes('', True, True))
        find = self.factory.FindAnalysisByName
        self.assertEqual(refs['os.path'].fExtra, ('os.path', find('os', None), 'path', None))
        self.assertEqual(refs['os'].fExtra, ('os', find('os', None), '', None))
        self.assertEqual(refs['system'].fExtra, ('system', None, '', None))
        self.assertEqual(refs['OD'].fExtra,
                         ('OD', find('collections', None), 'OrderedDict', None))
        self.assertEqual(refs['CONSTANT'].fExtra, None)
        self.assertEqual(refs['CONSTANT'].fLine.lineno, 7)   # the first definition
        self.assertIs(refs['K'].fModAnalysis, self.analysis)
        # "import selfmod" names the module itself: no record, as the analyzer does.
        self.assertNotIn('selfmod', refs)

    def test_class_and_method_scopes(self):
        self.assertEqual(self.attributes('K', True, True),
                         [('attr', 'K.attr', 'generic'), ('method', 'K.method', 'function'),
                          ('nested', 'K.nested', 'generic')])
        self.assertEqual(self.attributes('K.method', True, True),
                         [('self.x', 'K.method.self.x', 'generic')])
        self.assertEqual(self.attributes('NoSuchScope', True, True), [])

    def test_results_follow_the_source(self):
        first = self.analysis.GetScopeAttributes('', True, False)
        again = self.analysis.GetScopeAttributes('', True, False)
        self.assertIsNot(first, again)
        self.assertEqual([r.fLocalName for r in first], [r.fLocalName for r in again])
        self.analysis.SetSource('renamed = 1\n')
        self.assertEqual(self.attributes('', True, True), [('renamed', 'renamed', 'generic')])

    def test_stdlib_module_names(self):
        analysis = AnalysisFactory().FindAnalysisByName('string', None)
        names = set(r.fLocalName for r in analysis.GetScopeAttributes('', True, False))
        self.assertEqual([n for n in dir(string) if not n.startswith('__') and n not in names],
                         [])


class Notices(unittest.TestCase):
    def test_future_flags_reach_the_grammar(self):
        class Analyzer(object):
            fFromFutureFlags = {}
        analysis = CQuarnelAnalysis(None)
        analysis._FromFutureFlagsChanged()
        analysis.fQuarnelImpl = Analyzer()
        analysis.fGrammar = grammar = Grammar()
        Analyzer.fFromFutureFlags = {'print_function': True}
        analysis._FromFutureFlagsChanged()
        self.assertEqual(analysis.fNotices,
                         [('_FromFutureFlagsChanged', None),
                          ('_FromFutureFlagsChanged', {'print_function': True})])
        record, = cut_logical_lines("print('a', end='')\n")
        self.assertIsNotNone(parse_record(grammar, record))


class WithTheAnalyzer(unittest.TestCase):
    """The objects of this package driving the analyzer over a real module."""

    def test_analyze_and_search_string_module(self):
        try:
            import logicalline
            import quarnel_impl
        except ImportError:
            self.skipTest('logicalline and quarnel_impl not built')
        factory = AnalysisFactory(logicalline_module=logicalline)
        analysis = factory.FindAnalysisByName('string', None)
        grammar = Grammar()
        impl = quarnel_impl.CreateQuarnelImpl(analysis, grammar, NodeTransformer(), {},
                                              make_attrib_ref, logicalline)
        try:
            analysis.fQuarnelImpl = impl
            analysis.fGrammar = grammar
            lines = make_logical_lines(analysis.GetSource(), logicalline)
            impl.SetLogicalList(lines)
            missing = [name for name in ('RebuildCache', 'AnalyzeLogicalList', 'SearchForAttribs')
                       if not hasattr(impl, name)]
            if missing:
                self.skipTest('the analyzer has no %s yet' % ', '.join(missing))
            impl.RebuildCache()
            self.assertTrue(impl.AnalyzeLogicalList(lines, -1, -1.0))
            self.assertEqual(impl.fParseErrors, {})
            found = impl.SearchForAttribs({'scope_name': '', 'local_name': '*',
                                           'find_all': False})
            cheap = analysis.GetScopeAttributes('', True, True)
            self.assertTrue(set(r.fLocalName for r in cheap) <=
                            set(r.fLocalName for r in found))
        finally:
            impl.destroy()
            analysis.fQuarnelImpl = None


if __name__ == '__main__':
    unittest.main()
