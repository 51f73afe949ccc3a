"""Module analyses, the factory that finds and makes them, and attribute references.

The source analyzer (`quarnel_impl`) is given one `CQuarnelAnalysis` per edited module
and calls back into it: `_FromFutureFlagsChanged`, `_ParseErrorsModified` and
`UpdateFromCache` as notices, `fAnalysisFactory.FindAnalysisByName(name, fPackageDir)`
to resolve imports, and `GetScopeAttributes` on the analyses it finds to expand star
imports.  Search results are made by `make_attrib_ref`.

`GetScopeAttributes` answers from the module's own analyzer where the front end made
one, and otherwise from the module's logical lines alone (class and def names,
assignment and for-loop targets, imported names), so that any module on the search path
can answer it cheaply.
"""
import gc
import keyword
import os
import re
import sys

from vornide import logicallines as ll

# Kind values of attribute references.  The logicalline module defines the values the
# analyzer uses; AnalysisFactory takes them from it when it is given that module.
kClassAttribKind = 'class'
kFunctionAttribKind = 'function'
kGenericAttribKind = 'generic'
kImportedAttribKind = 'imported'

_KIND_NAMES = ('kClassAttribKind', 'kFunctionAttribKind', 'kGenericAttribKind',
               'kImportedAttribKind')


def attrib_kinds(logicalline_module=None):
    """The four kind values by name: those of logicalline_module when given, else this
    module's."""
    source = logicalline_module if logicalline_module is not None else sys.modules[__name__]
    return dict([(name, getattr(source, name)) for name in _KIND_NAMES])


class AttribRef:
    """One definition found by a search: its kind, local name, full name (scope and name
    joined with "."), the module analysis and logical line that define it, and extra (the
    import record (local name, module analysis, name in module, attribute) of an
    imported name, else None)."""

    def __init__(self, kind, name, full_name, mod_analysis, line, extra):
        self.fKind = kind
        self.fLocalName = name
        self.fFullName = full_name
        self.fModAnalysis = mod_analysis
        self.fLine = line
        self.fExtra = extra

    def __repr__(self):
        return '<AttribRef %s %s>' % (self.fKind, self.fFullName)


def make_attrib_ref(kind, name, full_name, mod_analysis, line, extra):
    """The attribute reference factory handed to the analyzer."""
    return AttribRef(kind, name, full_name, mod_analysis, line, extra)


class LogicalCacheDelta:
    """One update of a module's logical list, as the analyzer's LogicalCacheModified reads
    it: the logical lines removed from and added to the list."""

    def __init__(self, removed, added):
        self.removed = removed
        self.added = added


