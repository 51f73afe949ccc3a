"""Cuts Python source into logical lines, the unit the source analyzer works on.

A logical line is one statement, one clause header of a compound statement, one
comment-only line or one blank line.  `cut_logical_lines` returns plain `LineRecord`
tuples and needs nothing but the standard library; `make_logical_lines` turns them into
objects of the `logicalline` extension module.

Line types (`LineRecord.linetype`, the logical line's fLineType):

  code  line                                         parsed by the analyzer
  ----  -------------------------------------------  ----------------------
     1  class header (token 1 is the class name)     yes
     2  def header (token 1 is the function name)    yes
     3  documentation string: a statement made only  yes
        of string literals that comes first in the
        module or directly under a class or def
        header (the lead line of that scope)
     4  other block header: if, while, for, with     yes (the analyzer ends
                                                     it with a "pass" body)
     5  decorator (@name ...)                        yes (as "~name ...")
     6  try:                                         never
     7  any other simple statement                   yes
    11  else:                                        never
    12  elif ...:                                    never
    13  except ...:                                  never
    16  import ...                                   yes
    17  from ... import ...                          yes
    20  finally:                                     never
    21  comment-only line (its one token is the      ignored by scope walks
        comment)
    22  blank line (no tokens)                       ignored by scope walks

Cutting rules:
  - Tokens are the token strings of the statement as `tokenize` gives them, without
    NEWLINE, NL, INDENT, DEDENT or COMMENT tokens; a comment-only line keeps its comment
    as its one token.  Comments and blank lines inside a bracketed statement belong to
    the statement and are dropped.
  - A compound statement whose body follows the colon on the same physical line
    (`if x: y`, `def f(): return 1`, `except E: pass`) gives the header (up to and
    including its colon) and then each body statement as its own logical line, one
    indentation level deeper.  The body lines start on the header's physical line.
  - Simple statements separated by ";" become separate logical lines; the ";" belongs
    to neither.
  - Positions: one (row, column) pair per token.  row is the token's physical line
    minus the logical line's first physical line (`lineno`); column is the character
    offset in its physical line as `tokenize` counts it (a tab is one character).  Both
    are clamped to 65535 so they fit the logical line's 16-bit fields.
  - `indent` is the indentation level (0 at module level), counted from the columns of
    the statements' first tokens the way the interpreter does (tabs to multiples of 8).
    Inconsistent dedents do not stop the cut: the line just gets a level of its own.
    Comment lines get the level their column falls in, blank lines the level of the
    statement before them.
  - Physical lines end at "\r\n", "\r" or "\n", as the interpreter reads them; the cutter
    works on the source with every line end made "\n" (so a string token spanning lines
    holds "\n" line ends, as the compiled string does).  A leading byte-order mark (UTF-8
    in str source, u'\ufeff' in unicode source) is not part of the source.
  - `linecount` is the number of physical lines from the first token to the end of the
    last one, or to the statement's end of line when a backslash continues it onto rows
    without tokens: every physical line belongs to a logical line.  A last line of blanks
    without a line end is a blank line.
  - Source the tokenizer cannot finish (an unclosed bracket or triple-quoted string at
    the end, as while the user is typing) is still cut: the unfinished statement ends
    the list, an unclosed string being one token that runs to the end of the source.
  - Unicode source is cut as its UTF-8 encoding: tokens are always str.
"""
import codecs
import collections
import token as _token
import tokenize

# Line type codes (see the table above).
kLineClass = 1
kLineDef = 2
kLineDocString = 3
kLineBlockHeader = 4
kLineDecorator = 5
kLineTry = 6
kLineStatement = 7
kLineElse = 11
kLineElif = 12
kLineExcept = 13
kLineImport = 16
kLineFromImport = 17
kLineFinally = 20
kLineComment = 21
kLineBlank = 22

NEVER_PARSED_TYPES = frozenset([kLineTry, kLineElse, kLineElif, kLineExcept, kLineFinally])
IGNORED_TYPES = frozenset([kLineComment, kLineBlank])

