"""The program's breakpoints by number, as pdb numbers them, kept in the tracer and mirrored
here from the tracer's reports at every stop."""
from __future__ import absolute_import  # see the package's __init__
from vorncore.errors import Error


class Breakpoint(object):
    """One breakpoint. lineno is the line the tracer stops at; shown_lineno the line a listing
    names (a function's breakpoint is shown at its def, as pdb shows it, and stops at the first
    line of its body)."""

    def __init__(self, number, filename, lineno, temporary, cond, funcname=None,
                 shown_lineno=None):
        self.number = number
        self.tracer_id = None  # the tracer's id of it, which a restart changes
        self.earlier_hits = 0  # hits counted before a restart, which the tracer forgot
        self.filename = filename
        self.lineno = lineno
        self.shown_lineno = shown_lineno or lineno
        self.funcname = funcname
        self.temporary = temporary
        self.cond = cond
        self.enabled = True
        self.ignore = 0
        self.hits = 0

    @property
    def location(self):
        return self.filename, self.lineno


class Breakpoints(object):
    """The table: set, find by number, change one at a time, apply the tracer's reports."""

    def __init__(self, tracer):
        self.tracer = tracer
        self.by_number = {}
        self.by_id = {}     # tracer id -> Breakpoint
        self.next_number = 1
        self.consumed = []  # temporary breakpoints the last report removed

    def __iter__(self):
        return iter([self.by_number[n] for n in sorted(self.by_number)])

    def __len__(self):
        return len(self.by_number)

    def get(self, number):
        """The breakpoint numbered number (an int or its text); Error when there is none."""
        try:
            number = int(number)
        except (TypeError, ValueError):
            raise Error('Non-numeric breakpoint number (%s)' % (number,))
        bp = self.by_number.get(number)
        if bp is None:
            raise Error('No breakpoint numbered %d' % number)
        return bp

    def add(self, filename, lineno, temporary=False, cond=None, funcname=None,
            shown_lineno=None):
        bp = Breakpoint(self.next_number, filename, lineno, temporary, cond or None, funcname,
                        shown_lineno)
        self.next_number += 1
        self.by_number[bp.number] = bp
        self.place(bp)
        return bp

    def place(self, bp):
        """Sets bp in the tracer as it is now (a new one, or one kept over a restart, which
        initialised the tracer afresh)."""
        bp.tracer_id = self.tracer.set_break(bp.filename, bp.lineno, int(bp.enabled),
                                             int(bool(bp.temporary)), bp.cond, bp.ignore)
        bp.earlier_hits = bp.hits
        self.by_id[bp.tracer_id] = bp

    def restore(self):
        """Sets every breakpoint in a freshly initialised tracer, numbers and settings kept."""
        self.by_id.clear()
        for bp in self:
            self.place(bp)

    def clear(self, number):
        bp = self.get(number)
        self.tracer.clear_break(bp.tracer_id)
        del self.by_number[bp.number]
        self.by_id.pop(bp.tracer_id, None)
        return bp

    def clear_all(self):
        self.tracer.clear_all_breaks()
        cleared = list(self)
        self.by_number.clear()
        self.by_id.clear()
        return cleared

    def enable(self, number, enabled=True):
        bp = self.get(number)
        self.tracer.enable_break(bp.tracer_id, int(bool(enabled)))
        bp.enabled = bool(enabled)
        return bp

    def ignore(self, number, count):
        bp = self.get(number)
        count = max(0, int(count))
        self.tracer.ignore_break(bp.tracer_id, count)
        bp.ignore = count
        return bp

    def condition(self, number, cond):
        bp = self.get(number)
        cond = (cond or '').strip() or None
        if cond is not None:
            compile(cond, '<condition>', 'eval')  # a SyntaxError is the caller's to report
        self.tracer.set_break_cond(bp.tracer_id, cond)
        bp.cond = cond
        return bp

    def at(self, filename, lineno):
        """The breakpoints the tracer stops at (filename, lineno)."""
        return [bp for bp in self if bp.location == (filename, lineno)]

    def update(self, changed):
        """Applies the tracer's report of changed breakpoints: (deleted ids, 8-tuples); the
        temporary ones it removed are left in consumed. Returns the numbers whose hit count
        grew."""
        self.consumed = []
        hit = []
        if not changed:
            return hit
        deleted, data = changed
        for filename, lineno, tracer_id, enabled, temporary, cond, ignore, hits in data:
            bp = self.by_id.get(tracer_id)
            if bp is not None:
                hits += bp.earlier_hits
                if hits > bp.hits and ignore == bp.ignore:
                    hit.append(bp.number)
                bp.enabled, bp.cond, bp.ignore, bp.hits = bool(enabled), cond, ignore, hits
        for tracer_id in deleted:
            bp = self.by_id.pop(tracer_id, None)
            if bp is not None:
                del self.by_number[bp.number]
                bp.hits += 1
                self.consumed.append(bp)
                hit.append(bp.number)
        return sorted(set(hit))
