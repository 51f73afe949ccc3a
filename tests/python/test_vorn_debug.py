"""`vorn debug` from the installation: command files against sample programs compared with
their expected transcripts, commands given with -c, the main script's options, and one session
at a pseudo-terminal as a user would drive it."""
import os
import pty
import re
import select
import signal
import subprocess
import sys
import time
import traceback
import unittest

from support import BUILD

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLES = os.path.join(HERE, 'debugger')
VORN = os.path.abspath(os.path.join(BUILD, 'install', 'bin', 'vorn'))
def sample(name):
    return os.path.join(SAMPLES, name)


def vorn(args, stdin=''):
    """Runs the installed quiet launcher; returns (status, stdout, stderr). The program runs
    under the interpreter running the tests."""
    environ = dict(os.environ)
    environ.pop('DISPLAY', None)
    if args[:1] == ['debug']:
        args = ['debug', '--python', sys.executable] + args[1:]
    proc = subprocess.Popen([VORN] + list(args), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=environ, cwd=SAMPLES)
    out, err = proc.communicate(stdin)
    return proc.returncode, out, err


@unittest.skipUnless(os.path.exists(VORN), 'the installation is not built')
class Transcripts(unittest.TestCase):
    leak_check = False
    maxDiff = None

    def check_transcript(self, name, status, program=None):
        code, out, err = vorn(['debug', '--commands', sample(name + '.cmds'),
                               sample((program or name) + '.py'), 'x', 'y'])
        with open(sample(name + '.out')) as f:
            expected = f.read()
        self.assertEqual(out.replace(SAMPLES, 'DIR'), expected)
        self.assertEqual(code, status, err)
        return err

    def test_stepping_in_over_and_out_with_a_local_changed(self):
        # scale() returns 100 instead of 2 after the assignment: 100 + 4 + 6 = 110, exit 110 % 7.
        self.assertEqual(self.check_transcript('stepping', 5), '')

    def test_uncaught_exception_stops_at_its_raise_point(self):
        err = self.check_transcript('crash', 1)
        self.assertTrue(err.startswith('Traceback (most recent call last):\n'), err)
        self.assertTrue(err.endswith('IndexError: list index out of range\n'), err)
        self.assertNotIn('vorndebug', err)

    def test_exceptions_the_program_catches_never_stop(self):
        # Caught by C code, generators being closed and a context manager: no stop at all.
        self.assertEqual(self.check_transcript('everyday', 0), '')

    def test_an_exception_escaping_through_c_code_and_finally_stops_once(self):
        # Reported when it leaves the program, after the finally block ran, at its raise point;
        # the frames it passed show the lines it passed.
        err = self.check_transcript('escaping', 1)
        self.assertTrue(err.endswith("KeyError: 'pear'\n"), err)

    def test_breakpoints_conditional_temporary_and_ignoring(self):
        # The conditional breakpoint stops for visit([0, 1, 2]) only, the loop's after four
        # ignored hits, the temporary one once; the listings follow the tracer's reports.
        self.assertEqual(self.check_transcript('breaks', 6), '')  # 20 % 7

    def test_later_pdb_commands_help_and_restart(self):
        # ll, display (shown again when the value changes), undisplay, source; help of
        # commands and of !; run with new arguments and restart, the breakpoints kept.
        self.assertEqual(self.check_transcript('later', 0, program='oracle'), '')

    def test_every_command_has_help(self):
        import vorndebug
        names = sorted(n[3:] for n in dir(vorndebug.Debugger) if n.startswith('do_'))
        code, out, err = vorn(['debug', sample('stepping.py')],
                              stdin=''.join('help %s\n' % n for n in names + ['!', 'exec']))
        self.assertEqual((code, err), (0, ''))
        self.assertNotIn('***', out)
        helps = out.split('(vorn) ')[1:-1]
        self.assertEqual(len(helps), len(names) + 2)
        for name, text in zip(names + ['!'], helps):
            self.assertTrue(text.strip(), name)
        code, out, err = vorn(['debug', sample('stepping.py')], stdin='help\n')
        self.assertNotIn('Undocumented', out)

    def test_typos_are_named_as_unknown_commands_and_statements_still_run(self):
        code, out, err = vorn(['debug', sample('stepping.py')], stdin=(
            'lisst 3\nfoo\nx = undefined_name\nfoo.bar\nprint nope\nimport os\np os.sep\n'))
        self.assertEqual(out.split('(vorn) ')[1:], [
            "*** Unknown command 'lisst'. Type 'help' for the commands; '!lisst 3' runs the "
            "line as a statement.\n",
            "*** Unknown command 'foo'. Type 'help' for the commands; '!foo' runs the line as "
            "a statement.\n",
            "*** NameError: name 'undefined_name' is not defined\n",
            "*** NameError: name 'foo' is not defined\n",
            "*** NameError: name 'nope' is not defined\n", '', "'/'\n", '\n'])

    def test_debug_steps_through_code_in_a_recursive_debugger(self):
        code, out, err = vorn(['debug', sample('stepping.py')], stdin=(
            'n\n' * 5 + 'debug scale(3, 4)\ns\nn\nn\np result\nc\np answer\nc\n'))
        self.assertEqual((code, err), (5, ''))
        self.assertIn('(vorn) ENTERING RECURSIVE DEBUGGER\n> <string>(1)<module>()\n'
                      '((vorn)) --Call--\n', out)
        self.assertIn('((vorn)) 12\n((vorn)) LEAVING RECURSIVE DEBUGGER\n(vorn) 12\n', out)

    def test_interact_and_ctrl_d_back_to_the_prompt(self):
        code, out, err = vorn(['debug', sample('stepping.py')],
                              stdin='n\ninteract\nprint sys.argv[1:] + ["inside"]\n')
        self.assertEqual(code, 0, err)
        self.assertIn("['inside']", out)
        self.assertIn('*interactive*', err)

    def test_quit_ends_a_program_that_catches_everything(self):
        # Quit at a stop under a bare except, an except BaseException, a with statement that
        # swallows everything and an except Exception with a finally: none of the handlers
        # runs and the program does not go on; the with statement's exit and the program's
        # exit handler (reading the program's globals) still run.
        self.assertEqual(self.check_transcript('catchall', 0), '')

    def test_exception_stops_describe_the_exception_as_the_interpreter_does(self):
        # The values C code raises are not yet exceptions when a stop reports them (a KeyError
        # holds its key in a tuple, an OSError its errno, text and file).
        namespace = {'__name__': 'raisers'}
        execfile(sample('raisers.py'), namespace)
        expected = []
        for attempt in namespace['ATTEMPTS']:
            try:
                attempt()
            except Exception:
                expected.append(traceback.format_exception_only(*sys.exc_info()[:2])[-1])
        code, out, err = vorn(['debug', sample('raisers.py')],
                              stdin='exceptions always\n' + 'c\n' * (len(expected) + 1))
        self.assertEqual((code, err), (0, ''))
        self.assertEqual(re.findall(r'\(vorn\) ([^\n]*\n)> ', out), expected)
        self.assertTrue(out.endswith('(vorn) done\n'), out)

    def test_end_of_input_at_an_uncaught_exception_lets_it_end_the_program(self):
        # At the stop for the exception nothing catches, end of input leaves the exception to
        # end the program: its traceback and status 1. Quit there ends it quietly, as does
        # end of input at a stop at the raise that does not claim the exception is uncaught.
        traceback_end = '    return int(fields[1])\nIndexError: list index out of range\n'
        for commands, status, report in (('c\n', 1, traceback_end), ('c\nq\n', 0, ''),
                                         ('exceptions always\nc\n', 0, '')):
            code, out, err = vorn(['debug', sample('crash.py')], stdin=commands)
            self.assertEqual(code, status, commands)
            self.assertTrue(err.endswith(report) and (err == '') == (report == ''),
                            (commands, err))
            self.assertIn('-> return int(fields[1])\n(vorn) ', out)

    def test_exception_commands(self):
        start = '> DIR/crash.py(1)<module>()\n-> def parse(text):\n(vorn) '
        # The IndexError nothing catches is on the never-stop list: no stop at it.
        code, out, err = vorn(['debug', sample('crash.py')],
                              stdin='exceptions\nexceptions sometimes\nnocatch IndexError\nc\n')
        self.assertEqual(out.replace(SAMPLES, 'DIR'), start + (
            'Exceptions stop: unhandled\n(vorn) '
            '*** exceptions takes never, always or unhandled\n(vorn) '
            'Never stop on: IndexError, SystemExit\n(vorn) loaded\n'))
        self.assertEqual(code, 1)
        self.assertTrue(err.endswith('IndexError: list index out of range\n'), err)
        # Always: the stop is at the raise, and does not claim that nothing will catch it; in
        # the never mode the exception leaves every frame without a stop.
        code, out, err = vorn(['debug', sample('crash.py')],
                              stdin='exceptions always\ncatch KeyError LookupError\nnocatch\nc\n'
                                    'exceptions never\nc\n')
        self.assertEqual(out.replace(SAMPLES, 'DIR'), start + (
            'Exceptions stop: always\n(vorn) Always stop on: KeyError, LookupError\n(vorn) '
            'Never stop on: SystemExit\n(vorn) loaded\nIndexError: list index out of range\n'
            '> DIR/crash.py(3)parse()\n-> return int(fields[1])\n(vorn) '
            'Exceptions stop: never\n(vorn) '))
        self.assertEqual(code, 1)

    def test_commands_from_c_options_follow_the_file_and_end_of_input_quits(self):
        code, out, err = vorn(['debug', '-c', 'n', '-c', 'p sys.argv, __name__',
                               '-c', 'p len(sys.modules) > 0', '-c', 'c',
                               sample('stepping.py'), '7'])
        self.assertEqual(code, 5, err)  # (2 + 4 + 6) % 7
        self.assertIn("(vorn) p sys.argv, __name__\n(['%s', '7'], '__main__')\n(vorn) p len"
                      % sample('stepping.py'), out)
        self.assertTrue(out.endswith("args: ['7']\nanswer: 12\n"), out)

        # Input ends at the first stop: the session quits and the program does not go on.
        code, out, err = vorn(['debug', sample('stepping.py')])
        self.assertEqual((code, err), (0, ''))
        self.assertNotIn('answer', out)
        self.assertTrue(out.endswith('-> import sys\n(vorn) \n'), out)

    def test_main_script_options_and_help(self):
        for args in (['--help'], ['help'], ['debug', '--help'], ['help', 'debug']):
            code, out, err = vorn(args)
            self.assertEqual((code, err), (0, ''), args)
            self.assertIn('debug', out)
        self.assertIn('--commands FILE', vorn(['help', 'debug'])[1])
        for args, message in ((['nosuch'], "unknown command 'nosuch'"),
                              (['debug'], 'no program given'),
                              (['debug', 'missing.py'], 'no program missing.py'),
                              (['debug', '--bad', 'x.py'], 'unknown option --bad'),
                              ([], 'usage: vorn')):
            code, out, err = vorn(args)
            self.assertEqual(code, 2, args)
            self.assertIn(message, err)


