"""`vorn debug` runs the program under the user's own Python 2.7: a program that reports what it
sees (interpreter, argv, flags, module path, environment, open descriptors, imported packages, a
child started with sys.executable, exit status) gives the same report under the debugger as run
straight by the same interpreter, for the release and the debug interpreter, in a virtualenv,
with PYTHONPATH and through `python2.7 -m vorndebug`; none of the debugger's modules or folders is
left where the program could reach it; interpreters that cannot load the tracer are refused."""
import ast
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import unittest

from support import BUILD

INSTALL = os.path.abspath(os.path.join(BUILD, 'install'))
VORN = os.path.join(INSTALL, 'bin', 'vorn')
INTERPRETERS = [p for p in ('/usr/bin/python2.7', '/usr/bin/python2.7-dbg') if os.path.exists(p)]

# Reports what the program sees, as one line of Python literals, and ends with status 3. Its
# folder also holds modules named like the debugger's: the program's own must be what it gets.
REPORT = r'''
import os, subprocess, sys
seen = {}
def report(key, value):
    seen[key] = value
report('executable', sys.executable)
report('argv', sys.argv)
# A virtualenv's site module replaces sys.flags by an object of its own.
report('flags', dict((name, getattr(sys.flags, name)) for name in dir(sys.flags)
                     if not name.startswith('_') and type(getattr(sys.flags, name)) is int))
report('path', sys.path)
report('cwd', os.getcwd())
report('environ', sorted(os.environ.items()))
report('descriptors', sorted(os.listdir('/proc/self/fd')))
report('name', __name__)
report('file', __file__)
report('main', sys.modules['__main__'].__dict__ is globals())
report('pid', os.getpid())
try:
    assert False, 'asserts run'
    report('assert', 'skipped')
except AssertionError, e:
    report('assert', str(e))
report('debug', __debug__)
bin_folder = os.path.realpath(os.environ['VORN_TEST_BIN']) + os.sep
report('modules from bin', sorted(
    name for name, module in sys.modules.items()
    if os.path.realpath(getattr(module, '__file__', None) or os.sep).startswith(bin_folder)))
report('paths into bin', [entry for entry in sys.path
                          if os.path.realpath(entry or '.') + os.sep == bin_folder])
for name in ('vorndebug', 'zardel27', 'vornrun', 'sitepkg', 'pathpkg'):
    try:
        module = __import__(name)
        report(name, getattr(module, 'WHO', module.__file__))
    except ImportError, e:
        report(name, 'ImportError')
child = subprocess.Popen([sys.executable, '-c', 'import sys; print sys.executable\n'
                          'for name in "sitepkg", "pathpkg":\n'
                          '    try: print __import__(name).WHO\n'
                          '    except ImportError: print "ImportError"'],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
report('child', child.communicate()[0].split())
print 'REPORT', repr(seen)
sys.exit(3)
'''


def read_report(out):
    lines = [line for line in out.splitlines() if line.startswith('REPORT ')]
    assert len(lines) == 1, out
    return ast.literal_eval(lines[0][len('REPORT '):])


def run(argv, env, cwd):
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, cwd=cwd, close_fds=True)
    out, err = proc.communicate('')
    return proc.pid, proc.returncode, out, err


def write(path, text):
    folder = os.path.dirname(path)
    if not os.path.isdir(folder):
        os.makedirs(folder)
    with open(path, 'w') as f:
        f.write(textwrap.dedent(text))


