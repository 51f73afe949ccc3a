"""Host services of the tracer: waiting for input on a file and sockets, CopyIntoBuffer, the user
name and settings folder, writing f_locals back into a frame, and diagnostic printing."""
import array
import ctypes
import inspect
import mmap
import os
import pwd
import resource
import signal
import socket
import StringIO
import sys
import tempfile
import time
import unittest

import _dprintfprobe
import zardel27
from support import run_python

# A child that is to write "later" does so after this many seconds; a watchdog that turns a hang
# of a faulty wait into a wrong result writes after WATCHDOG seconds.
DELAY = 0.2
WATCHDOG = 3.0


class Fileno(object):
    """A socket stand-in: fileno() returns `result`, or raises it when it is an exception."""

    def __init__(self, result):
        self.result = result

    def fileno(self):
        if isinstance(self.result, Exception):
            raise self.result
        return self.result


class WaitForInput(unittest.TestCase):
    def pipe(self):
        """A pipe as (reading file object, writing file object), both closed after the test."""
        r, w = os.pipe()
        reader, writer = os.fdopen(r, 'r'), os.fdopen(w, 'w', 0)
        self.addCleanup(reader.close)
        self.addCleanup(writer.close)
        return reader, writer

    def socketpair(self):
        a, b = socket.socketpair()
        self.addCleanup(a.close)
        self.addCleanup(b.close)
        return a, b

    def write_later(self, fd, data, delay=DELAY):
        """Forks a child that writes `data` to `fd` after `delay` seconds. The test's cleanup
        kills and reaps it if it has not finished."""
        pid = os.fork()
        if pid == 0:
            try:
                time.sleep(delay)
                os.write(fd, data)
            finally:
                os._exit(0)

        def reap():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
            os.waitpid(pid, 0)
        self.addCleanup(reap)

    def test_buffered_characters_counted_without_waiting(self):
        reader, writer = self.pipe()
        writer.write('abc\ndef\n')
        writer.close()
        a, b = self.socketpair()
        b.send('cmd')
        self.assertEqual(reader.readline(), 'abc\n')
        # The rest sits in the stdio buffer, where poll() cannot see it; it wins over the
        # readable socket and over the end of file on the pipe.
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 4)

        # A pushed-back character that was not the last one read moves glibc to its backup
        # area; it counts together with the rest of the main buffer.
        as_file = ctypes.pythonapi.PyFile_AsFile
        as_file.restype, as_file.argtypes = ctypes.c_void_p, [ctypes.py_object]
        libc = ctypes.CDLL(None)
        libc.ungetc.argtypes = [ctypes.c_int, ctypes.c_void_p]
        self.assertEqual(libc.ungetc(ord('Z'), as_file(reader)), ord('Z'))
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 5)
        self.assertEqual(reader.read(), 'Zdef\n')

    def test_regular_file_and_end_of_file(self):
        f = tempfile.TemporaryFile()
        self.addCleanup(f.close)
        f.write('line one\nline two\n')
        f.seek(0)
        self.assertEqual(zardel27.WaitForInput(f, []), 1)  # readable, nothing buffered yet
        f.readline()
        self.assertEqual(zardel27.WaitForInput(f, []), len('line two\n'))
        f.readline()
        self.assertEqual(zardel27.WaitForInput(f, []), 1)  # end of file
        reader, writer = self.pipe()
        a, b = self.socketpair()
        writer.close()
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 1)
        self.assertEqual(reader.read(), '')

    def test_socket_input_first_then_keystroke(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        b.send('cmd')
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 0)
        self.assertEqual(a.recv(16), 'cmd')
        # The only writer left is the child: the wait ends by the keystroke or the child's end.
        self.write_later(writer.fileno(), 'k')
        writer.close()
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 1)
        self.assertEqual(reader.read(1), 'k')

    def test_socket_input_arrives_while_waiting(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        self.write_later(b.fileno(), 'cmd')
        b.close()
        self.assertEqual(zardel27.WaitForInput(reader, [a]), 0)
        self.assertEqual(a.recv(16), 'cmd')

    def test_empty_socket_list_watches_only_the_stream(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        b.send('not watched')
        self.write_later(writer.fileno(), 'k')
        writer.close()
        self.assertEqual(zardel27.WaitForInput(reader, []), 1)
        self.assertEqual(reader.read(1), 'k')

    def test_more_than_64_sockets_all_watched(self):
        reader, writer = self.pipe()
        pairs = [self.socketpair() for i in range(70)]
        pairs[-1][1].send('x')
        # Were the last socket not watched, the watchdog's keystroke would end the wait with 1.
        self.write_later(writer.fileno(), 'k', WATCHDOG)
        self.assertEqual(zardel27.WaitForInput(reader, [a for a, b in pairs]), 0)

    def test_repeated_descriptor_watched_once(self):
        # One socket named more often than the process may have descriptors: poll() refuses a
        # set larger than the descriptor limit, so each descriptor must be watched only once.
        reader, writer = self.pipe()
        a, b = self.socketpair()
        b.send('x')
        self.write_later(writer.fileno(), 'k', WATCHDOG)
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (256, hard))
        try:
            result = zardel27.WaitForInput(reader, [a] * 300 + [Fileno(a.fileno())] * 300)
        finally:
            resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        self.assertEqual(result, 0)

    def test_closed_descriptors(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        self.write_later(writer.fileno(), 'k', WATCHDOG)

        # A socket whose descriptor was closed behind its back.
        fd = os.dup(a.fileno())
        os.close(fd)
        self.assertEqual(zardel27.WaitForInput(reader, [a, Fileno(fd)]), -1)

        # A closed socket object answers fileno() with -1: it is not watched, the others are.
        c, d = self.socketpair()
        d.send('x')
        a.close()
        self.assertEqual(zardel27.WaitForInput(reader, [a, c]), 0)

        # The stream's own descriptor closed behind the file object.
        other, other_writer = self.pipe()
        fd = other.fileno()
        os.close(fd)
        try:
            self.assertEqual(zardel27.WaitForInput(other, []), -1)
        finally:
            os.dup2(writer.fileno(), fd)  # so that closing `other` closes a descriptor of ours

        # A closed file object has no stream.
        other.close()
        self.assertEqual(zardel27.WaitForInput(other, []), -1)

    def test_non_file_first_argument(self):
        a, b = self.socketpair()
        b.send('x')
        for thing in (42, None, StringIO.StringIO('text'), a):
            self.assertEqual(zardel27.WaitForInput(thing, [a]), -1)
            # An error left set behind a result would surface at the next end of iteration.
            self.assertEqual(list(iter([])), [])

    def test_argument_errors(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        self.assertRaises(TypeError, zardel27.WaitForInput, reader)
        self.assertRaises(TypeError, zardel27.WaitForInput, reader, (a,))
        self.assertRaises(TypeError, zardel27.WaitForInput, reader, None)
        self.assertRaises(AttributeError, zardel27.WaitForInput, reader, [a, object()])
        self.assertRaises(KeyError, zardel27.WaitForInput, reader, [Fileno(KeyError('k'))])
        self.assertRaises(TypeError, zardel27.WaitForInput, reader, [Fileno('3')])
        self.assertRaises(OverflowError, zardel27.WaitForInput, reader, [Fileno(2 ** 40)])

    def test_fileno_that_empties_the_list(self):
        reader, writer = self.pipe()
        a, b = self.socketpair()
        b.send('x')
        sockets = []

        class Emptier(object):
            def fileno(self):
                del sockets[:]
                return a.fileno()
        sockets.extend([Emptier(), a, a])
        self.assertEqual(zardel27.WaitForInput(reader, sockets), 0)


class CopyIntoBufferCrashes(unittest.TestCase):
    leak_check = False

    def test_offset_that_moves_or_unmaps_the_buffer(self):
        # The offset's __int__ may reallocate the target or unmap it. The copy must go into the
        # buffer as it is after the conversion: before, it wrote into freed or unmapped memory
        # and the interpreter died.
        status, out, err = run_python('''
            import array, mmap, zardel27
            class Offset(object):
                def __init__(self, action, value):
                    self.action, self.value = action, value
                def __int__(self):
                    self.action()
                    return self.value
            grown = array.array('c', '.' * 8)
            grow = lambda: grown.extend('+' * 100000)
            print zardel27.CopyIntoBuffer(grown, Offset(grow, 2), 'abc'), grown[:8].tostring(),
            print len(grown)
            unmapped = mmap.mmap(-1, 4096)
            try:
                zardel27.CopyIntoBuffer(unmapped, Offset(unmapped.close, 0), 'data')
            except TypeError:
                print 'refused'
        ''')
        self.assertEqual((status, out, err), (0, '3 ..abc... 100008\nrefused\n', ''))


class CopyIntoBuffer(unittest.TestCase):
    def test_offsets(self):
        data = 'abcdefghij'
        # (offset, bytes copied, buffer afterwards) for a 16-byte buffer of dots.
        cases = [
            (0, 10, 'abcdefghij......'),
            (5, 10, '.....abcdefghij.'),
            (12, 4, '............abcd'),
            (16, 0, '.' * 16),
            (17, 0, '.' * 16),
            (-1, 0, '.' * 16),
            (-(2 ** 31), 0, '.' * 16),
        ]
        for make in (bytearray, lambda text: array.array('c', text)):
            for offset, count, after in cases:
                buf = make('.' * 16)
                self.assertEqual(zardel27.CopyIntoBuffer(buf, offset, data), count)
                self.assertEqual(buf, make(after))

    def test_lengths_in_bytes_and_overlap(self):
        ints = array.array('i', [0, 0, 0, 0])
        self.assertEqual(zardel27.CopyIntoBuffer(ints, 12, '\x01' * 10), 4)
        self.assertEqual(list(ints), [0, 0, 0, 0x01010101])
        chars = array.array('c', 'abcdef')
        self.assertEqual(zardel27.CopyIntoBuffer(chars, 1, chars), 5)
        self.assertEqual(chars.tostring(), 'aabcde')

    def test_old_style_buffers_not_leaked_on_errors(self):
        # Objects that offer only the old buffer interface: a failure after the buffer was
        # taken must not keep a reference to it.
        targets = [array.array('c', '.' * 16), mmap.mmap(-1, 16)]
        for target, read in zip(targets, [array.array.tostring, lambda m: m[:]]):
            before = sys.getrefcount(target)
            for i in range(5):
                self.assertRaises(TypeError, zardel27.CopyIntoBuffer, target, 0, 5)
                self.assertRaises(TypeError, zardel27.CopyIntoBuffer, target, 'x', 'data')
            self.assertEqual(sys.getrefcount(target), before)
            self.assertEqual(zardel27.CopyIntoBuffer(target, 14, 'xyz'), 2)
            self.assertEqual(read(target)[14:], 'xy')
        targets[1].close()
        self.assertRaises(TypeError, zardel27.CopyIntoBuffer, targets[1], 0, 'x')

    def test_argument_errors(self):
        self.assertRaises(TypeError, zardel27.CopyIntoBuffer, 'read only', 0, 'x')
        self.assertRaises(TypeError, zardel27.CopyIntoBuffer, bytearray(4), 0, 5)
        self.assertRaises(TypeError, zardel27.CopyIntoBuffer, bytearray(4), '0', 'x')
        self.assertRaises(TypeError, zardel27.CopyIntoBuffer, bytearray(4), 0)


def stop_line(func):
    """Line number of the line of `func` marked with the comment "# stop"."""
    lines, first = inspect.getsourcelines(func)
    return first + [i for i, line in enumerate(lines) if '# stop' in line][0]


class LocalsToFast(unittest.TestCase):
    """A trace function installed with sys.settrace plays the debugger stopped at a line."""

    def run_stopped(self, func, at_stop):
        """Runs func(), calling at_stop(frame) when it reaches its "# stop" line."""
        code, line = func.__code__, stop_line(func)

        def trace(frame, event, arg):
            if frame.f_code is not code:
                return None
            if event == 'line' and frame.f_lineno == line:
                at_stop(frame)
            return trace
        sys.settrace(trace)
        try:
            return func()
        finally:
            sys.settrace(None)

    @staticmethod
    def target():
        value = 1
        other = 2
        result = (value, other)  # stop
        return result

    # The interpreter itself writes f_locals back when a Python trace function returns, so each
    # test also reads f_locals again inside the stop: that reloads the dictionary from the fast
    # locals, and shows what the fast locals held right after the call.

    def test_set_variable(self):
        seen = []

        def at_stop(frame):
            frame.f_locals['value'] = 42
            zardel27.locals_to_fast(frame)
            seen.append(frame.f_locals['value'])
        self.assertEqual(self.run_stopped(self.target, at_stop), (42, 2))
        self.assertEqual(seen, [42])

    def test_clear_flag(self):
        seen = []

        def at_stop(frame):
            del frame.f_locals['other']
            zardel27.PyFrame_LocalsToFast(frame, 0)
            seen.append(frame.f_locals.get('other'))
            del frame.f_locals['other']
            zardel27.PyFrame_LocalsToFast(frame, 1)
            seen.append(frame.f_locals.get('other'))
        self.assertRaises(UnboundLocalError, self.run_stopped, self.target, at_stop)
        self.assertEqual(seen, [2, None])

    def test_argument_errors(self):
        frame = sys._getframe()
        self.assertRaises(TypeError, zardel27.locals_to_fast)
        self.assertRaises(TypeError, zardel27.locals_to_fast, None)
        self.assertRaises(TypeError, zardel27.PyFrame_LocalsToFast, frame)
        self.assertRaises(TypeError, zardel27.PyFrame_LocalsToFast, frame, 'x')
        self.assertRaises(TypeError, zardel27.PyFrame_LocalsToFast, {}, 0)


class UserInfo(unittest.TestCase):
    def test_user_name_is_the_effective_users(self):
        expected = pwd.getpwuid(os.geteuid()).pw_name.decode(sys.getfilesystemencoding())
        name = zardel27.GetUserName()
        self.assertIsInstance(name, unicode)
        self.assertEqual(name, expected)
        self.assertEqual(zardel27.GetUserName(1, 'ignored'), expected)

    def test_app_data_path_takes_no_arguments(self):
        self.assertRaises(TypeError, zardel27.GetUserAppDataPath, 1)


class UserInfoFromEnvironment(unittest.TestCase):
    leak_check = False

    def run_child(self, expression, **env):
        status, out, err = run_python('import zardel27\nprint repr(%s)\n' % expression, env=env)
        self.assertEqual((status, err), (0, ''))
        return out.strip()

    def test_app_data_path(self):
        cases = [
            (dict(XDG_CONFIG_HOME='/srv/cfg', HOME='/home/ada'), "u'/srv/cfg'"),
            (dict(XDG_CONFIG_HOME=None, HOME='/home/ada'), "u'/home/ada/.config'"),
            (dict(XDG_CONFIG_HOME=None, HOME='/'), "u'/.config'"),
            (dict(XDG_CONFIG_HOME='', HOME='/home/ada'), "u'/home/ada/.config'"),
            (dict(XDG_CONFIG_HOME='cfg', HOME='/home/ada'), "u'/home/ada/.config'"),
            (dict(XDG_CONFIG_HOME='/srv/cfg', HOME=None), "u'/srv/cfg'"),
            (dict(XDG_CONFIG_HOME=None, HOME=None), 'None'),
            (dict(XDG_CONFIG_HOME=None, HOME=''), 'None'),
            (dict(XDG_CONFIG_HOME='/srv/\xc3\xa9t\xc3\xa9', LC_ALL='C.UTF-8'),
             "u'/srv/\\xe9t\\xe9'"),
            # Not in the file-system encoding (ASCII under LC_ALL=C): UTF-8 is tried next, and
            # bytes that are not UTF-8 either become U+FFFD. Never a decoding error.
            (dict(XDG_CONFIG_HOME='/srv/\xc3\xa9t\xc3\xa9', LC_ALL='C'), "u'/srv/\\xe9t\\xe9'"),
            (dict(XDG_CONFIG_HOME=None, HOME='/home/\xc3\xa9mile', LC_ALL='C'),
             "u'/home/\\xe9mile/.config'"),
            (dict(XDG_CONFIG_HOME=None, HOME='/home/\xe9mile', LC_ALL='C'),
             "u'/home/\\ufffdmile/.config'"),
            (dict(XDG_CONFIG_HOME='/srv/\xff', LC_ALL='C.UTF-8'), "u'/srv/\\ufffd'"),
        ]
        for env, expected in cases:
            self.assertEqual(self.run_child('zardel27.GetUserAppDataPath()', **env), expected,
                             env)

    def test_user_name_ignores_the_environment(self):
        expected = repr(pwd.getpwuid(os.geteuid()).pw_name.decode(sys.getfilesystemencoding()))
        self.assertEqual(self.run_child('zardel27.GetUserName()', USER='nobody-else',
                                        LOGNAME='nobody-else', HOME=None), expected)


class DiagnosticPrinting(unittest.TestCase):
    def setUp(self):
        self.saved = sys.stderr
        sys.stderr = self.out = StringIO.StringIO()

    def tearDown(self):
        sys.stderr = self.saved

    def test_writes_to_sys_stderr_keeping_the_pending_exception(self):
        _dprintfprobe.emit('hits', 7, 0)
        with self.assertRaises(ValueError) as cm:
            _dprintfprobe.emit('hits', 8, 1)
        self.assertEqual(str(cm.exception), 'pending')
        self.assertEqual(self.out.getvalue(), 'hits 7\nhits 8\n')

    def test_failing_or_missing_stderr(self):
        class Broken(object):
            def write(self, text):
                raise IOError('disk full')
        sys.stderr = Broken()
        self.assertIsNone(_dprintfprobe.emit('x', 1, 0))
        self.assertRaises(ValueError, _dprintfprobe.emit, 'x', 1, 1)
        del sys.stderr
        self.assertIsNone(_dprintfprobe.emit('x', 1, 0))

    def test_switch_exported_and_off(self):
        library = ctypes.CDLL(zardel27.__file__)
        self.assertEqual(ctypes.c_int.in_dll(library, 'gUseDPrintf').value, 0)


if __name__ == '__main__':
    unittest.main()
