"""What the analyzer's syntax-tree walk costs next to the environment's parse and transform.

    python2.7 bench/bench_walk.py [--rounds R] [--module NAME]

Cuts a standard module (decimal.py by default) into logical lines, then in each round parses
every line with the environment's grammar, transforms every parse tree with its node
transformer and walks every syntax tree with the walker SetLogicalList builds (the standard
visitors record names, parameters, bases, type equivalences and import records through a real
analysis factory over the standard library). The three phases are timed separately and run
interleaved, round by round; each keeps its best round. Prints microseconds per line for each
phase and the walk's share of the whole parse-transform-walk.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, '..')
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(ROOT, 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'testmods'),
                os.path.join(ROOT, 'ide'), os.path.join(ROOT, 'tests', 'python')]

import _quarnel_testhooks as hooks
import logicalline
from analyzer_support import analyzer_args
from env_support import parse_record, stdlib_source
from vornide import analysis, grammar, logicallines as ll, transformer


def parse_all(g, records):
    return [parse_record(g, r) for r in records]


def transform_all(xformer, trees):
    return [xformer.TransformNode(t) for t in trees]


def walk_all(walk, lines, nodes, mod_analysis):
    imports_seen = {}  # one analyzer call
    for line, node in zip(lines, nodes):
        walk(node, (line, mod_analysis, 0.0, imports_seen))


def main(argv):
    rounds = 7
    module = 'decimal.py'
    if '--rounds' in argv:
        rounds = int(argv[argv.index('--rounds') + 1])
    if '--module' in argv:
        module = argv[argv.index('--module') + 1]
    source = stdlib_source(module)
    records, lines = [], []
    for record, line in zip(ll.cut_logical_lines(source), ll.make_logical_lines(source)):
        if record.linetype in ll.NEVER_PARSED_TYPES or record.linetype in ll.IGNORED_TYPES:
            continue
        records.append(record)
        lines.append(line)

    factory = analysis.AnalysisFactory(search_path=[os.path.dirname(os.__file__)])
    mod_analysis = factory.AnalysisForFile(os.path.join(os.path.dirname(os.__file__), module))
    analyzer = hooks.CreateQuarnelImpl(*analyzer_args(mod_analysis=mod_analysis))
    analyzer.SetLogicalList(lines)
    walk = hooks.walker(analyzer)
    g = grammar.Grammar()
    xformer = transformer.NodeTransformer()

    best = {'parse': None, 'transform': None, 'walk': None}

    def timed(name, run, *args):
        start = time.time()
        result = run(*args)
        elapsed = time.time() - start
        if best[name] is None or elapsed < best[name]:
            best[name] = elapsed
        return result

    for i in range(rounds):
        trees = timed('parse', parse_all, g, records)
        nodes = timed('transform', transform_all, xformer, trees)
        for line in lines:
            line.ClearLineAnalysis()
        timed('walk', walk_all, walk, lines, nodes, mod_analysis)

    count = len(lines)
    names = sum([line.fNameCount for line in lines])
    equivs = sum([line.fEquivCount for line in lines])
    whole = best['parse'] + best['transform'] + best['walk']
    print('%s: %d logical lines parsed, transformed and walked (%d names, %d type '
          'equivalences recorded); best of %d rounds' % (module, count, names, equivs, rounds))
    for name in ('parse', 'transform', 'walk'):
        print('  %-9s %8.2f us per line' % (name, best[name] * 1e6 / count))
    print('  walk / (parse + transform + walk) = %.2f%%' % (100.0 * best['walk'] / whole))
    print('  walk / (parse + transform)        = %.2f%%' %
          (100.0 * best['walk'] / (best['parse'] + best['transform'])))
    analyzer.destroy()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