@unittest.skipUnless(os.path.exists(VORN), 'the installation is not built')
class UsersInterpreter(unittest.TestCase):
    leak_check = False
    maxDiff = None

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='vorn_python_')
        self.program_dir = os.path.join(self.tmp, 'prog')
        self.program = os.path.join(self.program_dir, 'report.py')
        write(self.program, REPORT)
        write(os.path.join(self.program_dir, 'vorndebug.py'), "WHO = 'the program\\'s vorndebug'")
        write(os.path.join(self.program_dir, 'zardel27.py'), "WHO = 'the program\\'s zardel27'")
        self.pythonpath = os.path.join(self.tmp, 'lib')
        write(os.path.join(self.pythonpath, 'pathpkg', '__init__.py'), "WHO = 'pathpkg'")
        self.work = os.path.join(self.tmp, 'work')
        os.mkdir(self.work)
        self.args = ['a b', '--python', 'nothing', '-c', 'x']

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def environ(self, **changes):
        # The settings folder holds the interpreters accepted before, which the launcher starts
        # directly: the first start of each interpreter in a test goes through the
        # installation's runtime and its probe, the next ones do not.
        env = dict(os.environ, VORN_TEST_BIN=os.path.join(INSTALL, 'bin'),
                   PYTHONPATH=self.pythonpath, XDG_CONFIG_HOME=os.path.join(self.tmp, 'config'))
        env.pop('DISPLAY', None)
        env.pop('VIRTUAL_ENV', None)
        for name, value in changes.items():
            if value is None:
                env.pop(name, None)
            else:
                env[name] = value
        return env

    def virtualenv(self, python):
        """A virtualenv of python holding the package sitepkg, put there by hand."""
        folder = os.path.join(self.tmp, 'venv-' + os.path.basename(python))
        # virtualenv is a Python 3 program: the Python 2 settings of the tests are not for it.
        env = dict((name, value) for name, value in os.environ.items()
                   if name not in ('PYTHONPATH', 'PYTHONHOME', 'VIRTUAL_ENV'))
        with open(os.devnull, 'w') as nothing:
            subprocess.check_call(['virtualenv', '-q', '-p', python, '--no-pip',
                                   '--no-setuptools', '--no-wheel', folder], stdout=nothing,
                                  env=env)
        site = os.path.join(folder, 'lib', 'python2.7', 'site-packages')
        write(os.path.join(site, 'sitepkg', '__init__.py'), "WHO = 'sitepkg'")
        return folder

    def straight(self, python, env):
        """The report of the program run straight by python."""
        pid, status, out, err = run([python, self.program] + self.args, env, self.work)
        self.assertEqual((status, err), (3, ''), out)
        return read_report(out)

    def debugged(self, argv, env):
        """The report of the program run under the debugger started by argv; checks that it
        continued at once, kept the exit status and ran in the started process itself."""
        pid, status, out, err = run(argv + ['-c', 'c', self.program] + self.args, env, self.work)
        self.assertEqual((status, err), (3, ''), out)
        self.assertTrue(out.startswith('> %s(2)<module>()\n' % self.program), out)
        report = read_report(out)
        self.assertEqual(report.pop('pid'), pid)
        return report

    def assert_unseen_debugger(self, report):
        self.assertEqual(report['modules from bin'], [])
        self.assertEqual(report['paths into bin'], [])
        self.assertEqual(report['vorndebug'], "the program's vorndebug")
        self.assertEqual(report['zardel27'], "the program's zardel27")
        self.assertEqual(report['vornrun'], 'ImportError')

    def test_the_program_sees_what_its_interpreter_gives_it(self):
        for python in INTERPRETERS:
            env = self.environ()
            expected = self.straight(python, env)
            del expected['pid']
            self.assertEqual(expected['executable'], python)
            self.assertEqual((expected['assert'], expected['debug'], expected['flags']['optimize']),
                             ('asserts run', True, 0))
            self.assertEqual(expected['child'], [python, 'ImportError', 'pathpkg'])
            self.assertEqual(self.debugged([VORN, 'debug', '--python', python], env), expected)
            self.assert_unseen_debugger(expected)
            self.assertEqual(expected['pathpkg'], 'pathpkg')
            # Accepted now: the starts below go straight from the launcher to the interpreter.
            self.assertIn('\0%s\0' % python, self.records())
            # Started to skip asserts, the interpreter skips them under the debugger too.
            env = self.environ(PYTHONOPTIMIZE='1')
            expected = self.straight(python, env)
            del expected['pid']
            self.assertEqual((expected['assert'], expected['flags']['optimize']),
                             ('skipped', 1))
            self.assertEqual(self.debugged([VORN, 'debug', '--python', python], env), expected)
            # Looked up on PATH by name, as the shell would; given after another option.
            env = self.environ(PATH=os.path.dirname(python) + os.pathsep + env['PATH'])
            expected = self.straight(python, env)
            del expected['pid']
            self.assertEqual(self.debugged([VORN, 'debug', '-c', 'p 1',
                                            '--python=' + os.path.basename(python)], env),
                             expected)

    def test_the_active_virtualenvs_interpreter_is_the_default(self):
        for python in INTERPRETERS:
            venv = self.virtualenv(python)
            venv_python = os.path.join(venv, 'bin', 'python2.7')
            # Activated: its bin first on PATH. Only named by VIRTUAL_ENV: its interpreter still
            # wins over python2.7 on PATH.
            for path in (os.path.join(venv, 'bin') + os.pathsep + os.environ['PATH'],
                         os.environ['PATH']):
                env = self.environ(VIRTUAL_ENV=venv, PATH=path)
                expected = self.straight(venv_python, env)
                del expected['pid']
                self.assertEqual(expected['executable'], venv_python)
                self.assertEqual(expected['sitepkg'], 'sitepkg')
                # A child started with sys.executable is in the virtualenv as well.
                self.assertEqual(expected['child'], [venv_python, 'sitepkg', 'pathpkg'])
                self.assertEqual(self.debugged([VORN, 'debug'], env), expected)
                self.assert_unseen_debugger(expected)

    def test_python_m_vorndebug_leaves_nothing_of_the_debugger(self):
        bin_folder = os.path.join(INSTALL, 'bin')
        for python in INTERPRETERS:
            venv = self.virtualenv(python)
            venv_python = os.path.join(venv, 'bin', 'python2.7')
            env = self.environ(VIRTUAL_ENV=venv,
                               PYTHONPATH=bin_folder + os.pathsep + self.pythonpath)
            expected = self.straight(venv_python, env)
            del expected['pid']
            # Run straight, the program could reach the installation's modules on its path.
            self.assertEqual(expected['paths into bin'], [bin_folder])
            self.assertIn(expected['vornrun'], [os.path.join(bin_folder, 'vornrun.py' + c)
                                                for c in ('', 'c', 'o')])
            expected['path'].remove(bin_folder)
            expected.update({'paths into bin': [], 'vornrun': 'ImportError'})
            report = self.debugged([venv_python, '-m', 'vorndebug'], env)
            self.assertEqual(report, expected)
            self.assert_unseen_debugger(report)

    def refusal(self, python, env=None, vorn=VORN):
        pid, status, out, err = run([vorn, 'debug', '--python', python, self.program],
                                    env or self.environ(), self.work)
        self.assertEqual((status, out), (2, ''), err)
        self.assertTrue(err.startswith('vorn debug: ') and err.count('\n') == 1, err)
        return err[len('vorn debug: '):-1]

    def test_interpreters_that_cannot_load_the_tracer_are_refused(self):
        fake = os.path.join(self.tmp, 'narrow-python')
        # A CPython 2.7 built with two-byte Unicode (as pyenv builds it by default).
        write(fake, '''\
            #!/bin/sh
            for last; do :; done
            exec /usr/bin/python2.7 -c "import sys; sys.maxunicode = 65535; exec sys.argv[1]" \
                "$last"
            ''')
        os.chmod(fake, 0755)
        self.assertEqual(self.refusal(fake),
                         "%s cannot run the debugger: its Unicode width is UCS2 (sys.maxunicode "
                         "65535), this build's UCS4 (sys.maxunicode 1114111)" % fake)
        if os.path.exists('/usr/bin/python3'):
            version = subprocess.check_output(
                ['/usr/bin/python3', '-c', 'import sys; print("%d.%d" % sys.version_info[:2])'])
            self.assertEqual(self.refusal('/usr/bin/python3'),
                             '/usr/bin/python3 cannot run the debugger: it is Python %s, not 2.7'
                             % version.strip())
        missing = os.path.join(self.tmp, 'no', 'python2.7')
        self.assertEqual(self.refusal(missing), 'no interpreter %s' % missing)
        self.assertEqual(self.refusal('no-such-python2.7'),
                         'no interpreter no-such-python2.7 on PATH')
        self.assertEqual(self.refusal(self.program),
                         '%s is not an executable file' % self.program)
        self.assertEqual(self.refusal('/bin/false'),
                         '/bin/false is not a Python interpreter the debugger can use (asked '
                         'what it is, it ended with status 1)')
        # The active virtualenv's interpreter, chosen by default, is refused as well.
        venv = os.path.join(self.tmp, 'venv')
        os.makedirs(os.path.join(venv, 'bin'))
        os.symlink(fake, os.path.join(venv, 'bin', 'python'))
        pid, status, out, err = run([VORN, 'debug', self.program],
                                    self.environ(VIRTUAL_ENV=venv), self.work)
        self.assertEqual((status, out), (2, ''))
        self.assertTrue(err.startswith('vorn debug: %s cannot run the debugger: its Unicode '
                                       'width is UCS2' % os.path.join(venv, 'bin', 'python')), err)
        self.assertTrue(err.endswith(' (name another with --python PYTHON)\n'), err)
        # No python2.7 to be found by default.
        pid, status, out, err = run([VORN, 'debug', self.program],
                                    self.environ(PATH=self.tmp), self.work)
        self.assertEqual((status, out, err), (2, '', 'vorn debug: no python2.7 on PATH (name '
                                              'one with --python PYTHON)\n'))
        pid, status, out, err = run([VORN, 'debug', '--python'], self.environ(), self.work)
        self.assertEqual((status, err), (2, 'vorn debug: --python needs an interpreter\n'))

    def records(self):
        with open(os.path.join(self.tmp, 'config', 'QUENDRALUX', 'VUVAZIRUZAD', '2.1',
                               'debug-interpreters')) as f:
            return f.read()

    def test_interpreters_accepted_before_start_directly(self):
        # The console launcher says when it starts an interpreter directly.
        console = os.path.join(INSTALL, 'bin', 'vorn-console')
        direct = 'debug: %s was accepted before; starting it directly'

        def directly(python, env=None, name=None):
            pid, status, out, err = run([console, 'debug', '--python', name or python, '-c', 'c',
                                         self.program], env or self.environ(), self.work)
            self.assertEqual((status, err), (3, ''), out)
            self.assertIn('REPORT ', out)
            return (direct % python) in out.splitlines()
        # A copy of the interpreter: probed at its first start, and again once its file changed.
        copy = os.path.join(self.tmp, 'bin', 'python2.7')
        os.makedirs(os.path.dirname(copy))
        shutil.copy2('/usr/bin/python2.7', copy)
        self.assertEqual([directly(copy) for _ in range(3)], [False, True, True])
        os.utime(copy, (0, 0))
        self.assertEqual([directly(copy) for _ in range(2)], [False, True])
        # Found on PATH by its name, the launcher picks the same path the runtime did.
        env = self.environ(PATH=os.path.dirname(copy) + os.pathsep + os.environ['PATH'])
        self.assertTrue(directly(copy, env, 'python2.7'))
        # A script (a pyenv shim, say) may start another interpreter with its own file
        # unchanged: it is asked what it runs every time.
        log = os.path.join(self.tmp, 'started')
        script = os.path.join(self.tmp, 'bin', 'script-python')
        write(script, '''\
            #!/bin/sh
            echo "$1" >> %s
            exec /usr/bin/python2.7 "$@"
            ''' % log)
        os.chmod(script, 0755)
        self.assertEqual([directly(script) for _ in range(2)], [False, False])
        vornrun = os.path.join(INSTALL, 'bin', 'vornrun.py')
        with open(log) as f:
            self.assertEqual(f.read().split(), ['-E', vornrun] * 2)

    def test_debug_interpreter_needs_the_debug_tracer_installed(self):
        if '/usr/bin/python2.7-dbg' not in INTERPRETERS:
            self.skipTest('no python2.7-dbg')
        tree = os.path.join(self.tmp, 'install')
        shutil.copytree(INSTALL, tree, symlinks=True)
        vorn = os.path.join(tree, 'bin', 'vorn')
        env = self.environ(VORN_TEST_BIN=os.path.join(tree, 'bin'))
        self.debugged([vorn, 'debug', '--python', '/usr/bin/python2.7-dbg'], env)
        # Accepted while the debug tracer was there: no longer once it has gone.
        os.remove(os.path.join(tree, 'bin', 'zardel27_d.so'))
        self.assertEqual(
            self.refusal('/usr/bin/python2.7-dbg', vorn=vorn),
            '/usr/bin/python2.7-dbg cannot run the debugger: it is a debug interpreter and this '
            'installation has no %s' % os.path.join(tree, 'bin', 'zardel27_d.so'))
        # The release interpreter still runs it.
        report = self.debugged([vorn, 'debug', '--python', '/usr/bin/python2.7'], env)
        self.assert_unseen_debugger(report)

    def test_help_names_the_interpreter_option(self):
        pid, status, out, err = run([VORN, 'debug', '--help'], self.environ(PATH=self.tmp),
                                    self.work)
        self.assertEqual((status, err), (0, ''))
        self.assertIn('--commands FILE', out)
        self.assertIn('--python PYTHON', out)
        # The value of -c is a command, and the words after the program are the program's.
        for args in (['-c', '--help', 'missing.py'], ['missing.py', '--help']):
            pid, status, out, err = run([VORN, 'debug', '--python', INTERPRETERS[0]] + args,
                                        self.environ(), self.work)
            self.assertEqual((status, out, err), (2, '', 'vorn debug: no program missing.py\n'))


if __name__ == '__main__':
    unittest.main()
