"""The unhandled mode's prediction against what the interpreter then really does.

Every exception event of a corpus of generated programs (raising_corpus) is decided by the
tracer's own dispatch; the program then runs on, and the traceback that finally leaves the
bottom frame tells which events belonged to an exception that escaped (the interpreter adds one
traceback entry per frame the exception passes through, and an exception that is caught starts
no entry of the escaping chain). Then:
- every event of an exception that escaped stopped;
- every stop on an exception that was in fact caught is explained by an except clause the
  prediction does not understand (a call or another expression) in a try block around the
  event, in the event's frame or a caller up to the bottom frame.
The same programs run under the C-level trace hook must give the same stops.

The unhandled mode remembers, for the next event of an exception propagating up the stack, what
the walk up to the handler found; events made to find no such memory (each one preceded by an
event that is no exception) must decide exactly the same, on the corpus and on programs that
unwind deep recursions, pass generators and sequence protocols, and change what a clause names
while the exception propagates.
"""
import opcode
import sys
import unittest

import zardel27
import raising_corpus
from exc_support import ExceptionRun, NO_FRAMES, raise_location
from support import init_args

UNHANDLED = 2
SEEDS = range(120)

_UNDERSTOOD = set(opcode.opmap[name] for name in (
    'LOAD_CONST', 'LOAD_NAME', 'LOAD_GLOBAL', 'LOAD_FAST', 'LOAD_ATTR', 'BUILD_TUPLE'))
_DUP_TOP = opcode.opmap['DUP_TOP']
_COMPARE_OP = opcode.opmap['COMPARE_OP']
_EXC_MATCH = opcode.cmp_op.index('exception match')
_POP_JUMP_IF_FALSE = opcode.opmap['POP_JUMP_IF_FALSE']
_SETUP_EXCEPT = opcode.opmap['SETUP_EXCEPT']


def instructions(code):
    """{offset: (opcode, argument, offset of the next instruction)} of a code object."""
    co, result, i, extended = code.co_code, {}, 0, 0
    while i < len(co):
        op, start = ord(co[i]), i
        arg, i = None, i + 1
        if op >= opcode.HAVE_ARGUMENT:
            arg, i = ord(co[i]) + ord(co[i + 1]) * 256 + extended, i + 2
            extended = 0
            if op == opcode.EXTENDED_ARG:
                extended = arg << 16
                continue
        result[start] = (op, arg, i)
    return result


def opaque_clause_around(code, lasti):
    """Whether a try/except block active at offset `lasti` of `code` has a clause whose class
    expression is not made of names, constants, attributes and tuples."""
    ops = instructions(code)
    for offset, (op, arg, after) in ops.items():
        if op != _SETUP_EXCEPT or not offset < lasti < after + arg:
            continue
        pos = after + arg
        while ops.get(pos, (None,))[0] == _DUP_TOP:
            pos = ops[pos][2]
            while ops[pos][0] != _COMPARE_OP or ops[pos][1] != _EXC_MATCH:
                if ops[pos][0] not in _UNDERSTOOD:
                    return True
                pos = ops[pos][2]
            jump = ops[ops[pos][2]]
            assert jump[0] == _POP_JUMP_IF_FALSE
            pos = jump[1]
    return False


class Event(object):
    def __init__(self, frame, arg, stopped):
        self.where = (frame.f_code.co_name, raise_location(frame, arg[2]).f_code.co_name,
                      arg[0].__name__)
        self.traceback = arg[2]
        self.stopped = stopped
        self.chain = []  # (code, lasti) from the event's frame to the bottom frame
        f = frame
        while f is not None:
            self.chain.append((f.f_code, f.f_lasti))
            if zardel27.is_botframe(f):
                break
            f = f.f_back


def forget_propagation(frame):
    """An exception event without an exception: the next event cannot continue the one before."""
    zardel27.trace_dispatch(frame, 'exception', None)


def values_may_have_changed(frame):
    """A line event that stops nowhere: Python code may have run since the event before."""
    zardel27.trace_dispatch(frame, 'line', None)


def observe(main, filename, before_exception=None):
    """Runs main() as the debugged region, feeding every event through the tracer's
    trace_dispatch (exception events after `before_exception(frame)`, if given). Returns the
    exception events of the program and the traceback objects of the exception that left
    main(), if any."""
    events, stopped = [], []

    def exception_cb(frame, arg, changed):
        stopped.append(frame)

    def observer(frame, event, arg):
        del stopped[:]
        if event == 'exception' and before_exception:
            before_exception(frame)
        zardel27.trace_dispatch(frame, event, arg)
        if event == 'exception' and frame.f_code.co_filename == filename:
            events.append(Event(frame, arg, bool(stopped)))
        return observer

    zardel27.init(*init_args(exception_mode=UNHANDLED, exception_cb=exception_cb))
    escaped = []
    try:
        # One line: the first call event the tracer sees is main()'s.
        zardel27.start_trace(NO_FRAMES, NO_FRAMES); zardel27.continue_run(); sys.settrace(observer); main()
    except BaseException:
        tb = sys.exc_info()[2]
        while tb is not None:
            escaped.append(tb)
            tb = tb.tb_next
    finally:
        sys.settrace(None)
        zardel27.stop_trace()
        zardel27.destroy()
    sys.exc_clear()
    return events, escaped