class CQuarnelAnalysis:
    """The analysis of one module: its source, where it lives, the notices the analyzer
    sent about it and the attributes of its scopes.

    The notices are kept in order in fNotices as (method name, arguments) pairs;
    fParseErrorLines holds the lines whose last parse failed (as keys)."""

    def __init__(self, factory, filename=None, source=None, module_name=None):
        self.fAnalysisFactory = factory
        self.fFilename = filename
        self.fPackageDir = os.path.dirname(filename) if filename else None
        self.fModuleName = module_name
        self.fQuarnelImpl = None   # the module's analyzer, once the front end made one
        self.fGrammar = None       # the grammar that analyzer parses with
        self.fNotices = []
        self.fParseErrorLines = {}
        self._source = source
        self._records = None
        self._scope_attribs = {}
        self._physical = None         # the physical lines ReplaceLines edits, once it does
        self._loaded_source = None    # the source LoadLogicalLines cut, until then
        self.fLogicalLines = None     # the analyzer's logical list, once loaded
        self.fLogicalLineModule = None
        self._line_records = None     # see ReplaceLines
        self._line_states = None
        self._edited = False          # the records and source follow ReplaceLines' edits

    def __repr__(self):
        return '<CQuarnelAnalysis %s>' % (self.fModuleName or self.fFilename,)

    # -- source -----------------------------------------------------------------------

    def GetSource(self):
        """The module's source text: the text last set or edited, else the file's contents
        (an empty text when the file cannot be read)."""
        if self._source is None and self._edited:
            self._source = ''.join(self._physical)
        if self._source is None:
            try:
                f = open(self.fFilename, 'rb')
                try:
                    self._source = f.read()
                finally:
                    f.close()
            except (IOError, OSError, TypeError):
                self._source = ''
        return self._source

    def SetSource(self, source):
        """Replaces the source (as while it is edited) and forgets what was derived
        from it."""
        self._source = source
        self._records = None
        self._edited = False
        self._scope_attribs = {}

    def GetLineRecords(self):
        """The module's logical lines as `logicallines.LineRecord` objects."""
        if self._records is None and self._edited:
            self._records = [self._RecordAt(i, 0) for i in range(len(self._line_records))]
        if self._records is None:
            self._records = ll.cut_logical_lines(self.GetSource())
        return self._records

    # -- the logical list the analyzer works on ---------------------------------------

    def LoadLogicalLines(self, logicalline_module=None):
        """Cuts the source into logical line objects (of logicalline_module, the
        `logicalline` extension module when none is given), hands the list to the
        module's analyzer and rebuilds its cache.  The list stays the analyzer's list:
        `ReplaceLines` edits it in place.  Returns the list."""
        if logicalline_module is None:
            import logicalline as logicalline_module
        self.fLogicalLineModule = logicalline_module
        source = self.GetSource()
        # The cut and the lines are some ten objects a line, none in a cycle: cyclic
        # collections meanwhile would walk the whole growing heap again and again.
        collecting = gc.isenabled()
        gc.disable()
        try:
            self._physical = None
            self._loaded_source = source
            records, states = ll.cut_with_states(source)
            self.fLogicalLines = self._NewLines(records)
        finally:
            if collecting:
                gc.enable()
        self._records = records
        self._edited = False
        self._line_records = list(records)
        self._line_states = states
        self.fQuarnelImpl.SetLogicalList(self.fLogicalLines)
        self.fQuarnelImpl.RebuildCache()
        return self.fLogicalLines

    # What ReplaceLines keeps beside the logical list, index for index: _line_records, the
    # record each line was made from (its lineno is stale once lines moved: the line's
    # fLineno is the one kept up to date), and _line_states, the cutter's state before each
    # line that starts a statement (else None).  A statement start is a place to cut again
    # from when the tokenizer carries nothing into it (no bracket left open or closed too
    # often before it, no string ended by recovery), which in a module being edited is
    # almost always.  So an edit looks up its place by line number and touches only the
    # lines it recuts.

    def ReplaceLines(self, first, count, text):
        """Replaces `count` physical lines starting at line `first` (1-based; count 0
        inserts before it, first one past the last line appends) with the lines of `text`,
        as an editor does, and brings the logical list and the analyzer up to date: only
        the logical lines that changed are cut again and replaced, the lines after them
        are renumbered, and the analyzer's LogicalCacheModified learns the removed and
        added lines.  Returns what LogicalCacheModified returns."""
        old = self._PhysicalLines()
        if not 1 <= first <= len(old) + 1 or count < 0 or first + count - 1 > len(old):
            raise ValueError('no lines %d..%d in a module of %d lines'
                             % (first, first + count - 1, len(old)))
        new_lines = ll.source_lines(text) if text else []
        if new_lines and not new_lines[-1].endswith('\n') and first + count <= len(old):
            new_lines[-1] += '\n'
        if new_lines and first > len(old) and old and not old[-1].endswith('\n'):
            old[-1] += '\n'   # appended lines start lines of their own
        shift = len(new_lines) - count
        start, end = self._RecutBounds(first, first + count - 1)
        old[first - 1:first - 1 + count] = new_lines
        start, end, cut, states = self._Recut(old, start, end, shift)
        # Lines that the cut gives again unchanged keep their objects.
        lines = self.fLogicalLines
        head = 0
        while (head < len(cut) and start + head < end
               and cut[head] == self._RecordAt(start + head, 0)):
            head += 1
        tail = 0
        while (tail < len(cut) - head and end - tail > start + head
               and self._RecordAt(end - tail - 1, shift) == cut[len(cut) - tail - 1]):
            tail += 1
        removed = lines[start + head:end - tail]
        kept = cut[head:len(cut) - tail]
        added = self._NewLines(kept)
        if shift:
            shift_linenos = getattr(self.fLogicalLineModule, 'ShiftLinenos', None)
            if shift_linenos is not None:
                shift_linenos(lines, end - tail, shift)
            else:
                for line in lines[end - tail:]:
                    line.fLineno += shift
        lines[start + head:end - tail] = added
        self._line_records[start + head:end - tail] = kept
        self._line_states[start:end] = states
        self._records = None
        self._source = None
        self._edited = True
        self._scope_attribs = {}
        return self.fQuarnelImpl.LogicalCacheModified(self, LogicalCacheDelta(removed, added))

    def _PhysicalLines(self):
        """The physical lines of the loaded module as ReplaceLines edits them, split from
        the loaded source on the first edit."""
        if self._physical is None and self._loaded_source is not None:
            self._physical = ll.source_lines(self._loaded_source)
            self._loaded_source = None
        return self._physical

    def _RecordAt(self, i, shift):
        """The record of the logical line at index i, numbered as the line is plus shift."""
        record = self._line_records[i]
        lineno = self.fLogicalLines[i].fLineno + shift
        return record if record.lineno == lineno else record._replace(lineno=lineno)

    def _Synced(self, i):
        """Whether the module can be cut again from the line at index i: it starts a
        statement and the tokenizer carries nothing into it (the cutter's recovery from a
        half-typed statement starts the tokenizer afresh; short of that it carries its
        bracket depth from statement to statement, unbalanced closers included)."""
        state = self._line_states[i]
        return state is not None and state[3] == 0

    def _FirstAt(self, lineno):
        """The index of the first logical line that starts at or after line lineno."""
        lines = self.fLogicalLines
        lo, hi = 0, len(lines)
        while lo < hi:
            mid = (lo + hi) // 2
            if lines[mid].fLineno < lineno:
                lo = mid + 1
            else:
                hi = mid
        return lo

    def _RecutBounds(self, first, last):
        """Where the cut of an edit of the old lines first..last starts (the last statement
        before line `first` it can start at, else 0) and the index its tries at an end start
        from."""
        start = self._FirstAt(first) - 1
        while start > 0 and not self._Synced(start):
            start -= 1
        return max(start, 0), self._FirstAt(last + 1)

    def _Recut(self, new, start, after, shift):
        """Cuts the edited part of the module again (the physical lines are already `new`):
        from the statement at index `start` to the first statement at or after index
        `after` before which the cutter is in the same state as it was before the edit, so
        that the old lines from there on stand.  Returns (start, end, records, states): the
        lines [start:end] that the records replace, and the states that go with them."""
        lines = self.fLogicalLines
        total = len(lines)
        if start > 0:
            first_line = lines[start].fLineno
            state = self._line_states[start]
        else:
            first_line, state = 1, ll.INITIAL_STATE
        # Try the statements after the edit at doubling distances: the first usually stands.
        found = 0
        end = min(max(after, start + 1), total)   # an empty module has no line after
        while True:
            while end < total and not self._Synced(end):
                end += 1
            if end < total:
                found += 1
                if (found & (found - 1)) != 0:    # not the 1st, 2nd, 4th, 8th ... candidate
                    end += 1
                    continue
            stop = lines[end].fLineno + shift if end < total else len(new) + 1
            cut, states, clean, state_after = ll.cut_segment(
                new[first_line - 1:stop - 1], first_line, state)
            if end == total or (clean and state_after == self._line_states[end]):
                return start, end, cut, states
            end += 1

    def _NewLines(self, records):
        # A record's fields are the logical line's arguments, in order.
        make_all = getattr(self.fLogicalLineModule, 'LogicalLines', None)
        if make_all is not None:
            return make_all(records)
        make = self.fLogicalLineModule.LogicalLine
        return [make(*record) for record in records]

    # -- notices from the analyzer ----------------------------------------------------

    def _FromFutureFlagsChanged(self):
        """The module's __future__ imports changed.  When the module's analyzer and
        grammar are known, the grammar follows the new features."""
        features = None
        if self.fQuarnelImpl is not None:
            features = dict(self.fQuarnelImpl.fFromFutureFlags)
            if self.fGrammar is not None:
                self.fGrammar.SetFutureFeatures(features)
        self.fNotices.append(('_FromFutureFlagsChanged', features))

    def _ParseErrorsModified(self, added, removed):
        """Lines whose parse failed (added) or whose failure was dropped (removed)."""
        added = tuple(added)
        removed = tuple(removed)
        for line in removed:
            self.fParseErrorLines.pop(line, None)
        for line in added:
            self.fParseErrorLines[line] = True
        self.fNotices.append(('_ParseErrorsModified', (added, removed)))

    def UpdateFromCache(self):
        """The analyzer is about to search and the editor's logical cache has pending
        changes."""
        self.fNotices.append(('UpdateFromCache', ()))

    # -- attributes -------------------------------------------------------------------

    def GetScopeAttributes(self, scope_name, simple_names_valid=True,
                           dotted_names_valid=True, end_time=None, imports_seen=None):
        """The attribute references of the names defined directly in the scope
        scope_name ("" for the module, else the dotted full name of a class or def),
        first definition of each name, in source order.  Names with a "." are reported
        only when dotted_names_valid, the others only when simple_names_valid.

        A module with an analyzer of its own answers from its search (SearchForAttribs),
        which analyzes lines on the way within end_time and sees what the analyzer sees,
        star imports included; imports_seen is passed on so that modules that import
        each other stay bounded.  While that analyzer is busy (this call came from its
        own analysis, through another module's star import), and for modules without
        one, the names are read from the logical lines' tokens: no clock, no star
        imports."""
        impl = self.fQuarnelImpl
        if impl is not None and self.fLogicalLines is not None and not impl.fActiveMethodCount:
            options = {'scope_name': scope_name, 'local_name': '*', 'find_all': False,
                       'simple_names_valid': simple_names_valid,
                       'dotted_names_valid': dotted_names_valid}
            if isinstance(end_time, float):
                options['end_time'] = end_time
            if isinstance(imports_seen, dict):
                options['imports_seen'] = imports_seen
            try:
                return impl.SearchForAttribs(options)
            except KeyError:
                return []
        key = (scope_name, bool(simple_names_valid), bool(dotted_names_valid))
        found = self._scope_attribs.get(key)
        if found is None:
            found = self._ScanScope(scope_name, key[1], key[2])
            self._scope_attribs[key] = found
        return list(found)

    def _ScanScope(self, scope_name, simple_valid, dotted_valid):
        factory = self.fAnalysisFactory
        kinds = factory.fKinds if factory is not None else attrib_kinds()
        make_ref = factory.fAttribRefFactory if factory is not None else make_attrib_ref
        result = []
        seen = {}
        stack = [('', -1)]
        for line in self.GetLineRecords():
            if line.linetype in ll.IGNORED_TYPES:
                continue
            while len(stack) > 1 and stack[-1][1] >= line.indent:
                stack.pop()
            scope = stack[-1][0]
            if scope == scope_name:
                for kind, name, extra in self._Definitions(line, kinds):
                    if name in seen or not (dotted_valid if '.' in name else simple_valid):
                        continue
                    seen[name] = True
                    full_name = scope + '.' + name if scope else name
                    result.append(make_ref(kind, name, full_name, self, line, extra))
            if line.linetype in (ll.kLineClass, ll.kLineDef) and len(line.tokens) > 1:
                name = line.tokens[1]
                stack.append((scope + '.' + name if scope else name, line.indent))
        return result

    def _Definitions(self, line, kinds):
        """(kind, name, extra) for each name the line defines."""
        linetype = line.linetype
        tokens = line.tokens
        if linetype == ll.kLineClass:
            return [(kinds['kClassAttribKind'], tokens[1], None)] if len(tokens) > 1 else []
        if linetype == ll.kLineDef:
            return [(kinds['kFunctionAttribKind'], tokens[1], None)] if len(tokens) > 1 else []
        imported = kinds['kImportedAttribKind']
        if linetype == ll.kLineImport:
            found = []
            for local, module, name_in_module in import_names(tokens):
                analysis = self._FindModule(module)
                if analysis is not self:
                    found.append((imported, local, (local, analysis, name_in_module, None)))
            return found
        if linetype == ll.kLineFromImport:
            found = []
            for local, module, name_in_module in from_import_names(tokens):
                analysis = self._FindModule(module)
                found.append((imported, local, (local, analysis, name_in_module, None)))
            return found
        generic = kinds['kGenericAttribKind']
        return [(generic, name, None) for name in assigned_names(tokens)]

    def _FindModule(self, name):
        if self.fAnalysisFactory is None:
            return None
        return self.fAnalysisFactory.FindAnalysisByName(name, self.fPackageDir)


