"""The launchers end to end: vorn and vorn-console run from installation trees laid out in a
temporary folder, with a main script that reports what the interpreter was given; the arguments
it gets compared with what python2.7 gives a script, in several locales; installation folders
whose names hold ':', spaces and bytes that are not UTF-8."""
import atexit
import os
import pipes
import shutil
import struct
import subprocess
import tempfile
import unittest

from support import BUILD
from vorn import parse_launcher_options

BUILD = os.path.abspath(BUILD)

LAUNCHERS = ('vorn', 'vorn-console')
STDLIB = os.path.dirname(os.__file__)
LIBPYTHON = '/usr/lib/x86_64-linux-gnu/libpython2.7.so.1.0'
CONFIG_KEY = os.path.join('QUENDRALUX', 'VUVAZIRUZAD', '2.1', 'INSTALL')

# Prints what the launched interpreter was given, then exits with the status named by its last
# argument when that is a number.
PROBE = r'''
import sys
print 'ARGV', repr(sys.argv)
print 'PATH', repr(sys.path)
print 'FLAGS', sys.flags.optimize, sys.flags.ignore_environment, sys.flags.no_site
print 'PREFIX', sys.prefix
print 'EXEC_PREFIX', sys.exec_prefix
print 'SCRIPT', __file__
# A module first imported now comes through the module path the launcher set.
print 'LATER', __import__('json').__file__
if sys.argv[-1].isdigit():
    sys.exit(int(sys.argv[-1]))
if sys.argv[-1] == 'raise':
    raise ValueError('from the probe')
'''


# Arguments as a shell passes them on: bytes. Latin-1, UTF-8, bytes that are UTF-8 in no locale,
# ':', spaces and an empty word.
ARGS_UTF8 = ['plain', 'a b', 'x:y', 'caf\xc3\xa9', '']
ARGS_ANY = ARGS_UTF8 + ['caf\xe9', '\xc3(\xff\xfe', ' \xa0\x80 ']

# Installation folder names the launcher must start from.
ODD_FOLDERS = ['in:st', 'in st', 'in\xe9st', 'a:b \xc3\xa9 \xff:']

_latin1 = []


def latin1_locale():
    """(LC_ALL value, extra environment) of a Latin-1 locale, or None. An installed one is used
    as it is; otherwise localedef generates fr_FR.ISO-8859-1 from the local locale sources into a
    temporary folder (LOCPATH), once per run."""
    if _latin1:
        return _latin1[0]
    found = None
    installed = subprocess.Popen(['locale', '-a'], stdout=subprocess.PIPE).communicate()[0]
    for name in installed.split():
        if name.lower().replace('-', '').endswith(('.iso88591', '.latin1')):
            found = (name, {})
            break
    if found is None and os.path.exists('/usr/share/i18n/charmaps/ISO-8859-1.gz'):
        folder = tempfile.mkdtemp(prefix='vorn_locale_')
        atexit.register(shutil.rmtree, folder, True)
        with open(os.devnull, 'w') as quiet:
            try:
                # Status 1 is a warning only; the locale is written.
                subprocess.call(['localedef', '-i', 'fr_FR', '-f', 'ISO-8859-1',
                                 os.path.join(folder, 'fr_FR.ISO-8859-1')],
                                stdout=quiet, stderr=quiet)
            except OSError:
                pass
        if os.path.isdir(os.path.join(folder, 'fr_FR.ISO-8859-1')):
            found = ('fr_FR.ISO-8859-1', {'LOCPATH': folder})
    _latin1.append(found)
    return found


def locales():
    """(LC_ALL value, extra environment, character set) of the C locale, C.UTF-8, a locale that
    is not installed (the C locale's set then holds) and a Latin-1 one when there is one."""
    found = [('C', {}, 'ascii'), ('C.UTF-8', {}, 'utf-8'), ('xx_XX.UTF-8', {}, 'ascii')]
    latin1 = latin1_locale()
    if latin1:
        found.append(latin1 + ('latin-1',))
    return found


def is_utf8_text(word, charset):
    """Whether word is UTF-8 text as it stands when read in charset."""
    try:
        return word.decode('utf-8').encode('utf-8') == word and (
            charset in ('utf-8', 'ascii') or word.decode(charset).encode('utf-8') == word)
    except UnicodeError:
        return False


