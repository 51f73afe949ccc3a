"""The analyzer's attribute search and type-equivalence queries: SearchForAttribs in its three
modes checked against a walk of the `compiler` syntax tree over the standard library (and the
modes against one another), its options, patterns, time budget, cached scope lists and trace
texts on lines cut from real source, and FindTypeEquivs, FindInstAttribTypeEquivs and
GetInstanceAttributes on real classes."""
import collections
import os
import textwrap
import unittest

import Queue

from analyzer_support import TraceSink, library_failures, module_source, real_analyzer
from search_oracle import compiler_definitions

STDLIB = os.path.dirname(os.__file__)

# Lines from the standard library's string.py and Queue.py.
SOURCE = textwrap.dedent('''\
    """A string module excerpt."""
    import re as _re
    from collections import deque, namedtuple as _nt
    import os.path

    whitespace = ' \\t\\n\\r\\v\\f'
    lowercase = 'abcdefghijklmnopqrstuvwxyz'
    letters = lowercase + uppercase
    ascii_letters = ascii_lowercase + ascii_uppercase
    _idmap = str('').join(l)
    _idmap = None

    def capwords(s, sep=None):
        return (sep or ' ').join(x.capitalize() for x in s.split(sep))

    class _multimap:
        """Helper class for combining multiple mappings."""
        def __init__(self, primary, secondary):
            self._primary = primary
            self._secondary = secondary
            self._primary.cache = {}

        def __getitem__(self, key):
            try:
                return self._primary[key]
            except KeyError:
                return self._secondary[key]

    class Template:
        delimiter = '$'
        idpattern = r'[_a-z][_a-z0-9]*'

        def __init__(self, template):
            self.template = template
            def convert(mo):
                named = mo.group('named')
                return named
            self.template = convert
''')


class _WithLines(object):
    """An analyzer with its logical list at hand (`lines`)."""

    def __init__(self, analyzer, lines):
        self.analyzer, self.lines = analyzer, lines

    def __getattr__(self, name):
        return getattr(self.analyzer, name)


def scope_of(ref):
    """The scope part of an attribute reference's full name."""
    return ref.fFullName[:len(ref.fFullName) - len(ref.fLocalName)].rstrip('.')


def found(refs):
    return [(r.fKind, r.fFullName) for r in refs]


