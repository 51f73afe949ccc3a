"""Runs the programs of programs/ with breakpoints, continuing at every stop, under the tracer or
under bdb, and records where they stopped and what became of the breakpoints."""
import bdb
import os
import sys

import zardel27
import stepping
from support import init_args


def path_of(name):
    return os.path.join(stepping.PROGRAMS, name + '.py')


def line_of(name, text, nth=0):
    """Number of the nth line of program `name` that contains `text`."""
    with open(path_of(name)) as f:
        found = [i for i, line in enumerate(f, 1) if text in line]
    return found[nth]


class TracerRun(object):
    """One run of a program under the tracer. `breaks` holds set_break argument tuples, set after
    init and before the program starts; at each stop `on_stop(run, frame, changed)` may act, and
    the run then continues. After the run: `stops` [(file's base name, line)], `reports` (the
    changed-breakpoint report of each stop), `ids` (of the breaks, in order), `final`
    {id: get_file_breaks tuple} and `globals` of the program. `command` is the run-control
    method called at every stop (continue_run by default); `before(ids)`, when given, is called
    once the breakpoints are set."""

    def __init__(self, name, breaks, synonyms=1, optimize_nobps=0, on_stop=None,
                 import_hook=1, exception_mode=0, command=zardel27.continue_run,
                 before=None):
        self.stops, self.reports, self.final = [], [], {}
        self.on_stop, self.command = on_stop, command
        path, code = stepping.load(name)
        zardel27.init(*init_args(line_cb=self.line_cb, exception_cb=self.exception_cb,
                                 allow_synonyms=synonyms, optimize_nobps=optimize_nobps,
                                 use_import_hook=import_hook, exception_mode=exception_mode))
        try:
            self.ids = [zardel27.set_break(*b) for b in breaks]
            if before:
                before(self.ids)  # edits of the breakpoints before the program starts
            zardel27.continue_run()  # no stepping stop at the first line: breakpoints only
            self.globals = stepping.fresh_globals(path)
            with stepping._ProgramRun():
                try:
                    stepping._run_traced(code, self.globals)
                finally:
                    zardel27.stop_trace()
            for filename in set(b[0] for b in breaks):
                for info in zardel27.get_file_breaks(filename):
                    self.final[info[1]] = info
        finally:
            zardel27.destroy()

    def line_cb(self, frame, changed):
        self.stops.append((os.path.basename(frame.f_code.co_filename), frame.f_lineno))
        self.reports.append(changed)
        if self.on_stop:
            self.on_stop(self, frame, changed)
        self.command()

    def exception_cb(self, frame, exc, changed):
        self.reports.append(changed)
        self.command()


def reset_bdb_breakpoints():
    bdb.Breakpoint.next = 1
    bdb.Breakpoint.bplist = {}
    bdb.Breakpoint.bpbynumber = [None]


class BdbRun(bdb.Bdb):
    """The same run under bdb: its breakpoints set with the same arguments, continuing at every
    stop but the first (bdb stops at the program's first line, where the tracer's run was told
    to continue before it started). `hits` {number: hit count} of the breakpoints left."""

    def __init__(self, name, breaks):
        bdb.Bdb.__init__(self)
        reset_bdb_breakpoints()
        self.stops, self.started = [], False
        path, code = stepping.load(name)
        for filename, line, enabled, temporary, cond, ignore in breaks:
            error = self.set_break(filename, line, temporary, cond)
            assert error is None, error
            bp = bdb.Breakpoint.bpbynumber[-1]
            bp.enabled, bp.ignore = bool(enabled), ignore
        with stepping._ProgramRun():
            try:
                self.run(code, stepping.fresh_globals(path))
            finally:
                sys.settrace(None)
        self.hits = dict((bp.number, bp.hits) for bp in bdb.Breakpoint.bpbynumber if bp)
        self.clear_all_breaks()
        reset_bdb_breakpoints()

    def do_clear(self, number):
        self.clear_bpbynumber(number)  # a temporary breakpoint consumed

    def user_line(self, frame):
        if self.started:
            self.stops.append((os.path.basename(frame.f_code.co_filename), frame.f_lineno))
        self.started = True
        self.set_continue()
