"""Seeded fuzz run of DeserializeLogicalList, run by CTest under python2.7-dbg.

    python2.7-dbg fuzz_deserialize.py [--build DIR] [--inputs N] [--seed S] [--rounds R]

Feeds N inputs (every truncation of valid strings, random strings, and valid strings with
bytes changed, inserted or dropped and 32-bit fields replaced by huge, negative or out-of-range
values) one line at a time, and then all of them as one list, to the analyzer. Every input must
either give the line that a struct model of the binary form describes or fail with the ValueError
of malformed data. The same inputs run R times; the interpreter's total reference count may not
grow over every round after the first (a leak of the failure paths). Exits non-zero on the first
disagreement or a leak, and a crash fails the run by itself.
"""
import gc
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def parse_args(argv):
    opts = {'build': os.path.join(HERE, '..', '..', 'build'), 'inputs': 20000, 'seed': 1,
            'rounds': 4}
    for name, value in zip(argv[0::2], argv[1::2]):
        key = name.lstrip('-')
        opts[key] = value if key == 'build' else int(value)
    return opts


def run_round(analyzer, names_used, cases, line_fields, INVALID):
    """Runs every (data, expected fields or None) case; a description of the first
    disagreement, or None."""
    for data, expected in cases:
        try:
            restored, = analyzer.DeserializeLogicalList((names_used, [data]))
        except ValueError as error:
            if expected is not None or str(error) != INVALID:
                return 'input %r: %s (model: %r)' % (data, error, expected)
            continue
        if expected is None or line_fields(restored) != expected:
            return 'input %r gave %r, model %r' % (data, line_fields(restored), expected)
    # All inputs as one call: the first bad one fails it, releasing the lines already built.
    try:
        analyzer.DeserializeLogicalList((names_used, [data for data, _ in cases]))
    except ValueError:
        pass
    return None


def expectation(model_deserialize, Invalid, names_used, data):
    try:
        return model_deserialize(names_used, data)
    except Invalid:
        return None


def main(argv):
    opts = parse_args(argv)
    build = os.path.abspath(opts['build'])
    sys.path[:0] = [HERE, os.path.join(HERE, '..', '..', 'ide'), os.path.join(build, 'python'),
                    os.path.join(build, 'testmods')]
    import _quarnel_testhooks as hooks
    from analyzer_support import analyzer_args
    from serialization_support import (INVALID, Invalid, fuzz_inputs, fuzz_names_used,
                                       fuzz_seeds, line_fields, model_deserialize)

    analyzer = hooks.CreateQuarnelImpl(*analyzer_args())
    names_used = fuzz_names_used()
    # The model runs once, before the counted rounds (its struct format cache comes and goes).
    cases = [(data, expectation(model_deserialize, Invalid, names_used, data))
             for data in fuzz_inputs(opts['seed'], opts['inputs'], fuzz_seeds())]
    counting = hasattr(sys, 'gettotalrefcount')
    deltas = []
    for _ in range(opts['rounds']):
        gc.collect()
        before = sys.gettotalrefcount() if counting else 0
        failure = run_round(analyzer, names_used, cases, line_fields, INVALID)
        if failure:
            print('FAIL: ' + failure)
            return 1
        gc.collect()
        after = sys.gettotalrefcount() if counting else 0  # read before deltas.append is bound
        deltas.append(after - before)
    print('%d inputs x %d rounds, seed %d; reference count deltas %r'
          % (len(cases), opts['rounds'], opts['seed'], deltas))
    if len(deltas) > 1 and all(d > 0 for d in deltas[1:]):
        print('FAIL: the reference count grew every round')
        return 1
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
