"""The native logical-line cutter (linegrammar.CutLines) against the cutter of
vornide.logicallines, its reference: the same records, states, clean flag and state after, over
every module of the standard library (whole and cut again from its statements), over
half-typed variants of its modules (the cutter's recovery) and over random text made of the
tokenizer's hard cases."""
import os
import random
import sys
import unittest

import linegrammar

from vornide import logicallines as ll

from env_support import STDLIB
from test_env_logicallines import SOURCES, library_files, python_files, read

DEBUG = hasattr(sys, 'gettotalrefcount')


def cuts(lines, first=1, state=ll.INITIAL_STATE):
    return (ll.cut_segment(lines, first, state, native=True),
            ll.cut_segment(lines, first, state, native=False))


def differences(text, where, first=1, state=ll.INITIAL_STATE):
    """How the native cut of text differs from the reference's (at most one text)."""
    mine, reference = cuts(ll.source_lines(text), first, state)
    if mine == reference:
        return []
    (records, states), (want, want_states) = mine[:2], reference[:2]
    for i in range(max(len(records), len(want))):
        got = (records[i:i + 1], states[i:i + 1])
        expected = (want[i:i + 1], want_states[i:i + 1])
        if got != expected:
            return ['%s: record %d: %r, reference %r' % (where, i, got, expected)]
    return ['%s: clean and state after %r, reference %r' % (where, mine[2:], reference[2:])]


def segment_differences(text, where, rng, count):
    """Cuts again from `count` random statements into which the tokenizer carries nothing."""
    lines = ll.source_lines(text)
    records, states = ll.cut_with_states(text, native=False)
    starts = [i for i, s in enumerate(states) if s is not None and s[3] == 0]
    found = []
    for i in rng.sample(starts, min(count, len(starts))):
        lineno = records[i].lineno
        found += differences(''.join(lines[lineno - 1:]), '%s from line %d' % (where, lineno),
                             lineno, states[i])
    return found


# What typing leaves at the end of a line cut short.
OPENERS = ['(', '[', '{', '"""', "'''", 'ur"""', "b'''", '\\', "'", '"', "'x\\", '', ', (',
           'lambda x:', '0x', '1e', '.', '#']
KEYWORD_LINES = ['def f(a, b', 'class Foo', '@deco', 'return (x', 'import os', 'pass',
                 '    exec "x"', 'else:', 'x = """', '\tdef g():', '\f  @d(']


def half_typed(rng, text):
    """text with one to three lines cut short (often opening a bracket or string), and now
    and then a keyword line typed after them."""
    lines = ll.source_lines(text)
    for k in range(rng.randint(1, 3)):
        if not lines:
            break
        at = rng.randrange(len(lines))
        line = lines[at].rstrip('\n')
        lines[at] = line[:rng.randint(0, len(line))] + rng.choice(OPENERS) + '\n'
        if rng.random() < 0.3:
            indent = lines[at][:len(lines[at]) - len(lines[at].lstrip())]
            lines.insert(at + 1, indent + rng.choice(KEYWORD_LINES) + '\n')
    return ''.join(lines)


# Pieces of random text: what the tokenizer's patterns treat apart.
PIECES = ['x', 'def', 'class', '@', 'return', 'if', 'else', 'lambda', 'print', 'from', 'import',
          ' ', '  ', '\t', '\f', '\v', '\n', '\n', '\n    ', '\n  ', '\n\t', '\\\n', '\\',
          '(', ')', '[', ']', '{', '}', ':', ';', ',', '.', '`', '=', '==', '<>', '<<=', '**',
          '//=', '!=', '!', '->', '~', '$', '?', '\x00', '\xc3\xa9', '0', '07', '08', '0x1fL',
          '0xg', '0b12', '0o17', '1.', '.5j', '1e5', '1e+', '1.5e-3J', '12L', "'", '"', "'''",
          '"""', "u'a'", 'UR"b"', "br'''", 'b', 'r', "'a\\", "'\\''", '"\\\\"', '#c', '# c\n',
          '\r\n', '\r']


