"""A seeded random editor for the analyzer's edit tests: edits a real module through the
environment's incremental path (CQuarnelAnalysis.ReplaceLines) and compares, after each edit,
what the analyzer answers with what a fresh analyzer built from the edited source answers."""
import os
import random

import logicalline
import quarnel_impl
from vornide import analysis, grammar as grammar_module, transformer

STDLIB = os.path.dirname(os.__file__)

# Lines the editor inserts, each at a random indentation.
INSERTED = [
    'x = 1', 'self.y = f(x)', 'if x:', 'else:', 'for i in range(3):', 'def g(self, a=1):',
    'class K(object):', 'pass', 'return x', '"""A docstring."""', '# a comment', '',
    '@staticmethod', 'try:', 'except KeyError:', 'import os.path', 'from os import sep',
    'def h(): return 1', 'class L: pass', 'y = (1,', '    2)',
    # Half-typed statements: open brackets and strings, a class line without its colon.
    'def second(a, b', 'z = f(x, [1,', '"""An open docstring', "s = '''", 'class Foo',
    '@deco(', 'return g(x,', 'x = 1 + \\',
]
# What typing leaves at the end of a half-typed line.
OPENERS = ['(', '[', '{', '"""', "'''", '', ', (']
FUTURE = 'from __future__ import division\n'
# Other forms the 'future' edit adds at the top.
FUTURES = [FUTURE, 'from __future__ import (absolute_import,\n', '    print_function as pf)\n',
           'from __future__ import print_function, division\n']


def new_module(source, factory=None, grammar=None, xformer=None, load=True):
    """A module analysis of source with its analyzer (made with the environment's grammar
    and node transformer unless others are given), its logical list loaded unless load is
    false."""
    factory = factory or analysis.AnalysisFactory(search_path=[STDLIB],
                                                  logicalline_module=logicalline)
    mod_analysis = analysis.CQuarnelAnalysis(factory, os.path.join(STDLIB, '<edited>.py'),
                                             source=source)
    g = grammar or grammar_module.Grammar()
    mod_analysis.fGrammar = g
    mod_analysis.fQuarnelImpl = quarnel_impl.CreateQuarnelImpl(
        mod_analysis, g, xformer or transformer.NodeTransformer(), {}, analysis.make_attrib_ref,
        logicalline)
    if load:
        mod_analysis.LoadLogicalLines(logicalline)
    return mod_analysis


def record_of(line):
    return (line.fTokens, line.fTokenPositions, line.fLineno, line.fLineCount, line.fIndent,
            line.fLineType)


def snapshot(mod_analysis):
    """What the analyzer answers about the structure of its list, with lines given by their
    index in the list: the full name of every class and def line, the cached scope name of every
    line that has one, the defining line of every full name (the first definition in list order
    when several lines define it) and the body of the module and of every full name, and what
    an exact-name search finds of the class and def names without analysing anything."""
    analyzer = mod_analysis.fQuarnelImpl
    lines = mod_analysis.fLogicalLines
    index = dict((id(l), i) for i, l in enumerate(lines))
    full_names = {}
    defs = {}
    for i, line in enumerate(lines):
        if line.fLineType in (1, 2) and line.fTokenCount >= 2:
            name = analyzer.GetFullNameForScopeDef(line)
            full_names[i] = name
            defs.setdefault(name, []).append(i)
    scope_defs = {}
    bodies = {'': [index[id(l)] for l in analyzer.GetBodyOfScope('')]}
    for name, found in defs.items():
        at = index.get(id(analyzer.GetScopeDefForFullName(name)), 'not in the list')
        scope_defs[name] = at if at == found[0] else ('not the first definition', at, found)
        bodies[name] = [index[id(l)] for l in analyzer.GetBodyOfScope(name)]
    scopes = dict((i, l.fScopeName) for i, l in enumerate(lines) if l.fScopeName is not None)
    kinds = analysis.attrib_kinds(logicalline)
    names = set(l.fTokens[1] for l in lines if l.fLineType in (1, 2) and l.fTokenCount >= 2)
    definitions = {}
    for name in names:
        for find_all in (0, 1):
            definitions[name, find_all] = found_refs(analyzer, index, {
                'local_name': name, 'find_all': find_all, 'update': 0,
                'valid_kinds': [kinds['kClassAttribKind'], kinds['kFunctionAttribKind']]})
    return {'full names': full_names, 'scope defs': scope_defs, 'bodies': bodies,
            'scope names': scopes, 'future': dict(analyzer.fFromFutureFlags),
            'class and def search': definitions}


def found_refs(analyzer, index, options):
    """A search's answer with lines given by their index in the list."""
    return [(r.fKind, r.fFullName, index.get(id(r.fLine), 'not in the list'), r.fExtra is None)
            for r in analyzer.SearchForAttribs(options)]


def analysed_snapshot(mod_analysis):
    """After analysing every line: what an exact-name search finds of every name the lines
    define, and what FindTypeEquivs answers for each name a scope's body defines (and for
    'return') in that scope."""
    analyzer = mod_analysis.fQuarnelImpl
    lines = mod_analysis.fLogicalLines
    analyzer.AnalyzeLogicalList(lines, -1, 0.0)
    index = dict((id(l), i) for i, l in enumerate(lines))
    names = set()
    for line in lines:
        for entry in line.fNames:
            name = entry[0] if isinstance(entry, tuple) and entry else entry
            if isinstance(name, str):
                names.add(name)
    search = {}
    for name in names:
        for find_all in (0, 1):
            search[name, find_all] = found_refs(analyzer, index,
                                                {'local_name': name, 'find_all': find_all})
    scopes = [''] + [analyzer.GetFullNameForScopeDef(l) for l in lines
                     if l.fLineType in (1, 2) and l.fTokenCount >= 2]
    equivs = {}
    for scope in scopes:
        asked = set(['return'])
        for line in analyzer.GetBodyOfScope(scope):
            asked.update(n for n in line.fNames if isinstance(n, str))
        for name in asked:
            equivs[scope, name] = repr(analyzer.FindTypeEquivs(name, scope, 0.0))
    return {'search': search, 'type equivalences': equivs}


