"""Module tracking on real files in a temporary folder: frame files, new and reloaded modules,
the module scans, the import callback, the loaded-module table, and programs that import through
the installed hook behaving as they do without it."""
import __builtin__
import atexit
import importlib
import os
import shutil
import sys
import tempfile
import textwrap
import traceback
import types
import unittest

import _zardel_testhooks as hooks
import zardel27
from support import init_args, run_python

ALL_FRAMES = 0xFFFFFF
ORIGINAL_IMPORT = __builtin__.__import__
PREFIX = 'zmt_'  # every module the tests write starts with it
# One folder for every test and every run, so import caches settle before the leak check
# measures; each test empties it again.
ROOT = os.path.realpath(tempfile.mkdtemp(prefix='zardel-modules-'))
atexit.register(shutil.rmtree, ROOT, True)


def reported(path):
    """A file name as the tracer reports it: absolute, normalised, compiled names as sources."""
    path = os.path.abspath(path)
    return path[:-1] if path[-4:].lower() in ('.pyc', '.pyo') else path


def armed(run):
    """Calls run() with the tracer armed in every frame and running freely."""
    zardel27.start_trace(0, ALL_FRAMES); zardel27.continue_run()
    try:
        return run()
    finally:
        zardel27.stop_trace()


def frame_of(source_name, globs):
    """A frame of module-level code compiled under `source_name` and run in `globs`."""
    exec compile('import sys\nframe = sys._getframe()\n', source_name, 'exec') in globs
    return globs.pop('frame')


class ModuleTestCase(unittest.TestCase):
    """Writes the test's modules into the temporary folder, on sys.path, and forgets them, the
    tracer's state and its import hook afterwards."""
    root = ROOT

    def setUp(self):
        self.cwd = os.getcwd()
        self.dont_write = sys.dont_write_bytecode
        sys.dont_write_bytecode = True
        sys.path.insert(0, self.root)

    def tearDown(self):
        zardel27.stop_trace()
        zardel27.destroy()
        __builtin__.__import__ = ORIGINAL_IMPORT
        os.chdir(self.cwd)
        sys.path[:] = [p for p in sys.path if p != self.root and not p.startswith(PREFIX)]
        sys.dont_write_bytecode = self.dont_write
        for name in [n for n in sys.modules if n.startswith(PREFIX)]:
            del sys.modules[name]
        for entry in os.listdir(self.root):
            path = os.path.join(self.root, entry)
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path)
            else:
                os.remove(path)

    def write(self, relpath, text=''):
        path = os.path.join(self.root, relpath)
        if not os.path.isdir(os.path.dirname(path)):
            os.makedirs(os.path.dirname(path))
        with open(path, 'w') as f:
            f.write(textwrap.dedent(text))
        return path


