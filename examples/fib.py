def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


def report(values):
    for v in values:
        print 'fib ->', v


numbers = [fib(i) for i in range(4)]
report(numbers)
