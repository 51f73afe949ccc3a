def square(n):
    result = n * n
    return result


def accumulate(limit):
    total = 0
    for i in range(limit):
        total += square(i)
        if i % 3 == 0:
            total -= 1
    return total


def countdown(n):
    while n > 0:
        yield n
        n -= 1


def risky(value):
    try:
        if value > 2:
            raise ValueError(value)
        return value
    except ValueError:
        return -value


results = []
for k in range(6):
    results.append(accumulate(k))
    results.append(sum(countdown(k)))
    results.append(risky(k))
import bp_helper
results.append(bp_helper.twice(len(results)))
