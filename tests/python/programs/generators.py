def count_up(limit):
    i = 0
    while i < limit:
        yield i
        i += 1


def consume():
    seen = []
    for value in count_up(3):
        seen.append(value)
    return seen


result = consume()
squares = [x * x for x in count_up(2)]
