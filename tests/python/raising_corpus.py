"""A seeded generator of small programs that raise and catch exceptions in many shapes:
try/except with every clause form (names, dotted names, tuples, names bound to tuples, bare,
calls), try/finally, with blocks, loops over ranges, iterators, old-protocol sequences and
generators, exceptions raised by the interpreter and by `raise`, handlers that raise again or
re-raise with a bare `raise`, calls several frames deep, and handlers that are no except
clause: context managers that swallow, finally blocks that return, and library functions that
catch in C (hasattr, getattr with a default, list() of an iterator or a sequence) or call back
into the program (map).
"""
import os
import random

# The definitions every program starts with, taken from a module of their own so that the
# hand-written tests use the very same classes.
PRELUDE = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'corpus_prelude.py')).read()

# Expressions whose exceptions C code catches, and one whose callback's exception escapes.
C_CALLS = ["hasattr(lazy, 'x')", "getattr(lazy, 'x', None)", 'list(Counter())',
           'tuple(Seq())', 'sum(Counter())', 'map(raiser, [1])']

RAISES = ['raise KeyError("k")', 'raise IndexError("i")', 'raise ValueError("v")',
          'raise MyError()', 'raise LookupError', 'raise StopIteration', 'raise TypeError("t")',
          "{}['missing']", '[][1]', "int('x')"]

CLAUSES = ['KeyError', 'IndexError', 'ValueError', 'LookupError', 'Exception', 'MyError',
           'StopIteration', 'mod.Err', 'holder.a.B', 'ERRORS', 'errs', '(ValueError, KeyError)',
           '(TypeError, mod.Err, holder.a.B)', 'get_errors()', 'pick(KeyError)',
           'KeyError as e', 'errs as e']

FUNCTIONS = 4
GENERATORS = 2


class _Writer(object):
    def __init__(self, rng):
        self.rng = rng
        self.lines = []
        self.in_generator = False

    def emit(self, indent, text):
        self.lines.append('    ' * indent + text)

    def block(self, indent, depth, level):
        for _ in range(self.rng.randint(1, 3)):
            self.statement(indent, depth, level)

    def statement(self, indent, depth, level):
        """One statement of function number `level`; `depth` bounds the nesting. Calls go only
        to later functions and generators call none and loop over no generator, so no program
        recurses."""
        rng = self.rng
        kinds = ['raise'] * 3 + ['pass']
        if level + 1 < FUNCTIONS:
            kinds += ['call'] * 4
        if depth < 3:
            kinds += ['try'] * 4 + ['finally', 'with', 'for_range', 'for_counter', 'for_seq',
                                     'if', 'swallow']
            if level >= 0:
                kinds.append('finally_return')
            if not self.in_generator:
                kinds.append('for_gen')
        kinds.append('c_call')
        kind = rng.choice(kinds)
        if kind == 'raise':
            self.emit(indent, rng.choice(RAISES))
        elif kind == 'pass':
            self.emit(indent, 'pass')
        elif kind == 'c_call':
            self.emit(indent, rng.choice(C_CALLS))
        elif kind == 'call':
            self.emit(indent, 'f%d()' % rng.randint(level + 1, FUNCTIONS - 1))
        elif kind == 'try':
            self.emit(indent, 'try:')
            self.block(indent + 1, depth + 1, level)
            for clause in rng.sample(CLAUSES, rng.randint(1, 3)):
                self.emit(indent, 'except %s:' % clause)
                self.handler(indent + 1, depth + 1, level)
            if rng.random() < 0.2:
                self.emit(indent, 'except:')
                self.handler(indent + 1, depth + 1, level)
        elif kind in ('finally', 'finally_return'):
            # A finally_return ends the function: its return cancels whatever is propagating.
            self.emit(indent, 'try:')
            self.block(indent + 1, depth + 1, level)
            self.emit(indent, 'finally:')
            self.emit(indent + 1, 'tick()' if kind == 'finally' else 'return')
        elif kind == 'with':
            self.emit(indent, 'with Manager():')
            self.block(indent + 1, depth + 1, level)
        elif kind == 'swallow':
            self.emit(indent, 'with Swallow():')
            self.block(indent + 1, depth + 1, level)
        elif kind == 'if':
            self.emit(indent, 'if tick() % 2:')
            self.block(indent + 1, depth + 1, level)
        elif kind == 'for_gen':
            # The loop body never raises, so no generator is left suspended (closing one later
            # would raise GeneratorExit in it at some unrelated point).
            self.emit(indent, 'for x in g%d():' % rng.randint(0, GENERATORS - 1))
            self.emit(indent + 1, 'tick()')
        else:
            self.emit(indent, {'for_range': 'for i in range(2):',
                               'for_counter': 'for x in Counter():',
                               'for_seq': 'for x in Seq():'}[kind])
            self.block(indent + 1, depth + 1, level)

    def handler(self, indent, depth, level):
        if self.rng.random() < 0.1:
            self.emit(indent, 'raise')
        elif self.rng.random() < 0.3:
            self.block(indent, depth, level)
        else:
            self.emit(indent, 'tick()')


def program(seed):
    """Source of program number `seed`; its entry point is main()."""
    rng = random.Random(seed)
    w = _Writer(rng)
    for n in range(FUNCTIONS - 1, -1, -1):
        w.emit(0, 'def f%d():' % n)
        w.emit(1, 'errs = (IndexError, MyError)')
        w.block(1, 0, n)
        w.emit(0, '')
    w.in_generator = True
    for n in range(GENERATORS):
        w.emit(0, 'def g%d():' % n)
        w.emit(1, 'errs = (IndexError, MyError)')
        w.emit(1, 'yield 1')
        w.block(1, 1, FUNCTIONS - 1)
        w.emit(1, 'yield 2')
        w.emit(0, '')
    w.in_generator = False
    # main() runs a few episodes, each in a try statement that may or may not catch what
    # escapes from it, so a program sees several exceptions before one ends it.
    w.emit(0, 'def main():')
    w.emit(1, 'errs = (IndexError, MyError)')
    for _ in range(4):
        w.emit(1, 'try:')
        w.block(2, 1, -1)
        for clause in rng.sample(CLAUSES, rng.randint(1, 3)):
            w.emit(1, 'except %s:' % clause)
            w.emit(2, 'tick()')
        if rng.random() < 0.5:
            w.emit(1, 'except Exception:')
            w.emit(2, 'tick()')
    # The last episode: half the programs guard it with a handler that catches everything
    # Exception covers, so that both outcomes are common.
    if rng.random() < 0.5:
        w.emit(1, 'try:')
        w.block(2, 1, -1)
        w.emit(1, 'except Exception:')
        w.emit(2, 'tick()')
    else:
        w.block(1, 1, -1)
    return PRELUDE + '\n'.join(w.lines) + '\n'
