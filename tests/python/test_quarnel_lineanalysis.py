"""Lazy analysis of logical lines: what the analyzer submits to the grammar, which lines it parses
and analyzes, parse errors, the line being edited, the __future__ flags and the count and time
budgets of AnalyzeLogicalList. Lines are cut from real source by the environment and parsed by its
grammar and node transformer."""
import os
import textwrap
import unittest

import linegrammar
import quarnel_impl
import _quarnel_testhooks as hooks
from analyzer_support import (MethodCallGrammar, RecordingGrammar, TraceSink, library_failures,
                              line, real_analyzer)
from serialization_support import line_fields
from env_support import STDLIB
from vornide import grammar as grammar_module, logicallines as ll

SOURCE = textwrap.dedent('''\
    """Module docstring."""
    from __future__ import division
    from os import (path,
                    sep)
    import sys


    @property
    def f(a, b=1):  # a comment
        """Docstring of f."""
        x //= a
        y = a // b
        return x


    class C(object):
        def m(self):
            try:
                self.v = {}
            except KeyError:
                pass
            else:
                pass
            finally:
                pass
            if self:
                pass
            elif 1:
                pass
''')


def by_first_token(lines, text, nth=0):
    found = [l for l in lines if l.fTokens and l.fTokens[0] == text]
    return found[nth]


