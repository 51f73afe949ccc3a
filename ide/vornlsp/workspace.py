"""The classes and defs of every Python file under the workspace folders (workspace/symbol).

Each file's symbols are read from its logical lines (the environment's cutter; nothing is
analyzed) and stored beside the stored analyses, under the same key, with the digest of the
source they were read from: a later server restores them while the file is unchanged. The
index keeps, per file, its size and modification time, so a question only reads again the
files that changed; open documents answer from their text as edited.
"""
import hashlib
import marshal
import os
import time

from vornide import logicallines as ll
from vornlsp import text as doctext
from vornlsp.symbols import KIND_CLASS, KIND_FUNCTION, KIND_METHOD

# Changes whenever the stored symbols change shape.
STORE_FORMAT = 1

# Folders never walked: version control, caches, virtual environments' own copies.
SKIPPED_FOLDERS = ('.git', '.hg', '.svn', '__pycache__', 'node_modules', '.tox')


def symbols_of_lines(lines, text_line):
    """(name, kind, container, line, start, end) for each class and def of logical lines
    (records or logical line objects: tokens, positions, lineno, indent and linetype read
    through `_fields`), columns in UTF-16 code units; text_line(number) gives the content of
    the 0-based physical line as unicode."""
    found = []
    stack = []      # (indent, full name, is a class)
    for line in lines:
        tokens, positions, lineno, indent, linetype = _fields(line)
        if linetype in ll.IGNORED_TYPES:
            continue
        while stack and stack[-1][0] >= indent:
            stack.pop()
        if linetype not in (ll.kLineClass, ll.kLineDef) or len(tokens) < 2:
            continue
        name = tokens[1]
        container = stack[-1][1] if stack else ''
        is_class = linetype == ll.kLineClass
        kind = KIND_CLASS if is_class else (
            KIND_METHOD if stack and stack[-1][2] else KIND_FUNCTION)
        row, column = positions[1]
        number = lineno - 1 + row
        text = text_line(number)
        start = doctext.utf16_for_byte_column(text, column)
        end = doctext.utf16_for_byte_column(text, column + len(name))
        found.append((name, kind, container, number, start, end))
        stack.append((indent, container + '.' + name if container else name, is_class))
    return found


def _fields(line):
    if hasattr(line, 'fTokens'):
        return (line.fTokens, line.fTokenPositions, line.fLineno, line.fIndent,
                line.fLineType)
    return line.tokens, line.positions, line.lineno, line.indent, line.linetype


def symbols_of_source(source):
    """The symbols (as symbols_of_lines) of a module's source (str)."""
    physical = [None]

    def text_line(number):
        if physical[0] is None:
            physical[0] = source.splitlines()
        lines = physical[0]
        raw = lines[number] if number < len(lines) else ''
        return raw.decode('utf-8', 'replace')
    return symbols_of_lines(ll.cut_logical_lines(source), text_line)


def _store_path(filename):
    import vornanalyze
    path = vornanalyze.store_path(filename)
    return path[:-len('.bin')] + '.symbols' if path else None


def _matches(query, name):
    """Whether the characters of query appear in name in order, ignoring case (as editors
    filter symbol lists)."""
    if not query:
        return True
    name = name.lower()
    at = 0
    for ch in query.lower():
        at = name.find(ch, at)
        if at < 0:
            return False
        at += 1
    return True


