"""Cutting source into logical lines: types, tokens, positions, indentation levels."""
import StringIO
import textwrap
import tokenize
import unittest

from vornide import logicallines as ll
from vornide.logicallines import cut_logical_lines

from env_support import stdlib_source


def summary(source):
    """(lineno, indent, linetype, token text) of each logical line."""
    return [(s.lineno, s.indent, s.linetype, ' '.join(s.tokens))
            for s in cut_logical_lines(textwrap.dedent(source))]


class LineTypes(unittest.TestCase):
    def test_module_of_every_type(self):
        source = '''\
            #!/usr/bin/env python
            """Module documentation."""

            import os, sys as system
            from . import (a,
                b)
            @decorator(1)
            class A(Base):
                "Class documentation."
                def method(self):
                    # comment in the body
                    x = 'not a docstring'
                    try:
                        while x:
                            del x
                    except (ValueError, TypeError), e:
                        pass
                    elif_ = 1
                    if x:
                        pass
                    elif y:
                        pass
                    else:
                        pass
                    finally_ = 2
                    for i in x:
                        continue
                    with f as g:
                        pass
                    try:
                        pass
                    finally:
                        pass
            '''
        self.assertEqual(summary(source), [
            (1, 0, 21, '#!/usr/bin/env python'),
            (2, 0, 3, '"""Module documentation."""'),
            (3, 0, 22, ''),
            (4, 0, 16, 'import os , sys as system'),
            (5, 0, 17, 'from . import ( a , b )'),
            (7, 0, 5, '@ decorator ( 1 )'),
            (8, 0, 1, 'class A ( Base ) :'),
            (9, 1, 3, '"Class documentation."'),
            (10, 1, 2, 'def method ( self ) :'),
            (11, 2, 21, '# comment in the body'),
            (12, 2, 7, "x = 'not a docstring'"),
            (13, 2, 6, 'try :'),
            (14, 3, 4, 'while x :'),
            (15, 4, 7, 'del x'),
            (16, 2, 13, 'except ( ValueError , TypeError ) , e :'),
            (17, 3, 7, 'pass'),
            (18, 2, 7, 'elif_ = 1'),
            (19, 2, 4, 'if x :'),
            (20, 3, 7, 'pass'),
            (21, 2, 12, 'elif y :'),
            (22, 3, 7, 'pass'),
            (23, 2, 11, 'else :'),
            (24, 3, 7, 'pass'),
            (25, 2, 7, 'finally_ = 2'),
            (26, 2, 4, 'for i in x :'),
            (27, 3, 7, 'continue'),
            (28, 2, 4, 'with f as g :'),
            (29, 3, 7, 'pass'),
            (30, 2, 6, 'try :'),
            (31, 3, 7, 'pass'),
            (32, 2, 20, 'finally :'),
            (33, 3, 7, 'pass'),
        ])

    def test_docstrings_only_lead_a_scope(self):
        source = '''\
            # a comment first does not matter
            "doc" 'concatenated'
            "second statement"
            def f():

                # comments between header and docstring
                """doc"""
            if x:
                "in an if body"
            class C: "inline"
            '''
        types = [(lineno, linetype) for lineno, _, linetype, _ in summary(source)
                 if linetype not in ll.IGNORED_TYPES]
        self.assertEqual(types, [(2, 3), (3, 7), (4, 2), (7, 3), (8, 4), (9, 7),
                                 (10, 1), (10, 3)])


