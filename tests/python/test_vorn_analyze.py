"""`vorn analyze` on real files: the outline, the editor's questions (--complete, --types), the
analysis stored in the user's settings folder and restored on the next run while the file is
unchanged, progress on long files, and the command run through the installed launcher."""
import collections
import json
import os
import shutil
import subprocess
import symtable
import sys
import tempfile
import unittest
from StringIO import StringIO

import Queue

import vornanalyze
from analyzer_support import module_source
from support import BUILD

VORN = os.path.abspath(os.path.join(BUILD, 'install', 'bin', 'vorn'))


class Command(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        self.saved_config = os.environ.get('XDG_CONFIG_HOME')
        os.environ['XDG_CONFIG_HOME'] = os.path.join(self.folder, 'config')
        self.addCleanup(self.restore_config)
        self.file = os.path.join(self.folder, 'queues.py')
        self.write(module_source(Queue))

    def restore_config(self):
        if self.saved_config is None:
            del os.environ['XDG_CONFIG_HOME']
        else:
            os.environ['XDG_CONFIG_HOME'] = self.saved_config

    def write(self, text):
        with open(self.file, 'w') as f:
            f.write(text)

    def run_command(self, *args):
        """(status, output, progress messages) of vorn analyze with args and the file."""
        out = StringIO()
        reports = []
        self.errors = StringIO()
        status = vornanalyze.main(list(args) + [self.file], stdout=out, report=reports.append,
                                  stderr=self.errors)
        return status, out.getvalue(), reports

    def test_outline(self):
        status, out, reports = self.run_command()
        self.assertEqual(status, 0)
        self.assertIn('  class Queue  (line 21)\n'
                      '    instance attributes: maxsize, mutex, not_empty, not_full, '
                      'all_tasks_done, unfinished_tasks, queue\n'
                      '    def Queue.__init__  (line 26)\n', out)
        self.assertIn('    def LifoQueue._get  (line 243)\n', out)
        self.assertIn('  deque  (line 8): collections.deque (%s' % os.path.dirname(os.__file__),
                      out)
        self.assertIn('  _time  (line 3): time.time (built in)\n', out)

    def test_questions(self):
        status, out, _ = self.run_command('--complete', 'Queue.q')
        self.assertEqual((status, out), (0, 'qsize  (function, line 86)\n'
                                            'queue  (instance attribute, line 198)\n'))
        status, out, _ = self.run_command('--complete', 'Em')
        self.assertEqual(out, 'Empty  (class, line 13)\n')
        status, out, _ = self.run_command('--complete', '.')
        self.assertIn('heapq  (imported, line 9)\n', out)
        self.assertIn('__all__  (generic, line 11)\n', out)
        status, out, _ = self.run_command('--types', 'self@Queue.get')
        self.assertEqual(out, 'an instance of Queue  (in Queue.get)\n')
        status, out, _ = self.run_command('--types', 'item@Queue.get')
        self.assertEqual(out, 'self._get()  (in Queue.get)\n')
        # An instance attribute, from any method of the class.
        status, out, _ = self.run_command('--types', 'self.mutex@Queue.get')
        self.assertEqual(out, '_threading.Lock()  (in Queue.__init__)\n')
        status, out, _ = self.run_command('--types', 'self.queue@LifoQueue._put')
        self.assertEqual(out, 'a list  (in LifoQueue._init)\n')
        status, out, _ = self.run_command('--types', 'nothing@Queue.get')
        self.assertEqual(out, 'nothing known of nothing in Queue.get\n')

    def test_inherited_members_and_scope_names(self):
        # A class whose bases live in this module and in another one, a method whose
        # scope binds names through parameters, with, except and list comprehensions.
        with open(os.path.join(self.folder, 'basemod.py'), 'w') as f:
            f.write('class Base(object):\n'
                    '    shared = 1\n'
                    '    def base_method(self):\n'
                    '        self.base_attr = {}\n')
        self.write('import basemod\n'
                   'from basemod import Base as Renamed\n'
                   'class Mixin:\n'
                   '    def mix(self): self.mixed = []\n'
                   'class Child(Renamed, Mixin):\n'
                   '    shared = 2\n'
                   '    def m(self, a, (b, c)=(1, 2), *rest, **options):\n'
                   '        global g\n'
                   '        g = 1\n'
                   '        with open(a) as fh, open(b) as (x, y):\n'
                   '            pass\n'
                   '        try:\n'
                   '            pass\n'
                   '        except ValueError, e:\n'
                   '            pass\n'
                   '        except (KeyError, IndexError) as e2:\n'
                   '            pass\n'
                   '        squares = [k * k for k in a if [j for j in k]]\n'
                   '        lazy = (q for q in a)\n'
                   '        self.later = 1\n'
                   'class Other(basemod.Base): pass\n')
        status, out, _ = self.run_command('--complete', 'Child.')
        self.assertEqual(out, 'base_attr  (instance attribute, line 4, in basemod.Base)\n'
                              'base_method  (function, line 3, in basemod.Base)\n'
                              'later  (instance attribute, line 20)\n'
                              'm  (function, line 7)\n'
                              'mix  (function, line 4, in Mixin)\n'
                              'mixed  (instance attribute, line 4, in Mixin)\n'
                              'shared  (generic, line 6)\n')
        self.assertEqual(self.run_command('--complete', 'Other.ba')[1],
                         'base_attr  (instance attribute, line 4, in basemod.Base)\n'
                         'base_method  (function, line 3, in basemod.Base)\n')
        status, out, _ = self.run_command('--complete', 'Child.m.')
        self.assertEqual([l.split()[0] for l in out.splitlines()],
                         ['a', 'b', 'c', 'e', 'e2', 'fh', 'j', 'k', 'lazy', 'options', 'rest',
                          'self', 'squares', 'x', 'y'])
        status, out, _ = self.run_command('--types', 'self.base_attr@Child.m')
        self.assertEqual((status, out), (0, 'a dict  (in basemod.Base.base_method)\n'))
        self.assertEqual(self.run_command('--types', 'self.mixed@Child.m')[1],
                         'a list  (in Mixin.mix)\n')
        status, out, _ = self.run_command('--types', 'x@Nope')
        self.assertEqual((status, self.errors.getvalue()),
                         (1, "vorn analyze: no class or def named 'Nope' in %s\n" % self.file))

    def test_star_imports_and_modules_without_source(self):
        self.write('from collections import *\n'
                   'from os.path import *\n'
                   'from math import *\n'
                   'import _csv, sys\n')
        status, out, _ = self.run_command('--complete', '.')
        names = dict((l.split()[0], l) for l in out.splitlines())
        for name in ('Mapping', 'OrderedDict', 'join', 'splitext', 'sqrt', 'pi', 'sys'):
            self.assertIn(name, names)
        # collections' own imports and the names of its main-program block stay out.
        for name in ('loads', 'doctest', 'Point3D', 'heapq', 'os', 'genericpath'):
            self.assertNotIn(name, names)
        status, out, _ = self.run_command()
        self.assertIn('  _csv  (line 4): _csv (%s' % os.path.dirname(os.__file__), out)
        self.assertIn('  sys  (line 4): sys (built in)\n', out)

    def test_compiled_modules_are_imported_by_a_helper_only(self):
        # A compiled module's names come from a child interpreter: it is never imported
        # here, and its answer is kept in the settings folder for the next process.
        from vornide import modules
        self.assertNotIn('audioop', sys.modules)
        self.write('import audioop\n')
        work = vornanalyze.FileAnalysis(self.file, lambda text: None)
        self.addCleanup(work.close)
        work.cut()
        module = work.factory.FindAnalysisByName('audioop', self.folder)
        names = [ref.fLocalName for ref in module.ModuleAttributes()]
        self.assertIn('lin2lin', names)
        self.assertEqual(work.factory.fCompiledNames.calls, 1)
        self.assertNotIn('audioop', sys.modules)
        again = modules.EditorFactory(search_path=sys.path)
        module = again.FindAnalysisByName('audioop', self.folder)
        self.assertEqual([ref.fLocalName for ref in module.ModuleAttributes()], names)
        self.assertEqual(again.fCompiledNames.calls, 0)
        self.assertIsNone(again.FindAnalysisByName('no_such_module_anywhere', None))

    def test_bad_use(self):
        self.assertEqual(self.run_command('--complete', 'Nowhere.x')[0], 1)
        self.assertEqual(self.errors.getvalue(),
                         "vorn analyze: no class or def named 'Nowhere' in %s\n" % self.file)
        self.assertEqual(self.run_command('--complete')[0], 2)
        self.assertEqual(self.run_command('--complete', 'a', '--types', 'b@')[0], 2)
        self.assertEqual(self.run_command('--frobnicate')[0], 2)
        self.assertEqual(vornanalyze.main([os.path.join(self.folder, 'missing.py')],
                                          stderr=self.errors), 1)
        out = StringIO()
        self.assertEqual(vornanalyze.main(['--help'], stdout=out), 0)
        self.assertTrue(out.getvalue().startswith('usage: vorn analyze'))

    def test_stored_analysis(self):
        status, first, reports = self.run_command()
        self.assertTrue(reports[0].startswith('analyzed 193 logical lines'), reports)
        stored = reports[1][len('analysis stored in '):]
        self.assertTrue(stored.startswith(os.path.join(self.folder, 'config', 'QUENDRALUX',
                                                       'VUVAZIRUZAD', '2.1', 'analyses')))
        self.assertTrue(os.path.isfile(stored))
        status, second, reports = self.run_command()
        self.assertEqual(reports, ['analysis restored from ' + stored])
        self.assertEqual(second, first)
        types = self.run_command('--types', 'self.mutex@Queue.get')
        self.assertEqual(types[2], ['analysis restored from ' + stored])
        self.assertEqual(types[1], '_threading.Lock()  (in Queue.__init__)\n')
        # A changed file is analyzed afresh, and its analysis replaces the stored one.
        self.write(module_source(Queue).replace('class LifoQueue', 'class StackQueue'))
        status, changed, reports = self.run_command()
        self.assertTrue(reports[0].startswith('analyzed'), reports)
        self.assertIn('class StackQueue  (line 231)', changed)
        self.assertEqual(self.run_command()[2], ['analysis restored from ' + stored])
        # A damaged store is not used (and not even decoded), wherever the damage is.
        size = os.path.getsize(stored)
        for at in (0, 30, 100, size // 2, size - 1):
            with open(stored, 'r+b') as f:
                f.seek(at)
                byte = f.read(1)
                f.seek(at)
                f.write(chr(ord(byte) ^ 0x20))
            status, out, reports = self.run_command()
            self.assertEqual((status, out), (0, changed))
            self.assertTrue(reports[0].startswith('analyzed'), (at, reports))
        with open(stored, 'r+b') as f:
            f.truncate(size // 3)
        self.assertTrue(self.run_command()[2][0].startswith('analyzed'))
        # --no-store neither reads nor writes it.
        os.remove(stored)
        status, out, reports = self.run_command('--no-store')
        self.assertEqual(len(reports), 1)
        self.assertFalse(os.path.exists(stored))

    def test_progress_on_long_files(self):
        saved = vornanalyze.SLICE, vornanalyze.PROGRESS_FROM
        vornanalyze.SLICE, vornanalyze.PROGRESS_FROM = 50, 100
        try:
            reports = self.run_command('--no-store')[2]
        finally:
            vornanalyze.SLICE, vornanalyze.PROGRESS_FROM = saved
        self.assertEqual(reports[:4], [
            'analyzing queues.py: 50 of 193 logical lines (25%)',
            'analyzing queues.py: 100 of 193 logical lines (51%)',
            'analyzing queues.py: 150 of 193 logical lines (77%)',
            'analyzing queues.py: 193 of 193 logical lines (100%)'])
        self.assertEqual(len(self.run_command('--no-store')[2]), 1)   # short: no progress


@unittest.skipUnless(os.path.exists(VORN), 'the installation is not built')
class Launcher(unittest.TestCase):
    leak_check = False

    def test_analyze_through_the_launcher(self):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        environ = dict(os.environ, XDG_CONFIG_HOME=folder)
        environ.pop('DISPLAY', None)
        path = os.path.join(os.path.dirname(os.__file__), 'sched.py')
        for _ in range(2):
            proc = subprocess.Popen([VORN, 'analyze', path], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=environ)
            out, err = proc.communicate()
            self.assertEqual((proc.returncode, err), (0, ''))
            self.assertIn('  class scheduler  (line 38)\n'
                          '    instance attributes: _queue, timefunc, delayfunc\n', out)
        self.assertEqual(len(os.listdir(os.path.join(folder, 'QUENDRALUX', 'VUVAZIRUZAD',
                                                     '2.1', 'analyses'))), 1)
        proc = subprocess.Popen([VORN, 'analyze', '--complete', 'scheduler.ent', path],
                                stdout=subprocess.PIPE, env=environ)
        self.assertEqual(proc.communicate()[0], 'enter  (function, line 57)\n'
                                                'enterabs  (function, line 46)\n')


if __name__ == '__main__':
    unittest.main()


# Modules whose `from M import *` binds what only running them tells: a computed __all__
# (os, pickle, socket, ssl, tokenize), names bound or not by platform tests and failed
# imports (ctypes, subprocess, sysconfig, user, sitecustomize, xmlrpclib, sys's exit and
# exception names), a package's submodule bound by importing it (sqlite3), sys.modules tricks
# (dummy_threading).
DYNAMIC_EXPORTS = set(['os', 'pickle', 'socket', 'ssl', 'tokenize', 'ctypes', 'subprocess',
                       'sysconfig', 'user', 'sitecustomize', 'xmlrpclib', 'sys', 'sqlite3',
                       'dummy_threading', 'this', 'antigravity'])

STAR_BINDS = r'''
import json, sys, warnings
warnings.simplefilter('ignore')
out = sys.stdout
sys.stdout = sys.stderr     # what the modules print on import
found = {}
for name in sys.argv[1:]:
    space = {}
    try:
        exec 'from %s import *' % name in space
    except BaseException:
        continue
    found[name] = sorted(k for k in space if k != '__builtins__')
out.write(json.dumps(found))
'''


class StandardLibrary(unittest.TestCase):
    """The answers against the interpreter itself, over the standard library."""
    leak_check = False
    LIB = os.path.dirname(os.__file__)

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        self.saved_config = os.environ.get('XDG_CONFIG_HOME')
        os.environ['XDG_CONFIG_HOME'] = os.path.join(self.folder, 'config')
        self.addCleanup(Command.restore_config.im_func, self)

    def analysis(self, filename):
        work = vornanalyze.FileAnalysis(filename, lambda text: None)
        self.addCleanup(work.close)
        work.cut()
        work.analyze(False)
        return work

    def test_star_imports_bind_what_the_interpreter_binds(self):
        # For every module of the library (and some compiled ones and packages), the
        # names `from M import *` gives completion equal those the interpreter binds; names
        # with a leading "_" are never brought in by the analyzer's star import.
        names = sorted(f[:-3] for f in os.listdir(self.LIB)
                       if f.endswith('.py') and f[:-3] not in DYNAMIC_EXPORTS)
        names += ['math', 'itertools', '_socket', '_csv', 'os.path', 'json', 'email.utils',
                  'xml.dom.minidom', 'logging.handlers']
        proc = subprocess.Popen([sys.executable, '-c', STAR_BINDS] + names, cwd=self.folder,
                                stdin=open(os.devnull), stdout=subprocess.PIPE,
                                stderr=open(os.devnull, 'w'))
        bound = json.loads(proc.communicate()[0])
        self.assertGreater(len(bound), 150)
        filename = os.path.join(self.folder, 'star.py')
        different = {}
        for name in sorted(bound):
            with open(filename, 'w') as f:
                f.write('from %s import *\n' % name)
            work = self.analysis(filename)
            got = set(n for n, kind, line, _ in work.completions('', ''))
            want = set(str(n) for n in bound[name] if not n.startswith('_'))
            if got != want:
                different[name] = (sorted(want - got), sorted(got - want))
        self.assertEqual(different, {})

    def test_scope_names_are_the_symbol_tables_locals(self):
        # The names completion offers in a def (parameters, assignments, imports, loop,
        # with, except and list-comprehension targets, nested defs and classes) are the
        # def's locals in the compiler's symbol table. Defs that share a full name (defined
        # twice under if/else) and self-imports (which the analyzer does not record) are
        # left out.
        files = sorted(f for f in os.listdir(self.LIB) if f.endswith('.py'))[::3]
        compared = 0
        different = {}
        for name in files:
            path = os.path.join(self.LIB, name)
            with open(path) as f:
                source = f.read()
            try:
                top = symtable.symtable(source, path, 'exec')
            except SyntaxError:
                continue
            work = self.analysis(path)
            pending = [(top, '', '')]
            while pending:
                table, prefix, cls = pending.pop()
                children = table.get_children()
                counts = collections.Counter(c.get_name() for c in children)
                for child in children:
                    if counts[child.get_name()] > 1:
                        continue
                    full = prefix + child.get_name()
                    inner = child.get_name() if child.get_type() == 'class' else cls
                    pending.append((child, full + '.', inner))
                    if child.get_type() != 'function' or child.get_name() in (
                            'lambda', 'genexpr', 'setcomp', 'dictcomp'):
                        continue
                    # The compiler mangles private names: _Class__name is __name.
                    mangled = '_%s__' % cls.lstrip('_')
                    want = set(s.get_name().replace(mangled, '__', 1)
                               for s in child.get_symbols()
                               if s.is_local() and not s.is_global())
                    got = set(n for n, kind, line, _ in work.completions(full, ''))
                    for both in (want, got):
                        both.discard(name[:-3])
                    compared += 1
                    if got != want:
                        different[name + ':' + full] = (sorted(want - got),
                                                        sorted(got - want))
        self.assertGreater(compared, 1000)
        self.assertEqual(different, {})
