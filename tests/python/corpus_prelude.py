"""Definitions at the head of every program of raising_corpus."""
import types

class MyError(ValueError):
    pass

mod = types.ModuleType('mod')
mod.Err = MyError
ERRORS = (KeyError, MyError)

class Holder(object):
    pass

holder = Holder()
holder.a = Holder()
holder.a.B = IndexError

_ticks = [0]

def tick():
    _ticks[0] += 1
    return _ticks[0]

def get_errors():
    return (KeyError, IndexError)

def pick(error):
    return error

class Manager(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

class Counter(object):
    def __init__(self):
        self.n = 0

    def __iter__(self):
        return self

    def next(self):
        self.n += 1
        if self.n > 2:
            raise StopIteration
        return self.n

class Seq(object):
    def __getitem__(self, i):
        if i > 1:
            raise IndexError(i)
        return i


class Lazy(object):
    def __getattr__(self, name):
        raise AttributeError(name)

lazy = Lazy()

class Swallow(object):
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return True

def raiser(x):
    raise MyError(x)
