"""The grammar and the node transformer on logical lines, as the analyzer drives them."""
import textwrap
import unittest

import compiler.ast

from vornide import logicallines as ll
from vornide.grammar import Grammar
from vornide.transformer import NodeTransformer

from env_support import parse_record, parse_tokens, stdlib_source

PASS_BODY = ('Stmt', (('Pass',),))


def trees(source, grammar=None):
    """The tuple-form tree of each parsed logical line of source."""
    grammar = grammar or Grammar()
    transformer = NodeTransformer()
    return [transformer.TransformNode(parse_record(grammar, record))
            for record in ll.cut_logical_lines(textwrap.dedent(source))
            if record.linetype not in ll.NEVER_PARSED_TYPES]


def tree(source, grammar=None):
    found = trees(source, grammar)
    assert len(found) == 1, found
    return found[0]


def name(identifier):
    return ('Name', identifier)


def const(value):
    return ('Const', value)


class NodeShapes(unittest.TestCase):
    def test_def_and_class_headers(self):
        self.assertEqual(tree('def f(self, (a, b), c=1, *args, **kw):'),
                         ('Function', 'f', ('self', ('a', 'b'), 'c', 'args', 'kw'),
                          (const(1),), 12, None, PASS_BODY, None))
        self.assertEqual(trees('def g(): return x'),
                         [('Function', 'g', (), (), 0, None, PASS_BODY, None),
                          ('Return', name('x'))])
        self.assertEqual(tree('class K(Base, mod.Mixin):'),
                         ('Class', 'K', (name('Base'), ('Getattr', name('mod'), 'Mixin')),
                          None, PASS_BODY, None))
        self.assertEqual(tree('class K:')[2], ())

    def test_calls_keep_three_items(self):
        self.assertEqual(tree('x = mod.Cls(1, k=2)'),
                         ('Assign', name('x'),
                          ('CallFunc', ('Getattr', name('mod'), 'Cls'),
                           (const(1), ('Keyword', name('k'), const(2))))))
        self.assertEqual(tree('f(a, *rest, **options)'),
                         ('Discard', ('CallFunc', name('f'),
                                      (name('a'), ('StarArgs', name('rest')),
                                       ('DStarArgs', name('options'))))))
        self.assertEqual(tree('isinstance(x, (A, B))'),
                         ('Discard', ('CallFunc', name('isinstance'),
                                      (name('x'), ('Tuple', (name('A'), name('B')))))))

    def test_imports(self):
        self.assertEqual(tree('import os.path, sys as system'),
                         ('Import', ('os.path', ('sys', 'system'))))
        self.assertEqual(tree('from ..pkg import (a as b,\n                   c,)'),
                         ('From', '..pkg', (('a', 'b'), 'c'), 2))
        self.assertEqual(tree('from . import x'), ('From', '.', ('x',), 1))
        self.assertEqual(tree('from m import *'), ('From', 'm', ('*',), 0))

    def test_assignment_targets(self):
        self.assertEqual(tree('a = b.c = d = v'),
                         ('Assign', ('Assign', ('Assign', name('a'),
                                                ('Getattr', name('b'), 'c')),
                                     name('d')),
                          name('v')))
        self.assertEqual(tree('a, [b, c] = t'),
                         ('Assign', ('Tuple', (name('a'), ('Tuple', (name('b'), name('c'))))),
                          name('t')))
        self.assertEqual(tree('self.x = {}'),
                         ('Assign', ('Getattr', name('self'), 'x'), ('Dict', ())))
        self.assertEqual(tree('x[::2] = y'),
                         ('Assign', ('Subscript', name('x'), 'OP_ASSIGN',
                                     (('Sliceobj', (None, None, const(2))),)),
                          name('y')))
        self.assertEqual(tree('for i, (j, k) in pairs:'),
                         ('For', ('Tuple', (name('i'), ('Tuple', (name('j'), name('k'))))),
                          name('pairs'), PASS_BODY, None))
        self.assertEqual(tree('del a, b.c'),
                         ('Tuple', (name('a'), ('Getattr', name('b'), 'c'))))
        self.assertEqual(tree('x //= 2'), ('AugAssign', name('x'), '/=', const(2)))

    def test_other_statements(self):
        self.assertEqual(tree('return self.x + 1'),
                         ('Return', ('Add', (('Getattr', name('self'), 'x'), const(1)))))
        self.assertEqual(tree('if a < b:'),
                         ('If', (((('Compare', name('a'), (('<', name('b')),))), PASS_BODY),),
                          None))
        self.assertEqual(tree('with open(f) as g:'),
                         ('With', ('CallFunc', name('open'), (name('f'),)), name('g'),
                          PASS_BODY))
        self.assertEqual(tree('@prop.setter'),
                         ('Discard', ('Invert', ('Getattr', name('prop'), 'setter'))))
        self.assertEqual(trees('"""doc"""\n# comment\n\nx = lambda (a, b): a'),
                         [('Discard', const('doc')), ('Stmt', ()), ('Stmt', ()),
                          ('Assign', name('x'),
                           ('Lambda', (('a', 'b'),), (), 0, name('a')))])


