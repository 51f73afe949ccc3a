"""How fast an analysis is stored and restored, against the interpreter's own serializers.

    python2.7 bench/bench_serialize.py [--rounds R]

Takes the logical lines of decimal.py analyzed in full by the analyzer (scope names, parameters,
defined names, type equivalences, import records), and times SerializeLogicalList and DeserializeLogicalList of the whole module against
marshal.dumps/loads and cPickle.dumps/loads (protocol 2) of the same lines' data as tuples. The
six operations run interleaved round by round so that machine noise hits them alike; each keeps
its best time. Prints the times and each ratio (analyzer time / other time, lower is better).
"""
import cPickle
import marshal
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'testmods'),
                os.path.join(HERE, '..', 'ide'), os.path.join(HERE, '..', 'tests', 'python')]

import decimal
import _quarnel_testhooks as hooks
from analyzer_support import analyzer_args, module_source
from serialization_support import analyze_source, is_import_line


def line_tuple(line, unparsed):
    """The data SerializeLogicalList stores of one line, as a tuple of plain objects."""
    importing = is_import_line(line)
    parsed = not importing and line.fParsed and line not in unparsed
    return (line.fLineno, line.fIndent, line.fLineCount, line.fLineType, parsed, line.fFlag1,
            line.fFlag2, tuple(line.fTokens), tuple(line.fTokenPositions), line.fScopeName,
            () if importing else tuple(line.fNames), () if importing else tuple(line.fEquivs))


def time_per_call(operation, loops):
    start = time.time()
    for _ in xrange(loops):
        operation()
    return (time.time() - start) / loops


def main(argv):
    rounds = int(argv[argv.index('--rounds') + 1]) if '--rounds' in argv else 7
    analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
    lines, unparsed = analyze_source(module_source(decimal), module=hooks)
    tuples = [line_tuple(l, unparsed) for l in lines]
    stored = analyzer.SerializeLogicalList(lines, unparsed)
    marshalled = marshal.dumps(tuples, 2)
    pickled = cPickle.dumps(tuples, 2)
    operations = [
        ('SerializeLogicalList', lambda: analyzer.SerializeLogicalList(lines, unparsed)),
        ('DeserializeLogicalList', lambda: analyzer.DeserializeLogicalList(stored)),
        ('marshal.dumps', lambda: marshal.dumps(tuples, 2)),
        ('marshal.loads', lambda: marshal.loads(marshalled)),
        ('cPickle.dumps', lambda: cPickle.dumps(tuples, 2)),
        ('cPickle.loads', lambda: cPickle.loads(pickled)),
    ]
    best = dict((name, float('inf')) for name, _ in operations)
    for _ in range(rounds):
        for name, operation in operations:
            best[name] = min(best[name], time_per_call(operation, 20))

    size = len(cPickle.dumps(stored, 2))
    print('decimal.py: %d logical lines, %d names used; stored form %d bytes pickled '
          '(marshal %d, cPickle %d)' % (len(lines), len(stored[0]), size, len(marshalled),
                                         len(pickled)))
    for name, _ in operations:
        print('  %-24s %8.3f ms' % (name, best[name] * 1000))
    for ours, theirs in (('SerializeLogicalList', 'marshal.dumps'),
                         ('SerializeLogicalList', 'cPickle.dumps'),
                         ('DeserializeLogicalList', 'marshal.loads'),
                         ('DeserializeLogicalList', 'cPickle.loads')):
        print('  %-24s / %-14s %5.2f' % (ours, theirs, best[ours] / best[theirs]))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
