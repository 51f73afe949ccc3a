"""Answers read from a document's logical lines: its outline (documentSymbol) and its parse
errors (publishDiagnostics), in LSP positions."""
from vornide import analysis, logicallines as ll
from vornlsp.text import utf16_for_byte_column, utf16_length

# LSP symbol kinds.
KIND_CLASS = 5
KIND_METHOD = 6
KIND_FIELD = 8
KIND_FUNCTION = 12
KIND_VARIABLE = 13

SEVERITY_ERROR = 1


def token_position(doc, line, index):
    """(LSP line, UTF-16 start, UTF-16 end) of token `index` of a logical line; a token
    running over several physical lines ends at the end of its first."""
    row, column = line.fTokenPositions[index]
    number = line.fLineno - 1 + row
    text = doc.text.line(number)
    token = line.fTokens[index]
    start = utf16_for_byte_column(text, column)
    end = utf16_for_byte_column(text, column + len(token.split('\n')[0]))
    return number, start, end


def line_end(doc, number):
    return {'line': number, 'character': utf16_length(doc.text.line(number))}


def position(number, character):
    return {'line': number, 'character': character}


def is_scope(line):
    return line.fLineType in (ll.kLineClass, ll.kLineDef) and line.fTokenCount >= 2


def signature(tokens):
    """The text of a def's parameters or a class's bases as written, "(a, b=1)"."""
    if len(tokens) < 3 or tokens[2] != '(':
        return ''
    depth = 0
    pieces = []
    for t in tokens[2:]:
        pieces.append(t)
        if t in ('(', '[', '{'):
            depth += 1
        elif t in (')', ']', '}'):
            depth -= 1
            if depth == 0:
                break
    return ''.join(', ' if t == ',' else t for t in pieces)


def document_symbols(doc):
    """The hierarchical outline: classes, defs (methods in classes), nested defs, and the
    names that module and class bodies assign, each with the range of its whole body
    (decorators included) and the range of its name."""
    lines = doc.module.fLogicalLines
    top = []
    # Open scopes: (indent, symbol, names seen in its body, whether it is a class).
    stack = [(-1, {'children': top}, set(), False)]
    last_code = {}          # id(symbol) -> the last code line of its body
    decorators = []
    for line in lines:
        linetype = line.fLineType
        if linetype in ll.IGNORED_TYPES:
            continue
        while stack[-1][0] >= line.fIndent:
            _close(doc, stack.pop(), last_code)
        for entry in stack[1:]:
            last_code[id(entry[1])] = line
        if linetype == ll.kLineDecorator:
            decorators.append(line)
            continue
        parent = stack[-1]
        if is_scope(line):
            name_line, start, end = token_position(doc, line, 1)
            first = decorators[0] if decorators else line
            in_class = parent[3]
            is_class = linetype == ll.kLineClass
            symbol = {
                'name': line.fTokens[1],
                'detail': signature(line.fTokens),
                'kind': KIND_CLASS if is_class else (KIND_METHOD if in_class
                                                     else KIND_FUNCTION),
                'range': {'start': position(first.fLineno - 1, 0)},
                'selectionRange': {'start': position(name_line, start),
                                   'end': position(name_line, end)},
                'children': [],
            }
            last_code[id(symbol)] = line
            parent[1]['children'].append(symbol)
            parent[2].add(symbol['name'])
            stack.append((line.fIndent, symbol, set(), is_class))
        elif len(stack) == 1 or parent[3]:
            # Names assigned in a module or class body.
            for name in analysis.assigned_names(line.fTokens):
                if '.' in name or name in parent[2]:
                    continue
                parent[2].add(name)
                index = line.fTokens.index(name) if name in line.fTokens else 0
                number, start, end = token_position(doc, line, index)
                parent[1]['children'].append({
                    'name': name,
                    'kind': KIND_FIELD if parent[3] else KIND_VARIABLE,
                    'range': {'start': position(number, start), 'end': line_end(doc, number)},
                    'selectionRange': {'start': position(number, start),
                                       'end': position(number, end)},
                    'children': []})
        decorators = []
    while len(stack) > 1:
        _close(doc, stack.pop(), last_code)
    return top


def _close(doc, entry, last_code):
    symbol = entry[1]
    last = last_code.pop(id(symbol))
    symbol['range']['end'] = line_end(doc, last.fLineno + last.fLineCount - 2)


def parse_diagnostics(doc):
    """The parse errors of the analyzed lines, in line order."""
    found = []
    errors = doc.analysis.analyzer.fParseErrors or {}
    for line, error in errors.items():
        row = getattr(error, 'lineno', None) or 1
        number = line.fLineno - 1 + min(max(row - 1, 0), line.fLineCount - 1)
        text = doc.text.line(number)
        offset = getattr(error, 'offset', None)
        if offset is None:
            column = line.fTokenPositions[0][1] if line.fTokenCount else 0
        else:
            column = offset - 1
        start = utf16_for_byte_column(text, column)
        end = utf16_for_byte_column(text, len(text.encode('utf-8')))
        if start >= end:
            start = max(end - 1, 0)
        message = getattr(error, 'msg', None) or str(error)
        found.append((number, start, end, message))
    found.sort()
    return [{'range': {'start': position(n, s), 'end': position(n, e)},
             'severity': SEVERITY_ERROR, 'source': 'vorn', 'message': m}
            for n, s, e, m in found]
