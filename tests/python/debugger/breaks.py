import sys


def visit(items):
    seen = 0
    for item in items:
        seen += item
    return seen


def main():
    totals = []
    for n in range(1, 6):
        totals.append(visit(range(n)))
    print 'totals:', totals
    return sum(totals)


sys.exit(main() % 7)
