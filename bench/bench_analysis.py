"""What a full analysis of a module costs, how much of it is the analyzer's own work, and what an
incremental cache update costs against a rebuild.

    python2.7 bench/bench_analysis.py [--rounds R] [--module NAME] [--no-library]

Full analysis: the module (decimal.py by default) is cut into logical lines and analyzed with
AnalyzeLogicalList and no budget, through the environment's grammar, node transformer and module
analysis (with an analysis factory over the standard library). The analyzer's own work (the
token submission, the walk with the standard visitors, the bookkeeping, the name map) is the same
analysis with the parser and transformer replaced by stand-ins that replay the syntax trees the
real ones made: what remains of the time is the analyzer's, plus the stand-ins' own calls
(one Python call per token), so the share is an upper bound. AstForLogicalLine of every line
(the environment's parse and transform as the analyzer drives them) is timed beside it.

Cache update: with the module's caches filled (RebuildCache, every scope's body and full name
asked for), one LogicalCacheModified for a one-line edit in the middle of the module (a statement
of a method replaced by an edited copy) against one RebuildCache.

Phases of a full analysis, each timed alone on what the analysis submits: the cut into logical
lines (and the logical line objects made from it), the grammar's parses (CreateParser, AddToken,
Finish; the native parser the environment uses, and the Python reference with its interpreter
parse of the rebuilt texts and st2tuple), and the node transformer on the parse trees (the one
the environment uses, native where it can be, and the Python reference; parses with the
transformer less the parses alone: trees are not kept, as the analyzer keeps none).

Edits through the environment (CQuarnelAnalysis.ReplaceLines on the loaded module): a one-line
edit in the middle of the module (a statement changed and changed back, as typing does), and a
50-line paste over 50 lines there, and a line inserted near the top and removed again (every
line after it renumbered), each split into the environment's own work (the recut and the
list update) and the analyzer's LogicalCacheModified.

For scale: pyclbr.readmodule_ex and compiler.parseFile of the same file. Each figure is the best
of its rounds; the phases run interleaved, round by round. The full analysis with its cut (the
module analysis's LoadLogicalLines, which cuts the source, makes the logical line objects and
rebuilds the analyzer's cache, then AnalyzeLogicalList), on a module analysis not loaded before
(as an editor opens a file), is set against pyclbr; beside it the same on a module loaded before
(the lines it had are freed within), and with the parsers' AddToken and Finish called as Python
methods (the analyzer hands the native parser its tokens through the parser's C interface).

Whole processes, interleaved round by round: `vorn analyze --no-store FILE` of the installation
against `python2.7 -c "import pyclbr; pyclbr.readmodule_ex(NAME)"`.

The whole standard library (every .py file of the library folder but dist-packages and
site-packages), each file cut and analyzed in full with one analysis factory, once (after the
rounds above): the number of files, the total and the slowest file, against a 15 s target.
--no-library skips it.
"""
import compiler
import os
import parser
import pyclbr
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..')
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(ROOT, 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(ROOT, 'ide'),
                os.path.join(ROOT, 'tests', 'python')]

import logicalline
from analyzer_support import MethodCallGrammar
from edit_oracle import new_module
from vornide import analysis, grammar as grammar_module, logicallines as ll, transformer

STDLIB = os.path.dirname(os.__file__)


def best_of(times, name, run):
    start = time.time()
    result = run()
    elapsed = time.time() - start
    if name not in times or elapsed < times[name]:
        times[name] = elapsed
    return result


