FACTOR = 2


def twice(x):
    return x * FACTOR