_FIRST_TOKEN_TYPES = {
    'class': kLineClass, 'def': kLineDef, '@': kLineDecorator,
    'if': kLineBlockHeader, 'while': kLineBlockHeader, 'for': kLineBlockHeader,
    'with': kLineBlockHeader,
    'try': kLineTry, 'else': kLineElse, 'elif': kLineElif, 'except': kLineExcept,
    'finally': kLineFinally, 'import': kLineImport, 'from': kLineFromImport,
}
# First tokens of the statements that end in a colon and may carry their body inline.
_HEADER_KEYWORDS = frozenset(['class', 'def', 'if', 'while', 'for', 'with', 'try', 'else',
                              'elif', 'except', 'finally'])
_OPENERS = frozenset(['(', '[', '{'])
_CLOSERS = frozenset([')', ']', '}'])
_MAX_POSITION = 65535
_MAX_LINECOUNT = 32767

LineRecord = collections.namedtuple('LineRecord',
                                  'tokens positions lineno linecount indent linetype')


class _Tok(object):
    """A significant token: text, tokenize type, start and end (row, column); rows are
    1-based physical line numbers."""
    __slots__ = ('text', 'kind', 'srow', 'scol', 'erow', 'ecol')

    def __init__(self, text, kind, srow, scol, erow, ecol):
        self.text = text
        self.kind = kind
        self.srow = srow
        self.scol = scol
        self.erow = erow
        self.ecol = ecol


