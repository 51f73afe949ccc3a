"""How long `vorn debug` takes to start an empty program and let it end, beside pdb.

    python2.7 bench/bench_debug_startup.py [--rounds R] [--other BUILD]

Each command below runs R times (default 30), interleaved round by round, with `c` as the only
debugger command; each keeps its median. The first start of `vorn debug` with an interpreter
starts the launcher's isolated runtime, which asks the interpreter what it is in a child, records
it as accepted and becomes that interpreter running the debugger; later starts with the same
interpreter file go from the launcher to the interpreter directly. Both are timed (the first by
removing the record before each run, in a settings folder of the bench's own), and the parts
alone as well, so the ratios' causes show. --other BUILD adds the same two starts of another
build's installation (an older one, say), measured in the same rounds.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
BIN = os.path.abspath(os.path.join(BUILD, 'install', 'bin'))
PYTHON = '/usr/bin/python2.7'
sys.path.insert(0, BIN)
import vornrun


def timed(argv, env, first):
    """Wall time of one run of argv in env with `c` typed; with `first`, the interpreters
    accepted before are forgotten first."""
    records = vornrun.records_file(env)
    if first and os.path.exists(records):
        os.remove(records)
    with open(os.devnull, 'w') as nothing:
        start = time.time()
        child = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=nothing, stderr=nothing,
                                 env=env)
        child.communicate('c\n')
        return time.time() - start


def vorn_starts(label, bin_folder, empty, env):
    """The first and the later starts of `vorn debug` of the installation's bin_folder, each
    installation with a settings folder of its own."""
    argv = [os.path.join(bin_folder, 'vorn'), 'debug', '--python', PYTHON, '-c', 'c', empty]
    return [('vorn debug empty.py%s' % label, argv, env, False),
            ('  first start of the interpreter%s' % label, argv, env, True)]


def main(argv):
    rounds = int(argv[argv.index('--rounds') + 1]) if '--rounds' in argv else 30
    other = argv[argv.index('--other') + 1] if '--other' in argv else None
    folder = tempfile.mkdtemp(prefix='vorn_bench_')
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(folder, 'config'))
    empty = os.path.join(folder, 'empty.py')
    with open(empty, 'w') as f:
        f.write('pass\n')
    commands = [
        ('python2.7 empty.py', [PYTHON, empty], env, False),
        ('python2.7 -m pdb empty.py', [PYTHON, '-m', 'pdb', empty], env, False),
    ] + vorn_starts('', BIN, empty, env) + [
        ('  the launcher alone (vorn help)', [os.path.join(BIN, 'vorn'), 'help'], env, False),
        ('  the probe of the interpreter', [PYTHON, '-E', '-S', '-c', vornrun.PROBE], env,
         False),
        ('  the debugger in python2.7', [PYTHON, os.path.join(BIN, 'vornrun.py'), '-c', 'c',
                                        empty], env, False),
    ]
    if other:
        commands += vorn_starts(' (%s)' % other,
                                os.path.abspath(os.path.join(other, 'install', 'bin')), empty,
                                dict(env, XDG_CONFIG_HOME=os.path.join(folder, 'other')))
    times = dict((command[0], []) for command in commands)
    try:
        for _ in range(rounds):
            for name, argv, environ, first in commands:
                times[name].append(timed(argv, environ, first))
    finally:
        shutil.rmtree(folder)
    median = dict((name, sorted(t)[len(t) // 2]) for name, t in times.items())
    pdb = median['python2.7 -m pdb empty.py']
    print 'start-up on an empty program, median of %d runs' % rounds
    for name in [command[0] for command in commands]:
        print '%-56s %6.1f ms  %5.2fx pdb' % (name, median[name] * 1e3, median[name] / pdb)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
