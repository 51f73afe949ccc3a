# A program for the debug adapter's tests: imports a module late, loops, prints to both
# streams, raises and catches, and ends with a status.
import sys


def price(item, count):
    total = item * count
    return total


def run(items):
    import pricing
    totals = []
    for n, item in enumerate(items):
        totals.append(pricing.discounted(price(item, n + 1)))
    label = 'sum'
    return label, sum(totals)


class Basket(object):
    def __init__(self, items):
        self.items = items

    def weigh(self):
        return len(self.items)


def main():
    items = [3, 5, 7, 11]
    basket = Basket(items)
    mapping = {'a': 1, 'b': [1, 2]}
    label, total = run(items)
    sys.stdout.write('total %d\n' % total)
    sys.stderr.write('weighed %d\n' % basket.weigh())
    try:
        mapping['missing']
    except KeyError:
        pass
    return total


if __name__ == '__main__':
    status = main()
    sys.exit(status % 7)
