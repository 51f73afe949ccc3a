import sys


def scale(value, factor):
    result = value * factor
    return result


def total(values):
    acc = 0
    for v in values:
        acc += scale(v, 2)
    return acc


def describe(n):
    # How the answer is shown.
    text = 'n=%d' % n
    return text


class Box(object):
    def size(self):
        return 3


print 'start'
answer = total([1, 2, 3])
print describe(answer)
import oracle_helper
print oracle_helper.helped(5)
box = Box()
print box.size(), 'end'
