"""Runs the Python test suites against the built extension modules.

    python2.7 runner.py [--leaks] [--dir DIR] [--build DIR] [PATTERN ...]

Without --leaks each test module test_*.py of DIR (this folder by default) runs once. With
--leaks (under python2.7-dbg) every test case runs WARMUPS + RUNS times and is reported as
leaking when sys.gettotalrefcount() grew over every one of the last RUNS runs, the way
CPython's regrtest -R hunts reference leaks: caches fill during the warm-up runs, a real leak
keeps growing. A test class may set `leak_check = False` when it only drives subprocesses.
PATTERNs select test modules by substring of their names.
"""
import gc
import os
import sys
import unittest

WARMUPS = 3
RUNS = 5

HERE = os.path.dirname(os.path.abspath(__file__))


def parse_args(argv):
    opts = {'leaks': False, 'dir': HERE, 'build': os.path.join(HERE, '..', '..', 'build'),
            'patterns': []}
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == '--leaks':
            opts['leaks'] = True
        elif a in ('--dir', '--build'):
            i += 1
            opts[a[2:]] = os.path.abspath(argv[i])
        else:
            opts['patterns'].append(a)
        i += 1
    return opts


def discover(directory, patterns):
    names = sorted(f[:-3] for f in os.listdir(directory)
                   if f.startswith('test_') and f.endswith('.py'))
    if patterns:
        names = [n for n in names if any(p in n for p in patterns)]
    loader = unittest.TestLoader()
    suite = unittest.TestSuite()
    for name in names:
        suite.addTests(loader.loadTestsFromName(name))
    return suite


def flatten(suite):
    for test in suite:
        if isinstance(test, unittest.TestSuite):
            for t in flatten(test):
                yield t
        else:
            yield test


def run_once(test):
    result = unittest.TestResult()
    test(result)
    return result


def hunt_leaks(suite):
    if not hasattr(sys, 'gettotalrefcount'):
        sys.stderr.write('--leaks needs a debug interpreter (python2.7-dbg)\n')
        return 2
    leaking, failing, checked = [], [], 0
    for test in flatten(suite):
        if not getattr(test, 'leak_check', True):
            continue
        checked += 1
        deltas = []
        for i in range(WARMUPS + RUNS):
            gc.collect()
            before = sys.gettotalrefcount()
            result = run_once(test)
            gc.collect()
            after = sys.gettotalrefcount()
            if result.errors or result.failures:
                failing.append((test, (result.errors + result.failures)[0][1]))
                break
            if i >= WARMUPS:
                deltas.append(after - before)
        else:
            if all(d > 0 for d in deltas):
                leaking.append((test, deltas))
    for test, trace in failing:
        print('FAIL during leak check: %s\n%s' % (test.id(), trace))
    for test, deltas in leaking:
        print('reference leak: %s deltas %r' % (test.id(), deltas))
    print('leak check: %d tests, %d leaking, %d failing' % (checked, len(leaking), len(failing)))
    return 1 if leaking or failing else 0


def main(argv):
    opts = parse_args(argv)
    build = opts['build']
    for sub in ('python', 'testmods'):
        sys.path.insert(0, os.path.join(build, sub))
    sys.path.insert(0, os.path.join(HERE, '..', '..', 'ide'))
    sys.path.insert(0, HERE)
    sys.path.insert(0, opts['dir'])
    os.environ['VORN_BUILD_DIR'] = build
    suite = discover(opts['dir'], opts['patterns'])
    if opts['leaks']:
        return hunt_leaks(suite)
    result = unittest.TextTestRunner(verbosity=1).run(suite)
    return 0 if result.wasSuccessful() else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
