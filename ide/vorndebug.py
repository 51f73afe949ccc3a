"""A command-line debugger for Python 2 programs on the native tracer zardel27.

    vorn debug [--commands FILE] [-c COMMAND]... PROGRAM [ARGS...]

It keeps pdb's commands and abbreviations, so a pdb user can drive it without reading docs, and
adds what pdb lacks: exception stopping by mode and by type lists, and assignments to locals of
a running function that stick. The program runs in this process with its own sys.argv and
__main__ module; its output goes where it would go, and the debugger ends with its exit status.

The tracer decides every stop natively and calls back here only at stops. Commands that need
parts of the tracer this build lacks (breakpoints, exception stopping) say so instead of failing.
"""
import __builtin__
import cmd
import dis
import imp
import linecache
import os
import pprint
import repr as reprlib
import signal
import sys
import traceback
import types

import zardel27

PROMPT = '(vorn) '
# The exception modes the tracer knows, by the names the `exceptions` command takes.
EXCEPTION_MODES = {'never': 0, 'always': 1, 'unhandled': 2}
# A frame number past any stack: tracing armed from there traces no running frame, and the
# next call event opens the debugged region.
NO_FRAME = 0xFFFFFF
# Leaving through sys.exit is how programs end, not a fault to stop at: `nocatch` keeps it.
ALWAYS_NEVER_STOP = (SystemExit,)
# Frames running this module's code belong to the debugger, not to the program.
DEBUGGER_GLOBALS = globals()
# The __main__ modules of the programs run, kept to the end of the process: the exit handlers a
# program registers run then and read its globals, which a freed module has set to None.
PROGRAM_MODULES = []


class Quit(BaseException):
    """Raised out of a stop to end the debugged program at once. Not an Exception, so that
    the program's `except Exception` lets it pass; the handlers that catch everything are
    dealt with while quitting (Debugger.quit_again)."""


def safe_repr(value):
    """repr of value cut to a readable length, never failing."""
    try:
        return reprlib.repr(value)
    except Exception:
        return '<unprintable %s object>' % type(value).__name__


def stop_location(frame, lineno):
    """pdb's location line of a frame at line lineno: file(line)function()."""
    name = frame.f_code.co_name or '<lambda>'
    return '%s(%d)%s()' % (frame.f_code.co_filename, lineno, name)


def source_line(frame, lineno):
    """The stripped source text of line lineno of the frame's file, or '' when it is not
    known."""
    return linecache.getline(frame.f_code.co_filename, lineno, frame.f_globals).strip()


def traceback_lines(tb):
    """{frame: line} of the entries of a traceback."""
    lines = {}
    while tb is not None:
        lines[tb.tb_frame] = tb.tb_lineno
        tb = tb.tb_next
    return lines


def keep_asserts(optimize):
    """Sets the interpreter's optimize flag and returns the one it had. The launcher starts the
    environment optimized, which drops assert statements; a program being debugged gets them
    back (flag 0), as python2.7 would run it. Where the flag cannot be reached (or optimize is
    None, the result of such a call) nothing changes and the result is None."""
    if optimize is None:
        return None
    try:
        import ctypes
        flag = ctypes.c_int.in_dll(ctypes.pythonapi, 'Py_OptimizeFlag')
    except (ImportError, ValueError, AttributeError):
        return None
    previous = flag.value
    flag.value = optimize
    setattr(__builtin__, '__debug__', not optimize)
    return previous


def among(exc_type, classes):
    """Whether exc_type is one of the classes or derives from one (False for what is no class,
    such as a string exception)."""
    try:
        return bool(classes) and issubclass(exc_type, classes)
    except TypeError:
        return False


def normalized(exc_type, exc_value):
    """The exception instance the interpreter makes of a raised (type, value) pair. A trace
    function sees what C code raised before that: None, a lone argument or a tuple of
    arguments (KeyError's key as ('missing',), OSError's (errno, text, file)). Where making
    the instance fails, the raw value stays."""
    if not isinstance(exc_type, (type, types.ClassType)) or isinstance(exc_value, exc_type):
        return exc_value
    if exc_value is None:
        args = ()
    elif isinstance(exc_value, tuple):
        args = exc_value
    else:
        args = (exc_value,)
    try:
        return exc_type(*args)
    except Exception:
        return exc_value


