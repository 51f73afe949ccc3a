"""What breakpoints cost the tracer while the program runs freely between them.

    python2.7 bench/bench_breakpoints.py [--loops N] [--rounds R]

Runs pystone, interleaved round by round so that machine noise hits every mode alike, keeping
each mode's best time per loop:
- untraced, and under a native trace function that only returns 0 (the floor of any native
  tracer);
- zardel27 continuing without breakpoints;
- zardel27 continuing with 100 breakpoints: 50 on lines of other (loaded) files, at line numbers
  drawn from pystone's own range so that some share a line number with lines pystone runs, and
  50 on lines of pystone that never run;
- zardel27 continuing with 100 breakpoints in another loaded file on the line numbers of the
  lines pystone runs most: every hot line event walks a chain and compares files;
- the same 100 breakpoints in a file that is not loaded (they wait unbound; compared by file
  identity, which is then remembered), and in a file that does not exist (compared again on
  every hit, since the file may yet appear);
- zardel27 and bdb, each continuing with one breakpoint on pystone's hottest line whose
  condition is false.
The tracer runs as the command-line debugger runs it: synonyms allowed, so breakpoints bind to
loaded modules; the hot lines' breakpoints in another loaded file also run without synonyms
(names compared as given). Prints each overhead against the native floor's overhead, and bdb's time against
the tracer's for the conditional breakpoint.

With --callgrind the same figures are given in instructions (valgrind's callgrind, each mode in
a child process run twice, with L and 2L loops, so that start-up costs cancel out), which this
shared machine reproduces far more steadily than wall time.
"""
import __builtin__
import bdb
import os
import random
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'bench')]

import bench_trace
import zardel27
from test import pystone
import posixpath, stat, types, warnings, linecache, UserDict  # loaded files to set breakpoints in

PYSTONE = pystone.__file__.replace('.pyc', '.py')
OTHER_FILES = [m.__file__.replace('.pyc', '.py')
               for m in (posixpath, stat, types, warnings, linecache, UserDict)]
NOT_LOADED = os.path.join(HERE, '..', 'examples', 'orders.py')   # a file nothing here imports
MISSING = os.path.join(HERE, 'no_such_module.py')
CONDITION = "__name__ == 'no such module'"


def line_counts():
    """How often each line of pystone runs in a short run."""
    counts = {}

    def trace(frame, event, arg):
        if event == 'line' and frame.f_code.co_filename.replace('.pyc', '.py') == PYSTONE:
            counts[frame.f_lineno] = counts.get(frame.f_lineno, 0) + 1
        return trace
    sys.settrace(trace); pystone.pystones(200); sys.settrace(None)
    return counts


COUNTS = line_counts()
HOT = sorted(COUNTS, key=lambda line: -COUNTS[line])
HOTTEST = HOT[0]
SOURCE_LINES = len(open(PYSTONE).readlines())


def spread_breaks():
    rand = random.Random(11)
    breaks = [(rand.choice(OTHER_FILES), rand.randint(1, SOURCE_LINES)) for _ in range(50)]
    unreached = [line for line in range(1, SOURCE_LINES + 1) if line not in COUNTS]
    breaks += [(PYSTONE, line) for line in rand.sample(unreached, 50)]
    return breaks


def hot_line_breaks(filename):
    lines = (HOT * 2)[:100]  # fewer than 100 distinct hot lines: some lines carry two
    return [(filename, line) for line in lines]


def tracer_with(breaks, cond=None, synonyms=1):
    def run(loops):
        noop = lambda *args: None
        zardel27.init(0, 0, 0, 0, synonyms, noop, noop, noop, noop, noop, None,
                      __builtin__.__import__)
        for filename, line in breaks:
            zardel27.set_break(filename, line, 1, 0, cond, 0)
        zardel27.start_trace(0, 0xFFFFFF); zardel27.continue_run(); pystone.pystones(loops); zardel27.stop_trace()
        zardel27.destroy()
    return run


class ContinuingBdb(bdb.Bdb):
    def user_line(self, frame):
        self.set_continue()


def bdb_conditional(loops):
    debugger = ContinuingBdb()
    debugger.set_break(PYSTONE, HOTTEST, cond=CONDITION)
    debugger.runcall(pystone.pystones, loops)
    sys.settrace(None)
    debugger.clear_all_breaks()


# (name, run, share of the loops): the slow modes run fewer loops; times are compared per loop.
MODES = [
    ('untraced', bench_trace.untraced, 1),
    ('native no-op trace', bench_trace.native_floor, 1),
    ('zardel27, no breakpoints', tracer_with([]), 1),
    ('zardel27, 100 spread', tracer_with(spread_breaks()), 1),
    ('zardel27, 100 hot other', tracer_with(hot_line_breaks(OTHER_FILES[0])), 1),
    ('zardel27, 100 hot, no synonyms', tracer_with(hot_line_breaks(OTHER_FILES[0]), synonyms=0),
     1),
    ('zardel27, 100 hot unloaded', tracer_with(hot_line_breaks(NOT_LOADED)), 1),
    ('zardel27, 100 hot missing', tracer_with(hot_line_breaks(MISSING)), 0.25),
    ('zardel27, false condition', tracer_with([(PYSTONE, HOTTEST)], CONDITION), 1),
    ('bdb, false condition', bdb_conditional, 0.05),
]


def report(per_loop, unit):
    base = per_loop['untraced']
    floor = per_loop['native no-op trace'] - base
    for name, run, share in MODES:
        print '  %-31s %10.2f %s/loop  overhead / native no-op overhead %6.2f' % (
            name, per_loop[name], unit, (per_loop[name] - base) / floor)
    print 'bdb / zardel27 with one false conditional breakpoint on the hottest line: %.1f' \
        ' (target >= 10)' % (per_loop['bdb, false condition'] / per_loop['zardel27, false condition'])


def instructions(name, loops):
    """Instructions callgrind counts for a child that runs mode `name` for `loops` loops."""
    out = tempfile.NamedTemporaryFile(suffix='.callgrind')
    proc = subprocess.Popen(['valgrind', '--tool=callgrind', '--callgrind-out-file=' + out.name,
                             sys.executable, os.path.abspath(__file__), '--child', name,
                             str(loops)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    _, err = proc.communicate()
    return int(re.search(r'Collected : (\d+)', err).group(1))


def callgrind(loops):
    per_loop = {}
    for name, run, share in MODES:
        n = max(1, int(loops * share))
        per_loop[name] = float(instructions(name, 2 * n) - instructions(name, n)) / n
    print 'pystone under callgrind, %d loops (bdb %d); instructions per loop' % (
        loops, max(1, int(loops * MODES[-1][2])))
    report(per_loop, 'instr')


def main(argv):
    if argv[:1] == ['--child']:
        dict((name, run) for name, run, share in MODES)[argv[1]](int(argv[2]))
        return
    if '--callgrind' in argv:
        callgrind(int(argv[argv.index('--loops') + 1]) if '--loops' in argv else 2000)
        return
    loops, rounds = bench_trace.loops_and_rounds(argv, 50000)
    best = bench_trace.best_times(MODES, loops, rounds)
    print 'pystone, %d loops, best of %d rounds; hottest line %d runs %d times per loop' % (
        loops, rounds, HOTTEST, COUNTS[HOTTEST] // 200)
    report(best, 'us')


if __name__ == '__main__':
    main(sys.argv[1:])
