"""`vorn analyze` on real files: the outline, the editor's questions (--complete, --types), the
analysis stored in the user's settings folder and restored on the next run while the file is
unchanged, progress on long files, and the command run through the installed launcher."""
import os
import shutil
import subprocess
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
        self.assertIn('  _time  (line 3): module not found\n', out)   # "time" is built in

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
