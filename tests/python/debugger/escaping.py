import functools


def logged(fn):
    @functools.wraps(fn)
    def wrapper(*args):
        return fn(*args)
    return wrapper


@logged
def price(item):
    table = {'apple': 3}
    return table[item]


try:
    print 'total', price('apple') + price('pear')
finally:
    print 'closing'
