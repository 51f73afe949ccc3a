"""Frames of every namespace shape a breakpoint condition may be evaluated in. Each shape asks
the tracer whether the breakpoint on its PROBE line stops it, then evaluates the condition as the
interpreter would (the frame's fast locals copied into its locals dictionary, then eval), and
returns (tracer's answer, interpreter's answer, whether the tracer's check copied the locals).
The names the conditions use: a, b, c (arguments), d (unbound when `drop`), e (assigned after
the locals dictionary was last filled), extra (a key of the locals dictionary that is no local),
cell (a cell), G_INT, G_TEXT, max (globals, max shadowing the builtin)."""
import sys

import zardel27

G_INT = 3
G_TEXT = 'a'
max = 7
CALLS = [0]   # calls of Recorder's methods


class Recorder(object):
    """A value whose comparisons and truth run Python code, counted in CALLS."""

    def __init__(self, value):
        self.value = value

    def _count(self, result):
        CALLS[0] += 1
        return result

    def __eq__(self, other):
        return self._count(self.value == getattr(other, 'value', other))

    def __ne__(self, other):
        return self._count(self.value != getattr(other, 'value', other))

    def __lt__(self, other):
        return self._count(self.value < getattr(other, 'value', other))

    def __gt__(self, other):
        return self._count(self.value > getattr(other, 'value', other))

    def __nonzero__(self):
        return self._count(bool(self.value))


def interpreter(frame, cond):
    """The interpreter's evaluation of `cond` in `frame`; a raising condition stops."""
    try:
        return bool(eval(cond, frame.f_globals, frame.f_locals))
    except Exception:
        return True


def answers(hit, before, frame, cond, seen):
    """The answers of a shape whose check (break_here of its own frame, so that the frame is
    the one running) said `hit`, CALLS having been `before` then."""
    copied = 'e' in seen
    mid = CALLS[0]
    want = interpreter(frame, cond)
    return hit, want, copied, mid - before, CALLS[0] - mid


def function(cond, a, b, c, drop):
    d = a
    sys._getframe().f_locals['extra'] = b
    seen = locals()
    e = c
    if drop:
        del d
    before = CALLS[0]
    hit = zardel27.break_here(sys._getframe())  # PROBE function
    return answers(hit, before, sys._getframe(), cond, seen)


def with_cell(cond, a, b, c, drop):
    if not drop:
        cell = c   # else an empty cell
    seen = locals()
    e = b

    def inner():
        return cell, a   # a is both an argument and a cell
    before = CALLS[0]
    hit = zardel27.break_here(sys._getframe())  # PROBE with_cell
    return answers(hit, before, sys._getframe(), cond, seen)


def with_free(cond, a, b, c, drop):
    d = b

    def inner(x):
        seen = locals()
        e = d, a, x   # free variables
        before = CALLS[0]
        hit = zardel27.break_here(sys._getframe())  # PROBE with_free
        return answers(hit, before, sys._getframe(), cond, seen)
    return inner(c)


def class_body(cond, a, b, c, drop):
    closed = a

    class Body(object):
        d = closed   # a free variable of the class body, not copied into its namespace
        e = c
        seen = {}
        before = CALLS[0]
        hit = zardel27.break_here(sys._getframe())  # PROBE class_body
        result = answers(hit, before, sys._getframe(), cond, seen)
    return Body.result


def unoptimized(cond, a, b, c, drop):
    exec ''   # names are looked up in the locals dictionary
    d = a
    seen = {}
    e = b
    before = CALLS[0]
    hit = zardel27.break_here(sys._getframe())  # PROBE unoptimized
    return answers(hit, before, sys._getframe(), cond, seen)


MODULE_LEVEL = '''
seen = {}
before = CALLS[0]
hit = zardel27.break_here(sys._getframe())  # PROBE module_level
result = answers(hit, before, sys._getframe(), cond, seen)
'''


def module_level(cond, a, b, c, drop):
    namespace = {'__name__': 'cond_shapes_exec', 'answers': answers, 'sys': sys,
                 'zardel27': zardel27, 'CALLS': CALLS, 'cond': cond, 'a': a, 'b': b, 'c': c,
                 'e': 1}
    if not drop:
        namespace['d'] = a
    exec compile(MODULE_LEVEL, __file__.replace('.pyc', '.py'), 'exec') in namespace
    return namespace['result']


SHAPES = [function, with_cell, with_free, class_body, unoptimized, module_level]