class Parsing(unittest.TestCase):
    def setUp(self):
        self.grammar = RecordingGrammar()
        self.analyzer, self.lines, self.analysis = real_analyzer(SOURCE, grammar=self.grammar)

    def test_submitted_tokens(self):
        # Decorators as "~", floor division as "/", comments dropped, a header gets "pass", a
        # from-import loses its brackets; every parse ends with "\n" at the last position.
        expect = [
            ('@', ['~', 'property', '\n']),
            ('def', ['def', 'f', '(', 'a', ',', 'b', '=', '1', ')', ':', 'pass', '\n']),
            ('x', ['x', '/=', 'a', '\n']),
            ('y', ['y', '=', 'a', '/', 'b', '\n']),
            ('from', ['from', 'os', 'import', 'path', ',', 'sep', '\n']),
        ]
        for first, texts in expect:
            del self.grammar.calls[:]
            logical = by_first_token(self.lines, first, 1 if first == 'from' else 0)
            self.assertNotEqual(self.analyzer.ParseLogicalLine(logical), None)
            self.assertEqual(self.grammar.submitted(), [texts], first)
            self.assertEqual(self.grammar.calls[0], ('CreateParser', (257,)))
            adds = [args for method, args in self.grammar.calls if method == 'AddToken']
            finish = self.grammar.calls[-1]
            self.assertEqual(finish, ('Finish', adds[-1][1:]))
            self.assertEqual(adds[-1][1:], adds[-2][1:])
            self.assertTrue(logical.fParsed)

    def test_positions_are_the_cutters(self):
        logical = by_first_token(self.lines, 'from', 1)  # two physical lines
        self.analyzer.ParseLogicalLine(logical)
        adds = [args for method, args in self.grammar.calls if method == 'AddToken']
        kept = [(t, p) for t, p in zip(logical.fTokens, logical.fTokenPositions)
                if t not in ('(', ')')]
        self.assertEqual([(a[0], (a[1], a[2])) for a in adds[:-1]], kept)

    def test_never_parsed_types(self):
        for text in ('try', 'except', 'else', 'finally', 'elif'):
            logical = by_first_token(self.lines, text)
            self.assertIn(logical.fLineType, ll.NEVER_PARSED_TYPES)
            del self.grammar.calls[:]
            self.assertEqual(self.analyzer.ParseLogicalLine(logical), None)
            self.assertEqual(self.analyzer.AstForLogicalLine(logical), None)
            self.assertEqual(self.grammar.calls, [])
            self.assertTrue(logical.fParsed)
        # Analyzed as such they add nothing to the count.
        other = by_first_token(self.lines, 'try')
        other.fParsed = False
        self.analyzer.AnalyzeLogical(other)
        self.assertEqual((other.fParsed, self.analyzer.fParsedCount), (True, 0))

    def test_nothing_submitted(self):
        blank = [l for l in self.lines if l.fLineType == ll.kLineBlank][0]
        blank.fLineType = ll.kLineStatement
        self.analyzer.ParseLogicalLine(blank)
        self.assertEqual(self.grammar.calls[1:], [('AddToken', ('\n', -1, -1)),
                                                  ('Finish', (-1, -1))])

    def test_syntax_tree(self):
        tree = self.analyzer.AstForLogicalLine(by_first_token(self.lines, 'y'))
        self.assertEqual(tree, ('Assign', ('Name', 'y'), ('Div', (('Name', 'a'), ('Name', 'b')))))

    def test_parser_changing_the_line(self):
        # Python code run by the parser may replace the line's tokens; the parse goes on with
        # what the line holds then.
        logical = by_first_token(self.lines, 'y')
        grammar = self.grammar

        class Shrinking(object):
            def SetFutureFeatures(self, features):
                pass

            def CreateParser(self, symbol):
                parser = grammar.CreateParser(symbol)
                add = parser.AddToken

                def add_token(text, first, second):
                    logical.fTokens = ['z']
                    return add(text, first, second)
                parser.AddToken = add_token
                return parser
        analyzer, lines, analysis = real_analyzer(SOURCE, grammar=Shrinking())
        analyzer.SetLogicalList(self.lines)
        self.assertNotEqual(analyzer.ParseLogicalLine(logical), None)
        self.assertEqual(grammar.submitted()[-1], ['y', '\n'])

    def test_bad_arguments(self):
        a = self.analyzer
        self.assertRaisesRegexp(TypeError, r'^Line to parse must be a logical line\.$',
                                a.ParseLogicalLine, 1)
        for method in (a.AstForLogicalLine, a.AnalyzeLogical):
            self.assertRaisesRegexp(TypeError, r'^Argument must be a logical line\.$', method, 'x')
        logical = self.lines[0]
        for bad in ('soon', [], object()):
            self.assertRaisesRegexp(TypeError, '^end_time must be a float or None$',
                                    a.AnalyzeLogical, logical, bad)
            self.assertRaisesRegexp(TypeError, '^end_time must be a float or None$',
                                    a.AnalyzeLogicalList, [], -1, bad)
        self.assertRaises(TypeError, a.AnalyzeLogicalList, (logical,))
        self.assertRaises(SystemError, a.AnalyzeLogicalList, [1])
        self.assertRaises(TypeError, a.ClearAnalysis, 'x')
        self.assertEqual(a.fActiveMethodCount, 0)
        a.destroy()
        self.assertRaises(TypeError, a.ClearAnalysis, logical)
        self.assertRaises(TypeError, a.AnalyzeLogical, logical)
        self.assertRaises(SystemError, a.AnalyzeLogicalList, [line()], -1, 0.0)