class Cutting(unittest.TestCase):
    def test_inline_bodies_and_semicolons(self):
        source = '''\
            if x: y; z = 1;
            def f(a=lambda: 1): return {1: 2}
            while lambda: 0: pass
            try: import q
            except ImportError: q = None
            a = 1; b = 2
            '''
        self.assertEqual(summary(source), [
            (1, 0, 4, 'if x :'), (1, 1, 7, 'y'), (1, 1, 7, 'z = 1'),
            (2, 0, 2, 'def f ( a = lambda : 1 ) :'), (2, 1, 7, 'return { 1 : 2 }'),
            (3, 0, 4, 'while lambda : 0 :'), (3, 1, 7, 'pass'),
            (4, 0, 6, 'try :'), (4, 1, 16, 'import q'),
            (5, 0, 13, 'except ImportError :'), (5, 1, 7, 'q = None'),
            (6, 0, 7, 'a = 1'), (6, 0, 7, 'b = 2'),
        ])

    def test_positions_rows_and_columns(self):
        source = ('x = f(1,\n'
                  '      # a comment inside the brackets\n'
                  '\n'
                  '      2) + \\\n'
                  '  3; y = """a\n'
                  'b""" + z\n'
                  'if a: b\n')
        records = cut_logical_lines(source)
        first, second, third, fourth = records
        self.assertEqual(first.tokens, ['x', '=', 'f', '(', '1', ',', '2', ')', '+', '3'])
        self.assertEqual(first.positions, [(0, 0), (0, 2), (0, 4), (0, 5), (0, 6), (0, 7),
                                           (3, 6), (3, 7), (3, 9), (4, 2)])
        self.assertEqual((first.lineno, first.linecount), (1, 5))
        self.assertEqual(second.tokens, ['y', '=', '"""a\nb"""', '+', 'z'])
        self.assertEqual(second.positions, [(0, 5), (0, 7), (0, 9), (1, 5), (1, 7)])
        self.assertEqual((second.lineno, second.linecount), (5, 2))
        self.assertEqual([(s.tokens, s.positions, s.lineno) for s in (third, fourth)],
                         [(['if', 'a', ':'], [(0, 0), (0, 3), (0, 4)], 7),
                          (['b'], [(0, 6)], 7)])

    def test_columns_are_clamped_to_16_bits(self):
        record, = cut_logical_lines('x = (' + ' ' * 70000 + '1)\n')
        self.assertEqual(record.positions[-2:], [(0, 65535), (0, 65535)])

    def test_indentation_levels(self):
        source = ('class A:\n'
                  '    def f(self):\n'
                  '\tif x:\n'            # a tab is 8 columns: deeper than 4
                  '\t    y\n'
                  '        # comment at the if level\n'
                  '\n'
                  '    z\n'
                  '# back at module level\n'
                  'w\n')
        self.assertEqual([(s.lineno, s.indent) for s in cut_logical_lines(source)],
                         [(1, 0), (2, 1), (3, 2), (4, 3), (5, 2), (6, 3), (7, 1), (8, 0),
                          (9, 0)])

    def test_inconsistent_dedent_does_not_stop_the_cut(self):
        source = ('if a:\n'
                  '        b\n'
                  '    c\n'          # the interpreter refuses this dedent
                  'd = 1\n'
                  'if e:\n'
                  '  f\n')
        self.assertEqual([(s.lineno, s.indent, s.tokens) for s in cut_logical_lines(source)],
                         [(1, 0, ['if', 'a', ':']), (2, 1, ['b']), (3, 1, ['c']),
                          (4, 0, ['d', '=', '1']), (5, 0, ['if', 'e', ':']), (6, 1, ['f'])])

    def test_unfinished_source_is_still_cut(self):
        self.assertEqual(summary('a = 1\nb = f(2,\n  3\n'),
                         [(1, 0, 7, 'a = 1'), (2, 0, 7, 'b = f ( 2 , 3')])
        records = cut_logical_lines('a = 1\nb = """open\nstring\n')
        self.assertEqual([(s.lineno, s.linecount, s.tokens) for s in records],
                         [(1, 1, ['a', '=', '1']),
                          (2, 2, ['b', '=', '"""open\nstring\n'])])
        self.assertEqual(summary('x = 1'), [(1, 0, 7, 'x = 1')])
        self.assertEqual(summary(''), [])

    def test_unicode_source_gives_utf8_str_tokens(self):
        record, = cut_logical_lines(u"s = u'\xe9'\n")
        self.assertEqual(record.tokens, ['s', '=', "u'\xc3\xa9'"])
        self.assertTrue(all(type(t) is str for t in record.tokens))


class StandardLibrary(unittest.TestCase):
    def test_lines_hold_every_statement_token_in_order(self):
        # The statement tokens of all logical lines, in order, are the tokenizer's
        # significant tokens without the ";" separators; line numbers never go back.
        for name in ('os.py', 'inspect.py', 'tokenize.py'):
            source = stdlib_source(name)
            expected = [t[1] for t in tokenize.generate_tokens(StringIO.StringIO(source).readline)
                        if t[0] not in (tokenize.NEWLINE, tokenize.NL, tokenize.INDENT,
                                        tokenize.DEDENT, tokenize.COMMENT, tokenize.ENDMARKER)
                        and t[1] != ';']
            records = cut_logical_lines(source)
            got = []
            for s in records:
                if s.linetype != ll.kLineComment:
                    got.extend(s.tokens)
                self.assertEqual(len(s.tokens), len(s.positions))
            self.assertEqual(got, expected, name)
            linenos = [s.lineno for s in records]
            self.assertEqual(linenos, sorted(linenos), name)
            self.assertEqual(records[-1].lineno + records[-1].linecount - 1,
                             source.count('\n'), name)


class MakeLogicalLines(unittest.TestCase):
    def test_lines_of_the_logicalline_module(self):
        try:
            import logicalline
        except ImportError:
            self.skipTest('logicalline module not built')
        source = 'def f(a,\n      b):\n    return a\n'
        lines = ll.make_logical_lines(source, logicalline)
        records = cut_logical_lines(source)
        self.assertEqual(len(lines), len(records))
        for line, record in zip(lines, records):
            self.assertEqual((list(line.fTokens), [tuple(p) for p in line.fTokenPositions],
                              line.fLineno, line.fLineCount, line.fIndent, line.fLineType),
                             (record.tokens, record.positions, record.lineno, record.linecount,
                              record.indent, record.linetype))


if __name__ == '__main__':
    unittest.main()