class AnalysisFactory:
    """Finds modules by name and makes their analyses, one per file, when first asked.

    A name is looked for as name.py or name/__init__.py, first in the importing module's
    package folder and then on the search path (sys.path as it is at each look-up when
    none is given).  Dotted names go down through packages; leading dots make a relative
    name, looked for only from the package folder up.  Modules without Python source
    (built in or compiled) are not found.  Look-ups are remembered until
    `ForgetLookups`."""

    def __init__(self, search_path=None, analysis_class=CQuarnelAnalysis,
                 logicalline_module=None, attrib_ref_factory=make_attrib_ref):
        self.fSearchPath = search_path
        self.fAnalysisClass = analysis_class
        self.fKinds = attrib_kinds(logicalline_module)
        self.fAttribRefFactory = attrib_ref_factory
        self._by_file = {}
        self._located = {}

    def FindAnalysisByName(self, name, package_dir):
        """The analysis of the module `name` as imported from a module in package_dir,
        or None when there is no such module with source."""
        key = (name, package_dir)
        try:
            filename = self._located[key]
        except KeyError:
            filename = self._located[key] = self._Locate(name, package_dir)
        if filename is None:
            return None
        return self.AnalysisForFile(filename, _module_name(name))

    def AnalysisForFile(self, filename, module_name=None):
        """The one analysis of the file, made on first need."""
        filename = os.path.realpath(filename)
        analysis = self._by_file.get(filename)
        if analysis is None:
            analysis = self.fAnalysisClass(self, filename, module_name=module_name)
            self._by_file[filename] = analysis
        return analysis

    def ForgetLookups(self):
        """Forgets where names were found (as after files were added or removed); the
        analyses themselves stay."""
        self._located = {}

    def _Locate(self, name, package_dir):
        if not isinstance(name, str):
            return None
        stripped = name.lstrip('.')
        level = len(name) - len(stripped)
        if level:
            if not package_dir:
                return None
            base = package_dir
            for _ in range(level - 1):
                base = os.path.dirname(base)
            if not stripped:
                init = os.path.join(base, '__init__.py')
                return init if os.path.isfile(init) else None
            folders = [base]
        else:
            path = self.fSearchPath if self.fSearchPath is not None else sys.path
            folders = ([package_dir] if package_dir else []) + list(path)
        parts = stripped.split('.')
        for part in parts:
            if not _IDENTIFIER.match(part):
                return None
        for folder in folders:
            if not isinstance(folder, str):
                continue
            found = _find_in(folder or os.curdir, parts)
            if found is not False:
                return found
        return None