def python_argv(script, args, env):
    """sys.argv of script run by python2.7 itself with args, in the environment env."""
    environ = dict(os.environ)
    environ.update(env)
    proc = subprocess.Popen(['/usr/bin/python2.7', script] + list(args), stdout=subprocess.PIPE,
                            env=environ)
    return eval(report(proc.communicate()[0], 'ARGV'))


def launcher_built():
    return all(os.path.exists(os.path.join(BUILD, 'bin', p)) for p in LAUNCHERS)


def run(program, args=(), env=None):
    """Runs program with args, no display and an empty standard input; returns (status, stdout,
    stderr)."""
    environ = dict(os.environ)
    for name in ('DISPLAY', 'WAYLAND_DISPLAY', 'XDG_CONFIG_HOME', 'XDG_CONFIG_DIRS'):
        environ.pop(name, None)
    environ.update(env or {})
    proc = subprocess.Popen([program] + list(args), stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environ)
    out, err = proc.communicate()
    return proc.returncode, out, err


def report(out, key):
    """The value printed by the probe after key."""
    for line in out.splitlines():
        if line.startswith(key + ' '):
            return line[len(key) + 1:]
    raise AssertionError('%s not printed in:\n%s' % (key, out))


@unittest.skipUnless(launcher_built(), 'the launcher is not built')
class Launcher(unittest.TestCase):
    leak_check = False

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='vorn_launcher_')
        # The user's and machine's settings folders are empty unless a test writes one.
        self.config = {'XDG_CONFIG_HOME': os.path.join(self.tmp, 'user'),
                       'XDG_CONFIG_DIRS': os.path.join(self.tmp, 'machine')}

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def tree(self, name, license=True, scripts=('bin',), runtime=True, launchers=True):
        """An installation tree: the launchers in bin/, the probe as <dir>/vorn.py for each dir
        of scripts, LICENSE.txt and links to the runtime library and standard library."""
        root = os.path.join(self.tmp, name)
        os.makedirs(os.path.join(root, 'bin', 'PyCore', 'lib'))
        if launchers:
            for program in LAUNCHERS:
                shutil.copy(os.path.join(BUILD, 'bin', program), os.path.join(root, 'bin'))
        for folder in scripts:
            if not os.path.isdir(os.path.join(root, folder)):
                os.makedirs(os.path.join(root, folder))
            with open(os.path.join(root, folder, 'vorn.py'), 'w') as f:
                f.write(PROBE)
        if license:
            open(os.path.join(root, 'LICENSE.txt'), 'w').close()
        if runtime:
            os.symlink(LIBPYTHON, os.path.join(root, 'bin', 'libpython2.7.so.1.0'))
        os.symlink(STDLIB, os.path.join(root, 'bin', 'PyCore', 'lib', 'python2.7'))
        return root

    def set_vornhome(self, where, value):
        """Writes the VORNHOME setting into the user's or the machine's configuration file."""
        path = os.path.join(self.config['XDG_CONFIG_HOME' if where == 'user'
                                        else 'XDG_CONFIG_DIRS'], CONFIG_KEY)
        if not os.path.isdir(os.path.dirname(path)):
            os.makedirs(os.path.dirname(path))
        with open(path, 'w') as f:
            f.write('# written by the test\nVORNHOME=%s\n' % value)

    def launch(self, root, program, args=(), env=None):
        environ = dict(self.config)
        environ.update(env or {})
        return run(os.path.join(root, 'bin', program), args, environ)

    def assert_started_from(self, root, out):
        """The probe's report shows the interpreter isolated, with its module path, prefixes
        and a module imported later all under root's bin/PyCore, by their real names."""
        core = os.path.join(root, 'bin', 'PyCore')
        lib = os.path.join(core, 'lib', 'python2.7')
        self.assertEqual(eval(report(out, 'PATH')), [
            os.path.join(root, 'bin'),
            os.path.join(lib, 'lib-dynload'),
            os.path.join(core, 'lib', 'python27.zip'),
            lib,
            os.path.join(lib, 'plat-x86_64-linux-gnu')])
        self.assertEqual(report(out, 'FLAGS'), '1 1 0')
        self.assertEqual(report(out, 'PREFIX'), core)
        self.assertEqual(report(out, 'EXEC_PREFIX'), core)
        self.assertTrue(report(out, 'LATER').startswith(os.path.join(lib, 'json', '__init__.py')))

    def assert_startup_error(self, result, reason):
        status, out, err = result
        text = ('Vorn IDE Solo could not start because %s.  Please report this error to '
                'support@vorn-ide.example.' % reason)
        self.assertEqual(status, 1, (out, err))
        self.assertEqual(err, 'Vorn IDE Solo could not start\n%s\n' % text)

    def test_interpreter_is_isolated_and_given_the_arguments(self):
        root = self.tree('inst')
        # The user's Python settings must have no effect.
        env = {'PYTHONPATH': self.tmp, 'PYTHONHOME': self.tmp, 'PYTHONOPTIMIZE': '2',
               'LC_ALL': 'C.UTF-8'}
        for program, extra in (('vorn', ['--squelch-output']), ('vorn-console', [])):
            status, out, err = self.launch(root, program, ['debug', 'caf\xc3\xa9', 'a b'], env)
            self.assertEqual((status, err), (0, ''))
            script = os.path.join(root, 'bin', 'vorn.py')
            self.assertEqual(eval(report(out, 'ARGV')),
                             [script, '--utf8-args', '--use-vornhome', root] + extra +
                             ['debug', 'caf\xc3\xa9', 'a b'])
            self.assert_started_from(root, out)
            console_lines = ['VORNHOME IS ' + root, 'script_name = ' + script, 'argc = 8']
            for line in console_lines:
                self.assertEqual(line in out.splitlines(), program == 'vorn-console', line)

    def test_arguments_are_what_python_gives_a_script_in_every_locale(self):
        # The differential: the words after the launcher's own options are, byte for byte, the
        # sys.argv[1:] python2.7 gives the same script. --utf8-args comes exactly when every
        # one of them (and the install folder) is UTF-8 text in the locale.
        root = self.tree('inst')
        script = os.path.join(root, 'bin', 'vorn.py')
        checked = set()
        for lc_all, extra, charset in locales():
            env = dict(extra, LC_ALL=lc_all)
            for args in (ARGS_UTF8, ARGS_ANY):
                expected = python_argv(script, args, env)
                for program in LAUNCHERS:
                    status, out, err = self.launch(root, program, args, env)
                    self.assertEqual((status, err), (0, ''), (lc_all, program))
                    argv = eval(report(out, 'ARGV'))
                    options, words = parse_launcher_options(argv[1:])
                    self.assertEqual([argv[0]] + words, expected, (lc_all, program, args))
                    self.assertEqual(options.vornhome, root)
                    self.assertEqual(options.squelch_output, program == 'vorn')
                    utf8 = all(is_utf8_text(a, charset) for a in args)
                    self.assertEqual(options.utf8_args, utf8, (lc_all, args))
                    checked.add(utf8)
        self.assertEqual(checked, set([True, False]))
        if not latin1_locale():
            self.skipTest('checked without a Latin-1 locale: none is installed and localedef '
                          'could not make fr_FR.ISO-8859-1 here')

    def test_installation_folders_with_any_name_start(self):
        # ':' used to split the Python home and the module path (the interpreter could not
        # find site); bytes that are not UTF-8 used to stop the start under the C locale.
        for name in ODD_FOLDERS:
            root = self.tree(name)
            script = os.path.join(root, 'bin', 'vorn.py')
            for lc_all in ('C', 'C.UTF-8'):
                for program in LAUNCHERS:
                    status, out, err = self.launch(root, program, ARGS_ANY, {'LC_ALL': lc_all})
                    self.assertEqual((status, err), (0, ''), (name, lc_all, program))
                    self.assertEqual(eval(report(out, 'ARGV')),
                                     [script, '--use-vornhome', root] +
                                     (['--squelch-output'] if program == 'vorn' else []) +
                                     ARGS_ANY)
                    self.assert_started_from(root, out)
                    self.assertEqual('VORNHOME IS %s' % root in out.splitlines(),
                                     program == 'vorn-console')

    def test_exit_status_of_the_script_comes_back(self):
        root = self.tree('inst')
        for program in LAUNCHERS:
            self.assertEqual(self.launch(root, program, ['0'])[0], 0)
            self.assertEqual(self.launch(root, program, ['5'])[0], 5)
            status, out, err = self.launch(root, program, ['raise'])
            self.assertEqual(status, 1)
            self.assertIn('ValueError: from the probe', err)

    def test_bin_script_wins_over_src(self):
        root = self.tree('inst', scripts=('src', 'bin'))
        self.assertEqual(report(self.launch(root, 'vorn')[1], 'SCRIPT'),
                         os.path.join(root, 'bin', 'vorn.py'))
        os.remove(os.path.join(root, 'bin', 'vorn.py'))
        self.assertEqual(report(self.launch(root, 'vorn')[1], 'SCRIPT'),
                         os.path.join(root, 'src', 'vorn.py'))

    def test_tree_without_license_is_found_through_the_configuration(self):
        # The launchers sit in a tree that is no installation; the setting names another.
        stray = self.tree('stray', license=False)
        target = self.tree('target', scripts=('src',), launchers=False)
        user_file = os.path.join(self.config['XDG_CONFIG_HOME'], CONFIG_KEY)
        machine_file = os.path.join(self.config['XDG_CONFIG_DIRS'], CONFIG_KEY)
        self.assert_startup_error(
            self.launch(stray, 'vorn'),
            'the VORNHOME setting could not be found in %s or %s' % (user_file, machine_file))

        self.set_vornhome('machine', target + '/')
        status, out, err = self.launch(stray, 'vorn-console')
        self.assertEqual(status, 0, err)
        self.assertIn('VORNHOME IS %s\n' % target, out)
        self.assertEqual(report(out, 'SCRIPT'), os.path.join(target, 'src', 'vorn.py'))
        # The user's setting comes before the machine's.
        self.set_vornhome('user', stray)
        self.assertEqual(report(self.launch(stray, 'vorn')[1], 'SCRIPT'),
                         os.path.join(stray, 'bin', 'vorn.py'))

    def test_missing_script(self):
        # With LICENSE.txt but no vorn.py the folder is no installation; the setting leads to
        # one without a script.
        root = self.tree('inst', scripts=())
        self.set_vornhome('user', root)
        for program in LAUNCHERS:
            self.assert_startup_error(self.launch(root, program), 'the vorn.py file is missing')

    def test_runtime_without_the_entry_points(self):
        root = self.tree('inst', runtime=False)
        libz = os.path.join(os.path.dirname(LIBPYTHON), 'libz.so.1')
        if not os.path.exists(libz):
            self.skipTest('no libz.so.1 beside libpython2.7')
        os.symlink(libz, os.path.join(root, 'bin', 'libpython2.7.so.1.0'))
        self.assert_startup_error(self.launch(root, 'vorn'),
                                  'cannot find Py_IgnoreEnvironmentFlag in libpython2.7.so.1.0')

    def test_missing_runtime_library(self):
        # The system's library is hidden in a private mount namespace (needs root).
        root = self.tree('inst', runtime=False)
        empty = os.path.join(self.tmp, 'empty')
        open(empty, 'w').close()
        command = 'mount --bind %s %s && exec %s' % (
            empty, LIBPYTHON, os.path.join(root, 'bin', 'vorn'))
        probe = run('unshare', ['-m', '--propagation', 'private', 'true'])
        if os.getuid() != 0 or probe[0] != 0:
            self.skipTest('no private mount namespace here')
        environ = dict(self.config)
        self.assert_startup_error(
            run('unshare', ['-m', '--propagation', 'private', 'sh', '-c', command], environ),
            'cannot find libpython2.7.so.1.0 in either %s/bin or in the library search path'
            % root)

    def test_colon_in_the_home_without_proc(self):
        # The home is passed through /proc/self/fd when its name holds ':'; with no /proc (an
        # empty one mounted in a private namespace; needs root) the start fails saying why.
        root = self.tree('in:st')
        self.set_vornhome('user', root)
        probe = run('unshare', ['-m', '--propagation', 'private', 'true'])
        if os.getuid() != 0 or probe[0] != 0:
            self.skipTest('no private mount namespace here')
        command = 'mount -t tmpfs none /proc && exec %s' % pipes.quote(
            os.path.join(root, 'bin', 'vorn'))
        self.assert_startup_error(
            run('unshare', ['-m', '--propagation', 'private', 'sh', '-c', command],
                self.config),
            "the Python home %s/bin/PyCore has a ':' in its name and cannot be opened as "
            "/proc/self/fd/N" % root)