class Basics(unittest.TestCase):
    def setUp(self):
        self.a, self.lines, self.analysis = real_analyzer(SOURCE)

    def tearDown(self):
        self.a.destroy()

    def search(self, **options):
        return self.a.SearchForAttribs(options)

    def test_modes_on_the_excerpt(self):
        everything = found(self.search())
        self.assertEqual(everything[:6], [
            ('imported', '_re'), ('imported', 'deque'), ('imported', '_nt'),
            ('imported', 'os.path'), ('imported', 'os'), ('generic', 'whitespace')])
        self.assertEqual(everything.count(('generic', '_idmap')), 2)   # find_all by default
        self.assertIn(('generic', '_multimap.__init__.self._primary.cache'), everything)
        self.assertIn(('function', 'Template.__init__.convert'), everything)
        self.assertIn(('generic', 'Template.__init__.convert.named'), everything)
        # Mode 0 with find_all clear: the first definition per scope and name.
        once = found(self.search(find_all=False))
        self.assertEqual(once.count(('generic', '_idmap')), 1)
        self.assertEqual(once.count(('generic', 'Template.__init__.self.template')), 1)
        # Mode 1: the name map; the first line that reports ends the lookup.
        idmap = self.search(local_name='_idmap', find_all=False)
        self.assertEqual([r.fLine.fLineno for r in idmap], [10])
        self.assertEqual(len(self.search(local_name='_idmap')), 2)
        self.assertEqual(found(self.search(local_name='__init__')),
                         [('function', '_multimap.__init__'), ('function', 'Template.__init__')])
        self.assertEqual(found(self.search(local_name='__init__', scope_name='Template')),
                         [('function', 'Template.__init__')])
        # Mode 2: the cached scope list, kinds and "." filtered, name_spec not applied.
        members = found(self.search(scope_name='Template', local_name='get*', find_all=False))
        self.assertEqual(members, [('generic', 'Template.delimiter'),
                                   ('generic', 'Template.idpattern'),
                                   ('function', 'Template.__init__')])
        self.assertEqual(found(self.search(scope_name='', local_name='*', find_all=0,
                                           valid_kinds=['function', 'class'])),
                         [('function', 'capwords'), ('class', '_multimap'), ('class', 'Template')])
        dotted = self.search(scope_name='_multimap.__init__', find_all=0, simple_names_valid=0)
        self.assertEqual([r.fLocalName for r in dotted],
                         ['self._primary', 'self._secondary', 'self._primary.cache'])

    def test_import_records_and_extra(self):
        refs = self.search(local_name='_nt')
        self.assertEqual(len(refs), 1)
        local, analysis, in_module, attribute = refs[0].fExtra
        self.assertEqual((local, in_module, attribute), ('_nt', 'namedtuple', None))
        self.assertTrue(analysis.fFilename.endswith('collections.py'))
        self.assertEqual(self.search(local_name='whitespace')[0].fExtra, None)

    def test_patterns(self):
        names = lambda pattern: [r.fLocalName for r in self.search(local_name=pattern, find_all=0)]
        self.assertEqual(names('l*s'), ['letters'])
        self.assertEqual(names('*case'), ['lowercase'])
        self.assertEqual(names('ascii_*letters'), ['ascii_letters'])
        self.assertEqual(names('_id*p'), ['_idmap'])
        self.assertEqual(names('_idmap*_idmap'), [])        # at least as long as both parts
        self.assertEqual(names('*e*s'), [])   # only the first "*" stands for text
        self.assertEqual(names('white*space'), ['whitespace'])
        scopes = lambda pattern: sorted(set(scope_of(r) for r in self.search(scope_name=pattern)))
        self.assertEqual(scopes('*.__init__'), ['Template.__init__', '_multimap.__init__'])
        self.assertEqual(scopes('Template*'), ['Template', 'Template.__init__',
                                               'Template.__init__.convert'])

    def test_entries_that_are_not_names(self):
        self.search()
        letters = self.search(local_name='letters')[0].fLine
        letters.AddName(5)              # neither a str nor an import record: never a name
        letters.AddName(('tupled',))    # an import record on a line that imports nothing
        imports = self.search(local_name='deque')[0].fLine
        imports.AddName((7, None, 'x', None))
        imports.AddName(())
        imports.AddName('plain')        # a str on an import line is no import record
        names = [r.fLocalName for r in self.search(find_all=False)]
        self.assertEqual([n for n in names if n in (5, 7, 'tupled', 'plain')], [])
        self.assertEqual(names.count('letters'), 1)

    def test_indentation_below_the_scope_stack(self):
        from analyzer_support import line
        self.lines.append(line(lineno=99, indent=-3, tokens=('x', '=', '1')))
        self.assertRaises(SystemError, self.search, update=False)
        self.assertEqual(self.a.fActiveMethodCount, 0)

    def test_undefined_scope(self):
        self.assertEqual(self.search(scope_name='Nowhere', find_all=True), [])
        self.assertEqual(self.search(scope_name='Nowhere', local_name='x'), [])
        self.assertRaises(KeyError, self.search, scope_name='Nowhere', find_all=False)

    def test_options(self):
        for key, value, message in [
                ('scope_name', 1, 'scope_name must be a string'),
                ('local_name', None, 'local_name must be a string'),
                ('imports_seen', [], 'imports_seen must be a dict instance or None')]:
            try:
                self.search(**{key: value})
            except TypeError, e:
                self.assertEqual(str(e), message)
            else:
                self.fail(key)

        class Falsy(object):
            def __nonzero__(self):
                raise ValueError('no truth')

        for key in ('update', 'find_all', 'simple_names_valid', 'dotted_names_valid'):
            self.assertRaises(ValueError, self.search, **{key: Falsy()})

        class Kinds(object):
            def __contains__(self, kind):
                raise ValueError(kind)

        self.assertRaises(ValueError, self.search, valid_kinds=Kinds())
        self.assertRaises(TypeError, self.search, valid_kinds=3)
        self.assertRaises(TypeError, self.a.SearchForAttribs, [])
        self.assertRaises(TypeError, self.a.SearchForAttribs)
        seen = {}
        self.search(imports_seen=seen)
        self.assertEqual(len(seen), 3)   # the caller's dict is the request's
        self.assertEqual(len(self.search(end_time=1)), len(self.search()))   # an int is ignored
        self.assertEqual(self.search(local_name='x', imports_seen=None), [])

        class Name(str):
            pass

        self.assertEqual(found(self.search(local_name=Name('capwords'), scope_name=Name(''))),
                         [('function', 'capwords')])
        self.a.SetLogicalList(None)
        self.assertRaises(AssertionError, self.search)

    def test_update_and_laziness(self):
        a = real_analyzer(SOURCE)[0]
        # Without update nothing is analyzed: mode 1 finds only class and def lines.
        self.assertEqual(a.SearchForAttribs({'local_name': 'letters', 'update': 0}), [])
        self.assertEqual(a.fParsedCount, 0)
        self.assertEqual(len(a.SearchForAttribs({'local_name': 'Template', 'update': 0})), 1)
        # Only the lines of the searched scope whose kind is wanted are analyzed.
        a.SearchForAttribs({'scope_name': '_multimap', 'local_name': 'x',
                            'valid_kinds': ('generic',)})
        self.assertEqual(a.fParsedCount, 1)      # its docstring; its def lines are not
        a.SearchForAttribs({'scope_name': 'Template', 'local_name': 'x'})
        self.assertEqual(a.fParsedCount, 4)      # two assignments and the def line
        self.assertEqual(len(a.SearchForAttribs({'local_name': 'letters'})), 1)
        a.LogicalCacheNeedsUpdate()
        before = len(self.notices(a))
        a.SearchForAttribs({'local_name': 'x', 'update': 0})
        self.assertEqual(len(self.notices(a)), before)
        a.SearchForAttribs({'local_name': 'x'})
        a.SearchForAttribs({'local_name': 'x'})
        self.assertEqual(len(self.notices(a)), before + 1)
        a.destroy()

    def notices(self, a):
        mod_analysis = a.SearchForAttribs({'local_name': 'capwords', 'update': 0})[0].fModAnalysis
        return [n for n, _ in mod_analysis.fNotices if n == 'UpdateFromCache']

    def test_time_budget(self):
        past = 1.0
        self.assertEqual(self.search(end_time=past), [])                 # mode 0
        self.assertEqual(self.search(local_name='Template', end_time=past), [])   # mode 1
        self.assertEqual(self.search(scope_name='Template', find_all=0, end_time=past), [])
        listed = self.search(scope_name='Template', find_all=0)
        self.assertEqual(len(listed), 3)
        again = self.search(scope_name='Template', find_all=0, end_time=past)
        self.assertEqual([id(r) for r in again], [id(r) for r in listed])   # the cached list

    def test_a_scan_cut_short_is_not_stored(self):
        # Every line is analyzed, so only the scan itself can run out of time; the scope list it
        # built must not be kept as the scope's list.
        self.search()
        self.assertEqual(self.search(scope_name='', find_all=0, end_time=1.0), [])
        whole = self.search(scope_name='', find_all=0)
        self.assertEqual(len(whole), 13)
        self.assertEqual([id(r) for r in self.search(scope_name='', find_all=0)],
                         [id(r) for r in whole])

    def test_cached_lists_follow_edits(self):
        first = found(self.search(scope_name='Template', find_all=0))
        template = [l for l in self.lines if l.fTokens[:1] == ['idpattern']][0]
        self.a.ClearAnalysis(template)
        template.fTokens = ['pattern', '=', "'x'"]
        self.assertEqual(found(self.search(scope_name='Template', find_all=0)),
                         [first[0], ('generic', 'Template.pattern'), first[2]])

    def test_attribute_filter_reads_the_objects(self):
        class Ref(object):
            def __init__(self, kind, name, *rest):
                self.fKind, self.fLocalName = kind, name

        bad = []

        def factory(kind, name, full, analysis, line, extra):
            ref = Ref(kind, name)
            bad.append(ref)
            return ref

        a = self.with_factory(factory)
        listed = a.SearchForAttribs({'scope_name': 'Template', 'find_all': 0})
        self.assertEqual(len(listed), 3)
        bad[0].fKind = 1
        self.assertRaises(TypeError, a.SearchForAttribs,
                          {'scope_name': 'Template', 'find_all': 0, 'valid_kinds': ['generic']})
        bad[0].fKind, bad[1].fLocalName = 'generic', None
        try:
            a.SearchForAttribs({'scope_name': 'Template', 'find_all': 0, 'dotted_names_valid': 0})
        except TypeError, e:
            self.assertEqual(str(e), '.fLocalName is not a str instance')
        else:
            self.fail()

        def failing(*args):
            raise RuntimeError('factory')

        a = self.with_factory(failing)
        self.assertRaises(RuntimeError, a.SearchForAttribs, {})
        self.assertEqual(a.fActiveMethodCount, 0)

    def test_factory_that_changes_the_analyzer(self):
        # The factory runs Python code in the middle of a search: it may empty the logical
        # list, search again, or destroy the analyzer. No crash; a destroyed analyzer fails.
        state = {}

        def emptying(kind, name, *rest):
            del state['lines'][:]
            return name

        a = self.with_factory(emptying)
        state['lines'] = a.lines
        self.assertEqual(len(a.SearchForAttribs({'find_all': 0})), 1)

        def nesting(kind, name, *rest):
            if not state.get('inner'):
                state['inner'] = True
                state['found'] = len(state['a'].SearchForAttribs({'local_name': 'letters'}))
            return name

        a = state['a'] = self.with_factory(nesting)
        self.assertEqual(len(a.SearchForAttribs({'scope_name': '', 'find_all': 0})), 13)
        self.assertEqual((state['found'], a.fActiveMethodCount), (1, 0))

        def destroying(kind, name, *rest):
            state['b'].destroy()
            return name

        for options in ({}, {'local_name': 'capwords'}, {'scope_name': 'Template',
                                                          'find_all': 0}):
            b = state['b'] = self.with_factory(destroying)
            try:
                b.SearchForAttribs(options)
            except (AssertionError, SystemError):
                pass
            self.assertEqual(b.fActiveMethodCount, 0)

    def with_factory(self, factory):
        import logicalline
        import quarnel_impl
        from vornide import grammar, transformer
        from analyzer_support import make_logical_lines
        analysis = self.analysis
        a = quarnel_impl.CreateQuarnelImpl(analysis, grammar.Grammar(),
                                           transformer.NodeTransformer(), {}, factory,
                                           logicalline)
        lines = make_logical_lines(SOURCE)
        a.SetLogicalList(lines)
        a.RebuildCache()
        self.addCleanup(a.destroy)
        return _WithLines(a, lines)

    def test_traces(self):
        sink = TraceSink()
        self.a.SetTracer(sink)
        self.search(local_name='capwords', update=0)
        messages = self.messages(sink.writes)
        self.assertEqual(messages, [
            ["Searching: name_spec = 'capwords', scope_spec = '*', end_time = -1.000000\n"],
            ['Found defn list in cache', '\n'],
            ["Trying to append 'capwords'\n"],
            ['Creating attrib ref instance', '\n'],
            ['Done with search', '\n']])
        del sink.writes[:]
        self.search(scope_name='Template', find_all=0, update=0)
        self.search(scope_name='Template', find_all=0, update=0)
        texts = [m[0] for m in self.messages(sink.writes)]
        self.assertIn('Creating attribute list for ', texts)
        self.assertEqual(texts.count('Using cached attribute list for'), 1)
        self.assertIn(['Using cached attribute list for', "'Template'", '\n'],
                      self.messages(sink.writes))
        del sink.writes[:]
        self.search(local_name='capwords', end_time=1.0, update=0)
        self.assertIn(['Out of time while searching for', "'capwords'", '\n'],
                      self.messages(sink.writes))
        del sink.writes[:]
        self.search(scope_name='*', local_name='capw*', update=1)
        self.assertIn(['Analyzing logicals in ', repr(self.analysis), '\n'],
                      self.messages(sink.writes))
        for fail_at in range(0, 12):
            self.a.SetTracer(TraceSink(fail_at=fail_at))
            self.assertRaises(IOError, self.search, local_name='capwords')

    def messages(self, writes):
        """The writes grouped into messages, each without its two stamp writes."""
        result = []
        for i, text in enumerate(writes):
            if text == repr(self.analysis) and i + 1 < len(writes) and \
                    writes[i + 1].startswith(' get_time() = '):
                result.append([])
            elif not text.startswith(' get_time() = '):
                result[-1].append(text)
        return result


