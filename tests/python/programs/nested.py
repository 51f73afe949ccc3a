import helper_module


def leaf(x):
    return x + 1


def middle(x):
    y = leaf(x)
    z = leaf(y)
    return y + z


def top():
    a = middle(1)
    b = helper_module.twice(a)
    return a + b


value = top()
