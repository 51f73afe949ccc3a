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
  - Half-typed code does not hide the rest of the file.  While a statement is continued
    onto further rows (an unclosed bracket, a backslash), a row whose first token is a
    statement keyword no expression continues with (def, class, a decorator's "@",
    return, import, from, pass, break, continue, raise, del, global, exec, try, except,
    finally, elif, while, with, assert), at or left of the open statement's column, ends
    that statement at its last token; the cut goes on from the row after that token as
    if nothing were open.  Valid code never has such a row, so its cut is unchanged.  A
    triple-quoted string still open at the end of the source ends the same way, before
    the first row at or left of its statement's column that starts with one of those
    keywords (the string token then runs to the end of the row before).
  - Unicode source is cut as its UTF-8 encoding: tokens are always str.
"""
import codecs
import collections
import re
import token as _token
# tokenize compiles its patterns when imported, tens of milliseconds: this module imports it
# where its own cutter runs, which the native cutter spares.

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
# Tokens that cannot continue a statement continued onto their row (the recovery rule
# above); "if", "for", "else", "lambda", "print" and the like continue expressions.
_RECOVERY_TOKENS = frozenset(['def', 'class', '@', 'return', 'import', 'from', 'pass',
                              'break', 'continue', 'raise', 'del', 'global', 'exec', 'try',
                              'except', 'finally', 'elif', 'while', 'with', 'assert'])
_OPENERS = frozenset(['(', '[', '{'])
_CLOSERS = frozenset([')', ']', '}'])
_MAX_POSITION = 65535
_MAX_LINECOUNT = 32767

# The native cutter (the same cuts, checked against this module's over the standard library).
try:
    from linegrammar import CutLines as _native_cut
except ImportError:
    _native_cut = None

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


def _raw_tokens(lines, restart):
    """Yields (type, text, srow, scol, erow, ecol, line) for `lines`, restarting the
    tokenizer after an inconsistent dedent, which would otherwise end it.  Tokenizer
    errors at the end of the source are yielded as a (None, message, row, col, ...) item.
    When the consumer puts a row into restart[0] after an item, the tokenizer starts
    afresh at that row (nothing open) before the next item; after an error item it ends
    unless so restarted."""
    import tokenize
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
                if restart[0] is not None:
                    break
            else:
                return
        except IndentationError as exc:
            row = exc.args[1][1] + start
            if row - 1 <= start:
                raise  # no progress possible; cannot happen with the tokenizer's rules
            start = row - 1
            continue
        except tokenize.TokenError as exc:
            message, (row, col) = exc.args
            yield None, message, row + start, col, 0, 0, ''
            if restart[0] is None:
                return
        start = restart[0] - 1
        restart[0] = None


def _source_lines(source):
    """The physical lines of `source` as str, each ending in "\n" but the last when the
    source does not end with a line end; the byte-order mark is dropped."""
    return _normalized(source).splitlines(True)


def _normalized(source):
    """`source` as str without a byte-order mark, with every line end made "\n"."""
    if isinstance(source, unicode):
        if source.startswith(u'\ufeff'):
            source = source[1:]
        source = source.encode('utf-8')
    elif source.startswith(codecs.BOM_UTF8):
        source = source[len(codecs.BOM_UTF8):]
    if '\r' in source:
        source = source.replace('\r\n', '\n').replace('\r', '\n')
    return source


class _Cutter(object):
    def __init__(self, lines):
        self.lines = lines
        self.clean = True            # the tokenizer reached the end without an error
        self.records = []
        self.stack = [0]             # indentation columns of the open levels
        self.level = 0               # level of the last statement
        self.opened_block = False    # the last line was a header without inline body
        self.last_code = None        # last statement line record (not comment or blank)
        self.states = {}             # index of a statement's first record: state before it
        # What the tokenizer carries into the next statement: the bracket depth of the
        # statements since it last started (unbalanced closers leave it negative), or None
        # once a string open at the end was ended by recovery (the cut from there on
        # depends on text further down).
        self.carry = 0

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
        state = self.state()
        while column < stack[-1]:
            stack.pop()
        if column > stack[-1]:
            stack.append(column)
        self.opened_block = False
        emitted = len(self.records)
        self._split(toks, len(stack) - 1)
        if len(self.records) > emitted:  # none for a statement of ";" alone
            self.states[emitted] = state
            self._reach(end_row)
        if self.carry is not None:
            for t in toks:
                if t.text in _OPENERS:
                    self.carry += 1
                elif t.text in _CLOSERS:
                    self.carry -= 1

    def state(self):
        """The cutter's state before the next statement (see cut_segment)."""
        last = self.last_code
        return (tuple(self.stack), (last.linetype, last.indent) if last is not None else None,
                self.opened_block, self.carry)

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

    def _recovery_row(self, first, column):
        """The first row from `first` on that starts, at or left of `column`, with a token
        no open statement continues with; None when there is none."""
        lines = self.lines
        for row in range(first, len(lines) + 1):
            line = lines[row - 1]
            body = line.lstrip(' \t\f')
            if not body or body[0] in '#\n\\':
                continue
            word = _LEADING_WORD.match(body)
            if (word is not None and word.group() in _RECOVERY_TOKENS
                    and _visual_column(line, len(line) - len(body)) <= column):
                return row
        return None

    def run(self):
        import tokenize
        pending = []
        pending_line = ''
        comment_row = None
        restart = [None]
        for kind, text, srow, scol, erow, ecol, line in _raw_tokens(self.lines, restart):
            if (pending and srow > pending[-1].erow and kind is not None
                    and text in _RECOVERY_TOKENS and (kind == tokenize.NAME or text == '@')
                    and _visual_column(line, scol)
                    <= _visual_column(pending_line, pending[0].scol)):
                # A statement keyword cannot continue the statement still open before it:
                # that statement is being typed.  It ends at its last token, and the
                # tokenizer starts again on the row after that, so blank and comment rows
                # before the keyword are lines of their own.
                end_row = pending[-1].erow
                self.statement(pending, pending_line, end_row)
                pending = []
                if self.carry is not None:
                    self.carry = 0
                restart[0] = end_row + 1
                continue
            if kind is None:
                # The tokenizer stopped at the end of the source.  An unclosed string
                # becomes one token running to the end, or to the row before the first
                # one its statement cannot go on into.
                self.clean = False
                if text.startswith('EOF in multi-line string'):
                    if not pending:
                        pending_line = self.lines[srow - 1]
                    column = _visual_column(pending_line, pending[0].scol if pending else scol)
                    end = self._recovery_row(srow + 1, column)
                    if end is None:
                        rest = ''.join(self.lines[srow - 1:])[scol:]
                        pending.append(_Tok(rest, _token.STRING, srow, scol, len(self.lines),
                                            len(self.lines[-1])))
                    else:
                        rest = ''.join(self.lines[srow - 1:end - 1])[scol:]
                        if rest.endswith('\n'):
                            rest = rest[:-1]
                        pending.append(_Tok(rest, _token.STRING, srow, scol, end - 1,
                                            len(self.lines[end - 2].rstrip('\n'))))
                        self.statement(pending, pending_line, end - 1)
                        pending = []
                        self.carry = None
                        restart[0] = end
                        continue
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