class StarImports(unittest.TestCase):
    """GetScopeAttributes of a module with an analyzer answers from its search, so a star
    import sees the names the analyzer finds; two modules importing each other with "*" stay
    bounded."""

    def test_mutual_star_imports(self):
        import logicalline
        import quarnel_impl
        import shutil
        import tempfile
        from vornide import analysis, grammar, transformer
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        sources = {'alpha': 'from beta import *\nx, (y, z) = 1, (2, 3)\n_hidden = 1\n',
                   'beta': 'from alpha import *\nclass B: pass\nfor w in (): pass\n'}
        for name, text in sources.items():
            open(os.path.join(folder, name + '.py'), 'w').write(text)
        factory = analysis.AnalysisFactory(search_path=[folder], logicalline_module=logicalline)
        modules = {}
        for name in sources:
            module = factory.FindAnalysisByName(name, None)
            module.fQuarnelImpl = quarnel_impl.CreateQuarnelImpl(
                module, grammar.Grammar(), transformer.NodeTransformer(), {},
                analysis.make_attrib_ref, logicalline)
            module.LoadLogicalLines(logicalline)
            modules[name] = module
        alpha, beta = modules['alpha'], modules['beta']
        names = lambda refs: sorted(r.fLocalName for r in refs)
        self.assertEqual(names(alpha.GetScopeAttributes('')), ['B', '_hidden', 'w', 'x', 'y', 'z'])
        self.assertEqual(names(beta.GetScopeAttributes('')), ['B', 'w', 'x', 'y', 'z'])
        imported = [r for r in beta.GetScopeAttributes('') if r.fLocalName == 'x'][0]
        self.assertTrue(imported.fExtra[1] is alpha)
        self.assertEqual(names(alpha.GetScopeAttributes('', True, False, 0.0, {})),
                         ['B', '_hidden', 'w', 'x', 'y', 'z'])
        for module in modules.values():
            module.fQuarnelImpl.destroy()
            module.fQuarnelImpl = None