class FrameFiles(ModuleTestCase):
    def test_names_from_file_and_code(self):
        zardel27.init(*init_args())
        here = sys._getframe()
        self.assertEqual(zardel27.get_frame_file(here), reported(here.f_code.co_filename))
        # Code without a file keeps its pseudo name.
        self.assertEqual(zardel27.get_frame_file(frame_of('<string>', {})), '<string>')
        # Relative names are made absolute from the current directory and normalised; a
        # namespace's __file__ (a str) wins over the code's name.
        os.chdir(self.root)
        self.assertEqual(zardel27.get_frame_file(frame_of('zmt_d/../zmt_x.pyc', {})),
                         os.path.join(self.root, 'zmt_x.py'))
        frame = frame_of('ignored.py', {'__file__': 'zmt_sub/./zmt_other.PYO'})
        self.assertEqual(zardel27.get_frame_file(frame),
                         os.path.join(self.root, 'zmt_sub', 'zmt_other.PY'))
        frame = frame_of('/abs/code.py', {'__file__': u'/unicode/file.py'})
        self.assertEqual(zardel27.get_frame_file(frame), '/abs/code.py')
        # __file__ serves only code whose own name is no file: code compiled from a string keeps
        # its pseudo name, and code of an existing file its file, in any module's namespace.
        module_file = os.path.join(self.root, 'zmt_module.py')
        self.assertEqual(zardel27.get_frame_file(frame_of('<string>', {'__file__': module_file})),
                         '<string>')
        other = self.write('zmt_other.py')
        self.assertEqual(zardel27.get_frame_file(frame_of(other, {'__file__': module_file})),
                         other)
        # Names at and past the path buffer's size.
        too_long = 'x' * 32000
        self.assertEqual(zardel27.get_frame_file(frame_of(too_long, {})), '<string>')
        longest = too_long[:-1]  # fits the buffer, but not once the folder is prefixed
        self.assertEqual(zardel27.get_frame_file(frame_of(longest, {})), longest)
        self.assertRaises(TypeError, zardel27.get_frame_file, here.f_code)
        self.assertRaises(TypeError, zardel27.get_frame_file)

    def test_code_keeps_the_file_it_was_loaded_from(self):
        # A module imported through a relative path entry while traced: its functions resolve
        # to the module's absolute file after the current directory and the caches changed.
        self.write('zmt_rel/zmt_relmod.py', '''
            import sys
            def here():
                return sys._getframe()
        ''')
        zardel27.init(*init_args())
        os.chdir(self.root)
        sys.path.insert(0, 'zmt_rel')
        module = armed(lambda: __import__('zmt_relmod'))
        self.assertEqual(module.__file__, 'zmt_rel/zmt_relmod.py')
        os.chdir('/')
        zardel27.reset()
        expected = os.path.join(self.root, 'zmt_rel', 'zmt_relmod.py')
        self.assertEqual(zardel27.get_frame_file(module.here()), expected)

    def test_code_compiled_elsewhere_takes_its_module_file(self):
        # A module whose code names a file that does not exist (compiled at another place):
        # every frame of it, methods of new-style classes (which registering the module does
        # not reach) included, is given the module's file, as get_frame_file gives it before.
        module = types.ModuleType('zmt_moved')
        module.__file__ = os.path.join(self.root, 'zmt_moved.py')
        exec compile('import sys\nclass New(object):\n    def here(self):\n'
                     '        return sys._getframe()\n', '/build/elsewhere/zmt_moved.py',
                     'exec') in module.__dict__
        zardel27.init(*init_args())
        self.assertEqual(zardel27.get_frame_file(module.New().here()), module.__file__)
        armed(lambda: zardel27.register_module(module))
        frame = armed(lambda: module.New().here())
        self.assertEqual(zardel27.get_frame_file(frame), module.__file__)

    def test_register_module(self):
        zardel27.init(*init_args())
        module = types.ModuleType('zmt_reg')
        module.__file__ = os.path.join(self.root, 'ZMT_REG.PYC')
        exec compile('import sys\ndef here():\n    return sys._getframe()\n',
                     '/elsewhere/code.py', 'exec') in module.__dict__
        self.assertEqual(zardel27.register_module(module), os.path.join(self.root, 'ZMT_REG.PY'))
        # Its functions are registered under the module's file.
        del module.__file__
        self.assertEqual(zardel27.get_frame_file(module.here()),
                         os.path.join(self.root, 'ZMT_REG.PY'))
        # Not those defined from a string or by another file run in its namespace.
        other = self.write('zmt_defs.py', 'import sys\ndef there():\n    return sys._getframe()\n')
        module = types.ModuleType('zmt_mixed')
        module.__file__ = os.path.join(self.root, 'zmt_mixed.py')
        exec 'import sys\ndef made():\n    return sys._getframe()\n' in module.__dict__
        execfile(other, module.__dict__)
        zardel27.register_module(module)
        del module.__file__  # the frames' files now come from the registrations alone
        self.assertEqual(zardel27.get_frame_file(module.made()), '<string>')
        self.assertEqual(zardel27.get_frame_file(module.there()), other)
        self.assertIsNone(zardel27.register_module(types.ModuleType('zmt_nofile')))
        self.assertIsNone(zardel27.register_module(sys))
        self.assertIsNone(zardel27.register_module(42))
        self.assertRaises(TypeError, zardel27.register_module)