def describe_exception(exc_type, exc_value):
    """The last line of the interpreter's report of an exception: 'KeyError: 'missing''."""
    lines = traceback.format_exception_only(exc_type, normalized(exc_type, exc_value))
    return lines[-1].rstrip('\n')


def first_body_line(code):
    """The first line of a function's body that carries code: where a call of it first stops."""
    lines = [line for _, line in dis.findlinestarts(code) if line > code.co_firstlineno]
    return min(lines) if lines else code.co_firstlineno


class Breakpoint(object):
    """The debugger's view of one tracer breakpoint, kept current from the tracer's reports."""

    def __init__(self, number, filename, lineno, temporary, cond):
        self.number = number
        self.filename = filename
        self.lineno = lineno
        self.temporary = temporary
        self.cond = cond
        self.enabled = True
        self.ignore = 0
        self.hits = 0


class Debugger(cmd.Cmd):
    """The command loop run at every stop, and the callbacks the tracer calls."""

    def __init__(self, stdin=None, stdout=None):
        cmd.Cmd.__init__(self, stdin=stdin, stdout=stdout)
        self.prompt = PROMPT
        self.use_rawinput = stdin is None
        self.runner_frame = None     # the frame that runs the program; its callees are the program
        self.stack = []              # frames from the program's outermost to the stop's frame
        self.index = 0               # the selected frame in stack
        self.resume = False          # set by a command that lets the program go on
        self.post_mortem = False     # stopped after the program ended with an exception
        self.uncaught = False        # stopped for an exception that ends the program
        self.quitting = None         # after quit: the frames stopped in, which run no more
        self.quitting_exception = None  # the Quit they raise
        self.continuing = False      # the last command was continue
        self.reported = None         # the traceback entry of the last exception stop
        self.traceback_lines = {}    # frame -> line, at an exception stop: where it passed
        self.interrupted = False     # Ctrl-C asked for a stop
        self.breaks = {}             # breakpoint number -> Breakpoint
        self.last_listed = None
        if self.use_rawinput and sys.stdin.isatty():
            self.setup_readline()

    def setup_readline(self):
        """Command completion and history at the terminal, as cmd's own loop sets them up."""
        try:
            import readline
        except ImportError:
            return
        readline.set_completer(self.complete)
        readline.parse_and_bind(self.completekey + ': complete')

    # -- tracer callbacks -------------------------------------------------------------------

    def in_program(self, frame):
        """Whether frame was called, directly or not, from the frame that runs the program."""
        f = frame.f_back
        while f is not None:
            if f is self.runner_frame:
                return True
            f = f.f_back
        return False

    def stops_here(self, frame, changed):
        """Takes the tracer's breakpoint report and says whether a stop in frame is one to show:
        the debugger's own frames never are, nor any after quit. After the program, tracing
        ends; in the interrupt handler, the stop moves on to the program's next event."""
        self.update_breaks(changed)
        if not self.in_program(frame):
            zardel27.stop_trace()
            return False
        if frame.f_globals is DEBUGGER_GLOBALS:
            zardel27.stop()
            return False
        return self.quitting is None

    def quit_again(self, frame):
        """After quit, a line or return event of a frame that was stopped in means the program
        caught the Quit (a bare except, except BaseException, a with statement that swallows
        it) and runs on: the Quit is raised again there, before the line runs."""
        if self.quitting is not None and any(frame is f for f in self.quitting):
            raise self.quitting_exception

    def line_cb(self, frame, changed):
        if self.stops_here(frame, changed):
            self.interaction(frame)
        else:
            self.quit_again(frame)

    def return_cb(self, frame, changed):
        if self.stops_here(frame, changed):
            self.message('--Return--')
            self.interaction(frame)
        else:
            self.quit_again(frame)

    def exception_cb(self, frame, exc_info, changed):
        if not self.stops_here(frame, changed):
            return
        exc_type, exc_value = exc_info[0], exc_info[1]
        # One exception is reported again in every frame it leaves; after continue, once is
        # enough.
        if self.continuing and self.was_reported(exc_info[2]):
            zardel27.continue_run()
            return
        self.reported = exc_info[2]
        self.traceback_lines = traceback_lines(exc_info[2])
        self.message(describe_exception(exc_type, exc_value))
        if self.continuing and self.stops_as_unhandled(exc_type):
            self.message('Uncaught exception: stopped where it was raised.')
            self.uncaught = True
        self.interaction(frame)

    def was_reported(self, tb):
        """Whether an exception with traceback tb is the one last stopped at. Its value is no
        help: the interpreter may report a raise with the value not yet made an instance. But
        the traceback of an exception that leaves frames grows from the outside and keeps the
        entry it had where it was stopped at."""
        while tb is not None:
            if tb is self.reported:
                return True
            tb = tb.tb_next
        return False

    @staticmethod
    def stops_as_unhandled(exc_type):
        """Whether an exception stop met while running freely can only come from the unhandled
        mode, whose stops are at the raise points of exceptions no handler up the stack will
        catch: the mode is on and the type is not among those always stopped at."""
        if not hasattr(zardel27, 'get_always_stop_excepts'):
            return False
        return (zardel27.get_exception_mode() == EXCEPTION_MODES['unhandled'] and
                not among(exc_type, zardel27.get_always_stop_excepts()))

    def idle_cb(self):
        pass

    def quit_cb(self):
        # The program's outermost frame has returned: nothing of the debugger is to be traced.
        zardel27.stop_trace()

    def interrupt(self, signum, frame):
        """Ctrl-C while the program runs: stop it at its next line, as pdb does."""
        if not self.stack:
            self.interrupted = True
            zardel27.stop()

    # -- stops --------------------------------------------------------------------------------

    @staticmethod
    def exception_name(exc_type):
        return exc_type if isinstance(exc_type, str) else getattr(exc_type, '__name__',
                                                                  str(exc_type))

    def program_stack(self, frame):
        """The program's frames from its outermost to frame."""
        stack = []
        while frame is not None and frame is not self.runner_frame:
            stack.append(frame)
            frame = frame.f_back
        stack.reverse()
        return stack

    def interaction(self, frame, stack=None):
        """Shows the stop and reads commands until one lets the program go on."""
        self.stack = stack if stack is not None else self.program_stack(frame)
        self.index = len(self.stack) - 1
        self.last_listed = None
        self.resume = False
        if self.interrupted:
            self.interrupted = False
            self.message("Program interrupted. (Use 'cont' to resume).")
        self.print_entry(self.stack[self.index])
        try:
            while not self.resume:
                line = self.read_command()
                line = self.precmd(line)
                self.onecmd(line)
        finally:
            self.stack = []
            self.uncaught = False
            self.traceback_lines = {}

    def lineno(self, frame):
        """The line a frame is at for this stop: at an exception stop, the line the traceback
        gives for a frame the exception passed (which may have run on since, through a finally
        block, before the exception left the program), else its current line."""
        return self.traceback_lines.get(frame, frame.f_lineno)

    def read_command(self):
        """The next command: queued ones first (from --commands and -c), then the terminal."""
        if self.cmdqueue:
            line = self.cmdqueue.pop(0)
            self.stdout.write(self.prompt + line + '\n')
            return line
        if self.use_rawinput:
            try:
                return raw_input(self.prompt)
            except EOFError:
                self.stdout.write('\n')
                return 'EOF'
        self.stdout.write(self.prompt)
        self.stdout.flush()
        line = self.stdin.readline()
        if not line:
            self.stdout.write('\n')
            return 'EOF'
        return line.rstrip('\r\n')

    def onecmd(self, line):
        """Runs one command; an error in it is reported and the session goes on."""
        try:
            return cmd.Cmd.onecmd(self, line)
        except Exception:
            exc_type, exc_value = sys.exc_info()[:2]
            self.error(describe_exception(exc_type, exc_value))

    def message(self, text):
        self.end_program_line()
        self.stdout.write(text + '\n')

    def error(self, text):
        self.message('*** ' + text)

    def end_program_line(self):
        """Starts the debugger's text on a line of its own when a print statement of the
        program is half done, as the interpreter does before a traceback."""
        if getattr(self.stdout, 'softspace', 0):
            self.stdout.write('\n')
            self.stdout.softspace = 0

    def print_entry(self, frame, current=True):
        prefix = '> ' if current else '  '
        self.message(prefix + stop_location(frame, self.lineno(frame)))
        self.message('-> ' + source_line(frame, self.lineno(frame)))

    @property
    def frame(self):
        return self.stack[self.index]

    def go(self, run_control):
        """Ends the stop with one of the tracer's run-control commands."""
        if self.post_mortem:
            self.message('The program has ended; its exception is reported when you leave.')
            self.resume = True
            return
        self.continuing = run_control is zardel27.continue_run
        run_control()
        self.resume = True

    # -- running ------------------------------------------------------------------------------

    def do_step(self, arg):
        """s(tep)
        Execute the current line, stop at the first possible occasion (in a function that is
        called or on the next line)."""
        self.go(zardel27.step_into)
    do_s = do_step

    def do_next(self, arg):
        """n(ext)
        Continue until the next line in the current function is reached or it returns."""
        self.go(zardel27.step_over)
    do_n = do_next

    def do_return(self, arg):
        """r(eturn)
        Continue until the current function returns."""
        self.go(zardel27.step_out)
    do_r = do_return

    def do_continue(self, arg):
        """c(ont(inue))
        Continue execution, only stop when a breakpoint or an exception stop is met."""
        self.go(zardel27.continue_run)
    do_c = do_cont = do_continue

    def do_quit(self, arg):
        """q(uit) or exit
        Quit the debugger. The program is ended at once, with exit status 0: no more of the
        functions on the stack runs, whatever they catch (the __exit__ of their with
        statements still runs, and so do the exit handlers of the process)."""
        self.resume = True
        if self.post_mortem:
            return  # the program has ended; its exception is reported
        self.quitting = list(self.stack)
        self.quitting_exception = Quit()
        # Every later event calls back, so that a frame stopped in that runs on is caught.
        zardel27.step_into()
        raise self.quitting_exception
    do_q = do_exit = do_quit

    def do_EOF(self, arg):
        """End of input: quit. At a stop for an uncaught exception, that exception ends the
        program instead, as it would without the debugger: its traceback, exit status 1."""
        if self.uncaught:
            self.resume = True
            zardel27.stop_trace()  # the exception leaves the program untraced
            return
        self.do_quit(arg)

    # -- the stack ----------------------------------------------------------------------------

    def do_where(self, arg):
        """w(here)
        Print the stack, most recent frame last; '>' marks the selected frame."""
        for i, frame in enumerate(self.stack):
            self.print_entry(frame, i == self.index)
    do_w = do_bt = do_where

    def do_up(self, arg):
        """u(p) [count]
        Move the selected frame count levels (default one) up, to older frames."""
        self.move(-self.count(arg), 'Oldest frame')
    do_u = do_up

    def do_down(self, arg):
        """d(own) [count]
        Move the selected frame count levels (default one) down, to newer frames."""
        self.move(self.count(arg), 'Newest frame')
    do_d = do_down

    def count(self, arg):
        return int(arg) if arg.strip() else 1

    def move(self, delta, limit):
        """Selects the frame delta places away, stopping at the ends of the stack; at an end
        already, says so."""
        target = max(0, min(self.index + delta, len(self.stack) - 1))
        if target == self.index:
            self.error(limit)
            return
        self.index = target
        self.last_listed = None
        self.print_entry(self.frame)

    def do_list(self, arg):
        """l(ist) [first [,last]]
        List source code of the selected frame: eleven lines around the current line, or the
        next eleven after an earlier list, or the lines given."""
        frame = self.frame
        filename = frame.f_code.co_filename
        if arg.strip():
            parts = [int(p) for p in arg.split(',')]
            first = max(1, parts[0] - 5 if len(parts) == 1 else parts[0])
            last = first + 10 if len(parts) == 1 else parts[1]
            if len(parts) == 2 and last < first:
                last = first + last
        elif self.last_listed is None:
            first = max(1, self.lineno(frame) - 5)
            last = first + 10
        else:
            first = self.last_listed + 1
            last = first + 10
        breaks = set(b.lineno for b in self.breaks.values()
                     if os.path.abspath(b.filename) == os.path.abspath(filename))
        for lineno in range(first, last + 1):
            line = linecache.getline(filename, lineno, frame.f_globals)
            if not line:
                self.message('[EOF]')
                break
            s = repr(lineno).rjust(3)
            if len(s) < 4:
                s += ' '
            s += 'B' if lineno in breaks else ' '
            if lineno == self.lineno(frame):
                s += '->'
            self.message(s + '\t' + line.rstrip('\n'))
            self.last_listed = lineno
    do_l = do_list

    def do_args(self, arg):
        """a(rgs)
        Print the arguments of the selected frame's function."""
        code = self.frame.f_code
        count = code.co_argcount + bool(code.co_flags & 4) + bool(code.co_flags & 8)
        local_vars = self.frame.f_locals
        for name in code.co_varnames[:count]:
            self.message('%s = %s' % (name, safe_repr(local_vars.get(name, '*** undefined ***'))))
    do_a = do_args

    # -- looking at and changing data ---------------------------------------------------------

    def evaluate(self, expression):
        frame = self.frame
        return eval(expression.strip(), frame.f_globals, frame.f_locals)

    def do_p(self, arg):
        """p expression
        Print the value of the expression in the selected frame."""
        self.message(repr(self.evaluate(arg)))

    def do_pp(self, arg):
        """pp expression
        Pretty-print the value of the expression."""
        self.message(pprint.pformat(self.evaluate(arg)).rstrip())

    def default(self, line):
        """!statement, or any line that is not a command: run it in the selected frame. A
        function's locals assigned here keep their new values when the program goes on."""
        if line.startswith('!'):
            line = line[1:]
        frame = self.frame
        local_vars = frame.f_locals
        code = compile(line + '\n', '<stdin>', 'single')
        saved = sys.stdout, sys.stdin, sys.displayhook
        try:
            sys.stdout, sys.stdin = self.stdout, self.stdin
            sys.displayhook = lambda value: value is None or self.message(repr(value))
            exec code in frame.f_globals, local_vars
        finally:
            sys.stdout, sys.stdin, sys.displayhook = saved
            zardel27.locals_to_fast(frame)

    # -- breakpoints --------------------------------------------------------------------------

    def unsupported(self, command, *names):
        """Whether the tracer lacks one of the named methods; says so when it does."""
        missing = [n for n in names if not hasattr(zardel27, n)]
        if missing:
            self.error('%s is not supported by this tracer build yet (zardel27 has no %s)'
                       % (command, ', '.join(missing)))
        return bool(missing)

    def update_breaks(self, changed):
        """Applies the tracer's report of changed breakpoints: (deleted ids, 8-tuples)."""
        if not changed:
            return
        deleted, data = changed
        for number in deleted:
            self.breaks.pop(number, None)
        for filename, lineno, number, enabled, temporary, cond, ignore, hits in data:
            bp = self.breaks.get(number)
            if bp is not None:
                bp.enabled, bp.cond, bp.ignore, bp.hits = bool(enabled), cond, ignore, hits

    def locate(self, location):
        """(file, line) of a breakpoint location: FILE:LINE, LINE in the selected frame's file,
        or the name of a function visible from the selected frame."""
        location = location.strip()
        if ':' in location:
            filename, line = location.rsplit(':', 1)
            return self.find_file(filename.strip()), int(line)
        if location.isdigit():
            return self.current_file(), int(location)
        func = eval(location, self.frame.f_globals, self.frame.f_locals) if self.stack else None
        code = getattr(getattr(func, 'im_func', func), 'func_code', None)
        if code is None:
            raise ValueError('%r is not a function' % location)
        return code.co_filename, first_body_line(code)

    def current_file(self):
        return os.path.abspath(self.frame.f_code.co_filename) if self.stack else self.program

    def find_file(self, name):
        """An absolute path for a file name: as given, beside the program, or on sys.path."""
        candidates = [name, os.path.join(os.path.dirname(self.program), name)]
        candidates += [os.path.join(d, name) for d in sys.path if d]
        for path in candidates:
            if os.path.isfile(path):
                return os.path.abspath(path)
        raise ValueError('no file %r' % name)

    def set_break(self, arg, temporary):
        if not arg.strip():
            self.list_breaks()
            return
        if self.unsupported('tbreak' if temporary else 'break', 'set_break'):
            return
        where, _, cond = arg.partition(',')
        filename, lineno = self.locate(where)
        if not linecache.getline(filename, lineno):
            self.error('line %d of %s does not exist' % (lineno, filename))
            return
        cond = cond.strip() or None
        number = zardel27.set_break(filename, lineno, 1, int(temporary), cond, 0)
        self.breaks[number] = Breakpoint(number, filename, lineno, temporary, cond)
        self.message('%s %d at %s:%d' % ('Breakpoint' if not temporary else
                                         'Temporary breakpoint', number, filename, lineno))

    def do_break(self, arg):
        """b(reak) [FILE:LINE | LINE | FUNCTION] [, CONDITION]
        Set a breakpoint; it stops only when CONDITION, if given, is true. Without argument,
        list the breakpoints."""
        self.set_break(arg, False)
    do_b = do_break

    def do_tbreak(self, arg):
        """tbreak [FILE:LINE | LINE | FUNCTION] [, CONDITION]
        Set a temporary breakpoint, removed when first hit."""
        self.set_break(arg, True)

    def list_breaks(self):
        if not self.breaks:
            self.message('No breakpoints.')
            return
        self.message('Num Type         Disp Enb   Where')
        for number in sorted(self.breaks):
            bp = self.breaks[number]
            self.message('%-3d %-12s %-4s %-5s at %s:%d' % (
                number, 'breakpoint', 'del' if bp.temporary else 'keep',
                'yes' if bp.enabled else 'no', bp.filename, bp.lineno))
            if bp.cond:
                self.message('\tstop only if %s' % bp.cond)
            if bp.ignore:
                self.message('\twill ignore next %d hits' % bp.ignore)
            if bp.hits:
                self.message('\tbreakpoint already hit %d time%s' % (bp.hits,
                                                                  's' if bp.hits > 1 else ''))

    def numbered(self, arg):
        """The breakpoints named by the numbers in arg; reports unknown ones."""
        found = []
        for word in arg.split():
            try:
                found.append(self.breaks[int(word)])
            except (ValueError, KeyError):
                self.error('No breakpoint numbered %s' % word)
        return found

    def do_condition(self, arg):
        """condition NUMBER [CONDITION]
        Set a new condition for the breakpoint (and the others at its line); without one,
        make it unconditional."""
        if self.unsupported('condition', 'set_breaks_cond'):
            return
        number, _, cond = arg.strip().partition(' ')
        for bp in self.numbered(number):
            zardel27.set_breaks_cond(bp.filename, bp.lineno, cond.strip())
            bp.cond = cond.strip() or None
            self.message('Breakpoint %d is now %s.' % (
                bp.number, 'unconditional' if not bp.cond else 'conditional on ' + bp.cond))

    def do_ignore(self, arg):
        """ignore NUMBER COUNT
        Ignore the next COUNT hits of the breakpoint (and the others at its line)."""
        if self.unsupported('ignore', 'ignore_breaks'):
            return
        number, _, count = arg.strip().partition(' ')
        count = int(count or 0)
        for bp in self.numbered(number):
            zardel27.ignore_breaks(bp.filename, bp.lineno, count)
            bp.ignore = count
            self.message('Will ignore next %d crossings of breakpoint %d.' % (count, bp.number))

    def do_enable(self, arg):
        """enable NUMBER...
        Enable the breakpoints (and the others at their lines)."""
        self.enable(arg, True)

    def do_disable(self, arg):
        """disable NUMBER...
        Disable the breakpoints (and the others at their lines)."""
        self.enable(arg, False)

    def enable(self, arg, enabled):
        if self.unsupported('enable' if enabled else 'disable', 'enable_breaks'):
            return
        for bp in self.numbered(arg):
            zardel27.enable_breaks(bp.filename, bp.lineno, int(enabled))
            for other in self.breaks.values():
                if (other.filename, other.lineno) == (bp.filename, bp.lineno):
                    other.enabled = enabled
            self.message('%s breakpoint %d' % ('Enabled' if enabled else 'Disabled', bp.number))

    def do_clear(self, arg):
        """cl(ear) [NUMBER... | FILE:LINE]
        Delete the breakpoints given (with the others at their lines), or all of them."""
        if self.unsupported('clear', 'clear_breaks', 'clear_all_breaks'):
            return
        if not arg.strip():
            zardel27.clear_all_breaks()
            self.breaks.clear()
            self.message('Deleted all breakpoints')
            return
        if ':' in arg:
            places = [self.locate(arg)]
        else:
            places = [(bp.filename, bp.lineno) for bp in self.numbered(arg)]
        for filename, lineno in places:
            zardel27.clear_breaks(filename, lineno)
            for number, bp in sorted(self.breaks.items()):
                if (bp.filename, bp.lineno) == (filename, lineno):
                    del self.breaks[number]
                    self.message('Deleted breakpoint %d' % number)
    do_cl = do_clear

    # -- exception stopping -------------------------------------------------------------------

    def do_exceptions(self, arg):
        """exceptions [never | always | unhandled]
        When exceptions stop the program: never, always when raised, or when no handler up
        to the program's outermost frame will catch them (the default)."""
        if self.unsupported('exceptions', 'set_exception_mode', 'get_exception_mode'):
            return
        if arg.strip():
            if arg.strip() not in EXCEPTION_MODES:
                self.error('exceptions takes never, always or unhandled')
                return
            zardel27.set_exception_mode(EXCEPTION_MODES[arg.strip()])
        mode = zardel27.get_exception_mode()
        names = dict((v, k) for k, v in EXCEPTION_MODES.items())
        self.message('Exceptions stop: %s' % names.get(mode, 'never'))

    def exception_types(self, arg):
        """The exception classes named in arg, looked up from the selected frame or builtins."""
        types = []
        for name in arg.split():
            if self.stack:
                value = eval(name, self.frame.f_globals, self.frame.f_locals)
            else:
                value = eval(name, {})
            types.append(value)
        return tuple(types)

    def type_list(self, command, arg, setter, getter, title):
        if self.unsupported(command, setter, getter):
            return
        if arg.strip():
            types = self.exception_types(arg)
            if command == 'nocatch':
                types += tuple(t for t in ALWAYS_NEVER_STOP if t not in types)
            getattr(zardel27, setter)(types)
        names = [self.exception_name(t) for t in getattr(zardel27, getter)()]
        self.message('%s: %s' % (title, ', '.join(names) or '(none)'))

    def do_catch(self, arg):
        """catch TYPE...
        Always stop on these exception types, even when a handler will catch them."""
        self.type_list('catch', arg, 'set_always_stop_excepts', 'get_always_stop_excepts',
                       'Always stop on')

    def do_nocatch(self, arg):
        """nocatch TYPE...
        Never stop on these exception types."""
        self.type_list('nocatch', arg, 'set_never_stop_excepts', 'get_never_stop_excepts',
                       'Never stop on')

    # -- running the program ------------------------------------------------------------------

    def run(self, program, args):
        """Runs program under the tracer as __main__ with args; returns its exit status."""
        self.program = os.path.abspath(program)
        with open(self.program) as f:
            source = f.read()
        optimize = keep_asserts(0)
        try:
            try:
                code = compile(source + '\n', self.program, 'exec')
            except SyntaxError:
                # As the interpreter reports a program it cannot compile.
                traceback.print_exception(sys.exc_info()[0], sys.exc_info()[1], None)
                return 1
            return self.run_code(code, program, args)
        finally:
            keep_asserts(optimize)

    def run_code(self, code, program, args):
        """Runs code compiled from program as __main__ with args; returns its exit status."""
        main = imp.new_module('__main__')
        main.__dict__.update({'__file__': self.program, '__builtins__': __builtins__})
        PROGRAM_MODULES.append(main)
        saved = sys.argv[:], sys.path[0], sys.modules['__main__']
        sys.argv[:] = [program] + list(args)
        sys.path[0] = os.path.dirname(self.program)
        sys.modules['__main__'] = main
        use_hook = int(hasattr(zardel27, 'import_hook'))
        zardel27.init(0, 0, use_hook, EXCEPTION_MODES['unhandled'], 1, self.idle_cb,
                      self.line_cb, self.return_cb, self.exception_cb, self.quit_cb, None,
                      __import__)
        if hasattr(zardel27, 'set_never_stop_excepts'):
            zardel27.set_never_stop_excepts(ALWAYS_NEVER_STOP)
        previous_handler = signal.signal(signal.SIGINT, self.interrupt)
        try:
            return self.execute(code, main.__dict__)
        finally:
            signal.signal(signal.SIGINT, previous_handler)
            zardel27.destroy()
            sys.argv[:], sys.path[0], sys.modules['__main__'] = saved

    def execute(self, code, namespace):
        """Executes code under the tracer; the exit status it ends with."""
        self.runner_frame = sys._getframe()
        try:
            # The program's own frame, called next, opens the debugged region and its first line
            # stops. Both on one line: a line event of this frame in between would stop here.
            zardel27.start_trace(NO_FRAME, NO_FRAME + 1); exec code in namespace
        except Quit:
            return 0
        except SystemExit, e:
            zardel27.stop_trace()
            return self.exit_status(e.code)
        except:
            zardel27.stop_trace()
            exc_type, exc_value, tb = sys.exc_info()
            # After quit, what ends the program (an error in an __exit__ run on the way out)
            # is reported without a stop.
            if (self.quitting is None and not self.was_reported(tb) and
                    self.may_stop_at(exc_type)):
                self.stop_after_exception(exc_type, exc_value, tb)
            traceback.print_exception(exc_type, exc_value, tb.tb_next)
            return 1
        finally:
            zardel27.stop_trace()
            self.runner_frame = None
            self.reported = None  # its traceback holds the program's frames
            self.quitting = self.quitting_exception = None
        return 0

    @staticmethod
    def may_stop_at(exc_type):
        """Whether the exception settings allow a stop for an exception of exc_type: not in
        the never mode, not on the never-stop list."""
        if not hasattr(zardel27, 'get_never_stop_excepts'):
            return True
        return (zardel27.get_exception_mode() != EXCEPTION_MODES['never'] and
                not among(exc_type, zardel27.get_never_stop_excepts()))

    def stop_after_exception(self, exc_type, exc_value, tb):
        """A stop at the raise point of an exception that ended the program, the frames still
        alive for where, up and p, when the tracer did not stop there itself."""
        frames = []
        self.traceback_lines = traceback_lines(tb)
        while tb is not None:
            if tb.tb_frame is not self.runner_frame:
                frames.append(tb.tb_frame)
            tb = tb.tb_next
        if not frames:
            return
        self.message(describe_exception(exc_type, exc_value))
        self.message('Uncaught exception: stopped where it was raised.')
        self.post_mortem = self.uncaught = True
        try:
            self.interaction(frames[-1], frames)
        finally:
            self.post_mortem = False

    def exit_status(self, code):
        """The status a process ending with SystemExit(code) has."""
        if code is None:
            return 0
        if isinstance(code, int):
            return code
        sys.stderr.write('%s\n' % (code,))
        return 1


