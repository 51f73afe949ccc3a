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


def observe(main, filename):
    """Runs main() as the debugged region, feeding every event through the tracer's
    trace_dispatch. Returns the exception events of the program and the traceback objects of
    the exception that left main(), if any."""
    events, stopped = [], []

    def exception_cb(frame, arg, changed):
        stopped.append(frame)

    def observer(frame, event, arg):
        del stopped[:]
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


if __name__ == '__main__':
    unittest.main()
