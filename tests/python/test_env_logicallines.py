"""Cutting source into logical lines: types, tokens, positions, indentation levels."""
import codecs
import os
import re
import StringIO
import sys
import textwrap
import tokenize
import unittest

from vornide import logicallines as ll
from vornide.logicallines import cut_logical_lines

from env_support import STDLIB


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
        self.assertEqual(summary('x = 1\n; \\\n\n'), [(1, 0, 7, 'x = 1')])
        self.assertEqual(summary(''), [])

    def test_half_typed_statement_hides_nothing_after_it(self):
        # A statement left open (bracket, backslash) ends where a row at or left of it starts
        # with a statement keyword; blank and comment rows before the keyword are lines of
        # their own, and what follows is cut as if the statement had been closed.
        source = textwrap.dedent("""\
            class A:
                def second(a, b:

                # note
                @deco
                def third(self):
                    return f(x,
                    class Foo
                    x = 1 + \\
                exec code
            x = [a,
            for a in b]
            """)
        self.assertEqual([(s.lineno, s.linecount, s.indent, s.linetype, ' '.join(s.tokens))
                          for s in cut_logical_lines(source)],
                         [(1, 1, 0, 1, 'class A :'),
                          (2, 1, 1, 2, 'def second ( a , b :'),
                          (3, 1, 1, 22, ''), (4, 1, 1, 21, '# note'),
                          (5, 1, 1, 5, '@ deco'),
                          (6, 1, 1, 2, 'def third ( self ) :'),
                          (7, 1, 2, 7, 'return f ( x ,'),
                          (8, 1, 2, 1, 'class Foo'),
                          (9, 1, 2, 7, 'x = 1 +'),
                          (10, 1, 1, 7, 'exec code'),
                          # "for" continues an expression: no recovery there.
                          (11, 2, 0, 7, 'x = [ a , for a in b ]')])
        # Deeper than the open statement, a keyword is part of it (the cut cannot tell).
        self.assertEqual(summary('f(a,\n    return)\nx = 1\n'),
                         [(1, 0, 7, 'f ( a , return )'), (3, 0, 7, 'x = 1')])
        # A triple-quoted string open at the end runs to the row before the first row at or
        # left of its statement that starts with a statement keyword.
        records = cut_logical_lines('def f():\n    """doc\n    x = 1\n  # c\ndef g(): pass\n'
                                    'class B:\n    s = \'\'\'\n        import x\n')
        self.assertEqual([(s.lineno, s.linecount, s.indent, s.linetype, s.tokens)
                          for s in records],
                         [(1, 1, 0, 2, ['def', 'f', '(', ')', ':']),
                          (2, 3, 1, 3, ['"""doc\n    x = 1\n  # c']),
                          (5, 1, 0, 2, ['def', 'g', '(', ')', ':']), (5, 1, 1, 7, ['pass']),
                          (6, 1, 0, 1, ['class', 'B', ':']),
                          (7, 2, 1, 7, ['s', '=', "'''\n        import x\n"])])
        self.assertEqual(records[1].positions, [(0, 4)])

    def test_states_say_where_a_cut_can_start_again(self):
        # The last item of a state is what the tokenizer carries into the statement: the
        # bracket depth since it last started, None after a string ended by recovery (the
        # cut from there depends on the rest of the source).
        records, states = ll.cut_with_states('x = 1)\ny = 2\nf(a,\ndef g(): pass\nz = (\n'
                                             '"""s\nimport os\n')
        self.assertEqual([(r.lineno, s[3]) for r, s in zip(records, states) if s is not None],
                         [(1, 0), (2, -1), (3, -1), (4, 0), (5, 0), (7, None)])
        # Cut again from a statement with nothing carried, the rest is cut as before.
        lines = ll.source_lines('x = 1\nf(a,\n@d\ndef g(): pass\ny = 2\n')
        records, states = ll.cut_with_states(''.join(lines))
        for i, state in enumerate(states):
            if state is not None and state[3] == 0:
                lineno = records[i].lineno
                again = ll.cut_segment(lines[lineno - 1:], lineno, state)
                self.assertEqual(again[:2], (records[i:], states[i:]))

    def test_unicode_source_gives_utf8_str_tokens(self):
        record, = cut_logical_lines(u"s = u'\xe9'\n")
        self.assertEqual(record.tokens, ['s', '=', "u'\xc3\xa9'"])
        self.assertTrue(all(type(t) is str for t in record.tokens))

    def test_byte_order_mark_is_not_a_token(self):
        # compile() accepts a UTF-8 mark; an editor holding decoded text passes u'\ufeff'.
        for mark in ('\xef\xbb\xbf', u'\ufeff'):
            self.assertEqual(summary(mark + '# c\n"doc"\nimport os\nclass A: pass\n'),
                             [(1, 0, 21, '# c'), (2, 0, 3, '"doc"'), (3, 0, 16, 'import os'),
                              (4, 0, 1, 'class A :'), (4, 1, 7, 'pass')])
        record, = cut_logical_lines('\xef\xbb\xbfx = 1\n')
        self.assertEqual(record.positions, [(0, 0), (0, 2), (0, 4)])

    def test_line_ends_are_those_of_the_interpreter(self):
        # A lone carriage return ends a line (classic Mac files, a stray one in a comment);
        # inside a string it reads as the newline the interpreter makes of it.
        self.assertEqual(summary('a = 1 # x\rb = 2\r\nc = """s\r\nt"""\rif a:\r  d\r'),
                         [(1, 0, 7, 'a = 1'), (2, 0, 7, 'b = 2'), (3, 0, 7, 'c = """s\nt"""'),
                          (5, 0, 4, 'if a :'), (6, 1, 7, 'd')])

    def test_every_row_belongs_to_a_line(self):
        # A continuation onto an empty row ends the statement there; a last row of blanks
        # without a line end is a blank line.
        records = cut_logical_lines('def f(x): return \\\n\ny = 2 + \\\n  \n   ')
        self.assertEqual([(s.lineno, s.linecount, s.linetype) for s in records],
                         [(1, 1, 2), (1, 2, 7), (3, 2, 7), (5, 1, 22)])