class Rebuilding(unittest.TestCase):
    def test_statements_over_several_rows(self):
        self.assertEqual(tree('x = f(1,\n      # comment\n\n      2) + \\\n  3'),
                         ('Assign', name('x'),
                          ('Add', (('CallFunc', name('f'), (const(1), const(2))), const(3)))))
        self.assertEqual(tree('y = """a\nb""" + z'),
                         ('Assign', name('y'), ('Add', (const('a\nb'), name('z')))))
        self.assertEqual(tree('x = (' + ' ' * 70000 + '1)'), ('Assign', name('x'), const(1)))

    def test_rows_in_the_tree_are_the_lines_own(self):
        # Rows count from the line's first row, also when the grammar adds its
        # print_function prefix.
        tokens = [('x', 3, 8), ('=', 3, 10), ('(', 3, 12), ('1', 4, 0), (')', 4, 1),
                  ('\n', 4, 1)]

        def rows(node, found):
            if len(node) == 3 and isinstance(node[1], str):
                found.add(node[2])
            else:
                for child in node[1:]:
                    rows(child, found)
            return found
        for grammar in (Grammar(), Grammar(['print_function'])):
            self.assertEqual(rows(parse_tokens(grammar, tokens), set()), set([1, 2]))


class ParseErrors(unittest.TestCase):
    def assertSyntaxError(self, grammar, tokens, lineno, offset):
        with self.assertRaises(SyntaxError) as cm:
            parse_tokens(grammar, tokens)
        self.assertEqual((cm.exception.lineno, cm.exception.offset), (lineno, offset))

    def test_error_position_within_the_line(self):
        grammar = Grammar()
        # "x = = 1" indented by 8: the second "=" is at column 12 (offset 13).
        self.assertSyntaxError(grammar, [('x', 0, 8), ('=', 0, 10), ('=', 0, 12),
                                         ('1', 0, 14), ('\n', 0, 14)], 1, 13)
        self.assertSyntaxError(grammar, [('x', 0, 0), ('=', 0, 2), ('(', 0, 4),
                                         ('1', 0, 5), (',', 0, 6), ('2', 1, 4),
                                         ('3', 1, 6), (')', 1, 7), ('\n', 1, 7)], 2, 7)
        self.assertRaises(SyntaxError, parse_tokens, grammar,
                          [('x', 0, 0), ('=', 0, 2), ("'\0'", 0, 4), ('\n', 0, 4)])

    def test_compiler_errors_come_from_the_transformer(self):
        parse_tree = parse_tokens(Grammar(), [('f', 0, 0), ('(', 0, 1), (')', 0, 2),
                                              ('=', 0, 4), ('1', 0, 6), ('\n', 0, 6)])
        self.assertRaises(SyntaxError, NodeTransformer().TransformNode, parse_tree)

    def test_print_function_feature(self):
        source = "print('a', end='')"
        self.assertRaises(SyntaxError, tree, source)
        grammar = Grammar(['print_function'])
        self.assertEqual(tree(source, grammar),
                         ('Discard', ('CallFunc', name('print'),
                                      (const('a'), ('Keyword', name('end'), const(''))))))
        self.assertSyntaxError(grammar, [('print', 0, 4), ('(', 0, 9), (',', 0, 10),
                                         (')', 0, 11), ('\n', 0, 11)], 1, 11)
        grammar.SetFutureFeatures({'division': True})
        self.assertRaises(SyntaxError, tree, source, grammar)

    def test_start_symbols(self):
        parser = Grammar().CreateParser(258)
        for text, second in (('a', 0), ('.', 1), ('b', 2)):
            parser.AddToken(text, 0, second)
        self.assertEqual(NodeTransformer().TransformNode(parser.Finish(0, 2)),
                         ('Getattr', name('a'), 'b'))
        self.assertRaises(ValueError, Grammar().CreateParser, 256)


