"""Helpers of the analyzer suites: logical lines cut from real source, and small stand-ins for
the environment's objects that an analyzer is created with.

Lines come from the environment's cutter (vornide.logicallines) when that package is present,
else from the small tokenize-based cutter below: one logical line per NEWLINE token, comment and
blank lines left out, types 1 (class), 2 (def), 16 (import), 17 (from-import), else 0.
"""
import tokenize
from StringIO import StringIO

import logicalline

try:
    from vornide import logicallines as _vornide_lines
except ImportError:
    _vornide_lines = None

LINE_TYPES = {'class': 1, 'def': 2, 'import': 16, 'from': 17}


class LineSpec(object):
    """One logical line before it becomes a LogicalLine."""

    def __init__(self, tokens, positions, lineno, linecount, indent, linetype):
        self.tokens = tokens
        self.positions = positions
        self.lineno = lineno
        self.linecount = linecount
        self.indent = indent
        self.linetype = linetype


def cut_logical_lines(source):
    """Cuts source text into LineSpecs, one per NEWLINE token."""
    specs = []
    tokens, positions, first_row, indent = [], [], None, 0
    skipped = (tokenize.COMMENT, tokenize.NL, tokenize.ENDMARKER)
    for kind, text, (row, col), (end_row, _), _ in tokenize.generate_tokens(
            StringIO(source).readline):
        if kind == tokenize.INDENT:
            indent += 1
        elif kind == tokenize.DEDENT:
            indent -= 1
        elif kind == tokenize.NEWLINE:
            if tokens:
                specs.append(LineSpec(tokens, positions, first_row, end_row - first_row + 1,
                                      indent, LINE_TYPES.get(tokens[0], 0)))
            tokens, positions, first_row = [], [], None
        elif kind not in skipped:
            if first_row is None:
                first_row = row
            tokens.append(text)
            positions.append((min(row - first_row, 65535), min(col, 65535)))
    return specs


def make_logical_lines(source):
    """LogicalLine objects for source text."""
    if _vornide_lines is not None:
        return _vornide_lines.make_logical_lines(source, logicalline)
    return [logicalline.LogicalLine(s.tokens, s.positions, s.lineno, s.linecount, s.indent,
                                    s.linetype)
            for s in cut_logical_lines(source)]


def module_source(module):
    """The source text of an imported standard module."""
    path = module.__file__
    if path.endswith(('.pyc', '.pyo')):
        path = path[:-1]
    with open(path) as f:
        return f.read()


def line(lineno=1, linecount=1, tokens=('pass',), linetype=0, indent=0, parsed=False, names=()):
    """A LogicalLine with the given fields and fNames entries."""
    result = logicalline.LogicalLine(list(tokens), None, lineno, linecount, indent, linetype)
    result.fParsed = parsed
    for name in names:
        result.AddName(name)
    return result


class ModuleAnalysis:
    """Stands in for the module analysis (a classic class, as the analyzer requires)."""

    def __repr__(self):
        return '<ModuleAnalysis stand-in>'


class Transformer(object):
    def TransformNode(self, tree):
        return tree


class Grammar(object):
    pass


def attrib_ref_factory(*args):
    return args


def analyzer_args(**overrides):
    """CreateQuarnelImpl's argument list; keywords replace single arguments by their names."""
    names = ['mod_analysis', 'grammar', 'xformer', 'name_pool', 'attrib_ref_factory',
             'logical_line_module']
    values = dict(mod_analysis=ModuleAnalysis(), grammar=Grammar(), xformer=Transformer(),
                  name_pool={}, attrib_ref_factory=attrib_ref_factory,
                  logical_line_module=logicalline)
    values.update(overrides)
    return [values[n] for n in names]


class TraceSink(object):
    """Records what the analyzer writes; write number `fail_at` (0-based) raises instead."""

    def __init__(self, fail_at=None, on_write=None):
        self.writes = []
        self.fail_at = fail_at
        self.on_write = on_write

    def write(self, text):
        if self.fail_at is not None and len(self.writes) == self.fail_at:
            raise IOError('sink full')
        self.writes.append(text)
        if self.on_write is not None:
            self.on_write(text)