# Sources the library may lack, each for a case the cutter once got wrong.
SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'cutter_sources')


def python_files(root):
    """Every .py file below root (whatever packages are installed there, and folders reached
    through links, each once), sorted."""
    found, seen = [], set()
    for folder, dirs, names in os.walk(root, followlinks=True):
        real = os.path.realpath(folder)
        if real in seen:
            dirs[:] = []
            continue
        seen.add(real)
        found.extend(os.path.join(folder, n) for n in names if n.endswith('.py'))
    return sorted(found)


def library_files():
    return python_files(STDLIB)


def read(path):
    """The bytes of the file, or None when it cannot be read (a dangling link)."""
    try:
        with open(path, 'rb') as f:
            return f.read()
    except IOError:
        return None


_SKIPPED = (tokenize.NL, tokenize.COMMENT, tokenize.INDENT, tokenize.DEDENT,
            tokenize.ENDMARKER)


def tokenized_statements(source):
    """What tokenize makes of `source` (line ends "\n"): the (first row, NEWLINE row) of
    each statement (the last token's row when the source ends without one) and the statement
    tokens without the ";" separators. A leading UTF-8 byte-order mark is dropped, as the
    interpreter does: 2.7's tokenize module would make error tokens of its bytes, a statement
    on the first row."""
    if source.startswith(codecs.BOM_UTF8):
        source = source[len(codecs.BOM_UTF8):]
    rows, tokens, first, last = [], [], None, None
    for kind, text, (srow, _), (erow, _), _ in tokenize.generate_tokens(
            StringIO.StringIO(source).readline):
        if kind == tokenize.NEWLINE:
            if first is not None:
                rows.append((first, srow))
            first = None
        elif kind not in _SKIPPED:
            if first is None:
                first = srow
            last = erow
            if text != ';':
                tokens.append(text)
    if first is not None:
        rows.append((first, last))
    return rows, tokens