_IDENTIFIER = re.compile(r'[A-Za-z_][A-Za-z0-9_]*\Z')


def _find_in(folder, parts):
    """The source file of the module parts[0].parts[1]... in folder; None when the
    first part is a package there without the rest (the search ends there, as the
    interpreter's does); False when the first part is not there."""
    head = os.path.join(folder, parts[0])
    init = os.path.join(head, '__init__.py')
    if os.path.isfile(init):
        if len(parts) == 1:
            return init
        found = _find_in(head, parts[1:])
        return found or None
    module = head + '.py'
    if os.path.isfile(module):
        return module if len(parts) == 1 else None
    return False


def _module_name(name):
    return name.lstrip('.') or None


# -- names defined by a logical line, read from its tokens --------------------------------

_OPENERS = ('(', '[', '{')
_CLOSERS = (')', ']', '}')


def import_names(tokens):
    """(local name, module to find, name in that module) for each name an import
    statement defines: "import a.b as c" gives ("c", "a", "b"); "import a.b" gives
    ("a.b", "a", "b") and ("a", "a", "")."""
    found = []
    for item in _split_top(tokens[1:], ','):
        item = [t for t in item if t not in ('(', ')')]
        if not item:
            continue
        if 'as' in item:
            i = item.index('as')
            dotted = ''.join(item[:i])
            local = item[i + 1] if i + 1 < len(item) else None
        else:
            dotted = local = ''.join(item)
        if not local:
            continue
        head, _, rest = dotted.partition('.')
        found.append((local, head, rest))
        if local == dotted and rest:
            found.append((head, head, ''))
    return found


