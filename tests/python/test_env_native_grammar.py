"""The native line parser (linegrammar) against the grammar's Python parser, its reference:
for the same tokens, the same parse tree or the same SyntaxError (type, message, row, column,
text)."""
import os
import textwrap
import unittest

import linegrammar

from vornide import grammar as grammar_module, logicallines as ll

from analyzer_support import library_failures
from env_support import STDLIB, parse_record

NATIVE = grammar_module.Grammar(native=True)
PYTHON = grammar_module.Grammar(native=False)
NATIVE_PRINT_FUNCTION = grammar_module.Grammar(['print_function'], native=True)
PYTHON_PRINT_FUNCTION = grammar_module.Grammar(['print_function'], native=False)
PAIRS = [(NATIVE, PYTHON), (NATIVE_PRINT_FUNCTION, PYTHON_PRINT_FUNCTION)]


def outcome(run):
    try:
        return ('tree', run())
    except SyntaxError as error:
        return ('error', type(error), error.args, error.msg, error.lineno, error.offset,
                error.text, error.filename)


def record_differences(records, where):
    found = []
    for record in records:
        for native, python in PAIRS:
            mine = outcome(lambda: parse_record(native, record))
            reference = outcome(lambda: parse_record(python, record))
            if mine != reference:
                found.append('%s:%d %r: %r, reference %r' % (
                    where, record.lineno, record.tokens, mine, reference))
    return found


def token_differences(tokens, symbol=257, finish=(0, 0)):
    """Differences for raw (text, row, column) triples through both parsers."""
    def run(grammar):
        parser = grammar.CreateParser(symbol)
        for text, first, second in tokens:
            parser.AddToken(text, first, second)
        return parser.Finish(*finish)
    found = []
    for native, python in PAIRS:
        mine, reference = outcome(lambda: run(native)), outcome(lambda: run(python))
        if mine != reference:
            found.append('%r: %r, reference %r' % (tokens, mine, reference))
    return found


EDGE_CASES = '''
@decorator
@mod.deco(1, key=2)
def f(a, (b, (c, d)), e=lambda x=1, *y: x, *args, **kw): return `a`
from os import (path,
    sep as separator,)
from . import (a)
from ..pkg.mod import *
print >>sys.stderr, "x", y,
print
exec code in globals(), locals()
exec "x"
x = a if b else c if d else e
with open(a) as f, open(b) as (g, h), lock:
s = u'u' r'r' b'b' ur'ur' br'\\b' 'implicit' \\
    "joined"
t = """multi
line""" + \'\'\'other
\'\'\'
value = (1 +
         2) * \\
    3
def g(self, (x, y)=(1, 2)): pass
class K(Base, (lambda: object)()): pass
lambda (a, b): a
yield
x = yield y
a, b = c, d = e
del a[1:2, ::3], b.c
assert x, "message"
raise E, "v", tb
global a, b
try: pass
except (A, B), e: pass
except: pass
finally: pass
else: pass
elif x: pass
import a.b.c as d, e
from __future__ import print_function
from __future__ import (division,
    absolute_import)
print(x, file=sys.stderr, end='')
print x
x = 1; y = 2
if x: y = 1; z = 2
for (a, b) in c: pass
while 1: break
return
return 1,
x[...] = {1: 2, 3: 4}
{1, 2}
[x for x in y if x for z in x]
{k: v for k, v in items}
(x for x in y)
f(*a, **k)
f(x for x in y)
f(a, b=1, *c, **d)
f(x for x in y, 1)
{k for k in s if k}
d = {a: 1, 'b': 2,}
[a for a in b, c]
[x for x in y if lambda a: a]
(x for x in y if a for z in x if b if c)
f = lambda a, (b, c)=2, *k, **kw: a
a = not b or c and d is not e in f not in g
a <> b
0777 + 0xFF + 10L + 1.5j + 1e10
x = -1 ** -2 // 3 % 4 << 5 >> 6 & 7 | 8 ^ ~9
def f(: pass
x = (1,
class :
1 +
print >>
lambda: (yield)
x = $
\t\tindented = 1
'''


