"""Programs in the shapes that decide whether an exception escapes: handlers that are no except
clause of a Python frame (C code that consumes an exception, generator finalisation, context
managers, finally blocks that cancel), clauses whose class expression is not a plain name, and
their escaping counterparts. Each function in CAUGHT catches everything it raises; each one in
ESCAPES lets exactly one exception out.
"""
import contextlib
import functools


class Error(Exception):
    pass


ERRS = [Error, KeyError]


def errors():
    return (Error, KeyError)


def gen_two():
    yield 1
    yield 2


class Iter(object):
    """An iterator whose next() ends the iteration with StopIteration, as iterators do."""

    def __init__(self, n=2):
        self.n = n

    def __iter__(self):
        return self

    def next(self):
        if self.n <= 0:
            raise StopIteration
        self.n -= 1
        return self.n


class OldSeq:
    """An old-style sequence: iteration calls __getitem__ until it raises IndexError."""

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return i


def _get(self, i):
    if i >= 2:
        raise IndexError(i)
    return i


def passthrough(fn):
    @functools.wraps(fn)
    def wrapper(*args, **kw):
        return fn(*args, **kw)
    return wrapper


class AliasSeq(object):
    __getitem__ = _get


class LambdaSeq(object):
    __getitem__ = lambda self, i: [0, 1][i]


class DecoratedSeq(object):
    @passthrough
    def __getitem__(self, i):
        return [0, 1][i]


class Lazy(object):
    def __getattr__(self, name):
        raise AttributeError(name)

    @property
    def broken(self):
        raise AttributeError('broken')


class Missing(dict):
    def __missing__(self, key):
        raise KeyError(key)


class Swallow(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return True


class Passing(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


@contextlib.contextmanager
def catching():
    try:
        yield
    except Error:
        pass


@contextlib.contextmanager
def plain_cm():
    yield


# -- caught ----------------------------------------------------------------------------------

def close_suspended_generator():
    g = gen_two()
    next(g)
    g.close()


def generator_freed_while_suspended():
    g = gen_two()
    next(g)
    del g


def generator_with_finally_closed():
    def g():
        try:
            yield 1
        finally:
            pass
    it = g()
    next(it)
    it.close()


def any_over_generator():
    return any(x > 0 for x in gen_two())


def next_then_drop():
    return next(iter(x for x in gen_two()))


def break_out_of_generator_loop():
    for x in gen_two():
        break


def return_from_generator_loop():
    for x in gen_two():
        return x


def c_consumers_of_iterators():
    list(Iter())
    tuple(Iter())
    sum(Iter())
    any(Iter(0))
    a, b = Iter()
    dict((x, x) for x in Iter())
    dict(zip(Iter(), Iter()))
    3 in Iter()
    sorted(Iter())
    ''.join(str(x) for x in Iter())


def explicit_stop_iteration_in_generator():
    def g():
        yield 1
        raise StopIteration
    return list(g())


def next_with_default():
    return next(Iter(0), None)


def old_sequences_in_c():
    list(OldSeq())
    5 in OldSeq()
    tuple(AliasSeq())


def for_over_unusual_getitem():
    for s in (AliasSeq(), LambdaSeq(), DecoratedSeq(), OldSeq()):
        for x in s:
            pass


def hasattr_and_getattr_default():
    o = Lazy()
    hasattr(o, 'name')
    hasattr(o, 'broken')
    getattr(o, 'name', None)
    getattr(o, 'broken', 0)


def missing_consumed():
    d = Missing()
    return d.get('k'), 'k' in d


def swallowing_with():
    with Swallow():
        raise Error('swallowed')


def contextmanager_catches():
    with catching():
        raise Error('caught by the generator')


def finally_return():
    def inner():
        try:
            raise Error('cancelled')
        finally:
            return 1
    return inner()


def finally_break():
    for i in range(2):
        try:
            raise Error('cancelled')
        finally:
            break


def clause_with_call():
    try:
        raise Error('x')
    except errors():
        pass


def clause_with_closure_variable():
    err = Error
    def inner():
        try:
            raise Error('x')
        except err:
            pass
    inner()


def clause_with_subscript():
    try:
        raise KeyError('x')
    except ERRS[1]:
        pass


def clause_with_expression():
    try:
        raise Error('x')
    except (Error if True else KeyError):
        pass


def caught_two_frames_up_through_c():
    def raiser(x):
        raise Error(x)
    try:
        map(raiser, [1])
    except Error:
        pass


def caught_by_clause_after_finally():
    try:
        try:
            raise Error('x')
        finally:
            pass
    except Error:
        pass


CAUGHT = [close_suspended_generator, generator_freed_while_suspended,
          generator_with_finally_closed, any_over_generator, next_then_drop,
          break_out_of_generator_loop, return_from_generator_loop, c_consumers_of_iterators,
          explicit_stop_iteration_in_generator, next_with_default, old_sequences_in_c,
          for_over_unusual_getitem, hasattr_and_getattr_default, missing_consumed,
          swallowing_with, contextmanager_catches, finally_return, finally_break,
          clause_with_call, clause_with_closure_variable, clause_with_subscript,
          clause_with_expression, caught_two_frames_up_through_c,
          caught_by_clause_after_finally]


# -- escaping ---------------------------------------------------------------------------------

def raiser(x):
    raise Error(x)


def callback_raises_in_map():
    map(raiser, [1])


def key_raises_in_sorted():
    sorted([2, 1], key=raiser)


def generator_raises_under_list():
    def g():
        yield 1
        raise Error('in generator')
    list(g())


def next_called_at_the_end():
    it = Iter(0)
    it.next()


def getattr_without_default():
    getattr(Lazy(), 'name')


def bare_reraise():
    try:
        raise Error('again')
    except Error:
        raise


def through_finally():
    try:
        raiser(1)
    finally:
        pass


def through_passing_with():
    with Passing():
        raiser(2)


def through_contextmanager():
    with plain_cm():
        raiser(3)


def through_decorated_call():
    passthrough(raiser)(4)


def clause_with_call_not_matching():
    try:
        raise KeyError('k')
    except errors()[0]:
        pass


def raised_in_c_deep():
    def inner(d):
        return d['missing']
    inner({})


def new_exception_from_handler():
    try:
        raise KeyError('first')
    except KeyError:
        raise Error('second')


def generator_exit_replaced():
    def g():
        try:
            yield 1
        except GeneratorExit:
            raise Error('on close')
    it = g()
    next(it)
    it.close()


ESCAPES = [callback_raises_in_map, key_raises_in_sorted, generator_raises_under_list,
           next_called_at_the_end, getattr_without_default, bare_reraise, through_finally,
           through_passing_with, through_contextmanager, through_decorated_call,
           clause_with_call_not_matching, raised_in_c_deep, new_exception_from_handler,
           generator_exit_replaced]