# Item counts of the kinds the analyzer reads or renders.
ITEM_COUNTS = {'CallFunc': 3, 'Getattr': 3, 'Tuple': 2, 'List': 2, 'Function': 8,
               'Class': 6, 'Assign': 3, 'For': 5, 'Return': 2, 'Import': 2, 'From': 4,
               'Keyword': 3, 'Sliceobj': 2, 'Lambda': 5, 'Subscript': 4}
LINE_TYPE_KINDS = {ll.kLineClass: ('Class',), ll.kLineDef: ('Function',),
                   ll.kLineBlockHeader: ('If', 'While', 'For', 'With'),
                   ll.kLineDecorator: ('Discard',), ll.kLineDocString: ('Discard',),
                   ll.kLineImport: ('Import',), ll.kLineFromImport: ('From',),
                   ll.kLineComment: ('Stmt',), ll.kLineBlank: ('Stmt',)}


class StandardLibrary(unittest.TestCase):
    """Every logical line of a module either is of a never-parsed type or gives a
    tuple-form tree of the kind its line type promises."""

    def check_node(self, node, where):
        if isinstance(node, (list, compiler.ast.Node)):
            self.fail('%s: %r in the tree' % (where, node))
        if not isinstance(node, tuple):
            return
        if node and isinstance(node[0], str):
            kind = node[0]
            if kind in ITEM_COUNTS:
                self.assertEqual(len(node), ITEM_COUNTS[kind], '%s: %r' % (where, node))
            if kind in ('Import', 'From'):
                return  # its names are str or (name, alias) pairs, not nodes
        for item in node:
            self.check_node(item, where)

    def sweep(self, module_name):
        grammar = Grammar()
        transformer = NodeTransformer()
        parsed = 0
        for record in ll.cut_logical_lines(stdlib_source(module_name)):
            if record.linetype in ll.NEVER_PARSED_TYPES:
                self.assertIn(record.tokens[0], ('try', 'else', 'elif', 'except', 'finally'))
                continue
            where = '%s:%d' % (module_name, record.lineno)
            node = transformer.TransformNode(parse_record(grammar, record))
            self.assertTrue(isinstance(node, tuple) and isinstance(node[0], str), where)
            self.check_node(node, where)
            kinds = LINE_TYPE_KINDS.get(record.linetype)
            if kinds is not None:
                self.assertIn(node[0], kinds, where)
            if record.linetype == ll.kLineDecorator:
                self.assertEqual(node[1][0], 'Invert', where)
            elif record.linetype == ll.kLineDocString:
                self.assertIsInstance(node[1][1], basestring, where)
            elif record.linetype in ll.IGNORED_TYPES:
                self.assertEqual(node, ('Stmt', ()), where)
            parsed += 1
        return parsed

    def test_os(self):
        self.assertGreater(self.sweep('os.py'), 400)

    def test_string(self):
        self.assertGreater(self.sweep('string.py'), 300)

    def test_inspect(self):
        self.assertGreater(self.sweep('inspect.py'), 600)


if __name__ == '__main__':
    unittest.main()