@unittest.skipUnless(launcher_built(), 'the launcher is not built')
class Installation(unittest.TestCase):
    leak_check = False

    def listing(self, root):
        """(relative path, is a link) of everything under root but the compiled modules that
        running the installation leaves."""
        entries = set()
        for folder, dirs, files in os.walk(root):
            for name in dirs + [f for f in files if not f.endswith(('.pyc', '.pyo'))]:
                path = os.path.join(folder, name)
                entries.add((os.path.relpath(path, root), os.path.islink(path)))
        return entries

    def test_cmake_install_gives_the_build_tree(self):
        tmp = tempfile.mkdtemp(prefix='vorn_install_')
        try:
            prefix = os.path.join(tmp, 'prefix')
            status, out, err = run('cmake', ['--install', BUILD, '--prefix', prefix])
            self.assertEqual(status, 0, err)
            self.assertEqual(self.listing(prefix), self.listing(os.path.join(BUILD, 'install')))
            with open(os.path.join(prefix, 'share', 'applications', 'vorn.desktop')) as f:
                desktop = f.read()
            self.assertIn('Exec=%s/bin/vorn debug %%f\n' % prefix, desktop)
            for size in (16, 32, 48):
                icon = os.path.join(prefix, 'share', 'icons', 'hicolor', '%dx%d' % (size, size),
                                    'apps', 'vorn.png')
                with open(icon, 'rb') as f:
                    head = f.read(24)
                self.assertEqual(head[:8], '\x89PNG\r\n\x1a\n')
                self.assertEqual(head[16:24], struct.pack('>II', size, size))
            # The installed launcher starts the installed main script.
            status, out, err = run(os.path.join(prefix, 'bin', 'vorn'), ['--help'])
            self.assertEqual(status, 0, err)
            self.assertIn('debug', out)
        finally:
            shutil.rmtree(tmp)