def compare(mine, theirs, found):
    for key in sorted(mine):
        if key == 'scope names':
            continue
        if mine[key] != theirs[key]:
            diff = [(k, mine[key].get(k), theirs[key].get(k))
                    for k in sorted(set(mine[key]) | set(theirs[key]))
                    if mine[key].get(k) != theirs[key].get(k)]
            found.append('%s: %r' % (key, diff[:3]))


def differences(edited, fresh, analyse=False):
    """Texts describing where the edited module's list and answers differ from the fresh
    one's (cached scope names are compared where the edited analyzer has one). With analyse,
    both modules are analysed whole and their searches and type equivalences compared too."""
    found = []
    got = [record_of(l) for l in edited.fLogicalLines]
    want = [record_of(l) for l in fresh.fLogicalLines]
    if got != want:
        at = [i for i, (a, b) in enumerate(zip(got, want)) if a != b][:1] or [min(len(got),
                                                                                   len(want))]
        found.append('logical lines differ from index %d: %r, fresh %r' % (
            at[0], got[at[0]:at[0] + 2], want[at[0]:at[0] + 2]))
        return found
    mine, theirs = snapshot(edited), snapshot(fresh)
    compare(mine, theirs, found)
    for i, name in mine['scope names'].items():
        if theirs['scope names'].get(i) != name:
            found.append('scope name of line %d: %r, fresh %r' % (i, name,
                                                                   theirs['scope names'].get(i)))
    if analyse and not found:
        compare(analysed_snapshot(edited), analysed_snapshot(fresh), found)
    return found


class RandomEditor(object):
    """Makes seeded random edits of a module's physical lines."""

    def __init__(self, seed):
        self.random = random.Random(seed)

    def edit(self, mod_analysis):
        """Applies one edit; returns (description, LogicalCacheModified's result)."""
        r = self.random
        physical = mod_analysis._PhysicalLines()
        count = len(physical)
        kind = r.choice(['insert', 'insert', 'delete', 'reindent', 'reindent', 'scope',
                         'future', 'paste', 'half', 'half'])
        if kind == 'paste' and count:
            # Several lines replaced by several others, as a paste over a selection does.
            at = r.randint(1, count)
            n = min(r.randint(1, 3), count - at + 1)
            text = ''.join(['    ' * r.randint(0, 3) + r.choice(INSERTED) + '\n'
                            for i in range(r.randint(0, 3))])
            return ('paste %r over %d at %d' % (text, n, at)), mod_analysis.ReplaceLines(
                at, n, text)
        if kind == 'insert' or count == 0:
            at = r.randint(1, count + 1)
            text = '    ' * r.randint(0, 3) + r.choice(INSERTED) + '\n'
            return ('insert %r at %d' % (text, at)), mod_analysis.ReplaceLines(at, 0, text)
        if kind == 'half':
            # A line cut short as while it is typed, often with a bracket or string opened:
            # the statement stays open until a later edit closes or removes it.
            at = r.randint(1, count)
            line = physical[at - 1].rstrip('\n')
            text = line[:r.randint(0, len(line))] + r.choice(OPENERS) + '\n'
            return ('half-type line %d as %r' % (at, text)), mod_analysis.ReplaceLines(
                at, 1, text)
        if kind == 'delete':
            at = r.randint(1, count)
            n = min(r.choice([1, 1, 2, 3]), count - at + 1)
            return ('delete %d at %d' % (n, at)), mod_analysis.ReplaceLines(at, n, '')
        if kind == 'reindent':
            at = r.randint(1, count)
            line = physical[at - 1]
            body = line.lstrip(' \t')
            indent = max(0, len(line) - len(body) + r.choice([-4, 4, -8]))
            text = ' ' * indent + body
            return ('reindent %d to %d' % (at, indent)), mod_analysis.ReplaceLines(at, 1, text)
        if kind == 'scope':
            # Remove a class or def line, or turn a line into one.
            heads = [i + 1 for i, l in enumerate(physical)
                     if l.lstrip().startswith(('def ', 'class '))]
            if heads and r.random() < 0.5:
                at = r.choice(heads)
                return ('remove scope line %d' % at), mod_analysis.ReplaceLines(at, 1, '')
            at = r.randint(1, count)
            line = physical[at - 1]
            indent = line[:len(line) - len(line.lstrip(' \t'))].replace('\n', '')
            text = indent + r.choice(['def f%d(self):' % at, 'class C%d:' % at]) + '\n'
            return ('make scope line %d' % at), mod_analysis.ReplaceLines(at, 1, text)
        # kind == 'future': add an import (or half of one) at the top, or take a line away.
        if physical and physical[0] in FUTURES and r.random() < 0.5:
            return 'remove future import', mod_analysis.ReplaceLines(1, 1, '')
        text = r.choice(FUTURES)
        return 'add %r' % text, mod_analysis.ReplaceLines(1, 0, text)
