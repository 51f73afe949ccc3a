"""A command-line debugger for Python 2 programs on the native tracer zardel27.

    vorn debug [--commands FILE] [-c COMMAND]... PROGRAM [ARGS...]

It keeps pdb's commands and abbreviations, so a pdb user can drive it without reading docs, and
adds what pdb lacks: exception stopping by mode and by type lists, and assignments to locals of
a running function that stick. The program runs in this process with its own sys.argv and
__main__ module; its output goes where it would go, and the debugger ends with its exit status.

This is the terminal front end: a cmd layer over the debugger core (vorncore), which runs the
program and models its stops; here the commands are parsed and the stops are written out.
"""
import cmd
import os
import pprint
import re
import repr as reprlib
import sys

import vorncore
from vorncore import source

# Frames running this module's code belong to the debugger, not to the program (the core
# leaves them untraced).
__vorn_frontend__ = True

PROMPT = '(vorn) '
# The commands that let the program go on: a breakpoint's command list ends with one.
RESUMING = ('continue', 'c', 'cont', 'step', 's', 'next', 'n', 'return', 'r', 'until', 'unt',
            'jump', 'j', 'quit', 'q', 'exit', 'run', 'restart')
# A line that reads as a command word and its arguments rather than a statement: a name
# alone, or followed by words (not by an assignment, a call, an attribute or an operator).
COMMAND_LIKE = re.compile(r'([A-Za-z_]\w*)(?:\s+[^\s=(.\[+\-*/%<>!&|^,:]|\s*$)')


def safe_repr(value):
    """repr of value cut to a readable length, never failing."""
    try:
        return reprlib.repr(value)
    except Exception:
        return '<unprintable %s object>' % type(value).__name__


def clean_doc(doc):
    """A docstring without the indentation of its later lines (inspect.cleandoc, without
    importing inspect at start-up)."""
    lines = doc.expandtabs().strip().split('\n')
    indents = [len(l) - len(l.lstrip()) for l in lines[1:] if l.strip()]
    margin = min(indents) if indents else 0
    return '\n'.join([lines[0]] + [l[margin:] for l in lines[1:]])


def whole_str(value):
    """str of value as print writes it, never failing."""
    try:
        return str(value)
    except Exception:
        return safe_repr(value)