class NewImports(ModuleTestCase):
    def test_imports_reloads_packages_and_strings(self):
        a = self.write('zmt_a.py', 'A = 1\n')
        init = self.write('zmt_pkg/__init__.py')
        sub = self.write('zmt_pkg/sub.py', 'exec "S = 2"\n')

        def program():
            import zmt_a, zmt_pkg.sub
            exec 'x = 1' in {}
            exec 'y = 2' in zmt_a.__dict__
            reload(zmt_a)
        zardel27.init(*init_args())
        self.assertEqual(zardel27.get_new_imports(), [])
        armed(program)
        self.assertEqual(zardel27.get_new_imports(), [a, init, sub, a])
        self.assertEqual(zardel27.get_new_imports(), [])

    def test_connect_module_scan(self):
        zardel27.init(*init_args())
        zardel27.connect_module_scan()
        names = zardel27.get_new_imports()
        expected = [reported(m.__file__) for m in sys.modules.values()
                    if isinstance(m, types.ModuleType) and type(m.__dict__.get('__file__')) is str]
        self.assertEqual(sorted(names), sorted(expected))
        self.assertIn(reported(os.__file__), names)
        self.assertFalse([n for n in names if n.startswith('<') or n.endswith('.pyc')])
        self.assertEqual(zardel27.get_new_imports(), [])

    def test_scan_at_start_without_argv(self):
        # Arming scans the loaded modules (calling the import callback for each) and the main
        # script named by sys.argv; an empty or missing argv is no error.
        seen = []
        zardel27.init(*init_args(import_cb=lambda module: seen.append(module.__name__)))
        saved = sys.argv
        try:
            sys.argv = []
            armed(lambda: None)
            del sys.argv
            armed(lambda: None)
        finally:
            sys.argv = saved
        self.assertEqual(seen.count('os'), 2)
        self.assertEqual(sys.exc_info(), (None, None, None))

    def test_before_init(self):
        status, out, err = run_python('''
            import sys, zardel27
            for name, args in [('get_frame_file', (sys._getframe(),)), ('register_module', (sys,)),
                               ('get_new_imports', ()), ('connect_module_scan', ())]:
                try:
                    getattr(zardel27, name)(*args)
                except RuntimeError as e:
                    print name, e
            print zardel27.import_hook('os.path', fromlist=['join'], level=0).__name__
        ''')
        self.assertEqual(err, '')
        lines = out.splitlines()
        self.assertEqual([l.split()[0] for l in lines[:4]],
                         ['get_frame_file', 'register_module', 'get_new_imports',
                          'connect_module_scan'])
        self.assertIn('init() first', lines[0])
        self.assertEqual(lines[4], 'posixpath')


class ImportCallback(ModuleTestCase):
    def setUp(self):
        ModuleTestCase.setUp(self)
        self.write('zmt_outer.py', 'OUTER = 1\n')
        self.write('zmt_inner.py', 'INNER = 1\n')

    def test_callback_does_not_see_its_own_imports(self):
        seen = []

        def callback(module):
            seen.append(module.__name__)
            import zmt_inner
        zardel27.init(*init_args(use_import_hook=1, import_cb=callback))
        import zmt_outer
        self.assertEqual(seen, ['zmt_outer'])
        self.assertIn('zmt_inner', sys.modules)
        zardel27.set_import_cb(None)
        import zmt_outer
        self.assertEqual(seen, ['zmt_outer'])
        zardel27.set_import_cb(callback)
        self.assertRaises(IndexError, zardel27.set_import_cb)
        import zmt_outer
        self.assertEqual(seen, ['zmt_outer', 'zmt_outer'])

    def test_failing_callback_leaves_the_import_alone(self):
        def callback(module):
            raise ValueError('callback failed')
        zardel27.init(*init_args(use_import_hook=1, import_cb=callback))
        import zmt_outer
        self.assertEqual(zmt_outer.OUTER, 1)
        self.assertEqual(sys.exc_info(), (None, None, None))
        self.assertEqual(zardel27.register_module(zmt_outer), reported(zmt_outer.__file__))

    def test_no_stepping_stops_in_the_callback(self):
        stops = []

        def line_cb(frame, changed):
            stops.append(frame.f_code.co_name)

        def callback(module):
            first = 1
            second = 2
        zardel27.init(*init_args(use_import_hook=1, import_cb=callback, line_cb=line_cb))
        zardel27.start_trace(0, ALL_FRAMES); zardel27.step_into()
        import zmt_outer
        zardel27.stop_trace()
        self.assertIn('<module>', stops)  # the module's code did stop
        self.assertNotIn('callback', stops)


class ImportCallbackDiagnostics(unittest.TestCase):
    leak_check = False

    def test_failure_printed_when_diagnostics_are_on(self):
        code = '''
            import __builtin__, ctypes, sys, zardel27
            def callback(module):
                raise ValueError('callback failed')
            zardel27.init(0, 0, 1, 0, 0, callback, callback, callback, callback, callback,
                          callback, __builtin__.__import__)
            import string
            print 'imported', string.__name__
            ctypes.c_int.in_dll(ctypes.PyDLL(zardel27.__file__), 'gUseDPrintf').value = 1
            import string
            print 'imported again'
        '''
        status, out, err = run_python(code)
        self.assertEqual((status, out), (0, 'imported string\nimported again\n'))
        self.assertEqual(err, 'Exception in import callback: exceptions.ValueError: '
                              'callback failed\n')