def load(seed):
    filename = '/corpus/program_%d.py' % seed
    namespace = {'__name__': 'program_%d' % seed}
    exec compile(raising_corpus.program(seed), filename, 'exec') in namespace
    return namespace['main'], filename


# Deep unwinding: handlers far up, clauses that do not match on the way, finally blocks and
# generators between, a sequence's __getitem__ ending a loop from deep inside, and a clause whose
# name a finally block rebinds while the exception passes, so that it no longer catches.
DEEP = raising_corpus.PRELUDE + '''
def down(n):
    if n == 0:
        raise KeyError('down')
    if n % 10 == 5:
        try:
            return down(n - 1)
        except (ValueError, mod.Err, holder.a.B):
            tick()
    return down(n - 1)

def with_finally(n):
    if n == 0:
        raise KeyError('finally')
    try:
        return with_finally(n - 1)
    finally:
        tick()

class DeepSeq(object):
    def __getitem__(self, i):
        return self.at(i, 6)

    def at(self, i, n):
        if n:
            return self.at(i, n - 1)
        if i > 1:
            raise IndexError(i)
        return i

def gen(n):
    yield 1
    if n == 0:
        raise KeyError('generator')
    for x in gen(n - 1):
        yield x

Caught = KeyError

def rebinding(n):
    global Caught
    if n == 0:
        try:
            raise KeyError('rebound')
        finally:
            Caught = ValueError
    return rebinding(n - 1)

def main():
    try:
        down(40)
    except KeyError:
        tick()
    try:
        down(12)
    except get_errors():
        tick()
    try:
        with_finally(25)
    except LookupError:
        tick()
    for x in DeepSeq():
        tick()
    try:
        for x in gen(6):
            tick()
    except KeyError:
        tick()
    try:
        rebinding(15)
    except Caught:
        tick()
'''


def load_deep():
    filename = '/corpus/deep.py'
    namespace = {'__name__': 'deep'}
    exec compile(DEEP, filename, 'exec') in namespace
    return namespace['main'], filename


class UnhandledModeOracle(unittest.TestCase):
    def test_prediction_against_the_interpreter(self):
        counts = dict(escaped=0, caught=0, explained=0)
        for seed in SEEDS:
            main, filename = load(seed)
            events, escaped = observe(main, filename)
            for n, event in enumerate(events):
                context = 'program %d, event %d %r' % (seed, n, event.where)
                if any(event.traceback is tb for tb in escaped):
                    counts['escaped'] += 1
                    self.assertTrue(event.stopped, 'escaped without a stop: ' + context)
                elif event.stopped:
                    counts['explained'] += 1
                    self.assertTrue(any(opaque_clause_around(code, lasti)
                                        for code, lasti in event.chain),
                                    'caught, but stopped: ' + context)
                else:
                    counts['caught'] += 1
            # The C-level hook decides the same.
            main, filename = load(seed)
            self.assertEqual(ExceptionRun(UNHANDLED)(main),
                             [event.where for event in events if event.stopped],
                             'program %d' % seed)
        # The corpus exercises all three outcomes.
        self.assertTrue(min(counts.values()) > 20, counts)


def decisions(program, before_exception=None):
    main, filename = program()
    events, escaped = observe(main, filename, before_exception)
    return [(event.where, event.stopped) for event in events]


class MemoryOfPropagation(unittest.TestCase):
    def test_remembered_answers_are_those_of_fresh_walks(self):
        programs = [load_deep] + [lambda seed=seed: load(seed) for seed in SEEDS]
        for program in programs:
            remembered = decisions(program)
            self.assertEqual(remembered, decisions(program, forget_propagation))
            self.assertEqual(remembered, decisions(program, values_may_have_changed))
        # The deep program stops in every frame an exception passes under the clause that
        # calls, and, once the finally block has rebound the name, in every frame the rebound
        # clause's exception passes: nowhere else.
        stops = [where for where, stopped in decisions(load_deep) if stopped]
        self.assertEqual(stops, [('down', 'down', 'KeyError')] * 13 +
                         [('main', 'down', 'KeyError')] +
                         [('rebinding', 'rebinding', 'KeyError')] * 15 +
                         [('main', 'rebinding', 'KeyError')])

    def test_a_handler_far_up_is_read_once_per_exception(self):
        # The handler's clause names a global whose lookup meets a key of the same hash, whose
        # __eq__ counts the lookups: remembering the walk reads it a fixed number of times, where
        # walking afresh at every event reads it once per frame the exception passes.
        source = raising_corpus.PRELUDE + (
            'def down(n):\n'
            '    if n == 0:\n'
            '        raise KeyError("k")\n'
            '    return down(n - 1)\n'
            'def main():\n'
            '    try:\n'
            '        down(30)\n'
            '    except Handled:\n'
            '        pass\n'
            'Handled = KeyError\n')
        compares = []

        class SameHash(object):
            def __hash__(self):
                return hash('Handled')

            def __eq__(self, other):
                compares.append(other)
                return False

        def program():
            namespace = {SameHash(): None, '__name__': 'counted'}
            exec compile(source, '/corpus/counted.py', 'exec') in namespace
            del compares[:]
            return namespace['main'], '/corpus/counted.py'

        self.assertEqual(decisions(program), decisions(program, forget_propagation))
        decisions(program, forget_propagation)
        self.assertTrue(len(compares) > 30, len(compares))
        decisions(program)
        self.assertTrue(len(compares) <= 3, len(compares))


if __name__ == '__main__':
    unittest.main()