_LEADING_WORD = re.compile(r'@|[A-Za-z_][A-Za-z0-9_]*')


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


def _use_native(native):
    """Whether to cut with the `linegrammar` module's cutter: native is True for it
    (ImportError without it), False for this module's, None for the native one where the
    module is there."""
    if native is None:
        return _native_cut is not None
    if native and _native_cut is None:
        raise ImportError('No module named linegrammar')
    return bool(native)


def cut_logical_lines(source, native=None):
    """Returns the `LineRecord` of each logical line of `source` (str or unicode), in
    source order (native: see `_use_native`)."""
    if _use_native(native):
        return _native_cut(_normalized(source), 1, INITIAL_STATE, LineRecord)[0]
    return _Cutter(_source_lines(source)).run()


def source_lines(source):
    """The physical lines of `source` (str or unicode) as the cutter numbers them: str, each
    ending in "\n" but the last when the source does not end with a line end."""
    return _source_lines(source)


# -- cutting part of a module again -------------------------------------------------------
#
# A module's records can be cut again from a statement on: what the cutter carries from one
# statement to the next is its state (the indentation columns of the open levels, the type
# and level of the last statement line, whether that line opened a block, and what the
# tokenizer carries: the bracket depth, or None when the cut depends on text further down).
# A cut can start again before a statement into which the tokenizer carries nothing (its
# state's last item is 0).  `cut_with_states` gives the state before each statement with
# the records, `cut_segment` cuts from one of them.

INITIAL_STATE = ((0,), None, False, 0)


def cut_with_states(source, native=None):
    """The records of `cut_logical_lines(source)` and, aligned with them, the cutter's state
    before each record that starts a statement (a statement's first record; None for the
    other records)."""
    if _use_native(native):
        records, states, clean, end = _native_cut(_normalized(source), 1, INITIAL_STATE,
                                                  LineRecord)
    else:
        records, states, clean, end = cut_segment(_source_lines(source), 1, native=False)
    return records, states


def cut_segment(lines, first_lineno, state=INITIAL_STATE, native=None):
    """Cuts a run of physical lines taken from a module, starting at its line first_lineno
    with a statement before which the cutter is in `state` (one of `cut_with_states`, with
    nothing carried by the tokenizer).  Returns (records numbered as lines of the module,
    their states as `cut_with_states` gives them, clean, state after the run): clean is false
    when the tokenizer could not finish the run (an unclosed bracket, string or continuation
    at its end, or a string ended by recovery).  native: see `_use_native`."""
    if _use_native(native):
        return _native_cut(''.join(lines), first_lineno, state, LineRecord)
    cutter = _Cutter(lines)
    stack, last, opened, carry = state
    assert carry == 0, 'a cut starts where the tokenizer carries nothing'
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
    end = cutter.state()
    states = [None] * len(records)
    for i, before in cutter.states.items():
        states[i] = before
    return records, states, cutter.clean, end


def make_logical_lines(source, logicalline_module=None):
    """Cuts `source` and returns the list of `logicalline_module.LogicalLine` objects
    (the `logicalline` extension module when none is given)."""
    if logicalline_module is None:
        import logicalline as logicalline_module
    make = logicalline_module.LogicalLine
    # A record's fields are the line's arguments, in order.
    return [make(*record) for record in cut_logical_lines(source)]
