"""The tree walker and the standard visitors: what walking the syntax tree of real logical lines
(cut, parsed and transformed by the environment) records on those lines. The walker is the one
SetLogicalList builds, reached through the test-only hooks module."""
import gc
import unittest

import _quarnel_testhooks as hooks
from analyzer_support import ModuleAnalysis, analyzer_args, transformed_lines, walk_lines

X, Y = ('Name', 'x'), ('Name', 'y')


def new_walk(mod_analysis=None, pool=None, lines=()):
    """An analyzer with a logical list and the bound Walk of its walker."""
    mod_analysis = mod_analysis or ModuleAnalysis()
    analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=mod_analysis,
                                                      name_pool={} if pool is None else pool))
    analyzer.SetLogicalList(list(lines))
    return analyzer, hooks.walker(analyzer)


def visitor_map(walk):
    """The walker's visitor map (the one object the walker references)."""
    return gc.get_referents(walk.__self__)[0]


def records(logical):
    return logical.fNames, logical.fEquivs, logical.fBaseNames


class RealLines(unittest.TestCase):
    def analyze(self, source):
        pairs = transformed_lines(source)
        self.mod_analysis = ModuleAnalysis()
        self.pool = {}
        self.analyzer, walk = new_walk(self.mod_analysis, self.pool, [l for l, t in pairs])
        walk_lines(walk, pairs, self.mod_analysis)
        return [records(l) for l, t in pairs]

    def test_assignments_returns_loops_and_calls(self):
        cases = [
            ('a, b = f()', ['a', 'b'], []),
            ('[a, (b, c.d)] = f()', ['a', 'b', 'c.d'], []),
            ('x = {}', ['x'], [('x', '::dict:')]),
            ('x = {1: 2}', ['x'], [('x', '::dict:')]),
            ('x = []', ['x'], [('x', '::list:')]),
            ('x = ()', ['x'], [('x', '::tuple:')]),
            ("x = 'abc'", ['x'], [('x', '::string:')]),
            ("x = u'abc'", ['x'], [('x', '::string:')]),
            ('x = 3', ['x'], []),
            ('x = os.path', ['x'], [('x', 'os.path')]),
            ('x = mod.Cls(1, k=y)', ['x'], [('x', 'mod.Cls(1, k = y)')]),
            ('self.x = y', ['self.x'], [('self.x', 'y')]),
            ('x = f(a)(b)', ['x'], []),
            ('x = a + b', ['x'], []),
            ('x[0] = y', [], []),
            ('x += y', [], []),
            # Chained: the outer node binds the last target to the value, the inner one the
            # first target to the second.
            ('a = b = c.d', ['b', 'a'], [('b', 'c.d'), ('a', 'b')]),
            ('for i in range(3): pass', ['i'], []),
            ('for k, (v, w) in d.items(): pass', ['k', 'v', 'w'], []),
            ('return os.path', [], [('return', 'os.path')]),
            ('return {}', [], [('return', '::dict:')]),
            ('return', [], []),
            ('return x + 1', [], []),
            ('isinstance(x, (A, B))', [], [('x', '(A, B):')]),
            ('isinstance(self.x, mod.C)', [], [('self.x', 'mod.C:')]),
            ('isinstance(x)', [], []),
            ('isinstance(x, A, B)', [], []),
            ('y = isinstance(x, A)', ['y'], [('y', 'isinstance(x, A)'), ('x', 'A:')]),
            ('f = lambda x=os.path: x', ['f'], []),
            ('print >> f, x', [], []),
            # Calls below other statements are found by the walk.
            ('if isinstance(x, str) and y: pass', [], [('x', 'str:')]),
        ]
        for source, names, equivs in cases:
            found = self.analyze(source + '\n')
            self.assertEqual(found[0], (names, equivs, []), source)

    def test_def_and_class_headers(self):
        header, body, cls, cls_body = [
            records(l) for l, t in self.pairs(
                'def f(self, (a, b), c=1, *args, **kw): return self.x\n'
                'class C(A, b.B, f(x), isinstance(x, B)): y = 1\n')]
        self.assertEqual(header, (['self', ('a', 'b'), 'c', 'args', 'kw'], [], []))
        self.assertEqual(body, ([], [('return', 'self.x')], []))
        # The visitor of a class line does not walk into its bases: no isinstance record.
        self.assertEqual(cls, ([], [], ['A', 'b.B', 'f(x)', 'isinstance(x, B)']))
        self.assertEqual(cls_body, (['y'], [], []))

    def pairs(self, source):
        pairs = transformed_lines(source)
        self.analyzer, walk = new_walk(lines=[l for l, t in pairs])
        walk_lines(walk, pairs, ModuleAnalysis())
        return [(l, t) for l, t in pairs]

    def test_created_strings_are_pooled(self):
        found = self.analyze('x = mod.Cls(1)\ny = mod.Cls(1)\nclass C(a.b): pass\n'
                             'isinstance(z, a.b)\n')
        (x_equiv,), (y_equiv,) = found[0][1], found[1][1]
        self.assertIs(x_equiv[1], y_equiv[1])
        self.assertIs(self.pool['mod.Cls(1)'], x_equiv[1])
        self.assertIs(self.pool['a.b'], found[2][2][0])
        self.assertIs(self.pool['a.b:'], found[4][1][0][1])

    def test_every_line_of_a_standard_module(self):
        # Each line walks without error, and every record has the forms the analyzer reads.
        import env_support
        from vornide import analysis
        # Imports resolve to nothing: the search path is empty.
        mod_analysis = analysis.CQuarnelAnalysis(analysis.AnalysisFactory(search_path=[]))
        pairs = transformed_lines(env_support.stdlib_source('inspect.py'))
        analyzer, walk = new_walk(mod_analysis, lines=[l for l, t in pairs])
        walk_lines(walk, pairs, mod_analysis)
        defs = 0
        for logical, tree in pairs:
            for name in logical.fNames:
                self.assertTrue(isinstance(name, (str, tuple)), name)
            for name, value in logical.fEquivs:
                self.assertEqual((type(name), type(value)), (str, str))
            if logical.fLineType == 2:
                defs += 1
                self.assertEqual(tuple(logical.fNames), tree[2])
        self.assertGreater(defs, 50)