class WorkspaceIndex(object):
    """The symbols of the Python files under a set of folders."""

    def __init__(self, folders, log=None, store=True):
        self.folders = [os.path.abspath(f) for f in folders if f and os.path.isdir(f)]
        self.log = log or (lambda text: None)
        self.store = store
        self.entries = {}        # path -> ((size, mtime), symbols)
        self.pending = None      # the files still to read, while indexing
        self.restored = self.read = 0   # counts, for the log and the tests

    def files(self):
        found = []
        for folder in self.folders:
            for root, dirs, names in os.walk(folder):
                dirs[:] = sorted(d for d in dirs if d not in SKIPPED_FOLDERS
                                 and not d.startswith('.'))
                found.extend(os.path.join(root, n) for n in sorted(names)
                             if n.endswith('.py'))
        return found

    def start(self):
        """Lists the files again; the ones new or changed since they were read are read
        by the next `work` calls."""
        self.pending = self.files()
        listed = set(self.pending)
        for path in list(self.entries):
            if path not in listed:
                del self.entries[path]

    def work(self, end_time=None, stop=None):
        """Reads pending files until end_time (None: all of them) or until stop() says so
        (asked every tenth of a second); True when none is left."""
        if self.pending is None:
            self.start()
        asked = time.time()
        while self.pending:
            now = time.time()
            if end_time is not None and now > end_time:
                return False
            if stop is not None and now - asked > 0.1:
                asked = now
                if stop():
                    return False
            path = self.pending.pop()
            try:
                self._update(path)
            except (IOError, OSError) as e:
                self.entries.pop(path, None)
                self.log('workspace: %s skipped: %s' % (path, e))
        return True

    def _update(self, path):
        st = os.stat(path)
        stamp = (st.st_size, st.st_mtime)
        entry = self.entries.get(path)
        if entry is not None and entry[0] == stamp:
            return
        with open(path, 'rb') as f:
            source = f.read()
        digest = hashlib.sha1(source).hexdigest()
        store = _store_path(path) if self.store else None
        symbols = self._restore(store, digest)
        if symbols is None:
            symbols = symbols_of_source(source)
            self.read += 1
            self._save(store, digest, symbols)
        else:
            self.restored += 1
        self.entries[path] = (stamp, symbols)

    def _restore(self, store, digest):
        if store is None:
            return None
        try:
            with open(store, 'rb') as f:
                header = f.readline()
                payload = f.read()
        except (IOError, OSError):
            return None
        if header != 'vorn-symbols %d %s %s\n' % (STORE_FORMAT, digest,
                                                   hashlib.sha1(payload).hexdigest()):
            return None
        try:
            symbols = marshal.loads(payload)
        except (EOFError, ValueError, TypeError):
            return None
        return symbols if isinstance(symbols, list) else None

    def _save(self, store, digest, symbols):
        if store is None:
            return
        payload = marshal.dumps(symbols, 2)
        try:
            folder = os.path.dirname(store)
            if not os.path.isdir(folder):
                os.makedirs(folder)
            partial = store + '.%d.tmp' % os.getpid()
            with open(partial, 'wb') as f:
                f.write('vorn-symbols %d %s %s\n' % (STORE_FORMAT, digest,
                                                      hashlib.sha1(payload).hexdigest()))
                f.write(payload)
            os.rename(partial, store)
        except (IOError, OSError) as e:
            self.log('workspace: symbols of %s not stored: %s' % (store, e))

    def query(self, query, documents, uri_for_path):
        """SymbolInformation of the classes and defs whose names match query: the open
        documents' (as edited) first, then the indexed files that are not open."""
        found = []
        open_paths = set()
        for doc in documents:
            path = getattr(doc.analysis, 'filename', None)
            if path:
                open_paths.add(os.path.abspath(path))
            symbols = symbols_of_lines(doc.module.fLogicalLines or (), doc.text.line)
            found.extend(_information(doc.uri, s) for s in symbols if _matches(query, s[0]))
        for path in sorted(self.entries):
            if path in open_paths:
                continue
            uri = None
            for symbol in self.entries[path][1]:
                if _matches(query, symbol[0]):
                    uri = uri or uri_for_path(path)
                    found.append(_information(uri, symbol))
        return found


def _information(uri, symbol):
    name, kind, container, number, start, end = symbol
    info = {'name': name, 'kind': kind,
            'location': {'uri': uri, 'range': {'start': {'line': number, 'character': start},
                                               'end': {'line': number, 'character': end}}}}
    if container:
        info['containerName'] = container
    return info
