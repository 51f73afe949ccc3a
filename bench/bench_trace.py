"""How much the tracer slows a CPU-bound program down while it runs freely.

    python2.7 bench/bench_trace.py [--loops N] [--rounds R]

Runs pystone in five modes, interleaved round by round so that machine noise hits them alike,
and keeps each mode's best time per loop (bdb and the Python trace function run fewer loops):
untraced; a native trace function that only returns 0 (the floor for any native tracer); zardel27 armed with start_trace and then continue_run (tracing
stays on: optimize_nobps 0, idle period 1); bdb continuing with a breakpoint on an unreached line
of pystone; a trivial Python trace function. Prints each slowdown against untraced, and the
tracer's overhead (traced minus untraced time) against the native floor's overhead.

Then the cost of zardel27.get_frame_file on a hot frame (its code registered, so the answer is a
code-object table hit) against reading frame.f_code.co_filename from Python, each per call with
the loop's own cost taken off.
"""
import __builtin__
import bdb
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'bench')]

import _mintrace
import zardel27
from test import pystone


def timed(run, loops):
    start = time.time()
    run(loops)
    return time.time() - start


def untraced(loops):
    pystone.pystones(loops)


def native_floor(loops):
    _mintrace.install(); pystone.pystones(loops); _mintrace.remove()


def tracer(loops):
    noop = lambda *args: None
    zardel27.init(1, 0, 0, 0, 0, noop, noop, noop, noop, noop, None, __builtin__.__import__)
    zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run(); pystone.pystones(loops); zardel27.stop_trace()
    zardel27.destroy()


class ContinuingBdb(bdb.Bdb):
    def user_line(self, frame):
        self.set_continue()


def bdb_continuing(loops):
    debugger = ContinuingBdb()
    source = pystone.__file__.replace('.pyc', '.py')
    # The `main(loops)` call under `if __name__ == '__main__'` never runs when imported.
    unreached = [i for i, line in enumerate(open(source), 1) if 'main(loops)' in line][-1]
    debugger.set_break(source, unreached)
    debugger.runcall(pystone.pystones, loops)
    sys.settrace(None)


def python_trace(loops):
    def trace(frame, event, arg):
        return trace
    sys.settrace(trace); pystone.pystones(loops); sys.settrace(None)


# (name, run, share of the loops): the slow modes run fewer loops, and every time is compared
# per loop.
MODES = [('untraced', untraced, 1), ('native no-op trace', native_floor, 1),
         ('zardel27 continuing', tracer, 1), ('bdb continuing', bdb_continuing, 0.1),
         ('python trace function', python_trace, 0.25)]


def _loop_times(frame, calls):
    """Seconds for `calls` iterations of: nothing, get_frame_file(frame), and
    frame.f_code.co_filename."""
    get_frame_file = zardel27.get_frame_file
    start = time.time()
    for _ in xrange(calls):
        pass
    empty = time.time() - start
    start = time.time()
    for _ in xrange(calls):
        get_frame_file(frame)
    tracer = time.time() - start
    start = time.time()
    for _ in xrange(calls):
        frame.f_code.co_filename
    return empty, tracer, time.time() - start


def frame_file_cost(calls, rounds):
    """Best per-call times (ns) of get_frame_file on a registered frame and of reading
    f_code.co_filename, loop cost removed."""
    noop = lambda *args: None
    zardel27.init(0, 0, 0, 0, 0, noop, noop, noop, noop, noop, None, __builtin__.__import__)
    zardel27.register_module(sys.modules[__name__])  # registers _loop_times's code
    frame = sys._getframe()
    best_tracer = best_python = float('inf')
    for _ in range(rounds):
        empty, tracer, python = _loop_times(frame, calls)
        best_tracer = min(best_tracer, (tracer - empty) / calls * 1e9)
        best_python = min(best_python, (python - empty) / calls * 1e9)
    assert zardel27.get_frame_file(frame) == os.path.abspath(__file__).replace('.pyc', '.py')
    zardel27.destroy()
    return best_tracer, best_python


def loops_and_rounds(argv, loops, rounds=5):
    """The --loops and --rounds options, or the defaults given."""
    if '--loops' in argv:
        loops = int(argv[argv.index('--loops') + 1])
    if '--rounds' in argv:
        rounds = int(argv[argv.index('--rounds') + 1])
    return loops, rounds


def best_times(modes, loops, rounds):
    """{name: best microseconds per loop} of (name, run, share) modes run in turn, round by
    round, each for its share of the loops."""
    best = dict((name, float('inf')) for name, run, share in modes)
    for _ in range(rounds):
        for name, run, share in modes:
            n = max(1, int(loops * share))
            best[name] = min(best[name], timed(run, n) / n * 1e6)
    return best


def main(argv):
    loops, rounds = loops_and_rounds(argv, 100000)
    best = best_times(MODES, loops, rounds)
    base = best['untraced']
    print 'pystone, %d loops (bdb %d, python trace %d), best of %d rounds' % (
        loops, loops * MODES[3][2], loops * MODES[4][2], rounds)
    for name, run, share in MODES:
        print '  %-24s %7.2f us/loop  slowdown %6.2fx' % (name, best[name], best[name] / base)
    ours = best['zardel27 continuing'] - base
    floor = best['native no-op trace'] - base
    print 'zardel27 overhead / native no-op overhead: %.2f (target <= 1.5)' % (ours / floor)
    print 'bdb slowdown / zardel27 slowdown: %.1f (target >= 25)' % (
        best['bdb continuing'] / best['zardel27 continuing'])
    if hasattr(zardel27, 'get_frame_file'):
        tracer_ns, python_ns = frame_file_cost(loops * 10, rounds)
        print 'get_frame_file on a registered frame: %.0f ns/call; f_code.co_filename: %.0f ns;' \
            ' ratio %.2f' % (tracer_ns, python_ns, tracer_ns / python_ns)


if __name__ == '__main__':
    main(sys.argv[1:])
