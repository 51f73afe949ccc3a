"""`vorn debug` beside pdb, as a user feels it: a hot loop run to the end under each debugger.

    python2.7 bench/bench_debug.py [--repeat N] [--iterations N] [--callgrind]

The same program runs untraced, under `python2.7 -m pdb`, under the installation's
`vorn debug` and under vorndebug.main in /usr/bin/python2.7 (as in the user's interpreter; the
launcher's runtime loads the shared libpython, slower than Debian's static python2.7 binary),
with the same commands typed at the first stop:
  c              continue with no breakpoint set
  never          a breakpoint in a function never called, then continue
  elsewhere      100 breakpoints in another file, on its lines 1 to 100 (the loop's lines
                 among them), then continue: should cost what `never` costs
  conditional    a breakpoint on the loop's hot line whose condition is false until the
                 last iteration, then continue twice
The program times its own loop, so start-up is left out of those ratios; the best of
--repeat runs is kept. Then start-up: the whole run of an empty program with `c` typed, each
debugger's wall time. Prints the times and the ratios to the untraced loop, side by side.

With --callgrind the cases are counted in instructions per iteration instead (valgrind's
callgrind, each run with N and 2N iterations so that start-up cancels out; N is --iterations,
default 20000 there), for pdb and vorndebug.main in /usr/bin/python2.7: far steadier than wall
time on a shared machine.
"""
import os
import re
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
VORN = os.path.join(BUILD, 'install', 'bin', 'vorn')
PYTHON = '/usr/bin/python2.7'

PROGRAM = '''import sys
import time


def never_called():
    return 0


def work(n):
    total = 0
    for i in xrange(n):
        total += i & 7
    return total


start = time.time()
work(%(iterations)d)
sys.stderr.write('loop %%.6f\\n' %% (time.time() - start))
'''
HOT_LINE = 12


def loop_time(err):
    for line in err.splitlines():
        if line.startswith('loop '):
            return float(line.split()[1])
    raise RuntimeError('the program did not finish:\n' + err)


def run(argv, commands):
    environ = dict(os.environ, PYTHONPATH=os.path.join(BUILD, 'install', 'bin'))
    # Start-up compares loading compiled modules, as pdb's from the standard library are.
    environ.pop('PYTHONDONTWRITEBYTECODE', None)
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environ)
    out, err = proc.communicate(commands)
    return out, err


def best(times):
    return min(times)


def write_program(folder, iterations):
    program = os.path.join(folder, 'hot%d.py' % iterations)
    with open(program, 'w') as f:
        f.write(PROGRAM % {'iterations': iterations})
    return program


def cases(iterations, other):
    """(name, the commands typed at the first stop) of each case."""
    return [('c', 'c\n'),
            ('never', 'b never_called\nc\n'),
            ('elsewhere', ''.join('b %s:%d\n' % (other, line) for line in range(1, 101)) +
             'c\n'),
            ('conditional', 'b %d, i == %d\nc\nc\n' % (HOT_LINE, iterations - 1))]


# pdb, vorn debug as the launcher starts it, and the debugger's own entry in the user's
# python2.7 (the installation's bin folder on its path).
DEBUGGERS = [('pdb', [PYTHON, '-m', 'pdb']),
             ('vorn', [VORN, 'debug', '--python', PYTHON]),
             ('py2.7', [PYTHON, '-c',
                        'import sys, vorndebug; sys.exit(vorndebug.main(sys.argv[1:]))'])]


def instructions(argv, commands):
    """The instructions callgrind counts in a run of argv with the commands typed."""
    out, err = run(['valgrind', '--tool=callgrind', '--callgrind-out-file=/dev/null'] + argv,
                   commands)
    return int(re.search(r'Collected : (\d+)', err).group(1))


def count_instructions(folder, iterations, other):
    """The --callgrind report: instructions per loop iteration of every case."""
    programs = dict((n, write_program(folder, n)) for n in (iterations, 2 * iterations))

    def per_iteration(command, commands_of):
        counts = [instructions(command + [programs[n]], commands_of(n))
                  for n in (iterations, 2 * iterations)]
        return (counts[1] - counts[0]) / float(iterations)
    untraced = per_iteration([PYTHON], lambda n: '')
    print 'hot loop, instructions per iteration (callgrind, %d and %d iterations): ' \
          'untraced %.0f' % (iterations, 2 * iterations, untraced)
    debuggers = [d for d in DEBUGGERS if d[0] != 'vorn']   # the same code as py2.7
    print '%-12s' % 'case' + ''.join('%12s %8s' % (name, 'ratio') for name, _ in debuggers)
    for index, (name, _) in enumerate(cases(iterations, other)):
        row = [per_iteration(command, lambda n: cases(n, other)[index][1])
               for _, command in debuggers]
        print '%-12s' % name + ''.join('%12.0f %7.2fx' % (n, n / untraced) for n in row)
    for program in programs.values():
        os.remove(program)


def main(argv):
    repeat, iterations, callgrind = 3, None, False
    i = 0
    while i < len(argv):
        if argv[i] == '--repeat':
            repeat = int(argv[i + 1])
            i += 2
        elif argv[i] == '--iterations':
            iterations = int(argv[i + 1])
            i += 2
        elif argv[i] == '--callgrind':
            callgrind = True
            i += 1
        else:
            sys.exit(__doc__)
    if not os.path.exists(VORN):
        sys.exit('build the installation first (%s)' % VORN)
    folder = tempfile.mkdtemp(prefix='bench_debug')
    other = os.path.join(folder, 'other.py')
    with open(other, 'w') as f:
        f.write('x = 1\n' * 100)
    if callgrind:
        count_instructions(folder, iterations or 20000, other)
        os.remove(other)
        os.rmdir(folder)
        return
    iterations = iterations or 2000000
    program = write_program(folder, iterations)
    empty = os.path.join(folder, 'empty.py')
    open(empty, 'w').close()
    debuggers = DEBUGGERS

    untraced = best([loop_time(run([PYTHON, program], '')[1]) for _ in range(repeat)])
    print 'hot loop of %d iterations, untraced: %.3f s (best of %d)' % (iterations, untraced,
                                                                       repeat)
    print '%-12s' % 'case' + ''.join('%12s %8s' % (name + ' s', 'ratio') for name, _ in debuggers)
    for name, commands in cases(iterations, other):
        row = []
        for _, command in debuggers:
            # pdb runs the program again when it ends: end of input then quits it.
            row.append(best([loop_time(run(command + [program], commands)[1])
                             for _ in range(repeat)]))
        print '%-12s' % name + ''.join('%12.3f %7.2fx' % (t, t / untraced) for t in row)

    plain = []
    starts = dict((name, []) for name, _ in debuggers)
    for _ in range(repeat):
        began = time.time()
        run([PYTHON, empty], '')
        plain.append(time.time() - began)
        for name, command in debuggers:
            began = time.time()
            run(command + [empty], 'c\n')
            starts[name].append(time.time() - began)
    print 'start-up on an empty program (wall, best of %d): python2.7 %.3f s, ' % (
        repeat, best(plain)) + ', '.join('%s %.3f s (%.2fx pdb)' % (
            name, best(starts[name]), best(starts[name]) / best(starts['pdb']))
            for name, _ in debuggers)
    for path in (program, empty, other):
        os.remove(path)
    os.rmdir(folder)


if __name__ == '__main__':
    main(sys.argv[1:])
