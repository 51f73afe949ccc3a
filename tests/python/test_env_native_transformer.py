"""The native node transformer (linegrammar.TransformTree) against the compiler package's, its
reference: every tree it takes gives the reference's result, and every tree it leaves
(NotImplemented) goes to the reference through NodeTransformer."""
import os
import random
import sys
import textwrap
import unittest

import linegrammar

from vornide import grammar as grammar_module, logicallines as ll
from vornide import transformer as transformer_module

from analyzer_support import library_failures
from env_support import STDLIB, parse_record
from support import run_python
from test_env_native_grammar import EDGE_CASES

GRAMMARS = [grammar_module.Grammar(), grammar_module.Grammar(['print_function'])]


def reference_result(tree):
    try:
        return transformer_module.NodeTransformer(native=False).TransformNode(tree)
    except Exception as error:   # damaged trees fail in all manner of ways
        return ('raises', type(error))


def differences(trees, where):
    """Trees the native transformer takes and answers otherwise than the reference; and how
    many it took."""
    found = []
    taken = 0
    for tree in trees:
        mine = linegrammar.TransformTree(tree)
        if mine is NotImplemented:
            continue
        taken += 1
        reference = reference_result(tree)
        if mine != reference:
            found.append('%s: %r gives %r, reference %r' % (where, tree, mine, reference))
    return found, taken


def line_trees(source):
    trees = []
    for record in ll.cut_logical_lines(source):
        for grammar in GRAMMARS:
            try:
                trees.append(parse_record(grammar, record))
            except SyntaxError:
                pass
    return trees


def mutations(tree, rng, count):
    """Seeded damaged copies of a tree: a node's kind changed, a child dropped, repeated or
    replaced by a terminal or a non-tuple."""
    paths = []

    def walk(node, path):
        paths.append(path)
        if isinstance(node, tuple) and node and node[0] >= 256:
            for i in range(1, len(node)):
                walk(node[i], path + (i,))
    walk(tree, ())

    def replace(node, path, make):
        if not path:
            return make(node)
        i = path[0]
        return node[:i] + (replace(node[i], path[1:], make),) + node[i + 1:]

    kinds = [1, 2, 3, 4, 7, 12, 14, 22, 23, 257, 303, 304, 306, 307, 308, 312, 317, 318, 320,
             321, 322, 329, 330]
    damages = [
        lambda n: (rng.choice(kinds),) + n[1:] if isinstance(n, tuple) and n else n,
        lambda n: n[:-1] if isinstance(n, tuple) and len(n) > 1 else n,
        lambda n: n + n[-1:] if isinstance(n, tuple) and len(n) > 1 else n,
        lambda n: (1, 'x', 1),
        lambda n: rng.choice([None, 'x', 7, [], (), (300,), (1,), (1, 2), (1, None, 1)]),
    ]
    for k in range(count):
        yield replace(tree, rng.choice(paths), rng.choice(damages))


# Lines of the shapes that make most of a module.
COMMON_SHAPES = textwrap.dedent('''\
    if a.b(1): pass
    while not x: pass
    for a, (b, c.d) in e: pass
    def f(self, (b, c), d=1, *e, **k): pass
    class A(B): pass
    x = a[1], a[1:], a[:], a[1:2:3], a[...]
    a[1] = b.c[2:3] = 4
    x += 1
    raise
    raise E('text')
    raise E, v, tb
    return f(x)
    x = a if b else c
    import a.b.c as d, e
    from ..a.b import (c as d, e,)
    from . import b
    from a import *
    del a.b, c[1], d[1:2], (e, f)
    ''')


