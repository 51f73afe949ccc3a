"""How fast the attribute search answers on a module analyzed in full.

    python2.7 bench/bench_search.py [--rounds R]

Analyzes decimal.py in full, then times SearchForAttribs:
- an exact-name lookup (mode 1, through the name map) of a class, a method name defined in
  several classes and a module-level name, with the update phase off (the lookup alone) and on
  (the default: the phase checks every line of the module for pending analysis first);
- a cached scope listing (mode 2) of the module scope and of class Decimal, against the scope
  scan (mode 0) that builds such a list.
The operations run interleaved round by round so that machine noise hits them alike; each keeps
its best time. Prints microseconds per call and each listing's ratio (cached / scan).

Then the two ways `vorn analyze` gets decimal.py's analysis, side by side: cut and analyze the
source, or restore the stored analysis (and analyze its import lines); prints both and the ratio.

Last, the cost of an exact-name search with find_all as the number of lines defining the name
grows: modules of 10,000, 20,000 and 40,000 def lines of one name, each searched for that name
(every definition reported). Prints each time and its ratio to the previous size (2 when the
search is linear, 4 when quadratic).
"""
import os
import shutil
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(HERE, '..', 'ide'),
                os.path.join(HERE, '..', 'tests', 'python')]

import decimal
from analyzer_support import module_source, real_analyzer
from bench_serialize import time_per_call


def main(argv):
    rounds = int(argv[argv.index('--rounds') + 1]) if '--rounds' in argv else 7
    analyzer, lines, _ = real_analyzer(module_source(decimal))
    analyzer.AnalyzeLogicalList(lines, -1, 0.0)
    search = analyzer.SearchForAttribs
    lookups = [('Decimal', ''), ('__add__', '*'), ('getcontext', '')]
    operations = []
    for name, scope in lookups:
        for update in (False, True):
            options = {'local_name': name, 'scope_name': scope, 'find_all': False,
                       'update': update}
            label = 'mode 1 %s%s' % (name, '' if update else ', no update')
            operations.append((label, 2000, lambda o=options: search(o)))
    listings = [('', 'module scope'), ('Decimal', 'class Decimal')]
    for scope, label in listings:
        cached = {'scope_name': scope, 'find_all': False}
        scan = {'scope_name': scope, 'find_all': True}
        search(cached)    # builds and stores the list
        operations.append(('mode 2 ' + label, 2000, lambda o=cached: search(o)))
        operations.append(('mode 0 ' + label, 50, lambda o=scan: search(o)))
    best = dict((label, float('inf')) for label, _, _ in operations)
    for _ in range(rounds):
        for label, loops, operation in operations:
            best[label] = min(best[label], time_per_call(operation, loops))

    print('decimal.py: %d logical lines, %d definitions' % (len(lines), len(search({}))))
    for label, _, _ in operations:
        print('  %-36s %9.2f us' % (label, best[label] * 1e6))
    for _, label in listings:
        print('  %-36s %9.3f' % ('mode 2 / mode 0 ' + label,
                                 best['mode 2 ' + label] / best['mode 0 ' + label]))
    analyzer.destroy()
    compare_stored_analysis(rounds)
    many_definitions(rounds)
    return 0


def many_definitions(rounds):
    previous = None
    for count in (10000, 20000, 40000):
        analyzer, lines, _ = real_analyzer('def f(): pass\n' * count)
        options = {'local_name': 'f', 'find_all': True, 'update': False}
        assert len(analyzer.SearchForAttribs(options)) == count
        best = min(time_per_call(lambda: analyzer.SearchForAttribs(options), 1)
                   for _ in range(max(1, rounds // 2)))
        analyzer.destroy()
        ratio = ' (x %.2f)' % (best / previous) if previous else ''
        print('exact-name search, find_all, %5d defining lines: %8.1f ms%s'
              % (count, best * 1e3, ratio))
        previous = best


def compare_stored_analysis(rounds):
    import vornanalyze
    folder = tempfile.mkdtemp()
    os.environ['XDG_CONFIG_HOME'] = folder
    try:
        filename = decimal.__file__.replace('.pyc', '.py')
        path = os.path.join(folder, 'decimal.bin')
        work = vornanalyze.FileAnalysis(filename, lambda text: None)
        work.cut()
        work.analyze(False)
        work.store(path)
        work.close()

        def fresh():
            work = vornanalyze.FileAnalysis(filename, lambda text: None)
            work.cut()
            work.analyze(False)
            work.close()

        def restored():
            work = vornanalyze.FileAnalysis(filename, lambda text: None)
            assert work.restore(path)
            work.analyze(False)
            work.close()

        best = {'analysis': float('inf'), 'restore': float('inf')}
        for _ in range(max(1, rounds // 2)):
            best['analysis'] = min(best['analysis'], time_per_call(fresh, 1))
            best['restore'] = min(best['restore'], time_per_call(restored, 1))
    finally:
        shutil.rmtree(folder)
    print('vorn analyze decimal.py: analysis %.1f ms, stored analysis restored %.1f ms, '
          'restore / analysis %.3f' % (best['analysis'] * 1e3, best['restore'] * 1e3,
                                       best['restore'] / best['analysis']))


if __name__ == '__main__':
    sys.exit(main(sys.argv))
