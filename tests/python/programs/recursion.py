def fact(n):
    if n <= 1:
        return 1
    return n * fact(n - 1)


total = fact(4)
total += 1
