"""Helpers for stored analyses (SerializeLogicalList / DeserializeLogicalList): a plain Python
model of the binary form to check the analyzer against, lines filled by a real analysis, and the
seeded input generator of the deserializer fuzz run."""
import random
import struct

INVALID = "Invalid data found while deserializing logical line"

IMPORT_TYPES = (16, 17)


def line_fields(line):
    """Every field of a line that a stored analysis keeps, in a comparable form."""
    return dict(lineno=line.fLineno, indent=line.fIndent, linecount=line.fLineCount,
                linetype=line.fLineType, parsed=line.fParsed, flag1=line.fFlag1,
                flag2=line.fFlag2, tokens=line.fTokens,
                positions=[tuple(p) for p in line.fTokenPositions], scope=line.fScopeName,
                names=line.fNames, equivs=[tuple(e) for e in line.fEquivs])


def is_import_line(line):
    return line.fLineType in IMPORT_TYPES or any(
        isinstance(t, str) and t == 'import' for t in line.fTokens)


def model_serialize(lines, unparsed_lines):
    """(names_used, data) as the binary form prescribes, built with struct."""
    index, names_used, data = {}, [], []

    def ref(obj):
        if obj not in index:
            index[obj] = len(names_used)
            names_used.append(obj)
        return index[obj]

    for line in lines:
        importing = is_import_line(line)
        parsed = 0 if importing else int(line.fParsed and line not in unparsed_lines)
        tokens = line.fTokens
        parts = [struct.pack('<ihhHHHHi', line.fLineno, line.fIndent, line.fLineCount,
                             line.fLineType, parsed, line.fFlag1, line.fFlag2, len(tokens))]
        parts.append(struct.pack('<%di' % len(tokens), *[ref(t) for t in tokens]))
        positions = [n for pair in line.fTokenPositions for n in pair]
        parts.append(struct.pack('<i%dH' % len(positions), len(tokens), *positions))
        parts.append(struct.pack('<i', ref(line.fScopeName)))
        names = [] if importing else line.fNames
        equivs = [] if importing else [n for pair in line.fEquivs for n in pair]
        parts.append(struct.pack('<i%di' % len(names), len(names), *[ref(n) for n in names]))
        parts.append(struct.pack('<i%di' % len(equivs), len(equivs) // 2,
                                 *[ref(e) for e in equivs]))
        data.append(''.join(parts))
    return names_used, data


class Invalid(Exception):
    pass


class _Reader(object):
    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        size = struct.calcsize(fmt)
        if self.at + size > len(self.data):
            raise Invalid()
        values = struct.unpack_from(fmt, self.data, self.at)
        self.at += size
        return values

    def count(self):
        n, = self.take('<i')
        if n < 0:
            raise Invalid()
        return n

    def refs(self, names_used, n):
        if self.at + 4 * n > len(self.data):
            raise Invalid()
        found = []
        for ref in self.take('<%dI' % n):
            if ref >= len(names_used):
                raise Invalid()
            found.append(names_used[ref])
        return found


def model_deserialize(names_used, data):
    """The fields (as line_fields gives them) of the line data describes; Invalid when the data
    is malformed."""
    r = _Reader(data)
    lineno, indent, linecount, linetype, parsed, flag1, flag2 = r.take('<ihhHHHH')
    tokens = r.refs(names_used, r.count())
    if r.count() != len(tokens):
        raise Invalid()
    flat = r.take('<%dH' % (2 * len(tokens)))
    scope, = r.refs(names_used, 1)
    if scope is not None and not isinstance(scope, str):
        raise Invalid()
    names = r.refs(names_used, r.count())
    pairs = r.refs(names_used, 2 * r.count())
    return dict(lineno=lineno, indent=indent, linecount=linecount, linetype=linetype & 0xff,
                parsed=bool(parsed & 1), flag1=bool(flag1 & 1), flag2=bool(flag2 & 1),
                tokens=tokens, positions=zip(flat[0::2], flat[1::2]), scope=scope, names=names,
                equivs=zip(pairs[0::2], pairs[1::2]))


def analyze_source(source, module=None):
    """The logical lines of source analyzed in full by a real analyzer (of `module`,
    quarnel_impl by default) as the environment builds one: scope names, parameters, defined
    names, type equivalences and import records as the visitors record them, and flag bits 1
    and 2 set on a pattern. Returns (lines, unparsed_lines): the unparsed_lines dict of a save
    holds every seventh line."""
    from analyzer_support import real_analyzer
    analyzer, lines, _ = real_analyzer(source, module=module)
    analyzer.AnalyzeLogicalList(lines, -1, 0.0)
    analyzer.destroy()   # the lines keep what it recorded
    for i, line in enumerate(lines):
        line.fFlag1 = i % 3 == 0
        line.fFlag2 = i % 5 == 0
    return lines, dict((line, True) for line in lines[::7])


class StrSubclass(str):
    pass


def fuzz_names_used():
    """A names_used list with objects of every kind a reference can meet."""
    return ['def', 'f', '(', 'self', 'Mod.Cls', None, 7, StrSubclass('Sub.scope'), u'uni',
            ('x', None, 'x', None), 'import', '::dict:']


def fuzz_inputs(seed, count, seeds):
    """count deserializer inputs from a seeded generator: random strings, mutations of the valid
    strings in `seeds` (bytes changed, 32-bit fields replaced by huge, negative or out-of-range
    values, bytes inserted or dropped) and every truncation of each seed."""
    rng = random.Random(seed)
    specials = [0, 1, 11, 12, 0x7fffffff, 0x80000000, 0xffffffff, 0x10000, 0x40000000]
    produced = 0
    for data in seeds:
        for cut in range(len(data)):
            if produced == count:
                return
            produced += 1
            yield data[:cut]
    while produced < count:
        produced += 1
        choice = rng.random()
        if choice < 0.15:
            yield ''.join(chr(rng.randrange(256)) for _ in range(rng.randrange(80)))
            continue
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randrange(1, 4)):
            kind = rng.randrange(4)
            at = rng.randrange(len(data) + 1)
            if kind == 0 and at < len(data):
                data[at] = rng.randrange(256)
            elif kind == 1 and at + 4 <= len(data):
                data[at:at + 4] = struct.pack('<I', rng.choice(specials))
            elif kind == 2:
                data[at:at] = chr(rng.randrange(256)) * rng.randrange(1, 9)
            else:
                del data[at:at + rng.randrange(1, 9)]
        yield str(data)


def fuzz_seeds():
    """Valid data strings over fuzz_names_used(): small lines of every shape."""
    return [
        struct.pack('<ihhHHHHi', 3, 1, 1, 2, 1, 0, 1, 3) + struct.pack('<3i', 0, 1, 2) +
        struct.pack('<i6H', 3, 0, 0, 0, 4, 0, 5) + struct.pack('<i', 4) +
        struct.pack('<ii', 1, 3) + struct.pack('<i2i', 1, 3, 6),
        struct.pack('<ihhHHHHi', -1, -2, 0, 0x1ff, 3, 2, 0, 0) + struct.pack('<i', 0) +
        struct.pack('<i', 5) + struct.pack('<ii', 0, 0),
        struct.pack('<ihhHHHHi', 9, 0, 2, 17, 0, 0, 0, 2) + struct.pack('<2i', 10, 9) +
        struct.pack('<i4H', 2, 0, 0, 1, 7) + struct.pack('<i', 7) +
        struct.pack('<i2i', 2, 9, 8) + struct.pack('<i', 0),
    ]
