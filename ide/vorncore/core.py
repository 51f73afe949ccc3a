"""The debugger core: runs a program under the tracer and models its stops.

A front end subclasses Core and overrides the user_* hooks, each called at a stop with
self.stop describing it; a hook returns once one of the resuming methods (set_step, set_next,
set_return, set_continue, set_until, set_quit, ...) has been called. Nothing here writes to a
terminal: requests the core refuses raise Error, and what a stop shows is data in Stop.
"""
from __future__ import absolute_import  # see the package's __init__
import imp
import os
import signal
import sys
import traceback
import types

import zardel27 as tracer

from vorncore import source
from vorncore.breakpoints import Breakpoints
from vorncore.errors import Error, Quit, Restart

# The exception modes the tracer knows, by name.
EXCEPTION_MODES = {'never': 0, 'always': 1, 'unhandled': 2}
# A frame number past any stack: tracing armed from there traces no running frame, and the
# next call event opens the debugged region.
NO_FRAME = 0xFFFFFF
# Leaving through sys.exit is how programs end, not a fault to stop at: nocatch keeps it.
ALWAYS_NEVER_STOP = (SystemExit,)
# Frames running the core's code belong to the debugger, not to the program.
CORE_GLOBALS = globals()
# The __main__ modules of the programs run, kept to the end of the process: the exit handlers a
# program registers run then and read its globals, which a freed module has set to None.
PROGRAM_MODULES = []


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
    arguments. Where making the instance fails, the raw value stays."""
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


def exception_name(exc_type):
    return exc_type if isinstance(exc_type, str) else getattr(exc_type, '__name__',
                                                              str(exc_type))


def traceback_lines(tb):
    """{frame: line} of the entries of a traceback."""
    lines = {}
    while tb is not None:
        lines[tb.tb_frame] = tb.tb_lineno
        tb = tb.tb_next
    return lines


class Stop(object):
    """One stop of the program.

    kind: 'line', 'call' (a function entered by stepping, before its first line runs),
    'return' (return_value holds what it returns), 'exception' (exc_info), 'uncaught' (an
    exception nothing catches, stopped at its raise point; post_mortem when the program has
    already ended). frames: the program's frames, outermost first; index: the selected one.
    breakpoints: the numbers of the breakpoints hit at this line (Core.stop_breakpoints tells
    which made the stop); consumed: the temporary ones it used up. interrupted: Ctrl-C asked for it."""

    def __init__(self, kind, frames, lines=None):
        self.kind = kind
        self.frames = frames
        self.index = len(frames) - 1
        self.lines = lines or {}
        self.exc_info = None
        self.return_value = None
        self.post_mortem = False
        self.interrupted = False
        self.breakpoints = []
        self.consumed = []

    @property
    def frame(self):
        return self.frames[self.index]

    def lineno(self, frame=None):
        """The line a frame is at for this stop: at an exception stop, the line the traceback
        gives for a frame the exception passed (which may have run on since, through a finally
        block), at a call stop its def line, else its current line."""
        frame = self.frame if frame is None else frame
        return self.lines.get(frame, frame.f_lineno)

    def entry(self, frame=None):
        """(filename, lineno, function name, source text) of a frame at this stop."""
        frame = self.frame if frame is None else frame
        lineno = self.lineno(frame)
        return (frame.f_code.co_filename, lineno, frame.f_code.co_name or '<lambda>',
                source.source_line(frame, lineno))

    def select(self, index):
        """Selects frame index (negative counts from the newest)."""
        if index < 0:
            index += len(self.frames)
        if not 0 <= index < len(self.frames):
            raise Error('No frame %d' % index)
        self.index = index

    def move(self, delta):
        """Selects the frame delta places away (negative: older), stopping at the ends of the
        stack; Error at an end already."""
        target = max(0, min(self.index + delta, len(self.frames) - 1))
        if target == self.index:
            raise Error('Oldest frame' if delta < 0 else 'Newest frame')
        self.index = target

    @property
    def exception(self):
        """The 'Type: value' line of the stop's exception, or None."""
        if self.exc_info is None:
            return None
        return describe_exception(self.exc_info[0], self.exc_info[1])


