"""The grammar object the source analyzer parses logical lines with.

    parser = Grammar().CreateParser(257)     # symbol.file_input
    parser.AddToken('def', 0, 0) ... parser.AddToken('\\n', 0, 9)
    tree = parser.Finish(0, 9)

A parser collects the tokens of one logical line with their (row, column) positions
(see `vornide.logicallines`) and `Finish` parses the rebuilt statement with the
interpreter's own `parser` module.  The result is the `parser` module's tuple form with
line information (`parser.st2tuple(st, True)`), which `vornide.transformer` accepts.

Rebuilding the text: the first token starts the text (its column becomes column 0); a
token on a later row goes on a continuation line (backslash-newline) at its own column;
a token on the same row is placed at its column; a token placed at or before the end of
the previous one (the "pass" and "\\n" the analyzer adds with the last token's position,
or a clamped column) follows it after one blank.  Row numbers in the parse tree and in
syntax errors are therefore 1 + the row within the logical line.

The analyzer's own substitutions make every parsed line type a complete statement: a
header ending in ":" gets a "pass" body, and a decorator's "@" arrives as "~", so
"@name(args)" parses as the expression "~name(args)".  From-imports arrive without their
parentheses; a trailing comma they leave behind is dropped here.

Parse errors: `Finish` raises SyntaxError (a null byte in the text included), with the
row and column within the logical line; the analyzer records those as the line's parse
error.

Future features: `SetFutureFeatures` (or the constructor) takes the names a module
imports from __future__; "print_function" makes `print` an ordinary name, as in the
module itself.  Keep one Grammar per module when that matters.

The parsers are native where the `linegrammar` extension module is there: it rebuilds
the same text, parses it through the interpreter's C API and builds the same tuples
without a `parser` module syntax tree.  `LineParser` below is the reference it is
tested against and the fallback; `Grammar(native=False)` uses it.
"""
import parser
import symbol
import token as _token

try:
    import linegrammar as _native
except ImportError:
    _native = None

_PRINT_FUNCTION_PREFIX = 'from __future__ import print_function\n'
_LINE_FILENAME = '<logical line>'


class Grammar:
    """Creates parsers for logical lines."""

    def __init__(self, future_features=(), native=None):
        """native: True for the `linegrammar` module's parsers (ImportError without it),
        False for this module's, None for the native ones where the module is there."""
        if native is None:
            native = _native is not None
        elif native and _native is None:
            raise ImportError('No module named linegrammar')
        self._parser_class = _native.LineParser if native else LineParser
        self.fPrintFunction = False
        self.SetFutureFeatures(future_features)

    def SetFutureFeatures(self, future_features):
        """Takes the names of the features imported from __future__ (any iterable of
        str, a dict's keys included)."""
        self.fPrintFunction = 'print_function' in list(future_features)
        # The analyzer asks for a parser once a line: where no subclass changed
        # CreateParser, the native module makes them without a Python frame (and the
        # analyzer, knowing it, without a call).
        if (self._parser_class is not LineParser
                and self.__class__.CreateParser.im_func is Grammar.CreateParser.im_func):
            self.CreateParser = _native.ParserFactory(self.fPrintFunction)

    def CreateParser(self, start_symbol):
        """A new parser for one logical line.  start_symbol is symbol.file_input (257)
        for statements or symbol.eval_input (258) for one expression."""
        if start_symbol == symbol.file_input:
            return self._parser_class(False, self.fPrintFunction)
        if start_symbol == symbol.eval_input:
            return self._parser_class(True, False)
        raise ValueError('unsupported start symbol %r' % (start_symbol,))


class LineParser:
    """Collects one logical line's tokens and parses them."""

    def __init__(self, expression, print_function):
        self._expression = expression
        self._print_function = print_function
        self._pieces = []
        self._tokens = []
        self._origin_col = 0
        self._row = None       # row and column (in the line's own coordinates) just
        self._col = 0          # after the last token placed; no row before the first

    def AddToken(self, text, first, second):
        """Adds one token at (row, column) = (first, second)."""
        if not isinstance(text, str):
            raise TypeError('token must be a str, not %s' % type(text).__name__)
        pieces = self._pieces
        if text == '\n':
            # The end of the statement; a token after it starts a new one.
            pieces.append('\n')
            self._row = None
            return
        self._tokens.append(text)
        if self._row is None:
            self._origin_col = max(second, 0)
            self._row = first
            self._col = max(second, 0)
        elif first > self._row:
            pieces.append(' \\\n' * (first - self._row))
            pieces.append(' ' * max(second, 0))
            self._row = first
            self._col = max(second, 0)
        elif first == self._row and second >= self._col:
            pieces.append(' ' * (second - self._col))
            self._col = second
        else:
            pieces.append(' ')
            self._col += 1
        pieces.append(text)
        newlines = text.count('\n')
        if newlines:
            self._row += newlines
            self._col = len(text) - text.rfind('\n') - 1
        else:
            self._col += len(text)

    def Finish(self, first, second):
        """Parses the tokens added and returns the parse tree (tuple form with line
        numbers).  Raises SyntaxError when they do not form a valid statement."""
        self._drop_trailing_import_comma()
        text = ''.join(self._pieces)
        if not text.endswith('\n'):
            text += '\n'
        if '\0' in text:
            raise SyntaxError('null byte in logical line',
                              (_LINE_FILENAME, 1, None, text))
        prefixed = self._print_function and not self._expression
        if prefixed:
            text = _PRINT_FUNCTION_PREFIX + text
        try:
            if self._expression:
                st = parser.expr(text)
            else:
                st = parser.suite(text)
        except SyntaxError as exc:
            raise self._relocated_error(exc, prefixed)
        tree = parser.st2tuple(st, True)
        if prefixed:
            # Drop the prefix statement and move the rows back to the line's own.
            tree = _shift_rows((tree[0],) + tree[2:], -1)
        return tree

    def _drop_trailing_import_comma(self):
        # "from m import (a, b,)" reaches the parser without its parentheses.
        tokens = self._tokens
        if len(tokens) > 1 and tokens[0] == 'from' and tokens[-1] == ',':
            pieces = self._pieces
            for i in range(len(pieces) - 1, -1, -1):
                if pieces[i] == ',':
                    pieces[i] = ' '
                    break

    def _relocated_error(self, exc, prefixed):
        lineno = exc.lineno
        offset = exc.offset
        if lineno is not None and prefixed:
            lineno -= 1
        if lineno == 1 and offset is not None:
            offset += self._origin_col
        return SyntaxError(exc.msg, (_LINE_FILENAME, lineno, offset, exc.text))


def _shift_rows(tree, delta):
    """Adds delta to the row numbers of a parse tree in tuple form."""
    if len(tree) == 3 and isinstance(tree[1], str):
        return (tree[0], tree[1], tree[2] + delta)
    if tree[0] < _token.NT_OFFSET:
        return tree
    return (tree[0],) + tuple([_shift_rows(child, delta) for child in tree[1:]])