class NativeTransformer(unittest.TestCase):
    def test_edge_cases_and_shapes(self):
        source = textwrap.dedent(EDGE_CASES) + textwrap.dedent('''\
            x = a.b.c(1, 2L, 3.5, 4j, 0x1f, 'a' u'b', k=v, *args, **kw)
            a, (b, c.d) = [1, 2], ()
            x = y = z.w = -+~a ** b ** -c * d / e % f // g
            f()
            f(*a)
            f(**k)
            f(a,)
            return x, y
            x = (1)
            x = (1,)
            x = `1, 2`
            x = a < b <= c > d >= e == f != g <> h in i not in j is k is not l
            x = not a or b and not c
            x = a | b ^ c & d << e >> f
            x = {}
            x = []
            x = "\\x00\\n" r"\\n" u"\\u1234" """a
            b"""
            f(a for a in b)
            f(a)(b).c
            x.y = 1
            (a) = 1
            a.b.c = d
            pass
            break
            continue
            return
            if a.b(1): pass
            while not x: pass
            for a, (b, c.d) in e, f: pass
            for x[1] in y: pass
            def f(a, (b,), (c, (d, e)), g=1, *h, **i): pass
            def f((a)): pass
            def f(**k): pass
            def f(a=1, b): pass
            class A: pass
            class A(): pass
            class A(B, c.D,): pass
            x = a[1], a[1:], a[:2], a[:], a[1:2:3], a[::], a[1:, ...], a[None:], f()[a, b]
            a[1] = b[2:3] = c.d[4][5] = 6
            del a[1:]
            x += 1
            a[i] -= 1
            a[1:2] *= 3
            x.y <<= 2
            f() += 1
            raise
            raise E
            raise E, v
            raise E, v, tb
            x = a if b else lambda: c if d else e
            x = (a if b else c) if d else e
            import a
            from a import b as c, d
            from .a import (b)
            del x
            del [a, b]
            del f()
            ''')
        found, taken = differences(line_trees(source), 'edge cases')
        self.assertEqual(found, [])
        self.assertGreater(taken, 60)

    def test_common_shapes_are_taken(self):
        # None of these is left to the reference.
        trees = line_trees(COMMON_SHAPES)
        self.assertEqual([tree for tree in trees
                          if linegrammar.TransformTree(tree) is NotImplemented], [])
        self.assertEqual(differences(trees, 'common shapes'), ([], len(trees)))

    def test_literals(self):
        # Literals the native transformer reads itself (decimal ints, str literals raw or
        # not), and their edges; a bad escape is left to the reference.
        texts = ['0', '7', '123456789012345678', '1234567890123456789', '99999999999999999999',
                 '0777', '12L', '"a"', "'''a'''", '"' * 6, "''", 'r"\\n"', '"\\n\\x41"',
                 'b"x"', 'BR"\\t"', '"\\q"', '"\\777"', '"\\\\"', '"""a"b"""',
                 "'\xc3\xa9'", '"a\\\nb"', '"\\x4"']
        source = ''.join(['x = %s\n' % text for text in texts])
        found, taken = differences(line_trees(source), 'literals')
        self.assertEqual(found, [])
        self.assertEqual(taken, 2 * (len(texts) - 1))

    def test_expressions(self):
        trees = []
        for text in ['a', '1', 'f(x)', 'a.b', '-a', 'a if b else c', 'lambda: 1', 'a[1]',
                     '(a, b)', '[a, b]', '`a`', 'a + b * c', 'not a']:
            parser = GRAMMARS[0].CreateParser(258)
            parser.AddToken(text, 0, 0)
            trees.append(parser.Finish(0, 0))
        found, taken = differences(trees, 'expressions')
        self.assertEqual(found, [])
        self.assertGreater(taken, 8)

    def test_damaged_trees(self):
        # Whatever the damage, the native transformer answers as the reference does, or leaves
        # the tree to it. Run in a child interpreter, so that a crash fails the test only.
        count = 20 if hasattr(sys, 'gettotalrefcount') else 120
        status, out, err = run_python("""
            import random, textwrap
            from test_env_native_grammar import EDGE_CASES
            from test_env_native_transformer import (COMMON_SHAPES, differences, line_trees,
                                                     mutations)
            rng = random.Random(11)
            found = []
            trees = line_trees(textwrap.dedent(EDGE_CASES) + COMMON_SHAPES)
            for tree in trees[::max(1, len(trees) // %d)]:
                found.extend(differences(list(mutations(tree, rng, 10)), 'damaged')[0])
            print(found[:3])
            """ % count)
        self.assertEqual((status, out, err), (0, '[]\n', ''))

    def test_openers_without_their_contents(self):
        # An atom of a lone "(", "[", "{" or backquote read past its end.
        status, out, err = run_python("""
            import linegrammar
            for opener in [(7, '(', 1), (9, '[', 1), (26, '{', 1), (25, '`', 1)]:
                tree = (258, (318, opener), (0, '', 1))
                print(linegrammar.TransformTree(tree) is NotImplemented)
            """)
        self.assertEqual((status, out), (0, 'True\n' * 4), err)

    def test_arguments(self):
        for bad in [None, 1, 'x', [], (), (257,), [257, (4, '', 1)], (257, 'x'), (1, 'x', 1)]:
            self.assertIs(linegrammar.TransformTree(bad), NotImplemented)
        self.assertRaises(TypeError, linegrammar.TransformTree)
        self.assertRaises(TypeError, linegrammar.TransformTree, 1, 2)

    def test_node_transformer_takes_the_native_path_and_falls_back(self):
        xformer = transformer_module.NodeTransformer()
        self.assertIsNotNone(xformer._native)
        self.assertIsNone(transformer_module.NodeTransformer(native=False)._native)
        parser = GRAMMARS[0].CreateParser(257)
        for token in [('with', 0, 0), ('f', 0, 5), (':', 0, 6), ('pass', 0, 6), ('\n', 0, 6)]:
            parser.AddToken(*token)
        tree = parser.Finish(0, 7)
        self.assertIs(linegrammar.TransformTree(tree), NotImplemented)
        self.assertEqual(xformer.TransformNode(tree), reference_result(tree))
        self.assertEqual(xformer.TransformNode(list(tree)), reference_result(tree))
        self.assertIsNone(xformer.TransformNode(None))
        self.assertRaises(TypeError, linegrammar.Transform, None)
        self.assertRaises(TypeError, linegrammar.Transform, None, None)   # not callable
        self.assertRaises(TypeError, xformer.TransformNode)
        # A subclass's TransformNode stays in charge.
        seen = []

        class Recording(transformer_module.NodeTransformer):
            def TransformNode(self, parse_tree):
                seen.append(parse_tree)
                return transformer_module.NodeTransformer.TransformNode(self, parse_tree)
        self.assertEqual(Recording().TransformNode(tree), reference_result(tree))
        self.assertEqual(seen, [tree])

    def test_encoding_declaration_leaves_strings_to_the_reference(self):
        xformer = transformer_module.NodeTransformer()
        parser = grammar_module.Grammar().CreateParser(257)
        parser.AddToken('# -*- coding: latin-1 -*-', 0, 0)
        xformer.TransformNode(parser.Finish(0, 0))
        reference = transformer_module.NodeTransformer(native=False)
        reference.TransformNode(parser.Finish(0, 0))
        parser = grammar_module.Grammar().CreateParser(257)
        parser.AddToken("'\xe9'", 0, 0)
        tree = parser.Finish(0, 0)
        self.assertEqual(xformer.TransformNode(tree), reference.TransformNode(tree))


class LibraryOracle(unittest.TestCase):
    """Every logical line of the standard library's modules (every eighth module under the
    debug interpreter) parsed with and without print_function: the native transformer answers
    as the reference on every tree it takes, and takes most of them."""
    leak_check = False

    def check(self, path, counts=None):
        trees = line_trees(open(path, 'rb').read())
        found, taken = differences(trees, os.path.basename(path))
        if counts is not None:
            counts[0] += taken
            counts[1] += len(trees)
        return found

    def test_library(self):
        counts = [0, 0]
        failed, count = library_failures(lambda path: self.check(path, counts))
        self.assertEqual(failed, {})
        self.assertGreater(count, 20)
        self.assertGreater(counts[0], counts[1] // 2)


class LibrarySample(LibraryOracle):
    leak_check = True

    def test_library(self):
        for name in ('sched.py', 'textwrap.py', 'Queue.py'):
            self.assertEqual(self.check(os.path.join(STDLIB, name)), [])


if __name__ == '__main__':
    unittest.main()