class Walking(unittest.TestCase):
    """The walk itself, with visitors written in Python."""

    def walk_with(self, visitors, tree, arg='arg'):
        hooks.node_walker(visitors).Walk(tree, arg)

    def test_visitor_results_and_sequences(self):
        seen = []

        def record(node, arg):
            seen.append((node[0], node[1] if len(node) > 1 else None, arg))
            return node[1] if len(node) > 1 else True
        tree = ('Stmt', [('A', False, ('A', 'below')), ('A', 1, ('A', 0, ('A', 'deep'))),
                         ((('A', [], ('A', 'x')),), 'str', 3, None)])
        self.walk_with({'A': record}, tree)
        # False, 0 and [] stop below their node only; a tuple led by a non-str is walked
        # from item 0 with no visitor call for itself.
        self.assertEqual([s[1] for s in seen], [False, 1, 0, []])
        self.assertEqual(set([s[2] for s in seen]), set(['arg']))

    def test_object_form_nodes(self):
        class Node:
            def __init__(self, *children):
                self._children = children

        class Leaf:
            pass
        seen = []
        visitors = {Node: lambda node, arg: seen.append(node) or True,
                    'A': lambda node, arg: seen.append(node[1])}
        inner = Node(('A', 2))
        self.walk_with(visitors, ('Stmt', (Node(('A', 1), [inner, 'text']),)))
        self.assertEqual([n if isinstance(n, int) else n.__class__ for n in seen],
                         [Node, 1, Node, 2])
        leaf_parent = Node(Leaf())
        self.assertRaises(AttributeError, self.walk_with, visitors, leaf_parent)
        # A visitor's false result means _children is not even read.
        self.walk_with({Leaf: lambda node, arg: False}, Leaf())
        odd = Node()
        odd._children = 'not a sequence'
        self.walk_with(visitors, odd)

    def test_errors_stop_the_walk(self):
        seen = []

        def visit(node, arg):
            seen.append(node[1])
            if node[1] == 'stop':
                raise KeyError('stop')
            return True

        class Falsy(object):
            def __nonzero__(self):
                raise ValueError('no truth')
        tree = ('Stmt', (('A', 'go'), ('A', 'stop'), ('A', 'never')))
        self.assertRaises(KeyError, self.walk_with, {'A': visit}, tree)
        self.assertEqual(seen, ['go', 'stop'])
        self.assertRaises(ValueError, self.walk_with, {'A': lambda n, a: Falsy()}, ('A',))
        deep = ('A',)
        for i in range(5000):
            deep = ('B', deep)
        self.assertRaises(RuntimeError, self.walk_with, {}, deep)

    def test_constructor_and_walk_arguments(self):
        self.assertRaisesRegexp(TypeError, '^Incorrect type of NodeWalker constructor$',
                                hooks.node_walker, [('A', None)])

        class Map(dict):
            pass
        walker = hooks.node_walker(Map(A=lambda n, a: None))
        self.assertEqual(type(walker).__name__, 'NodeWalker')
        self.assertEqual(walker.Walk.__doc__, '')
        self.assertIsNone(walker.Walk(('A', ('A',)), None))
        self.assertRaises(TypeError, walker.Walk, ('A',))
        self.assertRaises(TypeError, walker.Walk, ('A',), 1, 2)


