"""The text of an open document as the editor sees it, and positions in it.

LSP counts lines as the text's line ends cut it ("\\r\\n", "\\r" or "\\n", nothing else) and
characters in UTF-16 code units; the environment numbers the same physical lines from 1 and
counts columns in bytes of the UTF-8 text (the cutter works on str). `DocumentText` keeps the
lines as unicode with their line ends, applies the editor's changes, and says which physical
lines of the environment each change replaces and with what text, so that the module analysis
can take it through its incremental path.
"""
import re

_LINE = re.compile(u'[^\r\n]*(?:\r\n|\r|\n)|[^\r\n]+\\Z')


def split_lines(text):
    """The lines of text, each with its line end ("\\r\\n", "\\r" or "\\n"), the last without
    one when the text does not end with a line end. An empty text has no lines."""
    return _LINE.findall(text)


def content(line):
    """A line without its line end."""
    if line.endswith(u'\r\n'):
        return line[:-2]
    if line.endswith(u'\n') or line.endswith(u'\r'):
        return line[:-1]
    return line


def utf16_length(text):
    """The length of text in UTF-16 code units."""
    # The codec counts in C; a regular expression of the astral range takes a quarter of a
    # second to compile.
    return len(text.encode('utf-16-le')) // 2


def index_for_utf16(text, units):
    """The index in text of the character at `units` UTF-16 code units, clamped to the text;
    a position inside a surrogate pair moves past the pair."""
    if units <= 0:
        return 0
    if utf16_length(text) == len(text):
        return min(units, len(text))
    count = 0
    for i, ch in enumerate(text):
        if count >= units:
            return i
        count += 2 if ord(ch) >= 0x10000 else 1
    return len(text)


def utf16_for_byte_column(line, column):
    """The UTF-16 offset of the byte column `column` of the UTF-8 encoding of line (unicode,
    without its line end); a column inside a character counts that character as passed."""
    if column <= 0:
        return 0
    encoded = line.encode('utf-8')
    if len(encoded) == len(line):
        return min(column, len(line))
    head = encoded[:column].decode('utf-8', 'ignore')
    return utf16_length(head)


def byte_column_for_utf16(line, units):
    """The byte column in the UTF-8 encoding of line of the UTF-16 offset `units`."""
    return len(line[:index_for_utf16(line, units)].encode('utf-8'))


def encode(text):
    """Unicode text as the environment takes it: UTF-8 bytes. A lone surrogate (JSON can
    carry one) is kept as Python 2 encodes it."""
    return text.encode('utf-8')


class Edit(object):
    """One change for the environment: replace `count` physical lines from line `first`
    (1-based) with `text` (UTF-8)."""

    def __init__(self, first, count, text):
        self.first = first
        self.count = count
        self.text = text

    def __repr__(self):
        return 'Edit(%d, %d, %r)' % (self.first, self.count, self.text)


class DocumentText(object):
    """The lines of a document (unicode, with their line ends) and its version."""

    def __init__(self, text, version=None):
        self.lines = split_lines(text)
        self.version = version

    def text(self):
        return u''.join(self.lines)

    def line_count(self):
        """Lines as LSP counts them: one more than the physical lines when the text is empty
        or ends with a line end."""
        lines = self.lines
        if not lines or content(lines[-1]) != lines[-1]:
            return len(lines) + 1
        return len(lines)

    def line(self, number):
        """The content of LSP line `number` (0-based); u'' past the end."""
        if 0 <= number < len(self.lines):
            return content(self.lines[number])
        return u''

    def clamp(self, position):
        """(line, index) of an LSP position (a dict with line and character), clamped to the
        document: a line past the end means the end of the text, a character past the end of
        its line the end of that line."""
        try:
            line = int(position['line'])
            units = int(position['character'])
        except (TypeError, KeyError, ValueError):
            raise ValueError('not a position: %r' % (position,))
        if line < 0:
            return 0, 0
        last = self.line_count() - 1
        if line > last:
            return last, len(self.line(last))
        return line, index_for_utf16(self.line(line), units)

    def offset_position(self, line, index):
        """The LSP position of the character `index` of line `line`."""
        return {'line': line, 'character': utf16_length(self.line(line)[:index])}

    def replace(self, start, end, new_text):
        """Replaces the text between two LSP positions (dicts) with new_text and returns the
        `Edit` that brings the environment's physical lines to the same text."""
        a, sc = self.clamp(start)
        b, ec = self.clamp(end)
        if (b, ec) < (a, sc):
            a, sc, b, ec = b, ec, a, sc
        lines = self.lines
        first_line = lines[a] if a < len(lines) else u''
        last_line = lines[b] if b < len(lines) else u''
        chunk = first_line[:sc] + new_text + last_line[ec:]
        # A lone "\r" ending the line before and a "\n" starting the chunk become one line end.
        if a > 0 and lines[a - 1].endswith(u'\r') and chunk.startswith(u'\n'):
            a -= 1
            chunk = lines[a] + chunk
        stop = min(b + 1, len(lines))
        count = max(stop - a, 0)
        lines[a:stop] = split_lines(chunk)
        return Edit(a + 1, count, encode(chunk))

    def replace_all(self, new_text):
        """Takes the whole new text; returns the `Edit` of the lines between the unchanged
        lines at its start and end (None when nothing changed)."""
        old = self.lines
        new = split_lines(new_text)
        head = 0
        while head < len(old) and head < len(new) and old[head] == new[head]:
            head += 1
        tail = 0
        while (tail < len(old) - head and tail < len(new) - head
               and old[len(old) - 1 - tail] == new[len(new) - 1 - tail]):
            tail += 1
        if head == len(old) == len(new):
            return None
        # A line end that changed (the old last line had none) belongs to the replaced part.
        if tail == 0 and head and head == len(old) and content(old[-1]) == old[-1]:
            head -= 1
        chunk = u''.join(new[head:len(new) - tail])
        self.lines = new
        return Edit(head + 1, len(old) - tail - head, encode(chunk))