def pdb_session(program, commands):
    """pdb's output for the commands typed at its prompt; paths relative to SAMPLES."""
    proc = subprocess.Popen(['/usr/bin/python2.7', '-m', 'pdb', program], cwd=SAMPLES,
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    return proc.communicate(commands)[0]


# What pdb 2.7 and vorn debug still say differently, each mapped to one text.
PDB_ONLY = [
    # pdb's stack has its own frames below the program's (bdb.run and the exec'd string).
    (r'  /usr/lib/python2\.7/bdb\.py\(\d+\)run\(\)\n-> exec cmd in globals, locals\n', ''),
    (r'  <string>\(1\)<module>\(\)\n', ''),
    # pdb shows an error's value by repr, vorn as the interpreter's last line shows it.
    (r'\*\*\* (\w+): \1\("(.*)",\)', r'*** \1: \2'),
    # pdb runs the program again when it ends; vorn debug ends with it.
    (r'The program finished and will be restarted\n(.|\n)*', ''),
]
VORN_ONLY = [
    # vorn confirms enable and disable, and names what clear deleted (as later pdbs do).
    (r'(Enabled|Disabled) breakpoint \d+\n', ''),
    (r'Clear all breaks\? (Deleted breakpoint \d+\n)*', 'Clear all breaks? '),
    # A temporary breakpoint is called so when set.
    (r'Temporary breakpoint', 'Breakpoint'),
]


def normalized(text, substitutions, prompt):
    text = text.replace(prompt, '(P) ').replace(SAMPLES, 'DIR')
    for pattern, replacement in substitutions:
        text = re.sub(pattern, replacement, text)
    return text.rstrip('\n (P)')


@unittest.skipUnless(os.path.exists(VORN), 'the installation is not built')
class AgainstPdb(unittest.TestCase):
    """The same commands typed at pdb and at vorn debug on one program give the same stops,
    values and messages, but for the differences PDB_ONLY and VORN_ONLY name."""
    leak_check = False
    maxDiff = None

    def check(self, name):
        with open(sample(name + '.cmds')) as f:
            commands = f.read()
        theirs = normalized(pdb_session('oracle.py', commands), PDB_ONLY, '(Pdb) ')
        status, out, err = vorn(['debug', 'oracle.py'], stdin=commands)
        self.assertEqual((status, err), (0, ''))
        self.assertEqual(normalized(out, VORN_ONLY, '(vorn) '), theirs)
        return theirs

    def test_stepping_calls_returns_until_jump_and_aliases(self):
        # --Call-- and --Return-- stops with the value returned, retval, whatis, until over a
        # loop, jump refused outside the newest frame and done in it, aliases with arguments.
        seen = self.check('oracle_stepping')
        for text in ('--Call--', 'total()->12', '*** Not yet returned!',
                     '*** You can only jump within the bottom frame', 'Function scale'):
            self.assertIn(text, seen)

    def test_breakpoints_by_number(self):
        # Two breakpoints on one line, edited one at a time by number (disable, condition,
        # ignore, enable); a breakpoint by function name before its def ran and one in a
        # module not imported yet; blank and comment lines refused; a temporary breakpoint
        # deleted when it stops; commands with silent; clear asking first.
        seen = self.check('oracle_breaks')
        for text in ('*** Blank or comment', 'oracle_helper.py:4', 'Deleted breakpoint 6',
                     '\tstop only if v >= 2\n\tignore next 5 hits\n', 'Clear all breaks?'):
            self.assertIn(text, seen)


@unittest.skipUnless(os.path.exists(VORN), 'the installation is not built')
class TerminalSession(unittest.TestCase):
    leak_check = False

    def read_until(self, fd, text):
        """Reads the terminal until text has appeared; returns everything read, without the
        terminal control sequences readline writes."""
        seen = ''
        while text not in seen:
            ready, _, _ = select.select([fd], [], [], 30)
            self.assertTrue(ready, 'no %r in %r' % (text, seen))
            try:
                chunk = os.read(fd, 4096)
            except OSError:
                chunk = ''
            self.assertTrue(chunk, 'output ended before %r in %r' % (text, seen))
            seen = re.sub(r'\x1b\[[0-9;?]*[a-zA-Z]', '', seen + chunk)
        return seen

    def start(self, *args):
        """Starts vorn debug at a new terminal; returns (process id, terminal)."""
        pid, fd = pty.fork()
        if pid == 0:
            try:
                os.chdir(SAMPLES)
                os.execv(VORN, [VORN, 'debug', '--python', sys.executable] + list(args))
            finally:
                os._exit(127)
        return pid, fd

    def read_to_end(self, fd):
        seen = ''
        try:
            while True:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                seen += chunk
        except OSError:
            pass
        return seen

    def finish(self, pid, fd):
        """Waits for the session to end; returns its exit status. A session still running after
        30 seconds (a failed check left it at its prompt) is killed, so the suite goes on."""
        deadline = time.time() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                os.close(fd)
                return os.WEXITSTATUS(status)
            if time.time() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                os.close(fd)
                self.fail('the session did not end')
            time.sleep(0.05)

    def type(self, fd, keys, until='(vorn) '):
        """Types keys at the terminal; returns what it shows up to the next prompt."""
        os.write(fd, keys)
        return self.read_until(fd, until)

    def test_a_session_at_a_terminal(self):
        pid, fd = self.start('stepping.py', 'tty')
        try:
            self.read_until(fd, '-> import sys\r\n(vorn) ')
            seen = ''.join(self.type(fd, 'n\n') for _ in range(4))
            self.assertIn("args: ['tty']", seen)
            self.assertIn('--Call--\r\n> %s(9)total()' % sample('stepping.py'),
                          self.type(fd, 's\n'))
            self.assertIn('stepping.py(10)total()\r\n-> acc = 0', self.type(fd, 'n\n'))
            # Ctrl-C at the prompt drops the half-typed line for a fresh prompt.
            os.write(fd, 'p "never run"')
            self.read_until(fd, 'never run"')
            # A signal that comes while readline is still busy with the last key waits for
            # the next key (python2.7's readline checks for signals in its select only): a
            # user's Ctrl-C comes later than that.
            time.sleep(0.3)
            self.assertNotIn('never run', self.type(fd, '\x03'))
            self.assertIn('42\r\n(vorn) ', self.type(fd, 'p 6 * 7\n'))
            self.type(fd, 'n\n')
            self.type(fd, '!acc = 1\n')
            # Readline completes the command name.
            seen = self.type(fd, 'whe\t\n')
            self.assertIn('where', seen)
            self.assertIn('  %s(17)<module>()' % sample('stepping.py'), seen)
            os.write(fd, 'c\n')
            self.assertIn('answer: 13', self.read_to_end(fd))
        finally:
            status = self.finish(pid, fd)
        self.assertEqual(status, 6)  # (1 + 2 + 4 + 6) % 7

    def test_ctrl_c_stops_the_running_program_whose_asserts_run(self):
        pid, fd = self.start('interrupt.py')
        try:
            self.read_until(fd, '(vorn) ')
            self.type(fd, 'c\n', until='waiting')
            seen = self.type(fd, '\x03')
            self.assertIn("Program interrupted. (Use 'cont' to resume).\r\n> ", seen)
            self.assertRegexpMatches(seen, r'interrupt.py\([5-9]\)<module>\(\)')
            self.type(fd, '!running = False\n')
            os.write(fd, 'c\n')
            seen = self.read_to_end(fd)
            self.assertIn('stopped after looping: True\r\nassert statements run\r\n', seen)
        finally:
            status = self.finish(pid, fd)
        self.assertEqual(status, 0)


if __name__ == '__main__':
    unittest.main()
