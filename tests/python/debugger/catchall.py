import atexit
import contextlib
import sys

log = []
atexit.register(lambda: sys.stdout.write('exit handler, log: %s\n' % ' '.join(log)))


@contextlib.contextmanager
def swallowing():
    try:
        yield
    except BaseException:
        log.append('swallowed')


def work(n):
    return n * 2


def bare(n):
    try:
        return work(n)
    except:
        log.append('bare')
        return -1


def base(n):
    try:
        return bare(n)
    except BaseException:
        log.append('base')
        return -2


def wrapped(n):
    with swallowing():
        return base(n)
    log.append('after with')
    return -3


for n in range(3):
    try:
        result = wrapped(n)
        print 'result', result
    except Exception:
        print 'caught by except Exception'
    finally:
        log.append('finally')
print 'ran on'