class Analysis(unittest.TestCase):
    def setUp(self):
        # The hooks module's analyzer, whose source info cache the tests can read.
        self.analyzer, self.lines, self.analysis = real_analyzer(SOURCE, module=hooks)

    def analyzable(self):
        return [l for l in self.lines if l.fLineType not in ll.NEVER_PARSED_TYPES]

    def test_analyze_records_names_in_the_cache(self):
        a = self.analyzer
        target = by_first_token(self.lines, 'y')
        self.assertEqual(a.AnalyzeLogical(target), None)
        self.assertEqual((target.fParsed, target.fNames, a.fParsedCount), (True, ['y'], 1))
        self.assertEqual(defining(a, 'y'), [target])
        a.AnalyzeLogical(target)   # analyzed already: nothing happens
        self.assertEqual((target.fNames, a.fParsedCount), (['y'], 1))
        # ClearAnalysis forgets it all, and the line is analyzed afresh on next need.
        self.assertEqual(a.ClearAnalysis(target), None)
        self.assertEqual((target.fParsed, target.fNames, a.fParsedCount), (False, [], 0))
        self.assertEqual(defining(a, 'y'), [])
        a.ClearAnalysis(target)
        self.assertEqual(a.fParsedCount, 0)
        self.assertTrue(a.AnalyzeLogicalList([target]))
        self.assertEqual((target.fNames, a.fParsedCount), (['y'], 1))

    def test_clear_analysis_drops_the_scopes_attributes(self):
        a, lines = self.analyzer, self.lines
        target = by_first_token(lines, 'y')
        a.AnalyzeLogical(target)
        hooks.cache_set_attribs(a, 'f', a.GetScopeDefForFullName('f'), ['cached'])
        hooks.cache_set_attribs(a, '', None, ['module'])
        a.ClearAnalysis(target)
        self.assertEqual(hooks.cache_get_attribs(a, 'f'), None)
        self.assertEqual(hooks.cache_get_attribs(a, ''), ['module'])

    def test_parse_error(self):
        a, lines, analysis = real_analyzer('x = = 1\ny = 2\n')
        self.assertEqual(a.AnalyzeLogical(lines[0]), None)
        self.assertTrue(lines[0].fParsed)
        self.assertEqual(a.fParsedCount, 0)
        self.assertEqual(a.fParseErrors.keys(), [lines[0]])
        self.assertTrue(isinstance(a.fParseErrors[lines[0]], SyntaxError))
        notices = [n for n in analysis.fNotices if n[0] == '_ParseErrorsModified']
        self.assertEqual(notices, [('_ParseErrorsModified', ((lines[0],), ()))])
        # The list goes on past the broken line and reports everything analyzed.
        self.assertTrue(a.AnalyzeLogicalList(lines))
        self.assertEqual((lines[1].fNames, a.fParsedCount), (['y'], 1))

    def test_other_errors_propagate(self):
        class Failing(object):
            def CreateParser(self, symbol):
                raise KeyError('no parser')
        a, lines, analysis = real_analyzer('x = 1\ny = 2\n', grammar=Failing())
        self.assertRaises(KeyError, a.AnalyzeLogicalList, lines)
        self.assertEqual((a.fParsedCount, a.fParseErrors, a.fActiveMethodCount), (0, {}, 0))
        self.assertEqual([l.fParsed for l in lines], [True, False])

    def test_transformer_value_error_is_a_parse_error(self):
        class Refusing(object):
            def TransformNode(self, tree):
                raise ValueError('cannot transform')
        a, lines, analysis = real_analyzer('x = 1\n', xformer=Refusing())
        self.assertTrue(a.AnalyzeLogicalList(lines, -1, 0.0))
        self.assertEqual(str(a.fParseErrors[lines[0]]), 'cannot transform')
        self.assertEqual((lines[0].fParsed, a.fParsedCount), (True, 0))

    def test_line_being_edited(self):
        a = self.analyzer
        doc = by_first_token(self.lines, '"""Docstring of f."""')
        self.assertEqual(doc.fLineType, ll.kLineDocString)
        a.SetActiveEditLineno(doc.fLineno)
        a.AnalyzeLogical(doc)
        self.assertFalse(doc.fParsed)
        self.assertFalse(a.AnalyzeLogicalList(self.lines, -1, 0.0))
        self.assertFalse(doc.fParsed)
        a.SetActiveEditLineno(doc.fLineno + 1)
        self.assertTrue(a.AnalyzeLogicalList(self.lines, -1, 0.0))
        self.assertTrue(doc.fParsed)

    def test_budgets(self):
        a = self.analyzer
        todo = self.analyzable()
        self.assertFalse(a.AnalyzeLogicalList(self.lines, 0))
        self.assertFalse(a.AnalyzeLogicalList(self.lines, 5, 1.0))  # an end time long past
        self.assertEqual([l for l in self.lines if l.fParsed], [])
        self.assertFalse(a.AnalyzeLogicalList(self.lines, 3, 0.0))
        self.assertEqual(len([l for l in self.lines if l.fParsed]), 3)
        self.assertEqual([l.fParsed for l in self.lines[:3]], [True] * 3)
        calls = 1
        while not a.AnalyzeLogicalList(self.lines, 4, -1.0):
            calls += 1
        self.assertEqual(calls, (len(self.lines) - 3 + 3) // 4)
        self.assertEqual(a.fParsedCount, len(todo))
        self.assertTrue(a.AnalyzeLogicalList(self.lines, 0))
        self.assertTrue(a.AnalyzeLogicalList([], 0, 1.0))

    def test_default_end_time_finishes_a_small_module(self):
        self.assertTrue(self.analyzer.AnalyzeLogicalList(self.lines))
        self.assertTrue(self.analyzer.AnalyzeLogicalList(self.lines, -1, None))

    def test_trace(self):
        a = self.analyzer
        sink = TraceSink()
        a.SetTracer(sink)
        a.AnalyzeLogicalList(self.lines[:2], 1, 0.0)
        messages = sink.writes[2::3]
        self.assertEqual(messages[:3], ['Analyzing logical list: end_time = 0.000000\n',
                                        'Analyzing logical starting at 1\n',
                                        'Parsing line starting at lineno 1\n'])
        self.assertTrue(messages[3].startswith(
            'Aborting logical analysis: count = 1, max_count = 1, end_time = 0.000000, '
            'get_time() = '))
        del sink.writes[:]
        a.AnalyzeLogicalList(self.lines[:1], -1, 0.0)
        self.assertEqual(sink.writes[2::3][-1], 'Finished analyzing logical list\n')
        sink.fail_at = len(sink.writes)
        self.assertRaises(IOError, a.AnalyzeLogical, self.lines[3])
        self.assertEqual(a.fActiveMethodCount, 0)


def defining(analyzer, name):
    """The lines the name map of an analyzer made by the hooks module holds for name."""
    return hooks.cache_defining_lines(analyzer, name) or []


FEATURES = ['division', 'absolute_import', 'print_function', 'unicode_literals',
            'with_statement', 'nested_scopes', 'generators']


# The features that leave a mark in the code's flags (2.7 takes the last two for granted).
FLAGGED = FEATURES[:5]


def compiled_features(source):
    """The features the compiler enables for source (those that leave a code flag)."""
    import __future__
    flags = compile(source, '<future>', 'exec', 0, True).co_flags
    return set(f for f in FLAGGED if getattr(__future__, f).compiler_flag & flags)


def flagged(features):
    """The features of an analyzer's flags that leave a code flag."""
    return set(features) & set(FLAGGED)


def future_sources(seed, count):
    """Seeded random module openings: comments, blank lines, a docstring (in brackets or not),
    future imports in every form (several features, brackets, aliases, backslash
    continuations, several statements on a line), then a statement, and sometimes a late future
    import (which the compiler refuses) or a second string statement."""
    import random
    r = random.Random(seed)

    def feature_list():
        names = r.sample(FEATURES, r.randint(1, 3))
        items = [n + (' as _%s' % n if r.random() < 0.3 else '') for n in names]
        if r.random() < 0.4:
            return '(' + (',\n    ' if r.random() < 0.5 else ', ').join(items) + \
                   (',' if r.random() < 0.3 else '') + ')'
        return (', \\\n    ' if r.random() < 0.2 else ', ').join(items)

    for i in range(count):
        parts = []
        if r.random() < 0.3:
            parts.append('# -*- coding: ascii -*-\n')
        if r.random() < 0.5:
            parts.append(r.choice(['"""Doc."""\n', "'doc' 'more'\n", '("doc")\n',
                                   'r"doc"\n']))
        for k in range(r.randint(0, 3)):
            if r.random() < 0.2:
                parts.append('\n# between\n')
            statement = 'from __future__ import ' + feature_list()
            if r.random() < 0.15:
                statement += '; from __future__ import ' + r.choice(FEATURES)
            parts.append(statement + '\n')
        if r.random() < 0.2:
            parts.append('"""A string after the imports."""\n')
        parts.append(r.choice(['x = 1\n', 'import os\n', 'def f(): pass\n']))
        late = r.random() < 0.2
        if late:
            parts.append('from __future__ import division\n')
        yield ''.join(parts), late


class FutureFlags(unittest.TestCase):
    def test_rescan(self):
        cases = [
            ('from __future__ import division\n', {'division': True}),
            ('if 1:\n    from __future__ import division\n', {}),
            ('from os import path\n', {}),
            ('x = 1\nfrom __future__ import division\n', {}),   # late: the compiler refuses it
            ('"""doc"""\nfrom __future__ import print_function\nprint(1, 2)\n',
             {'print_function': True}),
        ]
        for source, flags in cases:
            a, lines, analysis = real_analyzer(source)
            self.assertEqual(a.fFromFutureFlags, flags, source)
            notices = [n for n in analysis.fNotices if n[0] == '_FromFutureFlagsChanged']
            self.assertEqual(notices, [('_FromFutureFlagsChanged', flags)] if flags else [])

    def test_every_form_counts_as_the_compiler_counts_it(self):
        # Differential: the analyzer's features against the code flags compile() sets. A late
        # future import, which the compiler refuses, counts for neither.
        for source, late in future_sources(20, 150):
            a = real_analyzer(source)[0]
            if late:
                self.assertRaises(SyntaxError, compiled_features, source)
                source = source[:source.rindex('from __future__')]
            self.assertEqual(flagged(a.fFromFutureFlags), compiled_features(source), source)

    def test_several_features_reach_the_grammar(self):
        # print_function among others in one statement: print(..., file=out) parses as a call
        # and `out = print` keeps its name.
        a, lines, analysis = real_analyzer(
            'from __future__ import (absolute_import,\n    print_function as pf)\n'
            'out = print\nprint(1, file=out)\n')
        self.assertEqual(sorted(a.fFromFutureFlags), ['absolute_import', 'print_function'])
        a.AnalyzeLogicalList(lines, -1, 0.0)
        self.assertEqual(a.fParseErrors, {})
        self.assertEqual(a.FindTypeEquivs('out', ''), ['print'])

    def test_the_grammar_follows(self):
        # The module analysis hands the features to the grammar: print(1, 2) is then a call.
        a, lines, analysis = real_analyzer(
            'from __future__ import print_function\nprint(1, 2)\n')
        self.assertEqual(a.AstForLogicalLine(lines[1])[:2], ('Discard', ('CallFunc', ('Name', 'print'),
                                                                         (('Const', 1), ('Const', 2)))))

    def test_token_types(self):
        a, lines, analysis = real_analyzer('from __future__ import division\n', rebuild=False)
        lines[0].fTokens = ['from', 1, 'import', 'division']
        self.assertRaises(TypeError, a.RebuildCache)
        a.SetLogicalList(None)
        self.assertRaisesRegexp(AssertionError, 'logical_list is not a list instance',
                                a.RebuildCache)


def parse_outcome(analyzer, logical, method='ParseLogicalLine'):
    try:
        return ('tree', getattr(analyzer, method)(logical))
    except SyntaxError as error:
        return ('error', type(error), error.args)


def analysis_outcome(analyzer, lines):
    """What a full analysis of lines recorded: every line's stored fields (by repr: imports
    record their module's analysis, one object per analyzer) and the parse errors by line
    index."""
    analyzer.AnalyzeLogicalList(lines, -1, 0.0)
    index = dict((id(logical), i) for i, logical in enumerate(lines))
    errors = sorted((index[id(logical)], error.args)
                    for logical, error in analyzer.fParseErrors.items())
    return [repr(line_fields(logical)) for logical in lines], errors


class NativeParserPath(unittest.TestCase):
    """The analyzer hands tokens straight to the native parsers, and where the node transformer
    is the environment's own, has the native one transform the interpreter's parse tree
    directly, sharing the syntax trees of lines of the same text across one analysis. Against
    the parsers' methods and the transformer called on the tuple form: every logical line of the
    standard library (every eighth module under the debug interpreter) gives the same parse
    tree or SyntaxError, the same syntax tree, and a full analysis records the same on every
    line, with and without print_function."""
    leak_check = False

    def check(self, path, features_list=((), ['print_function'])):
        source = open(path, 'rb').read()
        found = []
        for features in features_list:
            native = grammar_module.Grammar(features)
            self.assertIsInstance(native.CreateParser(257), linegrammar.LineParser)
            direct, lines, _ = real_analyzer(source, grammar=native, rebuild=False)
            called, _, _ = real_analyzer(source, grammar=MethodCallGrammar(features),
                                         rebuild=False)
            called.SetLogicalList(lines)
            for logical in lines:
                for method in ('ParseLogicalLine', 'AstForLogicalLine'):
                    mine = parse_outcome(direct, logical, method)
                    reference = parse_outcome(called, logical, method)
                    if mine != reference:
                        found.append('%s:%d %s %r: %r, reference %r' % (
                            os.path.basename(path), logical.fLineno, method, logical.fTokens,
                            mine, reference))
            outcomes = []
            for grammar in (grammar_module.Grammar(features), MethodCallGrammar(features)):
                analyzer, lines, _ = real_analyzer(source, grammar=grammar)
                outcomes.append(analysis_outcome(analyzer, lines))
            if outcomes[0] != outcomes[1]:
                found.append('%s: the full analyses differ' % os.path.basename(path))
        return found

    def test_library(self):
        failed, count = library_failures(self.check)
        self.assertEqual(failed, {})
        self.assertGreater(count, 20)

    def test_sample_and_errors(self):
        # Under the leak run: a sample, a module of syntax errors and string statements (which
        # the native path makes without a parse where every string is plain), and a native
        # parser made by a Python CreateParser (still handed its tokens directly).
        self.assertEqual(self.check(os.path.join(STDLIB, 'sched.py')), [])
        source = textwrap.dedent('''\
            def f(: pass
            x = = 1
            print >>f, a
            print(a, end='')
            from m import (a, b,)
            @deco
            class K(object, lambda: 1): pass
            ''') + textwrap.dedent(r"""
            'a' 'b'
            '''x'y''' "z"
            '''x"y''' ""
            "a\"b"
            u'x'
            br'x' B"y"
            ''
            ''''''
            'a' + 'b'
            "x"; y = 1
            ('p'
             'q')
            'abc' \
              'def'
            '''unterminated
            """)
        grammars = [grammar_module.Grammar(), MethodCallGrammar()]

        class PythonCreate(grammar_module.Grammar):
            def CreateParser(self, symbol):
                return grammar_module.Grammar.CreateParser(self, symbol)
        grammars.append(PythonCreate())
        outcomes = []
        for grammar in grammars:
            analyzer, lines, _ = real_analyzer(source, grammar=grammar, rebuild=False)
            outcomes.append([parse_outcome(analyzer, logical, method) for logical in lines
                             for method in ('ParseLogicalLine', 'AstForLogicalLine')])
        self.assertEqual(outcomes[0], outcomes[1])
        self.assertEqual(outcomes[0], outcomes[2])
        self.assertIn('error', [o[0] for o in outcomes[0]])
        self.assertIn(('tree', ('Discard', ('Const', 'ab'))), outcomes[0])


if __name__ == '__main__':
    unittest.main()
