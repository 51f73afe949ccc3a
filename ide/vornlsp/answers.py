"""Completion, hover and definition answers for a position in a document, from the analyzer
through the same calls as `vorn analyze` (`FileAnalysis.completions`, `type_values`)."""
import __builtin__
import ast
import keyword
import re
import time

from vornide import logicallines as ll
from vornlsp import text as doctext

# Time budget of one answer, in seconds.
BUDGET = 0.2

# LSP completion item kinds.
ITEM_METHOD = 2
ITEM_FUNCTION = 3
ITEM_FIELD = 5
ITEM_VARIABLE = 6
ITEM_CLASS = 7
ITEM_MODULE = 9

_DOTTED_BEFORE = re.compile(r'([A-Za-z_][A-Za-z0-9_]*(?:\s*\.\s*[A-Za-z_][A-Za-z0-9_]*)*)'
                            r'\s*\.\s*([A-Za-z_0-9]*)\Z')
_NAME_BEFORE = re.compile(r'([A-Za-z_][A-Za-z0-9_]*)?\Z')
_CALL = re.compile(r'([A-Za-z_][A-Za-z0-9_]*)\(.*\)\Z')


def _end_time():
    return time.time() + BUDGET


class Place(object):
    """A position in a document: the physical line's text before and after it (UTF-8), the
    logical line there and the full name of the scope it is in."""

    def __init__(self, doc, position):
        self.doc = doc
        line, index = doc.text.clamp(position)
        text = doc.text.line(line)
        self.before = doctext.encode(text[:index])
        self.after = doctext.encode(text[index:])
        self.lineno = line + 1
        analyzer = doc.analysis.analyzer
        lines = doc.module.fLogicalLines
        self.line = None
        self.scope = ''
        if lines:
            i = min(analyzer.IndexForLineno(self.lineno), len(lines) - 1)
            self.line = lines[i]
            scope_def = analyzer.FindScopeForLine(self.line)
            self.scope = analyzer.GetFullNameForScopeDef(scope_def)
            tokens = self.line.fTokens
            if (self.line.fLineType == ll.kLineDef and len(tokens) > 2 and tokens[2] == '('
                    and tuple(self.line.fTokenPositions[2])
                    < (self.lineno - self.line.fLineno, len(self.before))):
                # In a def's parameter list: the parameters are the def's own names.
                self.scope = analyzer.GetFullNameForScopeDef(self.line)

    def word(self):
        """The dotted name under the position ("self.attr" on attr), or ''."""
        head = re.search(r'[A-Za-z0-9_.]*\Z', self.before).group(0)
        tail = re.match(r'[A-Za-z0-9_]*', self.after).group(0)
        return (head + tail).strip('.')


def _scope_chain(analysis, scope):
    """The scopes whose names a body of `scope` sees (FileAnalysis.visible_scopes)."""
    return analysis.visible_scopes(scope)


def _parameters(analysis, scope, end_time):
    """The parameter names of the def named scope (none for a class or the module)."""
    if not scope:
        return []
    try:
        line = analysis.analyzer.GetScopeDefForFullName(scope)
    except KeyError:
        return []
    if line is None or line.fLineType != ll.kLineDef:
        return []
    return analysis.parameters(scope, end_time)


def _item_kind(kind, line, kinds):
    if kind == kinds['kClassAttribKind']:
        return ITEM_CLASS
    if kind == kinds['kFunctionAttribKind']:
        return ITEM_FUNCTION
    if kind == kinds['kImportedAttribKind']:
        return ITEM_MODULE
    if kind == 'instance attribute':
        return ITEM_FIELD
    return ITEM_VARIABLE


def _class_of(analysis, name, place, end_time):
    """The full name of the class that `name` (a simple name) probably is or holds an
    instance of at the place, or None."""
    found = _class_of_name(analysis, name, place)
    if found is not None:
        return found
    for value, _ in analysis.type_values(name, place.scope, end_time):
        if value.endswith(':') and not value.startswith(':'):
            return value[:-1]
        # A call of a class of the file: an instance of it.
        called = _CALL.match(value)
        if called and called.group(1) != name:
            found = _class_of_name(analysis, called.group(1), place)
            if found is not None:
                return found
    return None


def _class_of_name(analysis, name, place):
    found = _scope_line(analysis, name, place, (ll.kLineClass,))
    return found[0] if found else None