class Debugger(vorncore.Core, cmd.Cmd):
    """The command loop run at every stop, on the debugger core."""

    def __init__(self, stdin=None, stdout=None):
        vorncore.Core.__init__(self)
        cmd.Cmd.__init__(self, stdin=stdin, stdout=stdout)
        self.prompt = PROMPT
        self.use_rawinput = stdin is None
        self.last_listed = None
        self.aliases = {}
        self.commands = {}          # breakpoint number -> its command lines
        self.commands_silent = {}
        self.commands_prompt = {}   # whether the stop prompts after the commands
        self.displays = {}          # frame -> [(expression, last value text)]
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

    # -- output --------------------------------------------------------------------------------

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

    def entry_text(self, frame, current=True):
        """pdb's two lines of a frame: '> file(line)function()' and '-> source'."""
        stop = self.stop
        filename, lineno, name, text = stop.entry(frame)
        returned = ''
        if stop.kind == 'return' and frame is stop.frames[-1]:
            returned = '->' + safe_repr(stop.return_value)
        return '%s%s(%d)%s()%s\n-> %s' % ('> ' if current else '  ', filename, lineno, name,
                                          returned, text)

    def print_entry(self, frame, current=True):
        self.message(self.entry_text(frame, current))

    # -- stops ---------------------------------------------------------------------------------

    def user_stop(self, stop):
        """Shows the stop and reads commands until one lets the program go on."""
        self.last_listed = None
        if stop.interrupted:
            self.message("Program interrupted. (Use 'cont' to resume).")
        for bp in stop.consumed:
            self.message('Deleted breakpoint %d' % bp.number)
        if stop.kind == 'call':
            self.message('--Call--')
        elif stop.kind == 'return':
            self.message('--Return--')
        elif stop.kind in ('exception', 'uncaught'):
            self.message(stop.exception)
            if stop.kind == 'uncaught':
                self.message('Uncaught exception: stopped where it was raised.')
        numbers = []
        if stop.kind == 'line' and any(n in self.commands for n in stop.breakpoints):
            numbers = [n for n in self.stop_breakpoints(stop) if n in self.commands]
        if numbers:
            number = numbers[0]
            for line in self.commands[number]:
                self.onecmd(self.precmd(line))
                if self.resumed:
                    return
            if not self.commands_silent.get(number):
                self.print_entry(stop.frame)
            if not self.commands_prompt.get(number, True):
                return
        else:
            self.print_entry(stop.frame)
        self.show_displays()
        self.command_loop()

    def command_loop(self):
        while not self.resumed:
            try:
                line = self.read_command()
            except KeyboardInterrupt:
                # Ctrl-C at the prompt: a fresh prompt.
                self.stdout.write('\n')
                continue
            try:
                self.onecmd(self.precmd(line))
            except KeyboardInterrupt:
                self.message('--KeyboardInterrupt--')

    def interrupt(self, signum, frame):
        """Ctrl-C: while the program runs, a stop at its next line; at the prompt or while a
        command runs, KeyboardInterrupt to the command loop."""
        if self.stop is not None:
            raise KeyboardInterrupt
        vorncore.Core.interrupt(self, signum, frame)

    def read_command(self):
        """The next command: queued ones first (from --commands and -c), then the terminal."""
        if self.cmdqueue:
            line = self.cmdqueue.pop(0)
            self.stdout.write(self.prompt + line + '\n')
            return line
        return self.read_line(self.prompt)

    def read_line(self, prompt):
        if self.use_rawinput:
            try:
                return raw_input(prompt)
            except EOFError:
                self.stdout.write('\n')
                return 'EOF'
        self.stdout.write(prompt)
        self.stdout.flush()
        line = self.stdin.readline()
        if not line:
            self.stdout.write('\n')
            return 'EOF'
        return line.rstrip('\r\n')

    def precmd(self, line):
        """Alias expansion and ';;' between commands, as pdb does them."""
        if not line.strip():
            return line
        args = line.split()
        seen = set()
        while args and args[0] in self.aliases and args[0] not in seen:
            seen.add(args[0])
            line = self.aliases[args[0]]
            for i, word in enumerate(args[1:], 1):
                line = line.replace('%' + str(i), word)
            line = line.replace('%*', ' '.join(args[1:]))
            args = line.split()
        if args and args[0] != 'alias':
            marker = line.find(';;')
            if marker >= 0:
                self.cmdqueue.insert(0, line[marker + 2:].lstrip())
                line = line[:marker].rstrip()
        return line

    def onecmd(self, line):
        """Runs one command; an error in it is reported and the session goes on."""
        try:
            return cmd.Cmd.onecmd(self, line)
        except vorncore.Error, e:
            self.error(str(e))
        except vorncore.Quit:
            raise
        except Exception:
            exc_type, exc_value = sys.exc_info()[:2]
            self.error(vorncore.describe_exception(exc_type, exc_value))

    def emptyline(self):
        # Repeats the last command, as pdb does; nothing before the first.
        if self.lastcmd:
            return self.onecmd(self.lastcmd)

    @property
    def frame(self):
        return self.stop.frame

    # -- running -------------------------------------------------------------------------------

    def post_mortem_note(self):
        if self.stop.post_mortem:
            self.message('The program has ended; its exception is reported when you leave.')

    def do_step(self, arg):
        """s(tep)
        Execute the current line, stop at the first possible occasion (in a function that is
        called or on the next line)."""
        self.post_mortem_note()
        self.set_step()
    do_s = do_step

    def do_next(self, arg):
        """n(ext)
        Continue until the next line in the current function is reached or it returns."""
        self.post_mortem_note()
        self.set_next()
    do_n = do_next

    def do_return(self, arg):
        """r(eturn)
        Continue until the current function returns."""
        self.post_mortem_note()
        self.set_return()
    do_r = do_return

    def do_continue(self, arg):
        """c(ont(inue))
        Continue execution, only stop when a breakpoint or an exception stop is met."""
        self.post_mortem_note()
        self.set_continue()
    do_c = do_cont = do_continue

    def do_until(self, arg):
        """unt(il)
        Continue until a line with a number greater than the current one is reached or the
        current frame returns."""
        self.post_mortem_note()
        self.set_until()
    do_unt = do_until

    def do_jump(self, arg):
        """j(ump) lineno
        Set the next line that will be executed (in the bottom frame only; not into or out of
        a loop or a finally block)."""
        try:
            lineno = int(arg)
        except ValueError:
            self.error("The 'jump' command requires a line number.")
            return
        self.set_jump(lineno)
        self.print_entry(self.frame)
    do_j = do_jump

    def do_quit(self, arg):
        """q(uit) or exit
        Quit the debugger. The program is ended at once, with exit status 0: no more of the
        functions on the stack runs, whatever they catch (the __exit__ of their with
        statements still runs, and so do the exit handlers of the process)."""
        self.set_quit()
    do_q = do_exit = do_quit

    def do_run(self, arg):
        """run [args...] or restart [args...]
        Restart the program from its first line, with the breakpoints and settings kept. With
        arguments, they replace the program's sys.argv[1:]."""
        if arg.strip():
            import shlex
            self.program_args = shlex.split(arg)
        self.message('Restarting %s with arguments:\n\t%s' % (self.program,
                                                             ' '.join(self.program_args)))
        self.set_restart()
    do_restart = do_run

    def do_EOF(self, arg):
        """End of input: quit. At a stop for an uncaught exception, that exception ends the
        program instead, as it would without the debugger: its traceback, exit status 1."""
        if self.stop.kind == 'uncaught':
            self.let_exception_end()
            return
        self.do_quit(arg)

    def do_debug(self, arg):
        """debug code
        Enter a recursive debugger that steps through the code argument (an expression or
        statement run in the selected frame's environment); 'q' or the end of the code leave
        it. The recursive debugger is pdb's, running the code in a thread of its own: the
        tracer serves the program, stopped here."""
        import pdb
        import threading
        frame = self.frame
        nested = pdb.Pdb(stdin=self.stdin if not self.use_rawinput else None,
                         stdout=self.stdout)
        nested.prompt = '(%s) ' % self.prompt.strip()
        nested.use_rawinput = self.use_rawinput
        nested.cmdqueue = self.cmdqueue  # queued commands go on in the recursive debugger
        failed = []

        def run():
            try:
                nested.run(arg, frame.f_globals, frame.f_locals)
            except Exception:
                failed.append(sys.exc_info()[:2])

        self.message('ENTERING RECURSIVE DEBUGGER')
        thread = threading.Thread(target=run, name='vorn debug')
        thread.start()
        thread.join()
        self.message('LEAVING RECURSIVE DEBUGGER')
        self.locals_changed(frame)
        if failed:
            self.error(vorncore.describe_exception(*failed[0]))

    # -- the stack -----------------------------------------------------------------------------

    def do_where(self, arg):
        """w(here)
        Print the stack, most recent frame last; '>' marks the selected frame."""
        for i, frame in enumerate(self.stop.frames):
            self.print_entry(frame, i == self.stop.index)
    do_w = do_bt = do_where

    def do_up(self, arg):
        """u(p) [count]
        Move the selected frame count levels (default one) up, to older frames."""
        self.stop.move(-self.count(arg))
        self.last_listed = None
        self.print_entry(self.frame)
    do_u = do_up

    def do_down(self, arg):
        """d(own) [count]
        Move the selected frame count levels (default one) down, to newer frames."""
        self.stop.move(self.count(arg))
        self.last_listed = None
        self.print_entry(self.frame)
    do_d = do_down

    @staticmethod
    def count(arg):
        return int(arg) if arg.strip() else 1

    def list_lines(self, first, last, filename, frame_globals, current=None):
        breaks = set(bp.shown_lineno for bp in self.breaks
                     if os.path.abspath(bp.filename) == os.path.abspath(filename))
        for lineno in range(first, last + 1):
            line = source.getline(filename, lineno, frame_globals)
            if not line:
                self.message('[EOF]')
                break
            s = repr(lineno).rjust(3)
            if len(s) < 4:
                s += ' '
            s += 'B' if lineno in breaks else ' '
            if lineno == current:
                s += '->'
            self.message(s + '\t' + line.rstrip('\n'))
            self.last_listed = lineno

    def do_list(self, arg):
        """l(ist) [first [,last]]
        List source code of the selected frame: eleven lines around the current line, or the
        next eleven after an earlier list, or the lines given."""
        frame = self.frame
        lineno = self.stop.lineno(frame)
        if arg.strip():
            parts = [int(p) for p in arg.split(',')]
            first = max(1, parts[0] - 5 if len(parts) == 1 else parts[0])
            last = first + 10 if len(parts) == 1 else parts[1]
            if len(parts) == 2 and last < first:
                last = first + last
        elif self.last_listed is None:
            first = max(1, lineno - 5)
            last = first + 10
        else:
            first = self.last_listed + 1
            last = first + 10
        self.list_lines(first, last, frame.f_code.co_filename, frame.f_globals, lineno)
    do_l = do_list

    def do_longlist(self, arg):
        """ll | longlist
        List the whole source of the selected frame's function (or module)."""
        frame = self.frame
        try:
            first, last = source.function_range(frame)
        except LookupError, e:
            self.error(str(e))
            return
        self.list_lines(first, last, frame.f_code.co_filename, frame.f_globals,
                        self.stop.lineno(frame))
    do_ll = do_longlist

    def do_source(self, arg):
        """source expression
        List the source of the object (module, class, function, method) expression names."""
        try:
            first, lines = source.object_source(self.evaluate(arg))
        except LookupError, e:
            self.error(str(e))
            return
        for i, line in enumerate(lines):
            self.message('%-4d\t%s' % (first + i, line.rstrip('\n')))

    def do_args(self, arg):
        """a(rgs)
        Print the arguments of the selected frame's function."""
        for name, value in self.arguments():
            self.message('%s = %s' % (name, whole_str(value)))
    do_a = do_args

    def do_retval(self, arg):
        """retval | rv
        Print the value the function returns, at a return stop."""
        if self.stop.kind != 'return' or self.frame is not self.stop.frames[-1]:
            self.error('Not yet returned!')
            return
        self.message(whole_str(self.stop.return_value))
    do_rv = do_retval

    # -- looking at and changing data ----------------------------------------------------------

    def do_p(self, arg):
        """p expression
        Print the value of the expression in the selected frame."""
        self.message(repr(self.evaluate(arg)))

    def do_pp(self, arg):
        """pp expression
        Pretty-print the value of the expression."""
        self.message(pprint.pformat(self.evaluate(arg)).rstrip())

    def do_whatis(self, arg):
        """whatis expression
        Print the type of the expression's value."""
        value = self.evaluate(arg)
        code = getattr(value, 'func_code', None)
        if code is not None:
            self.message('Function %s' % code.co_name)
            return
        code = getattr(getattr(value, 'im_func', None), 'func_code', None)
        if code is not None:
            self.message('Method %s' % code.co_name)
            return
        self.message(str(type(value)))

    def do_display(self, arg):
        """display [expression]
        Show the expression's value now and whenever it changes at a stop in this frame; alone,
        list the expressions displayed here."""
        shown = self.displays.setdefault(self.frame, [])
        if not arg.strip():
            self.message('Currently displaying:')
            for expression, text in shown:
                self.message('%s: %s' % (expression, text))
            return
        text = self.display_value(arg.strip())
        shown[:] = [(e, t) for e, t in shown if e != arg.strip()] + [(arg.strip(), text)]
        self.message('display %s: %s' % (arg.strip(), text))

    def do_undisplay(self, arg):
        """undisplay [expression]
        Stop displaying the expression in this frame; alone, all of them."""
        shown = self.displays.get(self.frame, [])
        if not arg.strip():
            shown[:] = []
        elif any(e == arg.strip() for e, _ in shown):
            shown[:] = [(e, t) for e, t in shown if e != arg.strip()]
        else:
            self.error('not displaying %s' % arg.strip())

    def display_value(self, expression):
        try:
            return repr(self.evaluate(expression))
        except Exception:
            exc_type, exc_value = sys.exc_info()[:2]
            return '** raised %s **' % vorncore.describe_exception(exc_type, exc_value)

    def show_displays(self):
        for frame in list(self.displays):
            if frame not in self.stop.frames:
                del self.displays[frame]  # a frame that has ended
        shown = self.displays.get(self.frame, [])
        for i, (expression, old) in enumerate(shown):
            new = self.display_value(expression)
            if new != old:
                self.message('display %s: %s  [old: %s]' % (expression, new, old))
                shown[i] = (expression, new)

    def do_interact(self, arg):
        """interact
        Start an interactive interpreter whose namespace holds the selected frame's globals
        and locals (assignments there do not change the program)."""
        import code
        namespace = dict(self.frame_globals())
        namespace.update(self.frame_locals())
        code.interact('*interactive*', local=namespace)

    def default(self, line):
        """!statement, or any line that is not a command: run it in the selected frame. A
        function's locals assigned here keep their new values when the program goes on. A line
        that only looks like a mistyped command is reported as one."""
        statement = line[1:] if line.startswith('!') else line
        try:
            self.execute(statement, self.displayhook, stdin=self.stdin, stdout=self.stdout)
        except (NameError, SyntaxError), e:
            match = COMMAND_LIKE.match(line)
            word = match and match.group(1)
            if (word and self.unknown_name(word) and
                    (isinstance(e, SyntaxError) or "'%s'" % word in str(e))):
                self.error("Unknown command %r. Type 'help' for the commands; '!%s' runs the "
                           "line as a statement." % (word, line))
                return
            raise

    def unknown_name(self, word):
        """Whether word names nothing in the selected frame: a line starting with it is a
        mistyped command rather than a statement."""
        import __builtin__
        return (word not in self.frame_locals() and word not in self.frame_globals() and
                not hasattr(__builtin__, word) and word not in ('print', 'exec', 'del',
                                                               'global', 'import', 'from',
                                                               'assert', 'raise', 'pass',
                                                               'if', 'for', 'while', 'lambda',
                                                               'not', 'yield', 'class', 'def',
                                                               'try', 'with'))

    def displayhook(self, value):
        if value is not None:
            self.message(repr(value))

    # -- aliases and breakpoint commands -------------------------------------------------------

    def do_alias(self, arg):
        """alias [name [command [parameter parameter ...]]]
        Create an alias called 'name' that executes 'command' (%1, %2... stand for the
        parameters, %* for all of them). Without command, show the alias; without arguments,
        list all aliases."""
        args = arg.split()
        if not args:
            for name in sorted(self.aliases):
                self.message('%s = %s' % (name, self.aliases[name]))
            return
        if len(args) == 1:
            if args[0] in self.aliases:
                self.message('%s = %s' % (args[0], self.aliases[args[0]]))
            return
        self.aliases[args[0]] = ' '.join(args[1:])

    def do_unalias(self, arg):
        """unalias name
        Delete the specified alias."""
        args = arg.split()
        if args:
            self.aliases.pop(args[0], None)

    def do_commands(self, arg):
        """commands [bpnumber]
        (com) ...
        (com) end
        Give commands to run when breakpoint bpnumber (default the last one set) stops the
        program, one a line, ending with 'end'. 'silent' among them leaves the stop's location
        unprinted; a command that resumes (continue, step, next...) ends the list."""
        if arg.strip():
            number = self.breaks.get(arg.strip()).number
        elif len(self.breaks):
            number = max(bp.number for bp in self.breaks)
        else:
            self.error('No breakpoints.')
            return
        lines, silent, prompt = [], False, True
        while True:
            if self.cmdqueue:
                line = self.cmdqueue.pop(0)
                self.stdout.write('(com) ' + line + '\n')
            else:
                line = self.read_line('(com) ')
            line = line.strip()
            if line in ('end', 'EOF'):
                break
            if line == 'silent':
                silent = True
                continue
            if not line:
                continue
            lines.append(line)
            if line.split()[0] in RESUMING:
                prompt = False
                break
        self.commands[number] = lines
        self.commands_silent[number] = silent
        self.commands_prompt[number] = prompt

    # -- help ----------------------------------------------------------------------------------

    def do_help(self, arg):
        """h(elp) [command]
        Without argument, list the commands; with a command, say what it does. 'help exec'
        (or 'help !') explains the ! command."""
        name = arg.strip()
        if name in ('!', 'exec'):
            self.message(EXEC_HELP)
            return
        if name in self.aliases and not hasattr(self, 'do_' + name):
            self.message('%s is an alias for: %s' % (name, self.aliases[name]))
            return
        if not name:
            cmd.Cmd.do_help(self, arg)
            return
        doc = getattr(getattr(self, 'do_' + name, None), '__doc__', None)
        if not doc:
            self.error('No help on %s' % name)
            return
        self.message(clean_doc(doc))
    do_h = do_help

    def print_topics(self, header, cmds, cmdlen, maxcol):
        # The commands without help of their own are abbreviations and end of input: their
        # full names are listed among the documented ones.
        if header == self.undoc_header:
            return
        cmd.Cmd.print_topics(self, header, cmds + (['!'] if header == self.doc_header
                                                    else []), cmdlen, maxcol)

    # -- breakpoints ---------------------------------------------------------------------------

    def set_break_command(self, arg, temporary):
        if not arg.strip():
            self.list_breaks()
            return
        where, _, cond = arg.partition(',')
        bp = self.set_break(where, cond.strip() or None, temporary)
        self.message('%s %d at %s:%d' % ('Breakpoint' if not temporary else
                                         'Temporary breakpoint', bp.number, bp.filename,
                                         bp.shown_lineno))

    def do_break(self, arg):
        """b(reak) [FILE:LINE | LINE | FUNCTION | module.FUNCTION] [, CONDITION]
        Set a breakpoint; it stops only when CONDITION, if given, is true. A function's
        breakpoint stops at the first line of its body; the function need not be defined yet.
        Without argument, list the breakpoints."""
        self.set_break_command(arg, False)
    do_b = do_break

    def do_tbreak(self, arg):
        """tbreak [FILE:LINE | LINE | FUNCTION] [, CONDITION]
        Set a temporary breakpoint, removed when first hit."""
        self.set_break_command(arg, True)

    def list_breaks(self):
        if not len(self.breaks):
            self.message('No breakpoints.')
            return
        self.message('Num Type         Disp Enb   Where')
        for bp in self.breaks:
            self.message('%-3d %-12s %-4s %-5s at %s:%d' % (
                bp.number, 'breakpoint', 'del' if bp.temporary else 'keep',
                'yes' if bp.enabled else 'no', bp.filename, bp.shown_lineno))
            if bp.cond:
                self.message('\tstop only if %s' % bp.cond)
            if bp.ignore:
                self.message('\tignore next %d hits' % bp.ignore)
            if bp.hits:
                self.message('\tbreakpoint already hit %d time%s' % (bp.hits,
                                                                  's' if bp.hits > 1 else ''))

    def each_number(self, arg, action):
        """Calls action with each breakpoint number in arg; reports the bad ones."""
        for word in arg.split():
            try:
                action(word)
            except vorncore.Error, e:
                self.error(str(e))

    def do_condition(self, arg):
        """condition NUMBER [CONDITION]
        Set a new condition for the breakpoint; without one, make it unconditional."""
        number, _, cond = arg.strip().partition(' ')
        try:
            bp = self.breaks.condition(number, cond)
        except SyntaxError, e:
            self.error('Invalid condition %s: %s' % (cond.strip(), e.msg))
            return
        if not bp.cond:
            self.message('Breakpoint %d is now unconditional.' % bp.number)

    def do_ignore(self, arg):
        """ignore NUMBER COUNT
        Ignore the next COUNT hits of the breakpoint."""
        number, _, count = arg.strip().partition(' ')
        try:
            count = int(count.strip() or 0)
        except ValueError:
            self.error('Bad count: %s' % count.strip())
            return
        bp = self.breaks.ignore(number, count)
        if bp.ignore:
            self.message('Will ignore next %d crossing%s of breakpoint %d.' % (
                bp.ignore, 's' if bp.ignore != 1 else '', bp.number))
        else:
            self.message('Will stop next time breakpoint %d is reached.' % bp.number)

    def do_enable(self, arg):
        """enable NUMBER...
        Enable the breakpoints."""
        self.each_number(arg, lambda n: self.message(
            'Enabled breakpoint %d' % self.breaks.enable(n, True).number))

    def do_disable(self, arg):
        """disable NUMBER...
        Disable the breakpoints."""
        self.each_number(arg, lambda n: self.message(
            'Disabled breakpoint %d' % self.breaks.enable(n, False).number))

    def do_clear(self, arg):
        """cl(ear) [NUMBER... | FILE:LINE]
        Delete the breakpoints given by number, or those at FILE:LINE; without arguments,
        all of them after asking."""
        if not arg.strip():
            if self.cmdqueue:
                reply = self.cmdqueue.pop(0)
                self.stdout.write('Clear all breaks? ' + reply + '\n')
            else:
                reply = self.read_line('Clear all breaks? ')
            if reply.strip().lower() in ('y', 'yes'):
                for bp in self.breaks.clear_all():
                    self.message('Deleted breakpoint %d' % bp.number)
            return
        if ':' in arg:
            filename, line = arg.rsplit(':', 1)
            filename = self.find_file(filename.strip())
            found = [bp for bp in self.breaks
                     if bp.filename == filename and line.strip() in (str(bp.lineno),
                                                                     str(bp.shown_lineno))]
            if not found:
                self.error('There is no breakpoint at %s:%s' % (filename, line.strip()))
            for bp in found:
                self.breaks.clear(bp.number)
                self.message('Deleted breakpoint %d' % bp.number)
            return
        self.each_number(arg, lambda n: self.message(
            'Deleted breakpoint %d' % self.breaks.clear(n).number))
    do_cl = do_clear

    # -- exception stopping --------------------------------------------------------------------

    def do_exceptions(self, arg):
        """exceptions [never | always | unhandled]
        When exceptions stop the program: never, always when raised, or when no handler up
        to the program's outermost frame will catch them (the default)."""
        if arg.strip():
            self.set_exception_mode(arg.strip())
        self.message('Exceptions stop: %s' % self.exception_mode_name())

    def do_catch(self, arg):
        """catch TYPE...
        Always stop on these exception types, even when a handler will catch them."""
        if arg.strip():
            self.set_catch(self.exception_types(arg.split()))
        self.message('Always stop on: %s' % (
            ', '.join(vorncore.exception_name(t) for t in self.always_stop) or '(none)'))

    def do_nocatch(self, arg):
        """nocatch TYPE...
        Never stop on these exception types."""
        if arg.strip():
            self.set_nocatch(self.exception_types(arg.split()))
        self.message('Never stop on: %s' % (
            ', '.join(vorncore.exception_name(t) for t in self.never_stop) or '(none)'))