def random_text(rng):
    return ''.join(rng.choice(PIECES) for i in range(rng.randint(1, 60)))


class Library(unittest.TestCase):
    """Every file of the library folder (every eighth under the debug interpreter) and the
    cutter's own sources, whole and cut again from a few statements."""
    leak_check = False

    def test_every_module(self):
        files = library_files()
        if DEBUG:
            files = files[::8]
        rng = random.Random(1)
        found, checked = [], 0
        for path in files + python_files(SOURCES):
            text = read(path)
            if text is None:
                continue
            checked += 1
            where = os.path.relpath(path, STDLIB)
            found += differences(text, where)
            found += segment_differences(text, where, rng, 2)
            if len(found) > 5:
                break
        self.assertEqual(found, [])
        self.assertGreater(checked, 50)


class Recovery(unittest.TestCase):
    """Half-typed variants of library modules and random text."""
    leak_check = False

    def test_half_typed_modules(self):
        rng = random.Random(7)
        modules = sorted(f for f in os.listdir(STDLIB) if f.endswith('.py'))
        found = []
        for name in modules[::(12 if DEBUG else 3)]:
            text = read(os.path.join(STDLIB, name))
            for k in range(4 if DEBUG else 10):
                variant = half_typed(rng, text)
                found += differences(variant, '%s variant %d' % (name, k))
                found += segment_differences(variant, '%s variant %d' % (name, k), rng, 1)
            if len(found) > 5:
                break
        self.assertEqual(found, [])

    def test_random_text(self):
        rng = random.Random(3)
        found = []
        for k in range(800 if DEBUG else 4000):
            text = random_text(rng)
            found += differences(text, 'text %r' % text)
            if len(found) > 5:
                break
        self.assertEqual(found, [])


class Sample(unittest.TestCase):
    """A few cases through both cutters, leak-checked, and bad arguments."""

    def test_sample(self):
        for text in ['', 'x', 'def f(a,\nclass A:\n  """s\n  import x\n', 'x = 1)\ny = 2\n',
                     'if a: b; c\n# c\n\n   ', "s = 'a\\\nb\nc'\n", u'\ufeffx = u"\xe9"\r\n']:
            self.assertEqual(differences(text, repr(text)), [])
        self.assertEqual(ll.cut_logical_lines('x = (1,\n', native=True),
                         ll.cut_logical_lines('x = (1,\n', native=False))

    def test_bad_arguments(self):
        cut = linegrammar.CutLines
        record = ll.LineRecord
        state = ll.INITIAL_STATE
        for args, error in [
                ((), TypeError), ((None, 1, state, record), TypeError),
                (('x', 1, state, tuple), None), (('x', 1, state, int), TypeError),
                (('x', 1, state, type('R', (tuple,), {})), TypeError),
                (('x', 0, state, record), ValueError), (('x', 1, None, record), TypeError),
                (('x', 1, ((0,), None, False), record), TypeError),
                (('x', 1, ((0,), None, False, 1), record), ValueError),
                (('x', 1, ((0,), None, False, None), record), ValueError),
                (('x', 1, ((), None, False, 0), record), TypeError),
                (('x', 1, ((0, 4, 2), None, False, 0), record), ValueError),
                (('x', 1, ((-1,), None, False, 0), record), ValueError),
                (('x', 1, ((0,), (1,), False, 0), record), TypeError),
                (('x', 1, ((0,), 'ab', False, 0), record), TypeError),
                (('x', 1, (('a',), None, False, 0), record), TypeError)]:
            if error is None:
                self.assertEqual(cut(*args)[0], [(['x'], [(0, 0)], 1, 1, 0, 7)])
            else:
                self.assertRaises(error, cut, *args)


if __name__ == '__main__':
    unittest.main()