def _imported_module(analysis, name, place, end_time):
    """The module analysis that an imported `name` stands for at the place, or None."""
    for scope in _scope_chain(analysis, place.scope):
        refs = analysis.search(scope_name=scope, local_name=name, end_time=end_time)
        for ref in refs:
            extra = ref.fExtra
            if (ref.fKind == analysis.kinds['kImportedAttribKind'] and isinstance(extra, tuple)
                    and len(extra) >= 3 and extra[1] is not None and not extra[2]):
                return extra[1]
        if refs:
            return None
    return None


def completion(doc, position):
    """CompletionItems for the position: after "obj." the attributes of what obj probably
    is (a class or an instance of one, self in a method, an imported module), else the names
    visible in the scope, its parameters and the builtins."""
    place = Place(doc, position)
    analysis = doc.analysis
    end_time = _end_time()
    kinds = analysis.kinds
    items = []
    seen = set()

    def add(name, kind):
        if name not in seen:
            seen.add(name)
            items.append({'label': name, 'kind': kind})

    dotted = _DOTTED_BEFORE.search(place.before)
    if dotted:
        target = re.sub(r'\s+', '', dotted.group(1))
        prefix = dotted.group(2)
        if '.' in target:
            return items
        cls = _class_of(analysis, target, place, end_time)
        if cls is not None:
            for name, kind, line, _ in analysis.completions(cls, prefix, end_time):
                add(name, ITEM_METHOD if kind == kinds['kFunctionAttribKind']
                    else _item_kind(kind, line, kinds))
            return items
        module = _imported_module(analysis, target, place, end_time)
        if module is not None:
            for ref in _module_attributes(module, end_time):
                if ref.fLocalName.startswith(prefix):
                    add(ref.fLocalName, _item_kind(ref.fKind, None, kinds))
        return items
    prefix = _NAME_BEFORE.search(place.before).group(1) or ''
    if place.before[:len(place.before) - len(prefix)].rstrip().endswith('.'):
        return items
    for scope in _scope_chain(analysis, place.scope):
        try:
            found = analysis.completions(scope, prefix, end_time, inherited=False)
        except KeyError:
            continue
        for name, kind, line, _ in found:
            if kind != 'instance attribute':
                add(name, _item_kind(kind, line, kinds))
    for name in sorted(dir(__builtin__)):
        if name.startswith(prefix) and not name.startswith('__'):
            add(name, ITEM_CLASS if isinstance(getattr(__builtin__, name), type)
                else ITEM_FUNCTION)
    return items


def _docstring(analysis, line):
    """The docstring of the class or def of line, or ''."""
    lines = analysis.module.fLogicalLines
    try:
        i = lines.index(line)
    except ValueError:
        return ''
    if i + 1 < len(lines) and lines[i + 1].fLineType == ll.kLineDocString:
        try:
            value = ast.literal_eval(' '.join(lines[i + 1].fTokens))
        except (SyntaxError, ValueError):
            return ''
        if isinstance(value, unicode):
            value = value.encode('utf-8')
        return value.strip()
    return ''


def _scope_line(analysis, name, place, types=(ll.kLineClass, ll.kLineDef)):
    """(full name, line) of the nearest class or def (of the line types given) that a simple
    name defines in the place's scope chain, or None."""
    for scope in _scope_chain(analysis, place.scope):
        full = scope + '.' + name if scope else name
        try:
            line = analysis.analyzer.GetScopeDefForFullName(full)
        except KeyError:
            continue
        if line is not None and line.fLineType in types:
            return full, line
    return None


def hover(doc, position):
    """Markdown for the name under the position: a def's signature and docstring, a class's
    bases and docstring, and what the name probably holds."""
    from vornanalyze import describe_value
    from vornlsp.symbols import signature
    place = Place(doc, position)
    word = place.word()
    if not word or keyword.iskeyword(word):
        return None
    analysis = doc.analysis
    end_time = _end_time()
    parts = []
    if '.' not in word:
        found = _scope_line(analysis, word, place)
        if found is not None:
            line = found[1]
            what = 'class' if line.fLineType == ll.kLineClass else 'def'
            parts.append('```python\n%s %s%s\n```' % (what, word, signature(line.fTokens)))
            doc_text = _docstring(analysis, line)
            if doc_text:
                parts.append(doc_text)
    values = [describe_value(v) for v, _ in analysis.type_values(word, place.scope, end_time)]
    if values:
        parts.append('%s: %s' % (word, ', '.join(unique(values))))
    if not parts:
        return None
    return {'contents': {'kind': 'markdown', 'value': '\n\n'.join(parts)}}


def unique(items):
    from vornanalyze import unique as _unique
    return _unique(items)


