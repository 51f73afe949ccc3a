"""What a full analysis of a module costs, how much of it is the analyzer's own work, and what an
incremental cache update costs against a rebuild.

    python2.7 bench/bench_analysis.py [--rounds R] [--module NAME]

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

For scale: pyclbr.readmodule_ex and compiler.parseFile of the same file. Each figure is the best
of its rounds; the phases run interleaved, round by round.
"""
import compiler
import os
import pyclbr
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..')
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(ROOT, 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(ROOT, 'ide'),
                os.path.join(ROOT, 'tests', 'python')]

import logicalline
from edit_oracle import new_module
from vornide import analysis, logicallines as ll, transformer

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
        self.recording = True

    def SetFutureFeatures(self, features):
        self.grammar.SetFutureFeatures(features)

    def CreateParser(self, symbol):
        return ReplayParser(self, self.grammar.CreateParser(symbol) if self.recording else None)


class ReplayParser(object):
    def __init__(self, owner, real):
        self.owner = owner
        self.real = real
        self.texts = []

    def AddToken(self, text, first, second):
        self.texts.append(text)
        if self.real is not None:
            self.real.AddToken(text, first, second)

    def Finish(self, first, second):
        key = tuple(self.texts)
        if self.real is not None:
            self.owner.submitted.append(key)
            try:
                self.owner.trees[key] = self.owner.xformer.TransformNode(
                    self.real.Finish(first, second))
            except SyntaxError as error:
                self.owner.trees[key] = error
        found = self.owner.trees[key]
        if isinstance(found, SyntaxError):
            raise found
        return found


class Identity(object):
    def TransformNode(self, tree):
        return tree


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
    analyzed = new_module(source)
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

        def readmodule():
            pyclbr._modules.clear()
            return pyclbr.readmodule_ex(module[:-3], [STDLIB])
        best_of(times, 'pyclbr', readmodule)
        best_of(times, 'compiler', lambda: compiler.parseFile(path))
    times['one-line update'] /= updates

    whole = times['analyze']
    own = times['own']
    print('%s: %d logical lines, %d names recorded; best of %d rounds' % (module, count, names,
                                                                       rounds))
    print('  full analysis (AnalyzeLogicalList, no budget)  %8.1f ms' % (whole * 1e3))
    print('    analyzer\'s own work, replayed parse        %8.1f ms  %5.1f%%' % (
        own * 1e3, 100.0 * own / whole))
    net = own - times['stand-ins']
    print('      less the stand-ins\' calls alone          %8.1f ms  %5.1f%%' % (
        net * 1e3, 100.0 * net / whole))
    print('    parse + transform (AstForLogicalLine)       %8.1f ms  %5.1f%%' % (
        times['parse+transform'] * 1e3, 100.0 * times['parse+transform'] / whole))
    print('  RebuildCache                                   %8.3f ms' % (times['rebuild'] * 1e3))
    print('  LogicalCacheModified, one-line edit            %8.3f ms' % (
        times['one-line update'] * 1e3))
    print('    rebuild / one-line update                   %8.1f x' % (
        times['rebuild'] / times['one-line update']))
    print('  for scale: pyclbr.readmodule_ex                %8.1f ms' % (times['pyclbr'] * 1e3))
    print('             compiler.parseFile                  %8.1f ms' % (times['compiler'] * 1e3))
    print('             full analysis / compiler.parseFile  %8.2f' % (whole / times['compiler']))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
