"""What arming the tracer costs with many breakpoints waiting for a file.

    python2.7 bench/bench_binding.py [--rounds R]

Breakpoints set on 1,000, 10,000 and 100,000 lines of a file nothing has loaded (and of a file
that does not exist), with synonyms allowed as the command-line debugger runs the tracer: each
then waits unbound, and arming (start_trace) records every loaded module, each of which may
bind waiting breakpoints. The same on a loaded module's file, whose breakpoints arming binds. Prints, for each count, the best time of set_break over all
breakpoints and of start_trace, and each time against the count ten times smaller: binding that
costs in proportion to the breakpoints involved gives ratios near 10, a rescan of every waiting
breakpoint per module (or per module pair) far more.
"""
import __builtin__
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python')]

import zardel27

NOT_LOADED = os.path.join(HERE, '..', 'examples', 'orders.py')   # a file nothing here imports
MISSING = os.path.join(HERE, 'no_such_module.py')
LOADED = os.__file__[:-1] if os.__file__.endswith('.pyc') else os.__file__
COUNTS = [1000, 10000, 100000]


def noop(*args):
    pass


def measure(filename, count):
    """(seconds to set `count` breakpoints on `filename`, seconds start_trace then takes)."""
    zardel27.init(0, 0, 0, 0, 1, noop, noop, noop, noop, noop, None, __builtin__.__import__)
    try:
        start = time.time()
        for line in xrange(1, count + 1):
            zardel27.set_break(filename, line, 1, 0, None, 0)
        setting = time.time() - start
        start = time.time()
        zardel27.start_trace(0, 0xFFFFFF); zardel27.stop_trace()
        arming = time.time() - start
    finally:
        zardel27.destroy()
    return setting, arming


def main(argv):
    rounds = int(argv[argv.index('--rounds') + 1]) if '--rounds' in argv else 3
    modules = len([m for m in sys.modules.values() if getattr(m, '__file__', None)])
    print 'breakpoints waiting for a file, %d modules with files loaded, best of %d rounds' % (
        modules, rounds)
    for label, filename in [('not loaded', NOT_LOADED), ('missing', MISSING),
                            ('loaded (bound by arming)', LOADED)]:
        best = {}
        for _ in range(rounds):
            for count in COUNTS:
                times = measure(filename, count)
                best[count] = tuple(min(pair) for pair in zip(best.get(count, times), times))
        print '  file %s:' % label
        previous = None
        for count in COUNTS:
            setting, arming = best[count]
            growth = ''
            if previous:
                growth = '   x10 breakpoints: set_break x%.1f, start_trace x%.1f' % (
                    setting / previous[0], arming / max(previous[1], 1e-9))
            print '    %6d breakpoints: set_break %.3f s, start_trace %.4f s%s' % (
                count, setting, arming, growth)
            previous = best[count]


if __name__ == '__main__':
    main(sys.argv[1:])