def _visual_column(line, col):
    """The indentation column of the first token at `col` of `line`, as the tokenizer
    computes it."""
    column = 0
    for ch in line[:col]:
        if ch == ' ':
            column += 1
        elif ch == '\t':
            column = (column // 8 + 1) * 8
        elif ch == '\f':
            column = 0
        else:
            break
    return column


def _raw_tokens(lines):
    """Yields (type, text, srow, scol, erow, ecol, line) for `lines`, restarting the
    tokenizer after an inconsistent dedent, which would otherwise end it.  Tokenizer
    errors at the end of the source are yielded as a final (None, message, row, col, ...)
    item."""
    start = 0
    while True:
        index = [start]

        def readline():
            i = index[0]
            if i < len(lines):
                index[0] = i + 1
                return lines[i]
            return ''
        try:
            for kind, text, (srow, scol), (erow, ecol), line in \
                    tokenize.generate_tokens(readline):
                yield kind, text, srow + start, scol, erow + start, ecol, line
            return
        except IndentationError as exc:
            row = exc.args[1][1] + start
            if row - 1 <= start:
                raise  # no progress possible; cannot happen with the tokenizer's rules
            start = row - 1
        except tokenize.TokenError as exc:
            message, (row, col) = exc.args
            yield None, message, row + start, col, 0, 0, ''
            return


def _source_lines(source):
    """The physical lines of `source` as str, each ending in "\n" but the last when the
    source does not end with a line end; the byte-order mark is dropped."""
    if isinstance(source, unicode):
        if source.startswith(u'\ufeff'):
            source = source[1:]
        source = source.encode('utf-8')
    elif source.startswith(codecs.BOM_UTF8):
        source = source[len(codecs.BOM_UTF8):]
    if '\r' in source:
        source = source.replace('\r\n', '\n').replace('\r', '\n')
    return source.splitlines(True)


class _Cutter(object):
    def __init__(self, lines):
        self.lines = lines
        self.clean = True            # the tokenizer reached the end without an error
        self.records = []
        self.stack = [0]             # indentation columns of the open levels
        self.level = 0               # level of the last statement
        self.opened_block = False    # the last line was a header without inline body
        self.last_code = None        # last statement line record (not comment or blank)

    # -- emitting ---------------------------------------------------------------------

    def emit(self, toks, level, linetype=None):
        first = toks[0]
        lineno = first.srow
        if linetype is None:
            linetype = _FIRST_TOKEN_TYPES.get(first.text, kLineStatement)
            if linetype == kLineStatement and self._is_docstring(toks, level):
                linetype = kLineDocString
        positions = [(min(t.srow - lineno, _MAX_POSITION), min(t.scol, _MAX_POSITION))
                     for t in toks]
        linecount = min(max(t.erow for t in toks) - lineno + 1, _MAX_LINECOUNT)
        record = LineRecord([t.text for t in toks], positions, lineno, linecount, level,
                        linetype)
        self.records.append(record)
        if linetype not in IGNORED_TYPES:
            self.last_code = record
            self.level = level

    def _is_docstring(self, toks, level):
        for t in toks:
            if t.kind != _token.STRING:
                return False
        last = self.last_code
        if last is None:
            return level == 0
        return last.linetype in (kLineClass, kLineDef) and level == last.indent + 1

    def emit_comment(self, text, row, col, line):
        column = _visual_column(line, col)
        level = len([c for c in self.stack if c <= column]) - 1
        if self.opened_block and column > self.stack[-1]:
            level += 1
        self.emit([_Tok(text, _token.OP, row, col, row, col + len(text))], level,
                  kLineComment)

    def emit_blank(self, row):
        self.records.append(LineRecord([], [], row, 1, self.level, kLineBlank))

    # -- statements -------------------------------------------------------------------

    def statement(self, toks, line, end_row=0):
        """Cuts one tokenizer statement (the tokens up to a NEWLINE on row `end_row`) into
        logical lines."""
        column = _visual_column(line, toks[0].scol)
        stack = self.stack
        while column < stack[-1]:
            stack.pop()
        if column > stack[-1]:
            stack.append(column)
        self.opened_block = False
        emitted = len(self.records)
        self._split(toks, len(stack) - 1)
        if len(self.records) > emitted:  # none for a statement of ";" alone
            self._reach(end_row)

    def _reach(self, end_row):
        """Extends the statement's last line to `end_row`, which it falls short of when a
        backslash continues the statement onto rows without tokens."""
        last = self.records[-1]
        if last.lineno + last.linecount - 1 < end_row:
            last = last._replace(linecount=min(end_row - last.lineno + 1, _MAX_LINECOUNT))
            self.records[-1] = self.last_code = last

    def _split(self, toks, level):
        if toks[0].text in _HEADER_KEYWORDS:
            colon = _header_colon(toks)
            if colon is not None and colon + 1 < len(toks):
                self.emit(toks[:colon + 1], level)
                self._split_body(toks[colon + 1:], level + 1)
                return
            self.emit(toks, level)
            self.opened_block = colon is not None
            return
        self._split_body(toks, level)

    def _split_body(self, toks, level):
        part = []
        depth = 0
        for t in toks:
            if t.text in _OPENERS:
                depth += 1
            elif t.text in _CLOSERS:
                depth = max(depth - 1, 0)
            elif t.text == ';' and depth == 0:
                self._simple(part, level)
                part = []
                continue
            part.append(t)
        self._simple(part, level)

    def _simple(self, toks, level):
        if not toks:
            return
        if toks[0].text in _HEADER_KEYWORDS:
            self._split(toks, level)  # not valid Python, but cut it as a header
        else:
            self.emit(toks, level)

    # -- driver -----------------------------------------------------------------------

    def run(self):
        pending = []
        pending_line = ''
        comment_row = None
        for kind, text, srow, scol, erow, ecol, line in _raw_tokens(self.lines):
            if kind is None:
                # The tokenizer stopped at the end of the source.  An unclosed string
                # becomes one token running to the end.
                self.clean = False
                if text.startswith('EOF in multi-line string'):
                    rest = ''.join(self.lines[srow - 1:])[scol:]
                    erow = len(self.lines)
                    pending.append(_Tok(rest, _token.STRING, srow, scol, erow,
                                        len(self.lines[-1])))
                    if len(pending) == 1:
                        pending_line = self.lines[srow - 1]
                break
            if kind == tokenize.NEWLINE:
                if pending:
                    self.statement(pending, pending_line, srow)
                pending = []
            elif kind == tokenize.COMMENT:
                if not pending:
                    self.emit_comment(text, srow, scol, line)
                    comment_row = srow
            elif kind == tokenize.NL:
                if not pending and srow != comment_row:
                    self.emit_blank(srow)
            elif kind in (tokenize.INDENT, tokenize.DEDENT, tokenize.ENDMARKER):
                pass
            elif kind == tokenize.ERRORTOKEN and not text.strip():
                pass
            else:
                if not pending:
                    pending_line = line
                pending.append(_Tok(text, kind, srow, scol, erow, ecol))
        if pending:
            self.statement(pending, pending_line)
        lines = self.lines
        if lines and not lines[-1].endswith('\n') and not lines[-1].strip():
            # The tokenizer gives no NL for blanks that end the source without a line end.
            last = self.records[-1] if self.records else None
            if last is None or last.lineno + last.linecount - 1 < len(lines):
                self.emit_blank(len(lines))
        return self.records


def _header_colon(toks):
    """Index of the colon that ends a compound statement's header, or None.  Colons
    inside brackets and those of lambdas at the top level are skipped."""
    return _header_colon_of_texts([t.text for t in toks])


def _header_colon_of_texts(texts):
    depth = 0
    lambdas = 0
    for i, text in enumerate(texts):
        if text in _OPENERS:
            depth += 1
        elif text in _CLOSERS:
            depth = max(depth - 1, 0)
        elif depth == 0:
            if text == 'lambda':
                lambdas += 1
            elif text == ':':
                if lambdas:
                    lambdas -= 1
                else:
                    return i
    return None


def cut_logical_lines(source):
    """Returns the `LineRecord` of each logical line of `source` (str or unicode), in
    source order."""
    return _Cutter(_source_lines(source)).run()


def source_lines(source):
    """The physical lines of `source` (str or unicode) as the cutter numbers them: str, each
    ending in "\n" but the last when the source does not end with a line end."""
    return _source_lines(source)


# -- cutting part of a module again -------------------------------------------------------
#
# A module's records can be cut again from any statement on: what the cutter carries from
# one statement to the next is its state (the indentation columns of the open levels, the
# type and level of the last statement line, whether that line opened a block), and the
# tokenizer carries nothing when no bracket is open.  `cutter_state` recovers the state
# before a statement from the records and lines, `cut_segment` cuts from there.

INITIAL_STATE = ((0,), None, False)


def is_statement_start(records, i):
    """Whether records[i] starts a statement of its own: a line of code that is the first
    on its physical line (not a body after a header's colon, nor a statement after ";")."""
    record = records[i]
    if record.linetype in IGNORED_TYPES:
        return False
    if i == 0:
        return True
    before = records[i - 1]
    return before.lineno + before.linecount - 1 < record.lineno


def cutter_state(records, i, lines):
    """The cutter's state before the statement that records[i] starts, the records being
    those of the physical `lines`."""
    last = None
    for j in range(i - 1, -1, -1):
        if records[j].linetype not in IGNORED_TYPES:
            last = records[j]
            break
    if last is None:
        return INITIAL_STATE
    # The open levels are the last statement's column, the column of the latest statement
    # before it with a smaller column, and so on down to column 0.
    stack = []
    for j in range(i - 1, -1, -1):
        if not is_statement_start(records, j):
            continue
        record = records[j]
        column = _visual_column(lines[record.lineno - 1], record.positions[0][1])
        if not stack or column < stack[-1]:
            stack.append(column)
            if column == 0:
                break
    if stack[-1] != 0:
        stack.append(0)
    stack.reverse()
    return tuple(stack), (last.linetype, last.indent), _opens_block(last.tokens)


def _opens_block(tokens):
    """Whether a line with these tokens is a header that opens a block on the lines after
    it (its colon ends it)."""
    return bool(tokens) and tokens[0] in _HEADER_KEYWORDS and \
        _header_colon_of_texts(tokens) == len(tokens) - 1


def cut_segment(lines, first_lineno, state=INITIAL_STATE):
    """Cuts a run of physical lines taken from a module, starting at its line first_lineno
    with a statement before which the cutter is in `state` (see `cutter_state`) and no
    bracket is open.  Returns (records numbered as lines of the module, clean, state after
    the run): clean is false when the tokenizer could not finish the run (an unclosed
    bracket, string or continuation at its end)."""
    cutter = _Cutter(lines)
    stack, last, opened = state
    cutter.stack = list(stack)
    if last is not None:
        linetype, level = last
        cutter.last_code = LineRecord([], [], 0, 1, level, linetype)
        cutter.level = level
    cutter.opened_block = opened
    records = cutter.run()
    shift = first_lineno - 1
    if shift:
        records = [r._replace(lineno=r.lineno + shift) for r in records]
    last = cutter.last_code
    end = (tuple(cutter.stack), (last.linetype, last.indent) if last is not None else None,
           cutter.opened_block)
    return records, cutter.clean, end


def make_logical_lines(source, logicalline_module=None):
    """Cuts `source` and returns the list of `logicalline_module.LogicalLine` objects
    (the `logicalline` extension module when none is given)."""
    if logicalline_module is None:
        import logicalline as logicalline_module
    make = logicalline_module.LogicalLine
    return [make(s.tokens, s.positions, s.lineno, s.linecount, s.indent, s.linetype)
            for s in cut_logical_lines(source)]
