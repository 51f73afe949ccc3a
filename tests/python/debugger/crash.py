def parse(text):
    fields = text.split(',')
    return int(fields[1])


def load(lines):
    return [parse(line) for line in lines]


print 'loaded', load(['a,1', 'b,2', 'c'])