def listen(port, host='127.0.0.1', token=None):
    """Waits on host:port for an editor's debug adapter (`vorn dap`, DAP attach), then debugs
    the calling program from here on; for a program that starts itself, such as a server.
    The adapter must present the secret: token, else $VORN_DEBUG_TOKEN, else one made up and
    printed on standard error."""
    from vorndap import session
    session.listen(port, host, token)


EXEC_HELP = """(!) statement
Execute the (one-line) statement in the context of the current stack frame. The exclamation
point can be omitted unless the first word of the statement resembles a debugger command.
Assignments to a function's locals stick when the program goes on. To assign to a global
variable you must always prefix the command with a 'global' command, e.g.:
    global list_options; list_options = ['-l']"""


USAGE = """usage: vorn debug [--commands FILE] [-c COMMAND]... PROGRAM [ARGS...]

Runs the Python 2 program PROGRAM with ARGS under the debugger and stops at its first line.
Commands are read from FILE and each -c COMMAND first (in that order), then from the terminal.
The program keeps its own sys.argv, output and exit status; vorn debug exits with that status.

options:
  --commands FILE   run the debugger commands in FILE, one a line ('#' starts a comment)
  -c COMMAND        run COMMAND (repeat for several)
  -h, --help        show this help

commands (pdb's names and abbreviations; 'help COMMAND' at the prompt says more):
  s(tep) n(ext) r(eturn) c(ontinue) unt(il) j(ump) run restart       run
  w(here) u(p) d(own) l(ist) ll source a(rgs) rv                     stack and source
  p EXPR  pp EXPR  whatis EXPR  display EXPR  undisplay  !STATEMENT   data (locals stick)
  interact  debug CODE  alias  unalias
  b(reak) tbreak condition ignore enable disable cl(ear) commands     breakpoints
  exceptions never|always|unhandled  catch TYPE...  nocatch TYPE...
  q(uit)  h(elp) [COMMAND]

For an editor: vorn debug --listen [HOST:]PORT [--token SECRET] PROGRAM [ARGS...] runs PROGRAM
and waits for a debug adapter (vorn dap, attach) that presents the secret.
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
    sys.exit(vornrun.debug_here(vornrun.frontend(sys.argv[1:], main), sys.argv[1:],
                                os.path.dirname(os.path.abspath(__file__))))