class EditedModule(unittest.TestCase):
    """A module's scope listings through the environment (GetScopeAttributes on its own
    analyzer) stay right across the environment's incremental edits."""

    def test_listings_follow_edits(self):
        import logicalline
        import quarnel_impl
        from vornide import analysis, grammar, transformer
        factory = analysis.AnalysisFactory(logicalline_module=logicalline)
        module = analysis.CQuarnelAnalysis(factory, '/nowhere/edited.py', source=SOURCE)
        module.fQuarnelImpl = quarnel_impl.CreateQuarnelImpl(
            module, grammar.Grammar(), transformer.NodeTransformer(), {},
            analysis.make_attrib_ref, logicalline)
        self.addCleanup(module.fQuarnelImpl.destroy)
        module.LoadLogicalLines(logicalline)
        names = lambda scope: [r.fLocalName for r in module.GetScopeAttributes(scope)]
        self.assertEqual(names('Template'), ['delimiter', 'idpattern', '__init__'])
        module.ReplaceLines(30, 1, "    idpat = 'x'\n    other = 2\n")
        self.assertEqual(names('Template'), ['idpat', 'other', 'idpattern', '__init__'])
        before = names('')
        module.ReplaceLines(5, 0, 'extra = 1\n')
        self.assertEqual(names(''), before[:5] + ['extra'] + before[5:])
        module.ReplaceLines(30, 1, 'class Pattern:\n')   # Template, moved down by one
        self.assertEqual(names('Pattern'), ['idpat', 'other', 'idpattern', '__init__'])
        self.assertEqual(names('Template'), [])
        self.assertEqual(names('')[-1], 'Pattern')


