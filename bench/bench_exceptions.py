"""How much the tracer's exception decision slows down a loop that raises and catches, and how its
cost grows with the depth an exception unwinds.

    python2.7 bench/bench_exceptions.py [--loops N] [--rounds R] [--depths D1,D2,...]

A loop raises ValueError and catches it in the same frame N times (default a million). It runs
untraced, under a native trace function that only returns 0 (the floor for any native tracer),
and under zardel27 running freely in the never-stop mode without lists (no prediction runs:
the cost of the line events alone), and in the unhandled mode with an always-stop list that holds the
raised class, so that every exception event runs both handler predictions (the raising frame's
explicit test and the walk up the stack). A second loop names its clause with a dotted name
(`except errors.ValueError:`), which costs an attribute lookup per prediction. Modes are
interleaved round by round; each keeps its best time. Prints each slowdown against untraced and
the tracer's overhead against the native floor's overhead.

The depth series raises one exception at the bottom of a recursion D frames deep and catches it
at the top, so that it passes through D frames: each frame gives an exception event, and the
unhandled mode decides each of them. It runs untraced and under zardel27 in the unhandled mode,
round by round; the slowdown should stay flat as D doubles (a decision that walked up to the
handler at every event would double it each time). The second series runs a finally block in every
frame the exception leaves (Python code runs between the events); the third unwinds a chain of
generators, each looping over the next (a generator's frame loses its caller when it ends).
"""
import __builtin__
import os
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'bench')]

import _mintrace
import zardel27

errors = types.ModuleType('errors')
errors.ValueError = ValueError

UNHANDLED = 2


def plain_clause(loops):
    for i in xrange(loops):
        try:
            raise ValueError
        except ValueError:
            pass


def dotted_clause(loops):
    for i in xrange(loops):
        try:
            raise ValueError
        except errors.ValueError:
            pass


def untraced(body, loops):
    body(loops)


def native_floor(body, loops):
    _mintrace.install(); body(loops); _mintrace.remove()


def run_traced(body, loops, mode, always):
    noop = lambda *args: None
    zardel27.init(0, 0, 0, mode, 0, noop, noop, noop, noop, noop, None, __builtin__.__import__)
    zardel27.set_always_stop_excepts(always)
    zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run(); body(loops); zardel27.stop_trace()
    zardel27.destroy()


def tracer(body, loops):
    run_traced(body, loops, UNHANDLED, (KeyError, ValueError))


def tracer_never(body, loops):
    run_traced(body, loops, 0, ())


MODES = [('untraced', untraced), ('native no-op trace', native_floor),
         ('zardel27 never mode', tracer_never), ('zardel27 unhandled mode', tracer)]


def recurse(n):
    if n == 0:
        raise KeyError('bottom')
    return recurse(n - 1)


def recurse_finally(n):
    if n == 0:
        raise KeyError('bottom')
    try:
        return recurse_finally(n - 1)
    finally:
        n -= 1


def generators(n):
    if n == 0:
        raise KeyError('bottom')
        yield 0
    for x in generators(n - 1):
        yield x


def recurse_generators(n):
    for x in generators(n):
        pass


def unwind(recursion, depth):
    try:
        recursion(depth)
    except KeyError:
        pass


def unwind_untraced(recursion, depth):
    unwind(recursion, depth)


def unwind_traced(recursion, depth):
    noop = lambda *args: None
    zardel27.init(0, 0, 0, UNHANDLED, 0, noop, noop, noop, noop, noop, None,
                  __builtin__.__import__)
    zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run(); unwind(recursion, depth)
    zardel27.stop_trace()
    zardel27.destroy()


def depth_series(recursion, depths, rounds):
    sys.setrecursionlimit(max(depths) + 1000)
    print '%s: one exception unwinding D frames to its handler, best of %d rounds' % (
        recursion.__name__, rounds)
    print '  %6s %12s %12s %9s %14s' % ('D', 'untraced', 'unhandled', 'slowdown',
                                        'traced ns/frame')
    for depth in depths:
        best = {}
        for _ in range(rounds):
            for name, run in (('untraced', unwind_untraced), ('traced', unwind_traced)):
                start = time.time()
                run(recursion, depth)
                best[name] = min(best.get(name, float('inf')), time.time() - start)
        print '  %6d %10.4f s %10.4f s %8.1fx %14.0f' % (
            depth, best['untraced'], best['traced'], best['traced'] / best['untraced'],
            best['traced'] / depth * 1e9)


def main(argv):
    loops, rounds, depths = 1000000, 3, [2000, 4000, 8000, 16000]
    if '--loops' in argv:
        loops = int(argv[argv.index('--loops') + 1])
    if '--rounds' in argv:
        rounds = int(argv[argv.index('--rounds') + 1])
    if '--depths' in argv:
        depths = [int(d) for d in argv[argv.index('--depths') + 1].split(',')]
    for body in (plain_clause, dotted_clause):
        best = dict((name, float('inf')) for name, run in MODES)
        for _ in range(rounds):
            for name, run in MODES:
                start = time.time()
                run(body, loops)
                best[name] = min(best[name], (time.time() - start) / loops * 1e9)
        base = best['untraced']
        print '%s: raise and catch %d times, best of %d rounds' % (body.__name__, loops, rounds)
        for name, run in MODES:
            print '  %-26s %7.0f ns/loop  slowdown %5.2fx' % (name, best[name], best[name] / base)
        ours = best['zardel27 unhandled mode'] - base
        floor = best['native no-op trace'] - base
        print '  zardel27 overhead / native no-op overhead: %.2f' % (ours / floor)
        print '  exception decision (unhandled minus never mode): %.0f ns per exception' % (
            best['zardel27 unhandled mode'] - best['zardel27 never mode'])
    for recursion in (recurse, recurse_finally, recurse_generators):
        depth_series(recursion, depths, rounds)


if __name__ == '__main__':
    main(sys.argv[1:])