class Core(object):
    """The stop model and the runner. Front ends override the user_* hooks."""

    def __init__(self):
        self.breaks = Breakpoints(tracer)
        self.runner_frame = None     # the frame that runs the program; its callees are the program
        self.stop = None             # the Stop being shown, or None while the program runs
        self.program = None
        self.resumed = False         # a resuming method was called at this stop
        self.continuing = False      # the last resume was continue
        self.quitting = None         # after quit: the frames stopped in, which run no more
        self.quitting_exception = None
        self.reported = None         # the traceback entry of the last exception stop
        self.interrupted = False     # Ctrl-C asked for a stop
        self.until = None            # (frame, line) while until runs
        self.entered = None          # the frame whose call stop was shown and not yet left
        self.last_frames = ()        # the frames of the previous stop
        self.stepping_in = False
        self.exception_mode = EXCEPTION_MODES['unhandled']
        self.always_stop = ()
        self.never_stop = ALWAYS_NEVER_STOP
        self.idle_period = 0         # seconds between idle callbacks while it runs (0: none)

    # -- hooks for front ends ---------------------------------------------------------------

    def user_stop(self, stop):
        """Called at every stop with self.stop set; returns after a resuming method."""
        raise NotImplementedError

    def user_exit(self, status):
        """Called when the program has ended with exit status status."""

    # -- tracer callbacks -------------------------------------------------------------------

    def in_program(self, frame):
        f = frame.f_back
        while f is not None:
            if f is self.runner_frame:
                return True
            f = f.f_back
        return False

    def stops_here(self, frame, changed):
        """Takes the tracer's breakpoint report and says whether a stop in frame is one to show:
        the debugger's own frames never are, nor any after quit."""
        if self.quitting is not None:
            # The events of frames unwinding after quit or restart are no hits.
            self.breaks.update((changed[0], []) if changed else None)
            return None
        hits = self.breaks.update(changed)
        if not self.in_program(frame):
            tracer.stop_trace()
            return None
        if frame.f_globals is CORE_GLOBALS or frame.f_globals.get('__vorn_frontend__'):
            tracer.stop()
            return None
        return hits

    def quit_again(self, frame):
        """After quit, a line or return event of a frame that was stopped in means the program
        caught the Quit and runs on: the Quit is raised again there, before the line runs."""
        if self.quitting is not None and any(frame is f for f in self.quitting):
            raise self.quitting_exception

    def breaks_hit(self, frame, hits):
        """The numbers of the breakpoints hit at the frame's line (consumed temporary ones
        included); a conditional one among them may have been false."""
        consumed = set(b.number for b in self.breaks.consumed)
        found = []
        for number in hits:
            bp = self.breaks.by_number.get(number)
            if number in consumed or (bp is not None and bp.enabled and
                                      bp.lineno == frame.f_lineno):
                found.append(number)
        return found

    def stop_breakpoints(self, stop):
        """The numbers of the breakpoints that made a line stop: those hit whose conditions
        hold. Conditions are evaluated again here, only when asked (a front end running a
        breakpoint's commands): the tracer does not say which condition was true."""
        return self.conditions_hold(stop.frame, stop.breakpoints)

    def conditions_hold(self, frame, numbers):
        found = []
        for number in numbers:
            bp = self.breaks.by_number.get(number)
            if bp is not None and bp.cond:
                try:
                    if not eval(bp.cond, frame.f_globals, frame.f_locals):
                        continue
                except Exception:
                    pass  # a condition that fails stops, as in the tracer
            found.append(number)
        return found

    def line_cb(self, frame, changed):
        hits = self.stops_here(frame, changed)
        if hits is None:
            self.quit_again(frame)
            return
        breaks = self.breaks_hit(frame, hits)
        # Whether a breakpoint stops here matters while until runs and when a step enters a
        # function (a breakpoint's stop comes first); a false condition hit does not.
        stopping = breaks and (self.until is not None or self.stepping_in) and \
            self.conditions_hold(frame, breaks)
        if self.until is not None and not stopping and not self.interrupted:
            until_frame, until_line = self.until
            if frame is until_frame and frame.f_lineno <= until_line:
                tracer.step_over()
                return
        self.until = None
        frames = self.program_stack(frame)
        if (self.stepping_in and not stopping and len(frames) > 1 and
                not any(frame is f for f in self.last_frames) and
                frame.f_lineno == source.first_line(frame.f_code)):
            # Stepped into a function: first the call stop at its def, as pdb shows it.
            stop = Stop('call', frames, {frame: frame.f_code.co_firstlineno})
            stop.breakpoints = breaks
            if not self.show(stop) or not self.entered:
                return
            # Stepping on from the call stop: the first line has not run yet, stop there.
            self.entered = None
        stop = Stop('line', frames)
        stop.breakpoints = breaks
        stop.consumed = list(self.breaks.consumed)
        self.show(stop)

    def return_cb(self, frame, changed):
        if self.stops_here(frame, changed) is None:
            self.quit_again(frame)
            return
        self.until = None
        stop = Stop('return', self.program_stack(frame))
        stop.return_value = tracer.return_value() if hasattr(tracer, 'return_value') else None
        self.show(stop)

    def exception_cb(self, frame, exc_info, changed):
        if self.stops_here(frame, changed) is None:
            return
        # One exception is reported again in every frame it leaves; after continue, once is
        # enough.
        if self.continuing and self.was_reported(exc_info[2]):
            tracer.continue_run()
            return
        self.until = None
        self.reported = exc_info[2]
        stop = Stop('exception', self.program_stack(frame), traceback_lines(exc_info[2]))
        stop.exc_info = exc_info
        if self.continuing and self.stops_as_unhandled(exc_info[0]):
            stop.kind = 'uncaught'
        self.show(stop)

    def was_reported(self, tb):
        """Whether an exception with traceback tb is the one last stopped at: the traceback of
        an exception that leaves frames grows from the outside and keeps the entry it had where
        it was stopped at."""
        while tb is not None:
            if tb is self.reported:
                return True
            tb = tb.tb_next
        return False

    def stops_as_unhandled(self, exc_type):
        """Whether an exception stop met while running freely can only come from the unhandled
        mode: the mode is on and the type is not among those always stopped at."""
        return (self.exception_mode == EXCEPTION_MODES['unhandled'] and
                not among(exc_type, self.always_stop))

    def idle_cb(self):
        pass

    def quit_cb(self):
        tracer.stop_trace()

    def interrupt(self, signum, frame):
        """Ctrl-C while the program runs: stop it at its next line, as pdb does. Tracing taken
        off by a continue without breakpoints is put back first."""
        if self.stop is None and self.runner_frame is not None:
            self.interrupted = True
            self.continuing = False
            self.trace_again()
            tracer.stop()

    def trace_again(self):
        """Puts tracing back in the program's frames while it runs, when a continue without
        breakpoints took it off (the run control stays as it was)."""
        if self.runner_frame is not None and not tracer.get_tracing():
            # Frames are numbered from the outermost: the program's first is the one after
            # the runner's.
            depth, f = 0, self.runner_frame
            while f is not None:
                depth, f = depth + 1, f.f_back
            tracer.start_trace(depth, NO_FRAME)

    # -- stops ----------------------------------------------------------------------------

    def program_stack(self, frame):
        """The program's frames from its outermost to frame."""
        stack = []
        while frame is not None and frame is not self.runner_frame:
            stack.append(frame)
            frame = frame.f_back
        stack.reverse()
        return stack

    def show(self, stop):
        """Hands the stop to the front end; returns whether it resumed with a step into the
        stopped frame's first line (see set_step at a call stop)."""
        stop.interrupted, self.interrupted = self.interrupted, False
        self.stop = stop
        self.resumed = False
        self.entered = stop.frame if stop.kind == 'call' else None
        self.stepping_in = False
        try:
            self.user_stop(stop)
        finally:
            self.last_frames = tuple(stop.frames)
            self.stop = None
        return self.resumed

    def require_stop(self):
        if self.stop is None:
            raise Error('The program is not stopped')
        return self.stop

    # -- resuming -------------------------------------------------------------------------

    def resume(self, run_control):
        stop = self.require_stop()
        self.resumed = True
        if stop.post_mortem:
            return
        self.continuing = run_control is tracer.continue_run
        if stop.kind == 'call' and run_control in (tracer.step_into, tracer.step_over):
            return  # show() goes on to the first line's stop, which has not run yet
        self.entered = None
        run_control()

    def set_step(self):
        """Runs to the next event: into a function called, or the next line."""
        self.resume(tracer.step_into)
        self.stepping_in = True

    def set_next(self):
        """Runs to the next line of the stopped frame, or its return."""
        self.resume(tracer.step_over)

    def set_return(self):
        """Runs until the stopped frame returns."""
        stop = self.require_stop()
        if len(stop.frames) == 1 and stop.kind != 'return':
            # The program's outermost frame: the tracer's step out stops at its next line (no
            # caller of the program to stop in), so its lines are stepped over to its return.
            self.resume(tracer.step_over)
            if not stop.post_mortem:
                self.until = (stop.frames[0], sys.maxint)
            return
        self.resume(tracer.step_out)

    def set_continue(self):
        """Runs until a breakpoint or an exception stop. Without breakpoints tracing is taken
        off (the program runs at full speed); an exception that escapes still stops, at its
        raise point, once the program has ended, and Ctrl-C puts tracing back."""
        self.resume(tracer.continue_run)
        if self.stop.post_mortem:
            return
        if (not len(self.breaks) and not self.always_stop and
                self.exception_mode != EXCEPTION_MODES['always']):
            tracer.stop_trace()

    def set_until(self):
        """Runs until a line greater than the current one is reached in the stopped frame, or
        it returns."""
        stop = self.require_stop()
        frame = stop.frames[-1]
        self.resume(tracer.step_over)
        if not stop.post_mortem:
            self.until = (frame, stop.lineno(frame))

    def set_jump(self, lineno):
        """Makes the newest frame's next line lineno, as pdb's jump: only in the newest frame,
        only at a line stop, and within the limits the interpreter sets (not into or out of a
        loop or finally block). Error when refused."""
        stop = self.require_stop()
        if stop.index != len(stop.frames) - 1:
            raise Error('You can only jump within the bottom frame')
        if stop.kind not in ('line',) or stop.post_mortem:
            raise Error("can only jump from a 'line' stop")
        try:
            stop.frame.f_lineno = int(lineno)
        except ValueError, e:
            raise Error('Jump failed: %s' % e)

    def set_quit(self):
        """Ends the program at once: no more of the functions on its stack runs, whatever they
        catch. Raises Quit out of the stop (the hook lets it pass)."""
        stop = self.require_stop()
        self.resumed = True
        self.quitting = list(stop.frames)
        self.quitting_exception = Quit()
        if stop.post_mortem:
            return  # the program has ended: it ends quietly, as at a stop while it ran
        # Every later event calls back, so that a frame stopped in that runs on is caught.
        tracer.step_into()
        raise self.quitting_exception

    def set_restart(self):
        """Ends the program as quit does and runs it again, breakpoints kept."""
        stop = self.require_stop()
        self.resumed = True
        self.quitting = list(stop.frames)
        self.quitting_exception = Restart()
        if stop.post_mortem:
            return  # the program has ended: the runner starts it again
        tracer.step_into()
        raise self.quitting_exception

    def let_exception_end(self):
        """At an uncaught-exception stop: the exception ends the program as it would without
        the debugger."""
        self.require_stop()
        self.resumed = True
        tracer.stop_trace()

    # -- data ------------------------------------------------------------------------------

    def evaluate(self, expression, frame=None):
        """The value of expression in the selected frame (or frame); its exception passes."""
        frame = self.require_stop().frame if frame is None else frame
        return eval(expression.strip(), frame.f_globals, frame.f_locals)

    def execute(self, statement, displayhook=None, frame=None, stdin=None, stdout=None):
        """Executes statement in the selected frame (or frame). A function's locals assigned
        keep their new values when the program goes on. displayhook receives the values of
        expression statements; stdin and stdout stand in for sys's while it runs."""
        frame = self.require_stop().frame if frame is None else frame
        local_vars = frame.f_locals
        code = compile(statement + '\n', '<stdin>', 'single')
        saved = sys.stdout, sys.stdin, sys.displayhook
        try:
            if stdout is not None:
                sys.stdout = stdout
            if stdin is not None:
                sys.stdin = stdin
            if displayhook is not None:
                sys.displayhook = displayhook
            exec code in frame.f_globals, local_vars
        finally:
            sys.stdout, sys.stdin, sys.displayhook = saved
            tracer.locals_to_fast(frame)

    def locals_changed(self, frame=None):
        """Code a front end ran on the frame's f_locals (selected frame by default) changed
        them: the function's fast locals take the new values."""
        tracer.locals_to_fast(self.require_stop().frame if frame is None else frame)

    def frame_locals(self, frame=None):
        return (self.require_stop().frame if frame is None else frame).f_locals

    def frame_globals(self, frame=None):
        return (self.require_stop().frame if frame is None else frame).f_globals

    def arguments(self, frame=None):
        """[(name, value)] of the frame's function's arguments (value None and missing True
        where one is gone)."""
        frame = self.require_stop().frame if frame is None else frame
        code = frame.f_code
        count = code.co_argcount + bool(code.co_flags & 4) + bool(code.co_flags & 8)
        local_vars = frame.f_locals
        return [(name, local_vars.get(name, '*** undefined ***'))
                for name in code.co_varnames[:count]]

    # -- breakpoints ------------------------------------------------------------------------

    def current_file(self):
        if self.stop is not None:
            return os.path.abspath(self.stop.frame.f_code.co_filename)
        return self.program

    def find_file(self, name):
        """An absolute path for a file name: as given, beside the program, or on sys.path."""
        candidates = [name]
        if self.program:
            candidates.append(os.path.join(os.path.dirname(self.program), name))
        candidates += [os.path.join(d, name) for d in sys.path if d]
        for path in candidates:
            if os.path.isfile(path):
                return os.path.abspath(path)
        raise Error('%r not found from sys.path' % name)

    def locate(self, location):
        """(filename, line to stop at, line to show, function name) of a breakpoint location:
        FILE:LINE, LINE in the selected frame's file, FUNCTION or module.FUNCTION. A function
        need not exist yet: its def is found by reading the source, as pdb does."""
        location = location.strip()
        if ':' in location:
            filename, line = location.rsplit(':', 1)
            filename = self.find_file(filename.strip())
            return self.checked(filename, line)
        if location.isdigit():
            return self.checked(self.current_file(), location)
        func = None
        if self.stop is not None:
            try:
                func = self.evaluate(location)
            except Exception:
                func = None
        func = getattr(func, 'im_func', func)
        code = getattr(func, 'func_code', None)
        if code is not None:
            return (os.path.abspath(code.co_filename), source.first_body_line(code),
                    code.co_firstlineno, code.co_name)
        parts = location.split('.')
        if not all(p and (p[0].isalpha() or p[0] == '_') and p.replace('_', 'a').isalnum()
                   for p in parts):
            raise Error('The specified object %r is not a function' % location)
        funcname = parts[-1]
        if len(parts) > 1:
            filename = source.lookup_module('.'.join(parts[:-1]), self.program)
            if filename is None:
                raise Error('The specified object %r is not a function or was not found '
                            'along sys.path.' % location)
        else:
            filename = self.current_file()
        found = source.find_function(funcname, filename)
        if found is None:
            raise Error('The specified object %r is not a function or was not found '
                        'along sys.path.' % location)
        return filename, found[1], found[0], funcname

    def checked(self, filename, line):
        try:
            lineno = int(line)
        except ValueError:
            raise Error('Bad lineno: %s' % line.strip())
        why = source.is_blank_or_comment(filename, lineno)
        if why:
            raise Error(why)
        return filename, lineno, lineno, None

    def set_break(self, location, cond=None, temporary=False):
        """Sets a breakpoint at location (see locate); returns it."""
        if cond:
            try:
                compile(cond.strip(), '<condition>', 'eval')
            except SyntaxError, e:
                raise Error('Invalid condition %s: %s' % (cond.strip(), e.msg))
        filename, lineno, shown, funcname = self.locate(location)
        return self.breaks.add(filename, lineno, temporary, cond and cond.strip(), funcname,
                               shown)

    # -- exception filters ------------------------------------------------------------------

    def set_exception_mode(self, mode):
        if mode not in EXCEPTION_MODES:
            raise Error('exceptions takes never, always or unhandled')
        self.exception_mode = EXCEPTION_MODES[mode]
        tracer.set_exception_mode(self.exception_mode)

    def exception_mode_name(self):
        names = dict((v, k) for k, v in EXCEPTION_MODES.items())
        return names.get(self.exception_mode, 'never')

    def exception_types(self, names):
        """The exception classes named, looked up from the selected frame or builtins."""
        found = []
        for name in names:
            if self.stop is not None:
                value = self.evaluate(name)
            else:
                value = eval(name, {})
            found.append(value)
        return tuple(found)

    def set_catch(self, types):
        """Exceptions of these types always stop, even when a handler will catch them."""
        self.always_stop = tuple(types)
        tracer.set_always_stop_excepts(self.always_stop)

    def set_nocatch(self, types):
        """Exceptions of these types never stop (SystemExit always among them)."""
        types = tuple(types)
        self.never_stop = types + tuple(t for t in ALWAYS_NEVER_STOP if t not in types)
        tracer.set_never_stop_excepts(self.never_stop)

    def may_stop_at(self, exc_type):
        """Whether the exception settings allow a stop for an exception of exc_type."""
        return (self.exception_mode != EXCEPTION_MODES['never'] and
                not among(exc_type, self.never_stop))

    # -- running the program ----------------------------------------------------------------

    def run(self, program, args):
        """Runs program under the tracer as __main__ with args, again each time a stop asks for
        a restart; returns its exit status."""
        self.program = os.path.abspath(program)
        self.program_args = list(args)  # a restart may give new ones
        while True:
            try:
                status = self.run_once(program, self.program_args)
            except Restart:
                continue
            self.user_exit(status)
            return status

    def run_once(self, program, args):
        with open(self.program) as f:
            text = f.read()
        # Compiled with the interpreter's own flags: asserts run unless it was started to skip
        # them (-O, PYTHONOPTIMIZE), as the program would run without the debugger.
        try:
            code = compile(text + '\n', self.program, 'exec')
        except SyntaxError:
            # As the interpreter reports a program it cannot compile.
            traceback.print_exception(sys.exc_info()[0], sys.exc_info()[1], None)
            return 1
        return self.run_code(code, program, args)

    def run_code(self, code, program, args):
        main = imp.new_module('__main__')
        main.__dict__.update({'__file__': self.program, '__builtins__': __builtins__})
        PROGRAM_MODULES.append(main)
        saved = sys.argv[:], sys.path[0], sys.modules['__main__']
        sys.argv[:] = [program] + list(args)
        sys.path[0] = os.path.dirname(self.program)
        sys.modules['__main__'] = main
        self.init_tracer()
        self.breaks.restore()  # those kept over a restart
        previous_handler = signal.signal(signal.SIGINT, self.interrupt)
        try:
            return self.execute_program(code, main.__dict__)
        finally:
            signal.signal(signal.SIGINT, previous_handler)
            tracer.destroy()
            sys.argv[:], sys.path[0], sys.modules['__main__'] = saved

    def init_tracer(self):
        """Initialises the tracer afresh (no breakpoints) with the core's callbacks and
        exception settings."""
        use_hook = int(hasattr(tracer, 'import_hook'))
        tracer.init(self.idle_period, 0, use_hook, self.exception_mode, 1, self.idle_cb,
                    self.line_cb, self.return_cb, self.exception_cb, self.quit_cb, None, __import__)
        tracer.set_exception_mode(self.exception_mode)
        tracer.set_always_stop_excepts(self.always_stop)
        tracer.set_never_stop_excepts(self.never_stop)

    def execute_program(self, code, namespace):
        """Executes code under the tracer; the exit status it ends with."""
        self.runner_frame = sys._getframe()
        self.last_frames = ()
        self.stepping_in = False
        try:
            # The program's own frame, called next, opens the debugged region and its first line
            # stops. Both on one line: a line event of this frame in between would stop here.
            tracer.start_trace(NO_FRAME, NO_FRAME + 1); exec code in namespace
        except Restart:
            raise
        except Quit:
            return 0
        except SystemExit, e:
            tracer.stop_trace()
            return self.exit_status(e.code)
        except:
            tracer.stop_trace()
            exc_type, exc_value, tb = sys.exc_info()
            # After quit, what ends the program (an error in an __exit__ run on the way out)
            # is reported without a stop.
            if (self.quitting is None and not self.was_reported(tb) and
                    self.may_stop_at(exc_type)):
                self.stop_after_exception(exc_type, exc_value, tb)
                if isinstance(self.quitting_exception, Restart):
                    raise self.quitting_exception
                if self.quitting is not None:
                    return 0
            traceback.print_exception(exc_type, exc_value, tb.tb_next)
            return 1
        finally:
            tracer.stop_trace()
            self.runner_frame = None
            self.reported = None  # its traceback holds the program's frames
            self.quitting = self.quitting_exception = None
            self.until = None
        return 0

    def stop_after_exception(self, exc_type, exc_value, tb):
        """A stop at the raise point of an exception that ended the program, the frames still
        alive, when the tracer did not stop there itself (tracing was off, or the exception
        could only be known as escaping when it left)."""
        frames = []
        lines = traceback_lines(tb)
        while tb is not None:
            if tb.tb_frame is not self.runner_frame:
                frames.append(tb.tb_frame)
            tb = tb.tb_next
        if not frames:
            return
        stop = Stop('uncaught', frames, lines)
        stop.exc_info = (exc_type, exc_value, tb)
        stop.post_mortem = True
        self.show(stop)

    @staticmethod
    def exit_status(code):
        """The status a process ending with SystemExit(code) has."""
        if code is None:
            return 0
        if isinstance(code, int):
            return code
        sys.stderr.write('%s\n' % (code,))
        return 1
