import sys


def scale(value, factor):
    result = value * factor
    return result


def total(values):
    acc = 0
    for v in values:
        acc += scale(v, 2)
    return acc


print 'args:', sys.argv[1:]
answer = total([1, 2, 3])
print 'answer:', answer
sys.exit(answer % 7)