class StandardVisitors(unittest.TestCase):
    def setUp(self):
        self.analyzer, self.walk = new_walk()
        self.visitors = visitor_map(self.walk)
        self.logical = transformed_lines('pass\n')[0][0]

    def arg(self):
        return (self.logical, ModuleAnalysis(), 0.0, {})

    def test_map_types_and_docstrings(self):
        self.assertEqual(sorted(self.visitors), ['Assign', 'CallFunc', 'Class', 'For', 'From',
                                                 'Function', 'Import', 'Return'])
        names = dict([(kind, v.__name__) for kind, v in self.visitors.items()])
        self.assertEqual(names, {
            'CallFunc': 'VisitCallFunc', 'Return': 'VisitReturn', 'Assign': 'VisitAssign',
            'For': 'VisitFor', 'Function': 'VisitFunctionDef', 'Class': 'VisitClassDef',
            'Import': 'VisitImport', 'From': 'VisitFromImport'})
        visitors = self.visitors['Return'].__self__
        self.assertEqual(type(visitors).__name__, 'StdVisitors')
        self.assertEqual(type(self.walk.__self__).__name__, 'NodeWalker')
        self.assertEqual(visitors.VisitReturn.__doc__, "Visit a return node.  Creates a type "
                         "equiv for the name 'return' to the value returned.")
        self.assertTrue(visitors.VisitAssign.__doc__.startswith('Visit an assignment node.  '))
        self.assertTrue(visitors.VisitFor.__doc__.startswith('Visit an For node.  '))
        self.assertEqual(visitors.VisitCallFunc.__doc__,
                         'Visit a funtion call node.  Finds all isinstance calls. ')
        self.assertEqual(visitors.VisitFunctionDef.__doc__, '')
        self.assertEqual(visitors.VisitImport.__doc__, 'Visit an import node.')

    def test_argument_checks(self):
        for kind, visitor in self.visitors.items():
            for args in [(), (X,), (X, self.arg(), None)]:
                self.assertRaisesRegexp(TypeError, '^Visitor functions require 2 arguments$',
                                        visitor, *args)
            for arg in [None, (1, 2, 3), [self.logical, None, 0.0, {}], (1, 2, 3, 4, 5)]:
                self.assertRaisesRegexp(
                    TypeError, '^2nd Visitor function arg must be a 4 item tuple$',
                    visitor, X, arg)
        self.assertRaisesRegexp(TypeError, '^2nd Visitor function arg must be a 4 item tuple$',
                                self.walk, ('Return', X), (self.logical,))

    def test_object_form_fields(self):
        class Node:
            def __init__(self, **fields):
                self.__dict__.update(fields)
        v = self.visitors
        self.assertIs(v['Assign'](Node(nodes=('Name', 'x'), expr=('Dict', ())), self.arg()), True)
        self.assertIs(v['For'](Node(assign=('Name', 'i'), list=X), self.arg()), True)
        self.assertIs(v['Return'](Node(**{'return': ('Getattr', X, 'y')}), self.arg()), True)
        self.assertIs(v['Function'](Node(argnames=('self', 'a')), self.arg()), False)
        self.assertIs(v['Class'](Node(bases=(('Getattr', X, 'B'),)), self.arg()), False)
        callee = Node(name='isinstance')
        self.assertIs(v['CallFunc'](Node(node=callee, args=(X, Y)), self.arg()), True)
        self.assertIs(v['CallFunc'](Node(node=Node(), args=None), self.arg()), True)
        self.assertEqual(records(self.logical), (
            ['x', 'i', 'self', 'a'], [('x', '::dict:'), ('return', 'x.y'), ('x', 'y:')], ['x.B']))
        self.assertRaises(AttributeError, v['Assign'], Node(nodes=X), self.arg())

    def test_failures_keep_what_was_recorded(self):
        (logical, tree), = transformed_lines('a, b = f()\n')
        target = tree[1]
        # A bare str target is a dotted name but cannot be rendered.
        broken = ('Assign', ('Tuple', (target[1][0], 'b')), tree[2])
        arg = (logical, ModuleAnalysis(), 0.0, {})
        self.assertRaisesRegexp(ValueError, "kind = '<none>'", self.walk, broken, arg)
        self.assertEqual(logical.fNames, ['a'])
        for node in [('Function', 'f', ['a']), ('Class', 'C', None),
                     ('CallFunc', ('Name', 'isinstance'), [X, Y])]:
            self.assertRaisesRegexp(SystemError, 'astinspect', self.walk, node, arg)
        self.assertRaises(IndexError, self.walk, ('Assign', X), arg)
        # A record on something that is not a logical line fails in the logical-line module.
        self.assertRaises(TypeError, self.walk, tree, (None, None, 0.0, {}))

    def test_walker_follows_the_list_and_outlives_the_analyzer(self):
        walk = self.walk
        self.analyzer.SetLogicalList([])
        self.assertIsNot(hooks.walker(self.analyzer), walk)
        self.analyzer.SetLogicalList(None)
        self.assertIsNone(hooks.walker(self.analyzer))
        self.analyzer.destroy()
        del self.analyzer
        gc.collect()
        # The visitors keep their own copy of the logical-line functions.
        (logical, tree), = transformed_lines('x = os.path\n')
        walk(tree, (logical, None, 0.0, {}))
        self.assertEqual(records(logical), (['x'], [('x', 'os.path')], []))

    def test_cycles_through_the_module_analysis_are_collected(self):
        class Analysis:
            pass
        analysis = Analysis()
        analyzer, walk = new_walk(analysis)
        analysis.fQuarnelImpl = analyzer
        probe = Analysis()
        analysis.probe = probe
        import weakref
        ref = weakref.ref(probe)
        del analysis, analyzer, walk, probe
        gc.collect()
        self.assertIsNone(ref())


if __name__ == '__main__':
    unittest.main()
