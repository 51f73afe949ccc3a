def inner(values):
    return values[10]


def outer():
    data = [1, 2, 3]
    return inner(data)


start = 1
outer()
never = 2