def _location(uri, lineno, doc=None, line=None, name=None):
    """A Location at line lineno (1-based), on the name when the logical line is known."""
    start = end = 0
    number = lineno - 1
    if doc is not None and line is not None and name in line.fTokens:
        from vornlsp.symbols import token_position
        number, start, end = token_position(doc, line, line.fTokens.index(name))
    return {'uri': uri, 'range': {'start': {'line': number, 'character': start},
                                  'end': {'line': number, 'character': end}}}


def _lineno(line):
    return getattr(line, 'fLineno', None) or getattr(line, 'lineno', 1)


def definition(doc, position, uri_for_path):
    """Locations that define the name under the position: names of the file's scopes,
    self.attr (its assignments in the class's methods), imported names (the line in the
    other module)."""
    place = Place(doc, position)
    word = place.word()
    if not word:
        return []
    analysis = doc.analysis
    end_time = _end_time()
    kinds = analysis.kinds
    first, dot, attrib = word.partition('.')
    if dot:
        if '.' in attrib:
            return []
        cls = _class_of(analysis, first, place, end_time)
        if cls is not None:
            return _member_locations(doc, cls, attrib, uri_for_path, end_time)
        module = _imported_module(analysis, first, place, end_time)
        if module is not None:
            return _in_module(module, attrib, uri_for_path, end_time)
        return []
    for scope in _scope_chain(analysis, place.scope):
        refs = analysis.search(scope_name=scope, local_name=word, end_time=end_time)
        if not refs and word in _parameters(analysis, scope, end_time) and scope:
            line = analysis.analyzer.GetScopeDefForFullName(scope)
            return [_location(doc.uri, line.fLineno, doc, line, word)]
        for ref in refs:
            extra = ref.fExtra
            if ref.fKind == kinds['kImportedAttribKind'] and isinstance(extra, tuple) \
                    and len(extra) >= 3 and extra[1] is not None:
                if extra[2]:
                    found = _in_module(extra[1], extra[2], uri_for_path, end_time)
                    if found:
                        return found
                filename = extra[1].fFilename
                if filename:
                    return [_location(uri_for_path(filename), 1)]
            return [_location(doc.uri, ref.fLine.fLineno, doc, ref.fLine, word)]
    return []


def _in_module(module, name, uri_for_path, end_time):
    """The Location of name defined at the top of another module's analysis."""
    if not module.fFilename:
        return []
    for ref in _module_attributes(module, end_time):
        if ref.fLocalName == name:
            return [_location(uri_for_path(module.fFilename), _lineno(ref.fLine))]
    return []


def _module_attributes(module, end_time):
    """The attribute references of every name an imported module has."""
    listing = getattr(module, 'ModuleAttributes', None)
    if listing is not None:
        return listing(end_time) or ()
    return module.GetScopeAttributes('', True, False, end_time) or ()


def _member_locations(doc, cls, attrib, uri_for_path, end_time):
    """The Locations that define attribute attrib of class cls (methods, class attributes,
    the assignments of an instance attribute), in its own body or in its base classes'."""
    analysis = doc.analysis
    found = []
    owners = [(analysis, cls)] + analysis.base_classes(cls, end_time)
    for work, owner in owners:
        lines = [line for name, kind, line, _ in work.completions(owner, attrib, end_time, False)
                 if name == attrib and kind != 'instance attribute']
        lines += [line for name, line in work.analyzer.GetInstanceAttributes(
            owner, None, end_time) or () if name == attrib]
        for line in lines:
            if work is analysis:
                found.append(_location(doc.uri, line.fLineno, doc, line, attrib))
            else:
                found.append(_file_location(work, line, attrib, uri_for_path))
        if found:
            return found
    return found


def _file_location(work, line, name, uri_for_path):
    """The Location of name on a logical line of another module's analysis (its text as
    the module has it, not open in the editor)."""
    row = column = 0
    if name in line.fTokens:
        row, column = line.fTokenPositions[line.fTokens.index(name)]
    number = line.fLineno - 1 + row
    text = work.module.GetSource().splitlines()
    physical = text[number].decode('utf-8', 'replace') if number < len(text) else u''
    start = doctext.utf16_for_byte_column(physical, column)
    end = doctext.utf16_for_byte_column(physical, column + len(name))
    return {'uri': uri_for_path(work.filename),
            'range': {'start': {'line': number, 'character': start},
                      'end': {'line': number, 'character': end}}}


# -- references and highlights ----------------------------------------------------------

_IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')

HIGHLIGHT_READ = 2
HIGHLIGHT_WRITE = 3


