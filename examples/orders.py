"""A small order calculator: the program `make demo` debugs with `vorn-console debug`.

With --with-unpriced it goes on to total an order whose line has no price yet: the
multiplication fails, and nothing catches the error."""


def line_total(price, quantity):
    subtotal = price * quantity
    if quantity >= 10:
        subtotal = subtotal * 0.9
    return subtotal


def order_total(lines):
    total = 0
    for price, quantity in lines:
        total += line_total(price, quantity)
    return total


order = [(2.5, 4), (1.25, 12), (10.0, 1)]
print 'order total: %.2f' % order_total(order)

import sys
if '--with-unpriced' in sys.argv[1:]:
    print 'unpriced order total: %.2f' % order_total([(None, 3)])
