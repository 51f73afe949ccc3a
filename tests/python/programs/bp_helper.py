def twice(x):
    doubled = x * 2
    return doubled
