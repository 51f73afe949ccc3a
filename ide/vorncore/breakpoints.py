"""The program's breakpoints by number, as pdb numbers them, kept in the tracer and mirrored
here from the tracer's reports at every stop."""
from vorncore.errors import Error


class Breakpoint(object):
    """One breakpoint. lineno is the line the tracer stops at; shown_lineno the line a listing
    names (a function's breakpoint is shown at its def, as pdb shows it, and stops at the first
    line of its body)."""

    def __init__(self, number, filename, lineno, temporary, cond, funcname=None,
                 shown_lineno=None):
        self.number = number
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
        number = self.tracer.set_break(filename, lineno, 1, int(bool(temporary)), cond or None, 0)
        bp = Breakpoint(number, filename, lineno, temporary, cond or None, funcname,
                        shown_lineno)
        self.by_number[number] = bp
        return bp

    def clear(self, number):
        bp = self.get(number)
        self.tracer.clear_break(bp.number)
        del self.by_number[bp.number]
        return bp

    def clear_all(self):
        self.tracer.clear_all_breaks()
        cleared = list(self)
        self.by_number.clear()
        return cleared

    def enable(self, number, enabled=True):
        bp = self.get(number)
        self.tracer.enable_break(bp.number, int(bool(enabled)))
        bp.enabled = bool(enabled)
        return bp

    def ignore(self, number, count):
        bp = self.get(number)
        count = max(0, int(count))
        self.tracer.ignore_break(bp.number, count)
        bp.ignore = count
        return bp

    def condition(self, number, cond):
        bp = self.get(number)
        cond = (cond or '').strip() or None
        if cond is not None:
            compile(cond, '<condition>', 'eval')  # a SyntaxError is the caller's to report
        self.tracer.set_break_cond(bp.number, cond)
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
        for filename, lineno, number, enabled, temporary, cond, ignore, hits in data:
            bp = self.by_number.get(number)
            if bp is not None:
                if hits > bp.hits and ignore == bp.ignore:
                    hit.append(number)
                bp.enabled, bp.cond, bp.ignore, bp.hits = bool(enabled), cond, ignore, hits
        for number in deleted:
            bp = self.by_number.pop(number, None)
            if bp is not None:
                bp.hits += 1
                self.consumed.append(bp)
                hit.append(number)
        return sorted(set(hit))
