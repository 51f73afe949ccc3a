"""A module the oracle program imports late: breakpoints are set in it before."""


def helped(x):
    y = x * 2
    return y + 1