def differences(path):
    """What SearchForAttribs gets wrong on the module: mode 0 against the compiler's
    definitions, and modes 1 and 2 against mode 0."""
    source = open(path).read()
    want = compiler_definitions(source)
    if None in want:          # star imports bring names the compiler cannot see
        return []
    a = real_analyzer(source)[0]
    try:
        return _differences(a, want)
    finally:
        a.destroy()


def _differences(a, want):
    problems = []
    every = a.SearchForAttribs({'end_time': 0.0})
    got = {}
    for ref in every:
        got.setdefault(scope_of(ref), []).append((ref.fKind, ref.fLocalName))
    for scope in set(want) | set(got):
        if sorted(want.get(scope, [])) != sorted(got.get(scope, [])):
            missing = collections.Counter(want.get(scope, []))
            missing.subtract(got.get(scope, []))
            problems.append((scope, sorted(n for n, c in missing.items() if c)))
    # A full name defined twice (a def in each branch of an if) names its first definition's
    # body; mode 0 reports both bodies under the name.
    twice = collections.Counter(r.fFullName for r in every if r.fKind in ('class', 'function'))
    for scope, definitions in sorted(got.items()):
        if twice[scope] > 1:
            continue
        first = []
        for kind, name in definitions:
            if name not in [n for _, n in first]:
                first.append((kind, name))
        listed = a.SearchForAttribs({'scope_name': scope, 'find_all': 0})
        if [(r.fKind, r.fLocalName) for r in listed] != first:
            problems.append(('mode 2', scope))
        for kind, name in first:
            one = a.SearchForAttribs({'scope_name': scope, 'local_name': name, 'find_all': 0,
                                      'update': 0})
            if [(r.fLocalName, scope_of(r)) for r in one] != [(name, scope)]:
                problems.append(('mode 1', scope, name))
            all_of = a.SearchForAttribs({'scope_name': scope, 'local_name': name, 'update': 0})
            if len(all_of) != [n for _, n in definitions].count(name):
                problems.append(('mode 1 find_all', scope, name))
    return problems