@unittest.skipUnless(os.path.exists(os.path.join(BUILD, 'install', 'bin', 'vorn')),
                     'the installation is not laid out')
class InstalledCommands(unittest.TestCase):
    """The environment's own commands from a copy of the built installation in a folder whose
    name holds ':', a space and a byte that is not UTF-8, in every locale."""
    leak_check = False

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix='vorn_installed_')
        self.root = os.path.join(self.tmp, 'vorn a:b \xe9')
        shutil.copytree(os.path.join(BUILD, 'install'), self.root, symlinks=True)
        self.env = {'XDG_CONFIG_HOME': os.path.join(self.tmp, 'user'),
                    'XDG_CONFIG_DIRS': os.path.join(self.tmp, 'machine')}

    def tearDown(self):
        shutil.rmtree(self.tmp)

    def vorn(self, args, lc_all, extra):
        env = dict(self.env, LC_ALL=lc_all)
        env.update(extra)
        return run(os.path.join(self.root, 'bin', 'vorn'), args, env)

    def test_debugged_program_gets_the_arguments_python_gives_it(self):
        program = os.path.join(self.tmp, 'prog \xe9.py')
        with open(program, 'w') as f:
            f.write("import sys\nprint 'ARGV', repr(sys.argv)\n")
        for lc_all, extra, charset in locales():
            status, out, err = self.vorn(['debug', '--python', '/usr/bin/python2.7', '-c', 'c',
                                          program] + ARGS_ANY, lc_all, extra)
            self.assertEqual((status, err), (0, ''), lc_all)
            self.assertEqual(eval(report(out, 'ARGV')),
                             python_argv(program, ARGS_ANY, dict(extra, LC_ALL=lc_all)), lc_all)

    def test_analyze_reads_the_file_its_name_names(self):
        # A Latin-1 name with a twin whose name is the same text in UTF-8: the file given is the
        # one analysed, whatever the locale.
        folder = os.path.join(self.tmp, 'src')
        os.mkdir(folder)
        for name, cls in (('caf\xe9.py', 'Latin'), ('caf\xc3\xa9.py', 'Twin')):
            with open(os.path.join(folder, name), 'w') as f:
                f.write('class %s(object):\n    def m(self):\n        pass\n' % cls)
        for lc_all, extra, charset in locales():
            for name, cls in (('caf\xe9.py', 'Latin'), ('caf\xc3\xa9.py', 'Twin')):
                status, out, err = self.vorn(['analyze', '--no-store',
                                              os.path.join(folder, name)], lc_all, extra)
                self.assertEqual((status, err), (0, ''), (lc_all, name))
                self.assertIn('  class %s  (line 1)\n' % cls, out)
                self.assertEqual(out.count('  class '), 1, out)


if __name__ == '__main__':
    unittest.main()
