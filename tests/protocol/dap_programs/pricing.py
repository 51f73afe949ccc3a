# Imported by orders.py only once it runs.


def discounted(value):
    if value > 20:
        value -= 1
    return value