def row_faults(source):
    """Checks the logical lines of `source` against tokenize: every physical row belongs to a
    logical line; the lines of one statement cover exactly its rows, up to its NEWLINE row;
    rows are shared only among the lines of one statement (inline bodies and ";"); comment
    and blank lines have one row of their own; the lines hold the statement tokens in
    order. Returns the faults found, as readable tuples."""
    records = cut_logical_lines(source)
    statements, expected_tokens = tokenized_statements(source)
    owner = {}
    for index, (first, last) in enumerate(statements):
        for row in range(first, last + 1):
            owner[row] = index
    covered = set()
    statement_rows = [set() for _ in statements]
    tokens, faults = [], []
    for record in records:
        rows = range(record.lineno, record.lineno + record.linecount)
        if record.linetype in ll.IGNORED_TYPES:
            if len(rows) != 1 or record.lineno in owner or record.lineno in covered:
                faults.append(('comment or blank shares its row', record.lineno))
        else:
            tokens.extend(record.tokens)
            index = owner.get(record.lineno)
            if index is None or any(owner.get(row) != index for row in rows):
                faults.append(('rows outside its statement', record.lineno, record.linecount))
            else:
                statement_rows[index].update(rows)
        covered.update(rows)
    for (first, last), rows in zip(statements, statement_rows):
        if rows != set(range(first, last + 1)):
            faults.append(('statement rows', first, last, sorted(rows)))
    row_count = source.count('\n') + (not source.endswith('\n') and source != '')
    missing = sorted(set(range(1, row_count + 1)) - covered)
    if missing:
        faults.append(('rows in no line', missing[:10]))
    if tokens != expected_tokens:
        faults.append(('tokens differ', len(tokens), len(expected_tokens)))
    return faults


class StandardLibrary(unittest.TestCase):
    """The cutter against tokenize over the interpreter's whole library folder, with whatever
    is installed in it (the interpreter's test package, for one, has several hundred more
    files and doubles the time), and the sources of cutter_sources/. The release interpreter
    checks every file, in some ten seconds for the bare library; the debug interpreter, several
    times slower, every eighth file and a few chosen ones, and fewer files with marks and
    other line ends. The cutter is pure Python and keeps no native references, so the leak
    hunt (which repeats each test 8 times) skips this class."""
    leak_check = False
    chosen = ('os.py', 'inspect.py', 'tokenize.py', 'plat-x86_64-linux-gnu/IN.py')

    debug = hasattr(sys, 'gettotalrefcount')

    @classmethod
    def files(cls):
        every = library_files()
        if cls.debug:
            chosen = set(os.path.join(STDLIB, f) for f in cls.chosen)
            every = sorted(set(every[::8]) | (chosen & set(every)))
        return every + python_files(SOURCES)

    def test_rows_and_tokens_match_tokenize(self):
        faults, checked, skipped = {}, 0, []
        for path in self.files():
            source = read(path)  # None for a dangling link
            try:
                found = row_faults(source) if source is not None else None
            except (tokenize.TokenError, IndentationError):
                found = None  # not a whole module: tokenize gives no answer to check against
            if found is None:
                skipped.append(os.path.relpath(path, STDLIB))
                continue
            checked += 1
            if found:
                faults[path] = found[:3]
        if skipped:
            sys.stderr.write('\n%d of %d files skipped, unreadable or rejected by tokenize: '
                             '%s\n' % (len(skipped), checked + len(skipped),
                                        ', '.join(skipped[:5])))
        self.assertGreater(checked, 50)
        self.assertLess(len(skipped), checked // 10, skipped[:20])
        self.assertEqual(faults, {})

    def test_marks_and_line_ends_change_nothing(self):
        # A byte-order mark (in bytes, or decoded) and "\r\n" or "\r" line ends give the same
        # lines as the plain file.
        for path in library_files()[::75 if self.debug else 25]:
            source = read(path)
            if source is None or '\r' in source or source.startswith('\xef\xbb\xbf'):
                continue
            plain = cut_logical_lines(source)
            variants = [('\xef\xbb\xbf' + source, 'mark'),
                        (source.replace('\n', '\r\n'), 'CR LF'),
                        (source.replace('\n', '\r'), 'CR')]
            try:
                variants.append((u'\ufeff' + source.decode('utf-8'), 'decoded mark'))
            except UnicodeDecodeError:
                pass
            for variant, name in variants:
                self.assertEqual(cut_logical_lines(variant), plain, (path, name))


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