def middle_statement(lines):
    """Index of a plain statement inside a def near the middle of the list."""
    for i in range(len(lines) // 2, len(lines)):
        if lines[i].fLineType == ll.kLineStatement and lines[i].fIndent >= 2:
            return i
    raise ValueError('no statement in a def after the middle')


def edited_copy(line):
    tokens = line.fTokens
    return logicalline.LogicalLine(tokens + ['+', '1'], line.fTokenPositions + [(0, 70), (0, 72)],
                                   line.fLineno, line.fLineCount, line.fIndent, line.fLineType)


class ReplayGrammar(object):
    """Parsers that collect the submitted texts and give back what the real grammar and
    transformer made of the same texts (recorded while `recording`)."""

    def __init__(self, grammar, xformer):
        self.grammar = grammar
        self.xformer = xformer
        self.trees = {}
        self.submitted = []   # the texts of each parse while recording, in order
        self.parses = []      # (start symbol, [(text, row, column)], Finish's arguments)
        self.recording = True

    def SetFutureFeatures(self, features):
        self.grammar.SetFutureFeatures(features)

    def CreateParser(self, symbol):
        return ReplayParser(self, self.grammar.CreateParser(symbol) if self.recording else None,
                            symbol)


class ReplayParser(object):
    def __init__(self, owner, real, symbol):
        self.owner = owner
        self.real = real
        self.symbol = symbol
        self.texts = []
        self.tokens = []

    def AddToken(self, text, first, second):
        self.texts.append(text)
        if self.real is not None:
            self.tokens.append((text, first, second))
            self.real.AddToken(text, first, second)

    def Finish(self, first, second):
        key = tuple(self.texts)
        if self.real is not None:
            self.owner.submitted.append(key)
            self.owner.parses.append((self.symbol, self.tokens, (first, second)))
            try:
                self.owner.trees[key] = self.owner.xformer.TransformNode(
                    self.real.Finish(first, second))
            except SyntaxError as error:
                self.owner.trees[key] = error
        found = self.owner.trees[key]
        if isinstance(found, SyntaxError):
            raise found
        return found


class RecordingParserModule(object):
    """Stands in for the `parser` module inside the grammar: keeps each rebuilt text and the
    parse it gave."""

    def __init__(self):
        self.parses = []   # (function name, text, syntax tree object)

    def suite(self, text):
        st = parser.suite(text)
        self.parses.append(('suite', text, st))
        return st

    def expr(self, text):
        st = parser.expr(text)
        self.parses.append(('expr', text, st))
        return st

    def st2tuple(self, st, line_info):
        return parser.st2tuple(st, line_info)


def replay_parses(grammar, parses, then=None):
    """Drives grammar with recorded parses, handing each tree to `then` (trees are not kept:
    a run that keeps them all pays for the collector walking them)."""
    for symbol, tokens, finish in parses:
        p = grammar.CreateParser(symbol)
        for text, first, second in tokens:
            p.AddToken(text, first, second)
        try:
            tree = p.Finish(*finish)
        except SyntaxError:
            continue
        if then is not None:
            try:
                then(tree)
            except SyntaxError:
                pass


def phases(times, source, replay, xformer):
    """Times the phases of a full analysis alone (see the module's text)."""
    best_of(times, 'cut', lambda: ll.cut_logical_lines(source))
    records = ll.cut_logical_lines(source)
    best_of(times, 'line objects', lambda: [
        logicalline.LogicalLine(r.tokens, r.positions, r.lineno, r.linecount, r.indent,
                                r.linetype) for r in records])
    native = grammar_module.Grammar()
    reference = grammar_module.Grammar(native=False)
    best_of(times, 'grammar', lambda: replay_parses(native, replay.parses))
    best_of(times, 'grammar, reference', lambda: replay_parses(reference, replay.parses))
    recorder = RecordingParserModule()
    saved = grammar_module.parser
    grammar_module.parser = recorder
    try:
        replay_parses(reference, replay.parses)
    finally:
        grammar_module.parser = saved

    def interpreter_parse():
        for kind, text, st in recorder.parses:
            getattr(parser, kind)(text)
    best_of(times, 'interpreter parse', interpreter_parse)

    def st2tuple():
        for kind, text, st in recorder.parses:
            parser.st2tuple(st, True)
    best_of(times, 'st2tuple', st2tuple)
    best_of(times, 'grammar + transformer',
            lambda: replay_parses(native, replay.parses, xformer.TransformNode))
    reference_xformer = transformer.NodeTransformer(native=False)
    best_of(times, 'grammar + reference transformer',
            lambda: replay_parses(native, replay.parses, reference_xformer.TransformNode))


class TimedAnalyzer(object):
    """Forwards to a module's analyzer, timing its LogicalCacheModified calls."""

    def __init__(self, impl):
        self.impl = impl
        self.spent = 0.0

    def LogicalCacheModified(self, cache, delta):
        start = time.time()
        try:
            return self.impl.LogicalCacheModified(cache, delta)
        finally:
            self.spent += time.time() - start

    def __getattr__(self, name):
        return getattr(self.impl, name)


def edit_rounds(times, source, rounds):
    """Times one-line edits and 50-line pastes through ReplaceLines (see the module's text)."""
    edited = new_module(source)
    timed = edited.fQuarnelImpl = TimedAnalyzer(edited.fQuarnelImpl)
    physical = list(edited._PhysicalLines())
    middle = len(physical) // 2
    at = next(i for i in range(middle, len(physical))
              if physical[i].strip() and physical[i].startswith('        ')
              and not physical[i].rstrip().endswith((':', ',', '\\', '(')))
    one = [physical[at][:-1] + ' + 1\n', physical[at]]
    paste = [''.join(physical[at:at + 50]).replace('self', 'other'), ''.join(physical[at:at + 50])]
    top = next(i for i in range(len(physical)) if physical[i].startswith('import '))
    edits = 100
    for name, where, texts, counts in (
            ('one-line edit', at, one, (1, 1)), ('50-line paste', at, paste, (50, 50)),
            ('line inserted, removed', top, ['x = 1\n', ''], (0, 1))):
        for r in range(rounds):
            timed.spent = 0.0
            start = time.time()
            for k in range(edits):
                edited.ReplaceLines(where + 1, counts[k % 2], texts[k % 2])
            elapsed = (time.time() - start) / edits
            if name not in times or elapsed < times[name]:
                times[name] = elapsed
                times[name + ', analyzer'] = timed.spent / edits
    assert edited._PhysicalLines() == physical


class Identity(object):
    def TransformNode(self, tree):
        return tree


def library_files():
    found = []
    for folder, dirs, files in os.walk(STDLIB):
        dirs[:] = sorted(d for d in dirs if d not in ('dist-packages', 'site-packages'))
        found.extend(os.path.join(folder, f) for f in sorted(files) if f.endswith('.py'))
    return found


def analyze_library():
    """Cuts and analyzes every file of the library in full; returns (files, seconds, slowest
    seconds, slowest file)."""
    factory = analysis.AnalysisFactory(search_path=[STDLIB], logicalline_module=logicalline)
    files = library_files()
    total, slowest, slowest_file = 0.0, 0.0, None
    for path in files:
        source = open(path, 'rb').read()
        start = time.time()
        module = new_module(source, factory)
        module.fQuarnelImpl.AnalyzeLogicalList(module.fLogicalLines, -1, 0.0)
        elapsed = time.time() - start
        total += elapsed
        if elapsed > slowest:
            slowest, slowest_file = elapsed, path
    return len(files), total, slowest, slowest_file


def process_rounds(times, path, module, rounds):
    """Times `vorn analyze --no-store` of path and the pyclbr process, interleaved."""
    vorn = os.path.join(BUILD, 'install', 'bin', 'vorn')
    commands = [('vorn analyze process', [vorn, 'analyze', '--no-store', path]),
                ('pyclbr process', ['/usr/bin/python2.7', '-c',
                                    'import pyclbr; pyclbr.readmodule_ex(%r)' % module])]
    devnull = open(os.devnull, 'w')
    try:
        for r in range(rounds):
            for name, command in commands:
                start = time.time()
                status = subprocess.call(command, stdout=devnull, stderr=devnull)
                elapsed = time.time() - start
                if status != 0:
                    raise RuntimeError('%s exited with %d' % (' '.join(command), status))
                if name not in times or elapsed < times[name]:
                    times[name] = elapsed
    finally:
        devnull.close()


def main(argv):
    rounds = 5
    module = 'decimal.py'
    if '--rounds' in argv:
        rounds = int(argv[argv.index('--rounds') + 1])
    if '--module' in argv:
        module = argv[argv.index('--module') + 1]
    path = os.path.join(STDLIB, module)
    source = open(path).read()
    times = {}

    # Full analysis and its parse-and-transform share.
    factory = analysis.AnalysisFactory(search_path=[STDLIB], logicalline_module=logicalline)
    analyzed = new_module(source, factory)
    analyzer = analyzed.fQuarnelImpl
    for i in range(rounds):
        lines = ll.make_logical_lines(source)
        analyzer.SetLogicalList(lines)
        analyzer.RebuildCache()
        done = best_of(times, 'analyze', lambda: analyzer.AnalyzeLogicalList(lines, -1, 0.0))
        assert done

        def parse_and_transform():
            for line in lines:
                try:
                    analyzer.AstForLogicalLine(line)
                except SyntaxError:
                    pass
        best_of(times, 'parse+transform', parse_and_transform)

        # The environment's path, on a module analysis not loaded before (as an editor
        # opens a file; made untimed, with the analyses of the modules it imports kept by
        # the factory across rounds): LoadLogicalLines cuts, makes the lines, hands them
        # over and rebuilds the cache, then the analysis.
        def cut_and_analyze():
            fresh.fQuarnelImpl.AnalyzeLogicalList(fresh.LoadLogicalLines(logicalline), -1, 0.0)
        def readmodule():
            pyclbr._modules.clear()
            return pyclbr.readmodule_ex(module[:-3], [STDLIB])
        fresh = new_module(source, factory, load=False)
        best_of(times, 'cut and analyze', cut_and_analyze)
        best_of(times, 'pyclbr', readmodule)   # right beside it: the ratio's two sides
        # The same on a module loaded before: the lines it had are freed within.
        best_of(times, 'cut and analyze, reloaded', cut_and_analyze)
        # The same with the parsers' AddToken and Finish called as Python methods, as for any
        # parser that is not exactly the native one.
        fresh = new_module(source, factory, grammar=MethodCallGrammar(), load=False)
        best_of(times, 'cut and analyze, by methods', cut_and_analyze)
        fresh = None
    count = len(lines)
    names = sum([line.fNameCount for line in lines])

    # The analyzer's own work: the same analysis with the parse and transform replayed.
    replay = ReplayGrammar(analyzed.fGrammar, transformer.NodeTransformer())
    identity = Identity()
    own = new_module(source, grammar=replay, xformer=identity)
    analyzer = own.fQuarnelImpl
    for i in range(rounds + 1):
        lines = ll.make_logical_lines(source)
        analyzer.SetLogicalList(lines)
        analyzer.RebuildCache()
        if i == 0:
            analyzer.AnalyzeLogicalList(lines, -1, 0.0)   # records the trees
            replay.recording = False
            continue
        best_of(times, 'own', lambda: analyzer.AnalyzeLogicalList(lines, -1, 0.0))

        def stand_ins_alone():
            for texts in replay.submitted:
                parser = replay.CreateParser(257)
                for text in texts:
                    parser.AddToken(text, 0, 0)
                try:
                    identity.TransformNode(parser.Finish(0, 0))
                except SyntaxError:
                    pass
        best_of(times, 'stand-ins', stand_ins_alone)
    assert sum([line.fNameCount for line in lines]) == names
    for i in range(rounds):
        phases(times, source, replay, transformer.NodeTransformer())
    edit_rounds(times, source, rounds)
    process_rounds(times, path, module[:-3], rounds)

    # One-line cache update against a rebuild, with the caches filled.
    edited = new_module(source)
    analyzer = edited.fQuarnelImpl
    lines = edited.fLogicalLines
    analyzer.RebuildCache()
    for line in lines:
        if line.fLineType in (1, 2):
            analyzer.GetBodyOfScope(analyzer.GetFullNameForScopeDef(line))
    analyzer.GetBodyOfScope('')
    at = middle_statement(lines)
    pair = [lines[at], edited_copy(lines[at])]
    updates = 200
    for i in range(rounds):
        def update():
            for k in range(updates):
                old, new = pair[k % 2], pair[(k + 1) % 2]
                lines[at] = new
                analyzer.LogicalCacheModified(edited, analysis.LogicalCacheDelta([old], [new]))
        best_of(times, 'one-line update', update)
        best_of(times, 'rebuild', analyzer.RebuildCache)
        for line in lines:   # refill what the rebuild left to be asked for again
            if line.fLineType in (1, 2):
                analyzer.GetBodyOfScope(analyzer.GetFullNameForScopeDef(line))
        best_of(times, 'compiler', lambda: compiler.parseFile(path))
    times['one-line update'] /= updates

    whole = times['analyze']
    own = times['own']
    print('%s: %d logical lines, %d names recorded; best of %d rounds' % (module, count, names,
                                                                       rounds))
    print('  full analysis with its cut                     %8.1f ms  (target 40 ms)' % (
        times['cut and analyze'] * 1e3))
    print('    / pyclbr.readmodule_ex                      %8.2f   (target < 0.25)' % (
        times['cut and analyze'] / times['pyclbr']))
    print('    the module loaded before                   %8.1f ms' % (
        times['cut and analyze, reloaded'] * 1e3))
    print('    parsers called through their methods       %8.1f ms' % (
        times['cut and analyze, by methods'] * 1e3))
    print('  full analysis (AnalyzeLogicalList, no budget)  %8.1f ms' % (whole * 1e3))
    print('    analyzer\'s own work, replayed parse        %8.1f ms  %5.1f%%' % (
        own * 1e3, 100.0 * own / whole))
    net = own - times['stand-ins']
    print('      less the stand-ins\' calls alone          %8.1f ms  %5.1f%%' % (
        net * 1e3, 100.0 * net / whole))
    print('    parse + transform (AstForLogicalLine)       %8.1f ms  %5.1f%%' % (
        times['parse+transform'] * 1e3, 100.0 * times['parse+transform'] / whole))
    print('  phases alone')
    print('    cut into logical lines                      %8.1f ms' % (times['cut'] * 1e3))
    print('    logical line objects                        %8.1f ms' % (
        times['line objects'] * 1e3))
    print('    grammar (CreateParser, AddToken, Finish)    %8.1f ms' % (times['grammar'] * 1e3))
    print('      the Python reference grammar              %8.1f ms' % (
        times['grammar, reference'] * 1e3))
    print('        interpreter parse of the rebuilt texts  %8.1f ms' % (
        times['interpreter parse'] * 1e3))
    print('        st2tuple                                %8.1f ms' % (times['st2tuple'] * 1e3))
    transform = times['grammar + transformer'] - times['grammar']
    print('    node transformer                            %8.1f ms' % (transform * 1e3))
    print('      the Python reference transformer          %8.1f ms' % (
        (times['grammar + reference transformer'] - times['grammar']) * 1e3))
    print('    cut + grammar + transformer / pyclbr        %8.2f' % (
        (times['cut'] + times['grammar + transformer']) / times['pyclbr']))
    for name in ('one-line edit', '50-line paste', 'line inserted, removed'):
        print('  ReplaceLines, %-33s%8.3f ms' % (name, times[name] * 1e3))
        print('    of which LogicalCacheModified               %8.3f ms' % (
            times[name + ', analyzer'] * 1e3))
    print('  RebuildCache                                   %8.3f ms' % (times['rebuild'] * 1e3))
    print('  LogicalCacheModified, one-line edit            %8.3f ms' % (
        times['one-line update'] * 1e3))
    print('    rebuild / one-line update                   %8.1f x' % (
        times['rebuild'] / times['one-line update']))
    print('  for scale: pyclbr.readmodule_ex                %8.1f ms' % (times['pyclbr'] * 1e3))
    print('             compiler.parseFile                  %8.1f ms' % (times['compiler'] * 1e3))
    print('             full analysis / compiler.parseFile  %8.2f' % (whole / times['compiler']))
    print('  processes: vorn analyze --no-store %-11s %8.0f ms' % (
        module, times['vorn analyze process'] * 1e3))
    print('             pyclbr.readmodule_ex process        %8.0f ms' % (
        times['pyclbr process'] * 1e3))
    print('             vorn analyze / pyclbr               %8.2f   (target <= 1)' % (
        times['vorn analyze process'] / times['pyclbr process']))
    if '--no-library' not in argv:
        count, total, slowest, slowest_file = analyze_library()
        print('  standard library analyzed in full: %d files   %8.2f s   (target 15 s)' % (
            count, total))
        print('    slowest file: %-29s %8.1f ms' % (os.path.relpath(slowest_file, STDLIB),
                                                    slowest * 1e3))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