class LoadedModules(ModuleTestCase):
    def test_aliases_by_file_identity(self):
        real = self.write('zmt_real/mod.py')
        self.write('zmt_real/other.py')
        os.symlink(os.path.join(self.root, 'zmt_real'), os.path.join(self.root, 'zmt_link'))
        hooks.modules_setup()
        self.assertEqual(hooks.add_loaded(real + 'c'), 1)
        self.assertEqual(hooks.add_loaded(real), 0)
        self.assertEqual(hooks.find_module(real), (real, 1))
        alias = os.path.join(self.root, 'zmt_link', 'mod.py')
        self.assertEqual(hooks.find_module(alias), (real, 2))
        self.assertEqual(hooks.find_module(alias), (real, 2))
        self.assertEqual(hooks.find_module(os.path.join(self.root, 'zmt_real', 'other.py')),
                         (None, 2))
        self.assertEqual(hooks.find_module(os.path.join(self.root, 'zmt_missing.py')), (None, 2))
        hooks.modules_setup()


class ProgramBehaviour(ModuleTestCase):
    """Imports of every kind give the same results, errors and tracebacks with the hook in
    place, tracing running, as without it."""

    def setUp(self):
        ModuleTestCase.setUp(self)
        self.write('zmt_pkg2/__init__.py')
        self.write('zmt_pkg2/sibling.py', 'VALUE = 1\n')
        self.write('zmt_pkg2/user.py', '''
            from . import sibling
            from .sibling import VALUE
            from zmt_pkg2 import sibling as again
        ''')
        self.write('zmt_pkg2/broken.py', 'x = 1\nraise ValueError("broken at import")\n')

    def program(self):
        outcomes = []

        def record(run):
            try:
                result = run()
                outcomes.append(('ok', getattr(result, '__name__', result)))
            except Exception as e:
                tb = [(os.path.basename(f), line, fn)
                      for f, line, fn, text in traceback.extract_tb(sys.exc_info()[2])]
                outcomes.append((type(e).__name__, str(e), tb))
        package_globals = {'__name__': 'zmt_pkg2.user', '__package__': 'zmt_pkg2'}
        record(lambda: __import__('zmt_pkg2.user', fromlist=['VALUE']))
        record(lambda: __import__('zmt_pkg2', globals(), {}, ['sibling'], 0))
        record(lambda: __import__('sibling', package_globals, {}, ['VALUE'], level=1).VALUE)
        record(lambda: __import__(name='zmt_pkg2.sibling', fromlist=['x'], level=0))
        record(lambda: importlib.import_module('zmt_pkg2.sibling'))
        record(lambda: importlib.import_module('.user', 'zmt_pkg2'))
        record(lambda: __import__('zmt_no_such_module'))
        record(lambda: __import__('zmt_pkg2.broken'))
        record(lambda: __import__('zmt_pkg2', fromlist=['missing']).missing)
        record(lambda: __import__(u'zmt_pkg2', level='x'))
        return outcomes

    def forget_modules(self):
        for name in [n for n in sys.modules if n.startswith(PREFIX)]:
            del sys.modules[name]

    def test_same_results_with_the_hook(self):
        without = self.program()
        self.forget_modules()
        self.assertRaises(AssertionError, zardel27.init,
                          *init_args(use_import_hook=1, default_import=zardel27.import_hook))
        zardel27.init(*init_args(use_import_hook=1))
        self.assertIs(__builtin__.__import__, zardel27.import_hook)
        with_hook = armed(self.program)
        self.assertEqual(with_hook, without)
        self.assertEqual([o[0] for o in without],
                         ['ok'] * 6 + ['ImportError', 'ValueError', 'AttributeError',
                                       'TypeError'])
        self.assertIn(('broken.py', 2, '<module>'), without[7][2])

    def test_import_rearms_tracing_in_the_traced_thread(self):
        late = self.write('zmt_late.py', 'LATE = 1\n')

        def program():
            sys.settrace(None)  # the program drops the tracer's hook
            import zmt_late
            return zardel27.get_tracing()
        zardel27.init(*init_args(use_import_hook=1))
        self.assertEqual(armed(program), 1)
        self.assertIn(late, zardel27.get_new_imports())


if __name__ == '__main__':
    unittest.main()