def _binding(doc, position, uri_for_path):
    """What the name at position stands for: the (uri, line) pairs of its definitions, a
    builtin's name, or None when it cannot be told."""
    try:
        found = definition(doc, position, uri_for_path)
    except KeyError:
        found = []
    if found:
        return frozenset((l['uri'], l['range']['start']['line']) for l in found)
    word = Place(doc, position).word()
    if word and '.' not in word and hasattr(__builtin__, word):
        return ('builtin', word)
    return None


def _name_at(doc, position):
    """The identifier at position (the part of a dotted name the position is on), or ''."""
    place = Place(doc, position)
    head = re.search(r'[A-Za-z0-9_]*\Z', place.before).group(0)
    tail = re.match(r'[A-Za-z0-9_]*', place.after).group(0)
    name = head + tail
    return name if _IDENTIFIER.match(name) and not keyword.iskeyword(name) else ''


def _occurrences(doc, name, extent=None):
    """(LSP line, start, end) of every token of the document's logical lines that is name;
    extent, when given, is the (first, last) index of the logical lines to look at."""
    from vornlsp.symbols import token_position
    lines = doc.module.fLogicalLines or ()
    if extent is not None:
        lines = lines[extent[0]:extent[1] + 1]
    for line in lines:
        tokens = line.fTokens
        if name not in tokens:
            continue
        for i, token in enumerate(tokens):
            if token == name:
                yield token_position(doc, line, i)


def _local_extent(doc, position, name):
    """The (first, last) index of the logical lines of the def or class whose own name
    `name` is at position (a bare name bound there: only code inside can use it), or None
    when the name may be used anywhere (a module name, an attribute, a builtin)."""
    place = Place(doc, position)
    head = re.search(r'[A-Za-z0-9_]*\Z', place.before).group(0)
    if place.before[:len(place.before) - len(head)].rstrip().endswith('.'):
        return None
    analysis = doc.analysis
    end_time = _end_time()
    for scope in _scope_chain(analysis, place.scope):
        if not scope:
            return None
        try:
            found = analysis.completions(scope, name, end_time, inherited=False)
        except KeyError:
            continue
        if any(n == name and kind != 'instance attribute' for n, kind, _, _ in found):
            return _scope_extent(analysis, analysis.analyzer.GetScopeDefForFullName(scope))
    return None


def _scope_extent(analysis, scope_line):
    """(first, last) index of a class or def line and of the last line of its body."""
    lines = analysis.module.fLogicalLines
    first = analysis.analyzer.IndexForLineno(scope_line.fLineno)
    last = first
    for i in range(first + 1, len(lines)):
        line = lines[i]
        if line.fLineType in ll.IGNORED_TYPES:
            continue
        if line.fIndent <= scope_line.fIndent:
            break
        last = i
    return first, last


def references(documents, doc, position, uri_for_path, include_declaration=True):
    """Locations in the open documents of the names that stand for what the name at
    position stands for (the same definitions, or the same builtin). A name bound in a
    def or class is looked for in its body only."""
    name = _name_at(doc, position)
    if not name:
        return []
    target = _binding(doc, position, uri_for_path)
    if target is None:
        return []
    extent = _local_extent(doc, position, name)
    if extent is not None:
        documents = [doc]
    found = []
    for other in documents:
        for number, start, end in _occurrences(other, name, extent):
            at = {'line': number, 'character': start}
            if _binding(other, at, uri_for_path) != target:
                continue
            if not include_declaration and isinstance(target, frozenset) \
                    and (other.uri, number) in target:
                continue
            found.append({'uri': other.uri, 'range': {'start': at, 'end': {
                'line': number, 'character': end}}})
    return found


def highlights(doc, position, uri_for_path):
    """DocumentHighlights of the references in the document itself, the definitions
    marked as writes."""
    found = []
    target = None
    for location in references([doc], doc, position, uri_for_path):
        if target is None:
            target = _binding(doc, position, uri_for_path)
        line = location['range']['start']['line']
        write = isinstance(target, frozenset) and (doc.uri, line) in target
        found.append({'range': location['range'],
                      'kind': HIGHLIGHT_WRITE if write else HIGHLIGHT_READ})
    return found


# -- signature help -----------------------------------------------------------------------

def _call_before(place):
    """(dotted callee, index of the argument being typed) of the innermost call whose
    parenthesis is open before the position on its logical line, or None."""
    line = place.line
    if line is None:
        return None
    row = place.lineno - line.fLineno
    column = len(place.before)
    tokens = [t for t, at in zip(line.fTokens, line.fTokenPositions) if tuple(at) < (row, column)]
    depth = 0
    commas = 0
    for i in range(len(tokens) - 1, -1, -1):
        t = tokens[i]
        if t in (')', ']', '}'):
            depth += 1
        elif t in ('(', '[', '{'):
            if depth:
                depth -= 1
                continue
            callee = _dotted_before(tokens, i) if t == '(' else None
            if callee is not None:
                return callee, commas
            if t == '(' and i and tokens[i - 1] in ('def', 'class'):
                return None
            commas = 0        # a bracket that is not a call: its commas are its own
        elif t == ',' and depth == 0:
            commas += 1
        elif t == 'lambda' and depth == 0:
            commas = 0
    return None


