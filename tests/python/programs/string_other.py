other_first = first + 10
other_second = second + 20