class LibraryOracle(unittest.TestCase):
    """Every module of the standard library (every eighth under the debug interpreter). Each
    module is analyzed once, so the class is not repeated by the leak hunt; LibrarySample is."""
    leak_check = False

    def test_whole_library(self):
        failed, count = library_failures(differences)
        self.assertEqual(failed, {})
        self.assertTrue(count > 20)


class LibrarySample(unittest.TestCase):
    def test_sample(self):
        for name in ('sched.py', 'Queue.py', 'textwrap.py'):
            self.assertEqual(differences(os.path.join(STDLIB, name)), [], name)


class TypeEquivs(unittest.TestCase):
    """The queries on Queue.py and the excerpt."""

    def setUp(self):
        self.a = real_analyzer(module_source(Queue))[0]
        self.addCleanup(self.a.destroy)

    def test_find_type_equivs(self):
        a = self.a
        self.assertEqual(a.FindTypeEquivs('self', 'Queue.__init__'), ['Queue:'])
        self.assertEqual(a.FindTypeEquivs('item', 'Queue.get'), ['self._get()'])
        self.assertEqual(a.FindTypeEquivs('return', 'Queue.get'), ['item'])
        self.assertEqual(a.FindTypeEquivs('self', 'Nowhere'), [])
        self.assertEqual(a.FindTypeEquivs('maxsize', 'Queue.__init__'), [])
        # The first parameter of a nested function is no instance.
        excerpt = real_analyzer(SOURCE)[0]
        self.addCleanup(excerpt.destroy)
        self.assertEqual(excerpt.FindTypeEquivs('mo', 'Template.__init__.convert'), [])
        self.assertEqual(excerpt.FindTypeEquivs('named', 'Template.__init__.convert'),
                         ["mo.group('named')"])
        self.assertEqual(excerpt.FindTypeEquivs('self._primary.cache', '_multimap.__init__'),
                         ['::dict:'])
        # The def line's own pairs come after the body's.
        convert = [l for l in excerpt.GetBodyOfScope('Template.__init__') if l.fLineType == 2][0]
        excerpt.AnalyzeLogical(convert)
        convert.AddTypeEquiv('named', 'from the def line')
        self.assertEqual(excerpt.FindTypeEquivs('named', 'Template.__init__.convert'),
                         ["mo.group('named')", 'from the def line'])

    def test_instance_attributes(self):
        a = self.a
        self.assertEqual(a.FindInstAttribTypeEquivs('mutex', 'Queue', None),
                         [('Queue.__init__', ['_threading.Lock()'])])
        self.assertEqual(a.FindInstAttribTypeEquivs('queue', 'LifoQueue', ('_init', 'x')),
                         [('LifoQueue._init', ['::list:'])])
        self.assertEqual(a.FindInstAttribTypeEquivs('queue', 'LifoQueue', ['_put']), [])
        self.assertEqual(a.FindInstAttribTypeEquivs('queue', 'Nowhere', None), [])
        attributes = a.GetInstanceAttributes('Queue', None)
        self.assertEqual([n for n, _ in attributes],
                         ['maxsize', 'mutex', 'not_empty', 'not_full', 'all_tasks_done',
                          'unfinished_tasks', 'unfinished_tasks', 'queue'])
        self.assertEqual([l.fLineno for n, l in attributes if n == 'unfinished_tasks'], [43, 66])
        self.assertEqual(a.GetInstanceAttributes('Queue', ['_init']), [('queue', attributes[-1][1])])
        for name in ('', 'Queue.__init__', 'Nowhere'):
            self.assertEqual(a.GetInstanceAttributes(name, None), None)
        excerpt = real_analyzer(SOURCE)[0]
        self.addCleanup(excerpt.destroy)
        self.assertEqual([n for n, _ in excerpt.GetInstanceAttributes('_multimap', None)],
                         ['_primary', '_secondary'])   # self._primary.cache is none

    def test_arguments(self):
        a = self.a
        for call in (lambda: a.FindTypeEquivs('x', 'Queue', 'soon'),
                     lambda: a.FindInstAttribTypeEquivs('x', 'Queue', None, []),
                     lambda: a.GetInstanceAttributes('Queue', None, object())):
            try:
                call()
            except TypeError, e:
                self.assertEqual(str(e), 'end_time must be a float or None')
            else:
                self.fail()
        self.assertRaises(TypeError, a.FindTypeEquivs, 1, 'Queue')
        self.assertRaises(TypeError, a.FindTypeEquivs, 'x', None)
        self.assertRaises(TypeError, a.GetInstanceAttributes, None, None)
        self.assertRaises(TypeError, a.GetInstanceAttributes, 'Queue', 3)
        self.assertEqual(a.GetInstanceAttributes('Queue', None, 0.0)[0][0], 'maxsize')

        class Names(object):
            def __contains__(self, name):
                raise ValueError(name)

        self.assertRaises(ValueError, a.FindInstAttribTypeEquivs, 'x', 'Queue', Names())
        self.assertEqual(a.fActiveMethodCount, 0)


if __name__ == '__main__':
    unittest.main()
