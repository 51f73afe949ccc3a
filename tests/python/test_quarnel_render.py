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
            (('Dict', ((X, Y),)), '{x: y}'),
            (('Dict', ((X, Y), (Y, Z))), '{x: y, y: z}'),
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
        self.assertNodeTypeError(('GenExpr', X), 'GenExpr')
        self.assertNodeTypeError(('Dict', ((X, Y, Z),)), 'Dict', repr((X, Y, Z)))
        self.assertNodeTypeError(('ListComp', X, (X,)), 'Name', repr(X))
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


# -- the differential check: rendered texts read back as the same expression -------------------

def parse_expression(text, g=grammar.Grammar(), xformer=transformer.NodeTransformer()):
    """The tuple-form tree of an expression as the analyzer gets it: the statement "_ = text"
    cut, parsed and transformed by the environment."""
    record = ll.cut_logical_lines('_ = %s\n' % text)[0]
    return xformer.TransformNode(env_support.parse_record(g, record))[-1]


def expression_texts(seed, count):
    """Seeded random expression sources over every expression form of 2.7: names, numbers of
    every kind, strings with prefixes, attributes, subscripts and slices of every form, calls
    with keywords and star arguments, every unary, binary, comparison and boolean operator,
    conditional expressions, lambdas with every parameter form, tuples, lists, dicts, sets,
    list, set and dict comprehensions, generator expressions, backquotes and yield."""
    import random
    r = random.Random(seed)
    names = ['a', 'b', 'x', 'self']

    def atom():
        return r.choice([
            lambda: r.choice(names),
            lambda: r.choice(['0', '1', '17', '1L', '0x1f', '1.5', '2e3', '.5', '3j', '1.', '07']),
            lambda: r.choice(["'s'", '"t"', "u'u'", "r'\\d'", "b'b'", "'a' 'b'", '"""d"""']),
        ])()

    def target(depth):
        if depth > 2 or r.random() < 0.6:
            return r.choice(names)
        return r.choice(['(%s, %s)' % (target(depth + 1), target(depth + 1)),
                         '%s.y' % r.choice(names), '%s[0]' % r.choice(names)])

    def params(depth):
        plain = [r.choice(['p', 'q', '(m, n)', '(m,)', '((m, n), o)'])
                 .replace('p', 'p%d' % i).replace('q', 'q%d' % i)
                 .replace('m', 'm%d' % i).replace('n', 'n%d' % i).replace('o', 'o%d' % i)
                 for i in range(r.randint(0, 3))]
        defaults = r.randint(0, len(plain))
        items = plain[:len(plain) - defaults] + [
            '%s=%s' % (p, expr(depth + 1)) for p in plain[len(plain) - defaults:]]
        if r.random() < 0.3:
            items.append('*va')
        if r.random() < 0.3:
            items.append('**kw')
        return ', '.join(items)

    def qualifiers(depth):
        parts = []
        for i in range(r.randint(1, 2)):
            parts.append(' for %s in %s' % (target(0), primary(depth + 1)))
            for k in range(r.randint(0, 2)):
                parts.append(' if %s' % primary(depth + 1))
        return ''.join(parts)

    def subscript(depth):
        def bound():
            return expr(depth + 1) if r.random() < 0.6 else ''
        one = r.choice([
            lambda: expr(depth + 1),
            lambda: '%s:%s' % (bound(), bound()),
            lambda: '%s:%s:%s' % (bound(), bound(), bound()),
            lambda: '...'])
        if r.random() < 0.25:
            return ', '.join(one() for i in range(r.randint(1, 3))) + r.choice(['', ','])
        return one()

    def call_args(depth):
        items = [expr(depth + 1) for i in range(r.randint(0, 2))]
        items += ['k%d=%s' % (i, expr(depth + 1)) for i in range(r.randint(0, 2))]
        if r.random() < 0.3:
            items.append('*' + primary(depth + 1))
        if r.random() < 0.3:
            items.append('**' + primary(depth + 1))
        if not items and r.random() < 0.3:
            return '%s%s' % (expr(depth + 1), qualifiers(depth))   # a lone generator argument
        return ', '.join(items)

    def primary(depth):
        if depth > 3:
            return atom()
        return r.choice([
            atom, atom,
            lambda: '%s .%s' % (primary(depth + 1), r.choice(['real', 'y', 'join'])),
            lambda: '%s[%s]' % (primary(depth + 1), subscript(depth)),
            lambda: '%s(%s)' % (primary(depth + 1), call_args(depth)),
            lambda: '(%s)' % expr(depth + 1),
            lambda: '(%s)' % ', '.join(expr(depth + 1) for i in range(r.randint(0, 3))),
            lambda: '(%s,)' % expr(depth + 1),
            lambda: '[%s]' % ', '.join(expr(depth + 1) for i in range(r.randint(0, 3))),
            lambda: '{%s}' % ', '.join('%s: %s' % (expr(depth + 1), expr(depth + 1))
                                       for i in range(r.randint(0, 2))),
            lambda: '{%s}' % ', '.join(expr(depth + 1) for i in range(r.randint(1, 3))),
            lambda: '[%s%s]' % (expr(depth + 1), qualifiers(depth)),
            lambda: '(%s%s)' % (expr(depth + 1), qualifiers(depth)),
            lambda: '{%s%s}' % (expr(depth + 1), qualifiers(depth)),
            lambda: '{%s: %s%s}' % (expr(depth + 1), expr(depth + 1), qualifiers(depth)),
            lambda: '`%s`' % expr(depth + 1),
            lambda: r.choice(['(yield)', '(yield %s)' % expr(depth + 1)]),
        ])()

    def expr(depth):
        if depth > 3:
            return primary(depth)
        return r.choice([
            primary, primary, primary,
            lambda d: '%s%s' % (r.choice(['-', '+', '~', 'not ']), primary(d + 1)),
            lambda d: '%s %s %s' % (primary(d + 1), r.choice(
                ['**', '*', '/', '//', '%', '+', '-', '<<', '>>', '&', '^', '|']), primary(d + 1)),
            lambda d: ' '.join([primary(d + 1)] + ['%s %s' % (r.choice(
                ['<', '>', '==', '>=', '<=', '!=', '<>', 'in', 'not in', 'is', 'is not']),
                primary(d + 1)) for i in range(r.randint(1, 2))]),
            lambda d: (' %s ' % r.choice(['and', 'or'])).join(
                primary(d + 1) for i in range(r.randint(2, 3))),
            lambda d: '%s if %s else %s' % (primary(d + 1), primary(d + 1), expr(d + 1)),
            lambda d: 'lambda %s: %s' % (params(d), expr(d + 1)),
        ])(depth)

    for i in range(count):
        yield expr(0)


class ReadsBack(unittest.TestCase):
    """The rendered text of an expression reads back as the same expression: for a seeded
    corpus of every expression form and for the expression statements and assigned values of a
    few standard modules. The texts also compile."""
    leak_check = False  # whole corpora; the cases above cover the leak check

    def check(self, node, where):
        text = hooks.render(node)
        self.assertEqual(hooks.render(node), text)
        try:
            compile('def f():\n    _ = %s\n' % text, '<rendered>', 'exec')
        except SyntaxError:
            self.fail('rendered text does not compile: %s %r' % (where, text))
        self.assertEqual(parse_expression(text), node, '%s %r' % (where, text))

    def test_generated_expressions(self):
        for text in expression_texts(2, 1500):
            self.check(parse_expression(text), repr(text))

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

    def test_standard_library(self):
        checked = 0
        for name in ('string.py', 'decimal.py', 'ftplib.py'):
            for record, node in self.expressions(env_support.stdlib_source(name)):
                self.check(node, '%s:%d' % (name, record.lineno))
                checked += 1
        self.assertGreater(checked, 300)


if __name__ == '__main__':
    unittest.main()
