"""Expression rendering: the compact source text the visitors record for tuple-form syntax
trees, through the test-only hooks module (render(node) -> text)."""
import parser
import unittest

import _quarnel_testhooks as hooks
import env_support
from vornide import grammar, logicallines as ll, transformer

X, Y, Z = ('Name', 'x'), ('Name', 'y'), ('Name', 'z')

UNARY = {'UnarySub': '-', 'UnaryAdd': '+', 'Invert': '~', 'Not': 'not '}
BINARY = {'Power': '**', 'Bitor': '|', 'Bitxor': '^', 'Bitand': '&', 'And': ' and ',
          'Or': ' or ', 'Add': '+', 'Sub': '-', 'Div': '/', 'Mul': '*', 'LeftShift': '<<',
          'RightShift': '>>', 'Mod': '%'}


class Kinds(unittest.TestCase):
    def test_every_kind_of_the_tables(self):
        cases = [
            (None, '.'),
            (('Name', 'abc', 'extra'), 'abc'),
            (('Ellipsis',), '...'),
            (('Getattr', ('Getattr', X, 'y'), 'z'), 'x.y.z'),
            (('Tuple', [X]), '(x,)'),
            (('Tuple', ()), '()'),
            (('Tuple', (X, Y)), '(x, y)'),
            (('List', [X, ('Const', 1)]), '[x, 1]'),
            (('List', ()), '[]'),
            (('Dict', ((X, Y),)), '{}'),
            (('Dict',), '{}'),
            (('CallFunc', ('Getattr', X, 'f'), (Y, ('Keyword', ('Name', 'k'), Z))),
             'x.f(y, k = z)'),
            (('Const', 'a\n'), "'a\\n'"),
            (('Const', 2.5, 'ignored'), '2.5'),
            (('Backquote', ('Getattr', X, 'y')), '`x.y`'),
            (('Compare', X, [('==', Y), ('<', Z)]), 'x==y<z'),
            (('Compare', X, (('in', Y), ('not in', Z), ('is not', X))),
             'x in y not in z is not x'),
            (('Lambda', ('x', ('y', 'z')), (), 0, X), 'lambda x, (y, z): x'),
            (('Lambda', ['a', ('b',), ['c', 'd'], 3], (), 0, X), 'lambda a, (b,), [c, d], : x'),
            (('Lambda', (), (), 0, ('Const', 0)), 'lambda : 0'),
            (('Subscript', X, 'OP_APPLY', (('Const', 1), Y)), 'x[1, y]'),
            (('Sliceobj', (None, None)), ':'),
            (('Sliceobj', (X, None, Z)), 'x::z'),
            (('Sliceobj', (X, Y, None)), 'x:y:'),
            (('GenExpr', X), 'None'),
            (('FloorDiv', (X, Y)), 'None'),
            (('name', 'x'), 'None'),
        ]
        for kind, op in UNARY.items():
            cases.append(((kind, X), '%s(x)' % op))
        for kind, op in BINARY.items():
            cases.append(((kind, (X, Y)), '(x%sy)' % op))
        cases.append((('Mul', (('Add', (X, Y)), Z)), '((x+y)*z)'))
        # The boolean and bitwise kinds hold every operand of a chain, and all are written.
        cases.append((('Or', (X, Y, Z)), '(x or y or z)'))
        # Operands that would bind to their neighbours keep parentheses.
        cases += [
            (('Power', (('UnarySub', ('Const', 1)), X)), '((-(1))**x)'),
            (('Power', (X, ('UnarySub', Y))), '(x**-(y))'),
            (('Sub', (X, ('Compare', Y, [('>=', Z)]))), '(x-(y>=z))'),
            (('Getattr', ('Not', X), 'y'), '(not (x)).y'),
            (('CallFunc', ('Invert', X), ()), '(~(x))()'),
            (('And', (('Not', X), ('Compare', Y, [('<', Z)]))), '(not (x) and y<z)'),
            (('Or', (('Lambda', (), (), 0, X), Y)), '((lambda : x) or y)'),
            (('Compare', ('Compare', X, [('<', Y)]), [('==', ('Not', Z))]), '(x<y)==(not (z))'),
        ]
        for node, text in cases:
            self.assertEqual(hooks.render(node), text, node)

    def test_long_texts_leave_the_inline_storage(self):
        names = tuple([('Name', 'n%03d' % i) for i in range(100)])
        text = hooks.render(('Tuple', names))
        self.assertEqual(text, '(' + ', '.join(['n%03d' % i for i in range(100)]) + ')')

    def test_subclasses_of_tuple_and_list_are_nodes_and_sequences(self):
        class T(tuple):
            pass

        class L(list):
            pass
        self.assertEqual(hooks.render(T(('Tuple', L([X, T(('Name', 'q'))])))), '(x, q)')