class NativeAgainstReference(unittest.TestCase):
    def test_edge_cases(self):
        records = ll.cut_logical_lines(textwrap.dedent(EDGE_CASES))
        self.assertGreater(len(records), 60)
        self.assertEqual(record_differences(records, 'edge cases'), [])

    def test_placement_and_errors(self):
        cases = [
            [('x', 0, 4), ('=', 0, 6), ('1', 0, 8)],
            [('x', 0, 4), ('=', 0, 6), ('$', 0, 8)],               # error on the first row
            [('x', 0, 4), ('=', 0, 6), ('(', 0, 8), ('1', 1, 2), (')', 2, 0), ('+', 2, 1),
             ('$', 3, 9)],                                           # error on a later row
            [('x', 0, 0), ('=', 0, 0), ('1', 0, 0)],                # placed after the previous
            [('x', 0, -5), ('=', 0, -1), ('2', -1, 3)],             # negative positions
            [('s', 0, 0), ('=', 0, 2), ('"""a\nb"""', 0, 4), ('+', 1, 4), ('c', 1, 6)],
            [('a', 0, 0), ('\n', 0, 1), ('b', 0, 0), ('=', 0, 2)],  # a second statement
            [('a', 0, 0), ('\n', 0, 1), ('b', 0, 4), ('$', 0, 6)],
            [('x', 0, 0), ('=', 0, 2), ('"\0"', 0, 4)],             # null byte
            [('# -*- coding: latin-1 -*-', 0, 0)],
            [('from', 0, 0), ('m', 0, 5), ('import', 0, 7), ('a', 1, 4), (',', 1, 5)],
            [('from', 0, 0), (',', 0, 5)],
            [(',', 0, 0)],
            [('if', 0, 0), ('x', 0, 3), (':', 0, 4)],               # no body: an error
            [('\tx', 0, 0)],
            [],
        ]
        for tokens in cases:
            self.assertEqual(token_differences(tokens), [])
        for tokens in ([('a', 0, 0), ('+', 0, 2), ('b', 0, 4)], [('a', 0, 0), ('+', 0, 2)],
                       [('lambda', 0, 0), (':', 0, 6), ('(', 0, 8), ('yield', 0, 9),
                        (')', 0, 14)], [('print', 0, 0)]):
            self.assertEqual(token_differences(tokens, symbol=258), [])

    def test_the_environment_parses_natively(self):
        self.assertIsInstance(grammar_module.Grammar().CreateParser(257), linegrammar.LineParser)
        self.assertIsInstance(grammar_module.Grammar(native=False).CreateParser(258),
                              grammar_module.LineParser)
        # CreateParser without a Python frame follows the future features and the start
        # symbol as the method does; a subclass's CreateParser stays in charge.
        grammar = grammar_module.Grammar()
        tokens = [('print', 0, 0), ('(', 0, 5), ('x', 0, 6), (')', 0, 7), ('\n', 0, 8)]
        for features, symbol in [((), 257), (['print_function'], 257), (['print_function'], 258),
                                 ((), 258L)]:
            grammar.SetFutureFeatures(features)
            outcomes = []
            for g in (grammar, grammar_module.Grammar(features, native=False)):
                parser = g.CreateParser(symbol)
                for token in tokens[:-1] if symbol == 258 else tokens:
                    parser.AddToken(*token)
                outcomes.append(outcome(lambda: parser.Finish(0, 8)))
            self.assertEqual(outcomes[0], outcomes[1], (features, symbol))
        for bad in (256, None, '257'):
            self.assertRaises(ValueError, grammar.CreateParser, bad)
        self.assertRaises(TypeError, linegrammar.ParserFactory(False))
        self.assertRaises(TypeError, linegrammar.ParserFactory)

        class Counting(grammar_module.Grammar):
            made = 0

            def CreateParser(self, start_symbol):
                Counting.made += 1
                return grammar_module.Grammar.CreateParser(self, start_symbol)
        Counting(['print_function']).CreateParser(257)
        self.assertEqual(Counting.made, 1)

    def test_bad_arguments(self):
        parser = NATIVE.CreateParser(257)
        for args in [(1, 0, 0), (u'x', 0, 0), (None, 0, 0), ('x', 'a', 0), ('x', 0, None),
                     ('x', 0), ('x', 0, 0, 0), ('x', 1.5, 0)]:
            self.assertRaises(TypeError, parser.AddToken, *args)
        self.assertRaises(TypeError, parser.Finish)
        self.assertRaises(TypeError, parser.Finish, 0)
        self.assertRaises(TypeError, linegrammar.LineParser)
        self.assertRaises(TypeError, linegrammar.LineParser, 1, 2, 3)
        self.assertRaises(ValueError, NATIVE.CreateParser, 256)
        parser.AddToken('x', 0, 0)
        self.assertRaises(MemoryError, parser.AddToken, 'y', 10 ** 12, 0)
        self.assertRaises(MemoryError, parser.AddToken, 'y', 0, 10 ** 12)
        # A refused token leaves the parser as it was.
        parser.AddToken('=', 0, 2)
        parser.AddToken('1', 0, 4)
        reference = PYTHON.CreateParser(257)
        for token in [('x', 0, 0), ('=', 0, 2), ('1', 0, 4)]:
            reference.AddToken(*token)
        self.assertEqual(parser.Finish(0, 0), reference.Finish(0, 0))


class LibraryOracle(unittest.TestCase):
    """Every logical line of the standard library's modules (every eighth module under the
    debug interpreter) through both parsers, with and without print_function."""
    leak_check = False

    def check(self, path):
        source = open(path, 'rb').read()
        return record_differences(ll.cut_logical_lines(source), os.path.basename(path))

    def test_library(self):
        failed, count = library_failures(self.check)
        self.assertEqual(failed, {})
        self.assertGreater(count, 20)


class LibrarySample(LibraryOracle):
    leak_check = True

    def test_library(self):
        for name in ('sched.py', 'textwrap.py', 'Queue.py'):
            self.assertEqual(self.check(os.path.join(STDLIB, name)), [])


if __name__ == '__main__':
    unittest.main()
