"""How long `vorn debug` takes to start an empty program and let it end, beside pdb.

    python2.7 bench/bench_debug_startup.py [--rounds R]

Each command below runs R times (default 30), interleaved round by round, with `c` as the only
debugger command; each keeps its median. `vorn debug` starts the launcher's isolated runtime,
asks the chosen interpreter what it is in a child, and then becomes that interpreter running
the debugger; the parts are timed alone as well, so the ratio's causes show.
"""
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
BIN = os.path.abspath(os.path.join(BUILD, 'install', 'bin'))
PYTHON = '/usr/bin/python2.7'


def timed(argv):
    with open(os.devnull, 'w') as nothing:
        start = time.time()
        child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=nothing, stderr=nothing)
        child.communicate('c\n')
        return time.time() - start


def main(argv):
    rounds = int(argv[argv.index('--rounds') + 1]) if '--rounds' in argv else 30
    sys.path.insert(0, BIN)
    import vornrun
    folder = tempfile.mkdtemp(prefix='vorn_bench_')
    empty = os.path.join(folder, 'empty.py')
    with open(empty, 'w') as f:
        f.write('pass\n')
    commands = [
        ('python2.7 empty.py', [PYTHON, empty]),
        ('python2.7 -m pdb empty.py', [PYTHON, '-m', 'pdb', empty]),
        ('vorn debug empty.py', [os.path.join(BIN, 'vorn'), 'debug', '--python', PYTHON,
                                 '-c', 'c', empty]),
        ('  the launcher alone (vorn help)', [os.path.join(BIN, 'vorn'), 'help']),
        ('  the probe of the interpreter', [PYTHON, '-E', '-S', '-c', vornrun.PROBE]),
        ('  the debugger in python2.7', [PYTHON, os.path.join(BIN, 'vornrun.py'), '-c', 'c',
                                        empty]),
    ]
    times = dict((name, []) for name, _ in commands)
    try:
        for _ in range(rounds):
            for name, command in commands:
                times[name].append(timed(command))
    finally:
        os.remove(empty)
        os.rmdir(folder)
    median = dict((name, sorted(t)[len(t) // 2]) for name, t in times.items())
    pdb = median['python2.7 -m pdb empty.py']
    print 'start-up on an empty program, median of %d runs' % rounds
    for name, _ in commands:
        print '%-36s %6.1f ms  %5.2fx pdb' % (name, median[name] * 1e3, median[name] / pdb)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