def from_import_names(tokens):
    """(local name, module to find, name in that module) for each name of a from-import;
    a star import defines none here."""
    if 'import' not in tokens:
        return []
    i = tokens.index('import')
    module = ''.join(tokens[1:i])
    found = []
    for item in _split_top([t for t in tokens[i + 1:] if t not in ('(', ')')], ','):
        if not item or item[0] == '*':
            continue
        if len(item) == 3 and item[1] == 'as':
            found.append((item[2], module, item[0]))
        else:
            found.append((item[0], module, item[0]))
    return found


def assigned_names(tokens):
    """The names (dotted for attributes) that an assignment or a for-loop header binds,
    unpacking tuples and lists; other statements bind none."""
    if not tokens:
        return []
    if tokens[0] == 'for':
        for i, t in _top_level(tokens):
            if t == 'in':
                return _target_names(tokens[1:i])
        return []
    if keyword.iskeyword(tokens[0]):
        return []
    parts = []
    start = 0
    for i, t in _top_level(tokens):
        if t == 'lambda':
            break                      # the "=" of lambda defaults binds nothing
        if t == '=':
            parts.append(list(tokens[start:i]))
            start = i + 1
    names = []
    for target in parts:
        names.extend(_target_names(target))
    return names


def _target_names(tokens):
    tokens = _unwrap(tokens)
    elements = _split_top(tokens, ',')
    if len(elements) > 1:
        names = []
        for element in elements:
            if element:
                names.extend(_target_names(element))
        return names
    if len(tokens) % 2 == 1 and all(
            _is_name(t) if i % 2 == 0 else t == '.' for i, t in enumerate(tokens)):
        return [''.join(tokens)]
    return []


def _is_name(text):
    return _IDENTIFIER.match(text) is not None and not keyword.iskeyword(text)


def _unwrap(tokens):
    """tokens without brackets that enclose all of them."""
    while len(tokens) >= 2 and tokens[0] in ('(', '[') and _closing(tokens) == len(tokens) - 1:
        tokens = tokens[1:-1]
    return tokens


def _closing(tokens):
    depth = 0
    for i, t in enumerate(tokens):
        if t in _OPENERS:
            depth += 1
        elif t in _CLOSERS:
            depth -= 1
            if depth == 0:
                return i
    return None


def _top_level(tokens):
    """(index, token) for each token outside any brackets, the brackets themselves left
    out."""
    depth = 0
    for i, t in enumerate(tokens):
        if t in _OPENERS:
            depth += 1
        elif t in _CLOSERS:
            depth -= 1
        elif depth == 0:
            yield i, t


def _split_top(tokens, separator):
    parts = []
    start = 0
    for i, t in _top_level(tokens):
        if t == separator:
            parts.append(list(tokens[start:i]))
            start = i + 1
    parts.append(list(tokens[start:]))
    return parts