def _dotted_before(tokens, i):
    """The dotted name that ends just before index i, when it names something called."""
    parts = []
    j = i - 1
    while j >= 0 and _IDENTIFIER.match(tokens[j]) and not keyword.iskeyword(tokens[j]):
        parts.insert(0, tokens[j])
        if j >= 1 and tokens[j - 1] == '.':
            j -= 2
        else:
            j -= 1
            break
    if not parts or (j >= 0 and tokens[j] in ('def', 'class', '.')):
        return None
    return '.'.join(parts)


def _callable(doc, place, dotted, end_time):
    """(FileAnalysis, def or class line, whether the call binds the first parameter) of
    what a dotted name called at the place is, or None."""
    analysis = doc.analysis
    first, dot, rest = dotted.partition('.')
    if not dot:
        found = _scope_line(analysis, first, place)
        if found is not None:
            return _as_callable(analysis, found[0], found[1], False, end_time)
        for scope in _scope_chain(analysis, place.scope):
            refs = analysis.search(scope_name=scope, local_name=first, end_time=end_time)
            for ref in refs:
                extra = ref.fExtra
                if (ref.fKind == analysis.kinds['kImportedAttribKind']
                        and isinstance(extra, tuple) and len(extra) >= 3
                        and extra[1] is not None and extra[2]):
                    return _in_other(analysis.for_module(extra[1]), extra[2], end_time)
            if refs:
                return None
        return None
    if '.' in rest:
        return None
    cls = _class_of(analysis, first, place, end_time)
    if cls is not None:
        bound = _class_of_name(analysis, first, place) is None
        for work, owner in [(analysis, cls)] + analysis.base_classes(cls, end_time):
            found = _in_other(work, owner + '.' + rest, end_time)
            if found is not None:
                return found[0], found[1], bound
        return None
    module = _imported_module(analysis, first, place, end_time)
    if module is not None:
        return _in_other(analysis.for_module(module), rest, end_time)
    return None


def _in_other(work, full, end_time):
    if work is None:
        return None
    try:
        line = work.analyzer.GetScopeDefForFullName(full)
    except KeyError:
        return None
    if line is None:
        return None
    return _as_callable(work, full, line, False, end_time)


def _as_callable(work, full, line, bound, end_time):
    """A class stands for its __init__ (its own or a base class's), called bound."""
    if line.fLineType == ll.kLineDef:
        return work, line, bound
    if line.fLineType != ll.kLineClass:
        return None
    for owner_work, owner in [(work, full)] + work.base_classes(full, end_time):
        try:
            init = owner_work.analyzer.GetScopeDefForFullName(owner + '.__init__')
        except KeyError:
            continue
        return owner_work, init, True
    return work, line, False


def signature_help(doc, position):
    """The SignatureHelp of the call the position is in, when the called name is a def or
    class the analysis knows."""
    place = Place(doc, position)
    call = _call_before(place)
    if call is None:
        return None
    dotted, argument = call
    found = _callable(doc, place, dotted, _end_time())
    if found is None:
        return None
    work, line, bound = found
    parameters = _parameters_of(line.fTokens) if line.fLineType == ll.kLineDef else []
    if bound and parameters:
        parameters = parameters[1:]
    name = dotted.rpartition('.')[2]
    label = '%s(%s)' % (name, ', '.join(parameters))
    active = argument
    if active >= len(parameters):
        stars = [i for i, p in enumerate(parameters) if p.startswith('*')]
        active = stars[0] if stars else max(len(parameters) - 1, 0)
    information = {'label': label, 'parameters': [{'label': p} for p in parameters]}
    doc_text = _docstring(work, line)
    if doc_text:
        information['documentation'] = doc_text
    return {'signatures': [information], 'activeSignature': 0, 'activeParameter': active}


def _parameters_of(tokens):
    """The text of each parameter of a def line, as written."""
    from vornide.analysis import _closing, _split_top
    if len(tokens) < 3 or tokens[2] != '(':
        return []
    end = _closing(tokens[2:])
    inner = tokens[3:2 + end] if end is not None else tokens[3:]
    return [''.join(', ' if t == ',' else t for t in item)
            for item in _split_top(inner, ',') if item]