class Errors(unittest.TestCase):
    def assertNodeTypeError(self, node, kind, expr=None):
        try:
            hooks.render(node)
        except ValueError as exc:
            self.assertEqual(
                str(exc), "Unknown AST node type passed to AppendExpSource: kind = '%s', "
                "expr = '%s'" % (kind, repr(node) if expr is None else expr))
        else:
            self.fail('no ValueError for %r' % (node,))

    def test_node_type_errors(self):
        self.assertNodeTypeError(('CallFunc', X, (), None, None), 'CallFunc')
        self.assertNodeTypeError('x', '<none>')
        self.assertNodeTypeError((), '<none>')
        self.assertNodeTypeError((1, 2), '<none>')
        self.assertNodeTypeError(['Name', 'x'], '<none>')
        self.assertNodeTypeError(('Name',), 'Name')
        self.assertNodeTypeError(('Name', 3), 'Name')
        self.assertNodeTypeError(('Getattr', X, 3), 'Getattr')
        self.assertNodeTypeError(('Tuple', (X,), 'more'), 'Tuple')
        self.assertNodeTypeError(('Sliceobj', [X, Y]), 'Sliceobj')
        self.assertNodeTypeError(('Sliceobj', (X,)), 'Sliceobj')
        self.assertNodeTypeError(('Lambda', (), (), 0), 'Lambda')
        # Deep inside a tree the error names the innermost node.
        self.assertNodeTypeError(('Add', (X, ('CallFunc', X))), 'CallFunc',
                                 repr(('CallFunc', X)))

    def test_object_form_and_repr_fallbacks(self):
        class Node:
            def __init__(self, text):
                self.text = text

            def __repr__(self):
                if self.text is None:
                    raise RuntimeError('no repr')
                return self.text
        self.assertNodeTypeError(Node('<Name x>'), '<none>', '<Name x>')
        self.assertNodeTypeError(Node(None), '<none>', '<exception occurred while calling repr>')
        self.assertNodeTypeError(Node(3), '<none>', '<exception occurred while calling repr>')

    def test_operator_forms(self):
        for node, message in [
                (('Not',), 'AppendBinOpSource'),
                (('Add', (X,)), 'AppendBinaryOpSource'),
                (('Add',), 'AppendBinaryOpSource'),
                (('Add', [X, Y]), 'AppendBinaryOpSource'),
                (('Or', (X,)), 'AppendBinaryOpSource')]:
            self.assertRaisesRegexp(ValueError, '^Invalid AST node type passed to %s$' % message,
                                    hooks.render, node)

    def test_sequences_and_chains(self):
        for node in [('List', 5), ('CallFunc', X, 'ab'), ('Subscript', X, 'OP_APPLY', None),
                     ('Lambda', 'xy', (), 0, X), ('Compare', X, None)]:
            self.assertRaisesRegexp(SystemError, 'astinspect', hooks.render, node)
        for chain in [[('==',)], [('==', Y, Z)], [['==', Y]]]:
            self.assertRaisesRegexp(ValueError, '^Invalid tuple in comparison sequence$',
                                    hooks.render, ('Compare', X, chain))
        self.assertRaises(TypeError, hooks.render, ('Compare', X, [(3, Y)]))

    def test_failures_inside_the_tree_propagate(self):
        class BadRepr(object):
            def __repr__(self):
                raise KeyError('repr')
        self.assertRaises(KeyError, hooks.render, ('Tuple', (X, ('Const', BadRepr()))))
        deep = X
        for i in range(5000):
            deep = ('UnarySub', deep)
        self.assertRaises(RuntimeError, hooks.render, deep)


# -- the differential check on real code ------------------------------------------------------

def renderable(node):
    """Whether every node the renderer writes is of a kind it renders as source (no "None"
    and no "{}" for a dictionary)."""
    if node is None:
        return True
    kind = node[0]
    if kind in ('Name', 'Ellipsis', 'Const'):
        return True
    if kind in ('Getattr', 'Backquote') or kind in UNARY:
        return renderable(node[1])
    if kind in ('Tuple', 'List') or kind in BINARY:
        return all(map(renderable, node[1]))
    if kind == 'CallFunc':
        return renderable(node[1]) and all(map(renderable, node[2]))
    if kind == 'Keyword':
        return renderable(node[2])
    if kind == 'Compare':
        return renderable(node[1]) and all([renderable(e) for op, e in node[2]])
    if kind == 'Lambda':
        return renderable(node[4])
    if kind == 'Subscript':
        return renderable(node[1]) and all(map(renderable, node[3]))
    if kind == 'Sliceobj':
        return all(map(renderable, node[1]))
    return False


class StandardLibrary(unittest.TestCase):
    """Every expression statement and assignment value of a few standard modules, rendered:
    the text compiles as an expression and renders again to itself."""
    MODULES = ('string.py', 'decimal.py', 'ftplib.py')
    leak_check = False  # a sweep of whole modules; the cases above cover the leak check

    def expressions(self, source):
        g = grammar.Grammar()
        xformer = transformer.NodeTransformer()
        for record in ll.cut_logical_lines(source):
            if record.linetype in ll.NEVER_PARSED_TYPES or record.linetype in ll.IGNORED_TYPES:
                continue
            try:
                node = xformer.TransformNode(env_support.parse_record(g, record))
            except SyntaxError:
                continue
            if node[0] == 'Discard':
                yield record, node[1]
            elif node[0] in ('Assign', 'AugAssign'):
                yield record, node[-1]

    def test_rendered_texts_compile_and_render_again_alike(self):
        xformer = transformer.NodeTransformer()
        checked = 0
        for name in self.MODULES:
            for record, node in self.expressions(env_support.stdlib_source(name)):
                text = hooks.render(node)
                self.assertEqual(hooks.render(node), text)
                if not renderable(node):
                    continue
                where = '%s:%d %r' % (name, record.lineno, text)
                try:
                    compile(text, '<x>', 'eval')
                except SyntaxError:
                    self.fail('rendered text does not compile: ' + where)
                again = xformer.TransformNode(parser.st2tuple(parser.expr(text), True))
                self.assertEqual(hooks.render(again), text, where)
                checked += 1
        self.assertGreater(checked, 300)


if __name__ == '__main__':
    unittest.main()
