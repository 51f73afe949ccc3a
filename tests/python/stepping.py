"""Runs the small programs of programs/ under the tracer or under bdb with one stepping command
repeated at every stop, and records the stops as (event, file, line)."""
import bdb
import os
import re
import sys

import zardel27
from support import init_args

PROGRAMS = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'programs')
ALL_FRAMES = 0xFFFFFF
MAX_STOPS = 2000


def load(name):
    path = os.path.join(PROGRAMS, name + '.py')
    with open(path) as f:
        return path, compile(f.read(), path, 'exec')


def fresh_globals(path):
    """Module globals for a program run, and no stale import of the programs' own modules, so
    every run executes them again."""
    for mod_name, module in list(sys.modules.items()):
        mod_file = getattr(module, '__file__', None) or ''
        if os.path.dirname(os.path.abspath(mod_file)) == PROGRAMS:
            del sys.modules[mod_name]
    return {'__name__': '__main__', '__file__': path, '__builtins__': __builtins__}


def in_programs(frame):
    return os.path.dirname(frame.f_code.co_filename) == PROGRAMS


def stop_record(event, frame, value=None):
    """(event, file, line); a return stop adds the repr of the value the frame returns (None
    when it ends with an exception), as the tracer's return_value() and bdb give it."""
    record = (event, os.path.basename(frame.f_code.co_filename), frame.f_lineno)
    # Two runs make objects at other addresses.
    value = re.sub(r' at 0x[0-9a-fA-F]+', '', repr(value))
    return record + (value,) if event == 'return' else record


def _run_traced(code, globs):
    depth = 0
    f = sys._getframe()
    while f:
        depth += 1
        f = f.f_back
    # This frame becomes the bottom frame; the program's frame is called from it. Arming and
    # running share one line so that no line event of this frame comes between them.
    zardel27.start_trace(depth - 1, ALL_FRAMES); exec code in globs


def command_for(commands, index):
    """The command given at stop number `index`: `commands` ('step_into', 'step_over' or
    'step_out', or a sequence of them) is repeated in turn."""
    if isinstance(commands, str):
        return commands
    return commands[index % len(commands)]


class _ProgramRun(object):
    """Makes the programs' folder importable and keeps compiled files out of it while a
    program runs."""
    def __enter__(self):
        self.old_dont_write = sys.dont_write_bytecode
        sys.dont_write_bytecode = True
        sys.path.insert(0, PROGRAMS)

    def __exit__(self, *exc):
        sys.path.remove(PROGRAMS)
        sys.dont_write_bytecode = self.old_dont_write


def run_with_tracer(name, commands):
    """Stops of the tracer for program `name` with `commands` given at the stops. Stops in
    this harness end the run."""
    path, code = load(name)
    stops = []

    def make_cb(event):
        def cb(frame, *rest):
            if not in_programs(frame) or len(stops) >= MAX_STOPS:
                zardel27.stop_trace()
                return
            stops.append(stop_record(event, frame, zardel27.return_value()))
            getattr(zardel27, command_for(commands, len(stops) - 1))()
        return cb

    zardel27.init(*init_args(line_cb=make_cb('line'), return_cb=make_cb('return'),
                             exception_cb=make_cb('exception')))
    with _ProgramRun():
        try:
            _run_traced(code, fresh_globals(path))
        except Exception:
            pass
        finally:
            zardel27.stop_trace()
            zardel27.destroy()
    return stops


class _Recorder(bdb.Bdb):
    def __init__(self, commands):
        bdb.Bdb.__init__(self)
        self.commands = commands
        self.stops = []

    def _stop(self, event, frame, value=None):
        if in_programs(frame):  # bdb's bottom frame is its own run()
            self.stops.append(stop_record(event, frame, value))
        command = command_for(self.commands, len(self.stops) - 1)
        if len(self.stops) >= MAX_STOPS:
            self.set_quit()
        elif command == 'step_into':
            self.set_step()
        elif command == 'step_over':
            self.set_next(frame)
        else:
            self.set_return(frame)

    def user_call(self, frame, args):
        pass  # the tracer never stops at calls: leave the stepping state as it is

    def user_line(self, frame):
        self._stop('line', frame)

    def user_return(self, frame, value):
        self._stop('return', frame, value)

    def user_exception(self, frame, exc_info):
        self._stop('exception', frame)


def run_with_bdb(name, commands):
    """Stops of bdb for the same program and commands, without its call stops (the tracer never
    stops at calls) and without stops in bdb's own frames."""
    path, code = load(name)
    recorder = _Recorder(commands)
    with _ProgramRun():
        try:
            recorder.run(code, fresh_globals(path))
        except Exception:
            pass
        finally:
            sys.settrace(None)
    return recorder.stops