USAGE = """usage: vorn debug [--commands FILE] [-c COMMAND]... PROGRAM [ARGS...]

Runs the Python 2 program PROGRAM with ARGS under the debugger and stops at its first line.
Commands are read from FILE and each -c COMMAND first (in that order), then from the terminal.
The program keeps its own sys.argv, output and exit status; vorn debug exits with that status.

options:
  --commands FILE   run the debugger commands in FILE, one a line ('#' starts a comment)
  -c COMMAND        run COMMAND (repeat for several)
  -h, --help        show this help

commands (pdb's names and abbreviations; 'help COMMAND' at the prompt says more):
  s(tep) n(ext) r(eturn) c(ontinue)     run
  w(here) u(p) d(own) l(ist) a(rgs)     look at the stack and source
  p EXPR  pp EXPR  !STATEMENT           print and change data (locals stick)
  b(reak) tbreak condition ignore enable disable cl(ear)    breakpoints
  exceptions never|always|unhandled  catch TYPE...  nocatch TYPE...
  q(uit)
"""


def main(argv, stdin=None, stdout=None):
    """vorn debug with argv (the words after 'debug'); returns the exit status."""
    commands = []
    files = []
    i = 0
    while i < len(argv) and argv[i].startswith('-'):
        option = argv[i]
        if option in ('-h', '--help'):
            sys.stdout.write(USAGE)
            return 0
        if option == '--':
            i += 1
            break
        if option in ('--commands', '-c') and i + 1 < len(argv):
            if option == '-c':
                commands.append(argv[i + 1])
            else:
                files.append(argv[i + 1])
            i += 2
            continue
        sys.stderr.write('vorn debug: unknown option %s\n%s' % (option, USAGE))
        return 2
    if i >= len(argv):
        sys.stderr.write('vorn debug: no program given\n%s' % USAGE)
        return 2
    program, args = argv[i], argv[i + 1:]
    if not os.path.isfile(program):
        sys.stderr.write('vorn debug: no program %s\n' % program)
        return 2
    queued = []
    for path in files:
        try:
            with open(path) as f:
                for line in f:
                    line = line.strip()
                    if line and not line.startswith('#'):
                        queued.append(line)
        except IOError, e:
            sys.stderr.write('vorn debug: cannot read %s: %s\n' % (path, e.strerror))
            return 2
    debugger = Debugger(stdin=stdin, stdout=stdout)
    debugger.cmdqueue = queued + commands
    return debugger.run(program, args)


if __name__ == '__main__':
    # python2.7 -m vorndebug PROGRAM [ARGS...], the installation's bin on PYTHONPATH: the
    # debugger leaves the program's sys.path and sys.modules first.
    import vornrun
    sys.exit(vornrun.debug_here(main, sys.argv[1:], os.path.dirname(os.path.abspath(__file__))))
