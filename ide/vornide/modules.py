"""Module analyses as an editor's answers need them (`vorn analyze` and `vorn lsp`).

`EditorAnalysis` answers the analyzer's star-import question, `GetScopeAttributes('')`, with
what `from M import *` binds in the interpreter: the names of `M.__all__` when the module
defines it (read from its literal assignments, `+=`, `extend`, `append`, `remove`, and
`other.__all__` of a module it imports), else its public module-level names; names bound
only under `if __name__ == '__main__':` and names it deletes again are left out.
`ModuleAttributes` lists every attribute an imported module has (for `module.` completion).

`EditorFactory` also finds modules without Python source, built in (`sys`) or compiled
(`math`, `_socket`), and dotted names that a module makes its own (`os.path`, which the
interpreter has bound to `posixpath` already). Their names come from importing them in a
helper interpreter, a child process, never in the analyzing process; the answer is kept in
memory and in the user's settings folder.
"""
import hashlib
import imp
import json
import os
import subprocess
import sys

from vornide import analysis as _analysis
from vornide import logicallines as ll

# What the helper interpreter runs: imports each module named on its command line and
# writes, as JSON, its names with their kinds and its __all__ (None when it has none).
HELPER = r'''
import json, sys, types
found = {}
for name in sys.argv[1:]:
    try:
        __import__(name)
        module = sys.modules[name]
    except BaseException:
        found[name] = None
        continue
    names = []
    for attr in dir(module):
        value = getattr(module, attr, None)
        if isinstance(value, (type, types.ClassType)):
            kind = 'class'
        elif isinstance(value, (types.BuiltinFunctionType, types.FunctionType)):
            kind = 'function'
        elif isinstance(value, types.ModuleType):
            kind = 'imported'
        else:
            kind = 'generic'
        names.append((attr, kind))
    public = getattr(module, '__all__', None)
    if public is not None:
        try:
            public = [n for n in public if isinstance(n, str)]
        except TypeError:
            public = None
    found[name] = {'names': names, 'all': public}
sys.stdout.write(json.dumps(found))
'''

# Changes whenever the helper's answer changes shape.
CACHE_FORMAT = 1


def helper_python():
    """The interpreter the helper runs in: this process's own when it is a python2.7
    program, else the python2.7 beside this one's prefix or the system's (an embedding
    launcher's sys.executable is a guess from PATH, which may name a script or another
    Python)."""
    version = 'python%d.%d' % sys.version_info[:2]
    candidates = []
    if sys.executable and os.path.basename(sys.executable).startswith(version):
        candidates.append(sys.executable)
    candidates += [os.path.join(folder, version)
                   for folder in (os.path.join(sys.prefix, 'bin'), '/usr/bin', '/usr/local/bin')]
    for candidate in candidates:
        if _is_program(candidate):
            return candidate
    return None


def _is_program(path):
    """Whether path is an executable ELF file (not a shell script standing in for one)."""
    try:
        with open(path, 'rb') as f:
            magic = f.read(4)
    except (IOError, OSError):
        return False
    return magic == '\x7fELF' and os.access(path, os.X_OK)


def _cache_folder():
    try:
        import vornanalyze
        folder = vornanalyze.user_app_data_path()
    except ImportError:
        folder = None
    if not folder:
        return None
    if isinstance(folder, unicode):
        folder = folder.encode(sys.getfilesystemencoding() or 'utf-8')
    return os.path.join(folder, 'QUENDRALUX', 'VUVAZIRUZAD', '2.1', 'modules')


def _file_stamp(path):
    try:
        st = os.stat(path)
    except (OSError, TypeError):
        return None
    return '%s:%d:%d' % (path, st.st_size, int(st.st_mtime))


class CompiledNames(object):
    """The names of modules without Python source, from the helper interpreter, kept in
    memory and on disk (keyed by the interpreter, the module and the module's file)."""

    def __init__(self, python=None, folder=None, use_disk=True):
        self.python = python or helper_python()
        self.folder = folder if folder is not None else (_cache_folder() if use_disk else None)
        self.memory = {}
        self.calls = 0        # helper processes started (for tests)

    def names(self, name, path, search_path):
        """{'names': [(name, kind)], 'all': list or None} of module `name` (file path, or
        None when built in), or None when the helper could not import it."""
        key = (name, path)
        if key in self.memory:
            return self.memory[key]
        disk = self._disk_name(name, path)
        found = self._read(disk)
        if found is None:
            found = self._ask(name, path, search_path)
            if found is not None:
                self._write(disk, found)
        self.memory[key] = found
        return found

    def _disk_name(self, name, path):
        if self.folder is None or self.python is None:
            return None
        stamp = '%d\0%s\0%s\0%s' % (CACHE_FORMAT, _file_stamp(self.python), name,
                                     _file_stamp(path) if path else 'built in')
        return os.path.join(self.folder, hashlib.sha1(stamp).hexdigest() + '.json')

    def _read(self, disk):
        if disk is None:
            return None
        try:
            with open(disk, 'rb') as f:
                found = json.load(f)
        except (IOError, OSError, ValueError):
            return None
        if not isinstance(found, dict) or not isinstance(found.get('names'), list):
            return None
        return _as_str(found)

    def _write(self, disk, found):
        if disk is None:
            return
        try:
            if not os.path.isdir(self.folder):
                os.makedirs(self.folder)
            partial = disk + '.%d.tmp' % os.getpid()
            with open(partial, 'wb') as f:
                json.dump(found, f)
            os.rename(partial, disk)
        except (IOError, OSError):
            pass

    def _ask(self, name, path, search_path):
        if self.python is None:
            return None
        env = dict((k, v) for k, v in os.environ.items() if not k.startswith('PYTHON'))
        # The module's own folder first, so a compiled module beside the edited file is the
        # one imported; the interpreter keeps its own path after it.
        folders = [os.path.dirname(path)] if path and '.' not in name else []
        folders += [f for f in search_path or () if isinstance(f, str) and f]
        env['PYTHONPATH'] = os.pathsep.join(folders)
        self.calls += 1
        try:
            with open(os.devnull, 'rb') as devnull:
                proc = subprocess.Popen([self.python, '-c', HELPER, name], stdin=devnull,
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=env, cwd='/', close_fds=True)
                out, _ = proc.communicate()
        except (OSError, ValueError):
            return None
        try:
            found = json.loads(out).get(name)
        except (ValueError, AttributeError):
            return None
        return _as_str(found) if isinstance(found, dict) else None


def _as_str(found):
    """The helper's answer with str names (JSON gives unicode)."""
    names = [(str(n), str(k)) for n, k in found.get('names') or ()
             if isinstance(n, basestring) and isinstance(k, basestring)]
    public = found.get('all')
    if public is not None:
        public = [str(n) for n in public if isinstance(n, basestring)]
    return {'names': names, 'all': public}


class EditorAnalysis(_analysis.CQuarnelAnalysis):
    """A module analysis whose star imports and attribute lists follow the interpreter;
    fCompiled is the file of a compiled module ('' for a built-in one, None for a module
    with source)."""

    fCompiled = None

    def GetScopeAttributes(self, scope_name, simple_names_valid=True,
                           dotted_names_valid=True, end_time=None, imports_seen=None):
        """For the module (scope_name ''), what `from M import *` binds; for other scopes,
        the names defined in them."""
        if scope_name != '' or dotted_names_valid:
            return _analysis.CQuarnelAnalysis.GetScopeAttributes(
                self, scope_name, simple_names_valid, dotted_names_valid, end_time,
                imports_seen)
        return self.StarAttributes(end_time, imports_seen)

    def ModuleAttributes(self, end_time=None, imports_seen=None):
        """The attribute references of every name the module has once imported (its
        module-level names, not those bound only when it runs as the main program)."""
        if self.fCompiled is not None:
            return self._CompiledRefs(None)
        refs = _analysis.CQuarnelAnalysis.GetScopeAttributes(self, '', True, False, end_time,
                                                            imports_seen)
        hidden = self._MainBlockLines()
        found = [ref for ref in refs if _lineno(ref.fLine) not in hidden]
        names = set(ref.fLocalName for ref in found)
        factory = self.fAnalysisFactory
        kinds = factory.fKinds
        scanned = self.fQuarnelImpl is None or self.fLogicalLines is None
        seen = imports_seen if isinstance(imports_seen, dict) else {}
        for line, in_main in self._ModuleLines():
            if in_main:
                continue
            extra = [(kinds['kGenericAttribKind'], name, None)
                     for name in extra_bound_names(line.tokens)]
            if scanned and line.linetype == ll.kLineFromImport and line.tokens[-1:] == ['*']:
                # The reading of the lines leaves star imports out; the analyzer follows
                # them for a module it analyzes.
                other = self._FindModule(''.join(line.tokens[1:line.tokens.index('import')]))
                if other is not None and hasattr(other, 'StarAttributes') \
                        and id(line) not in seen:
                    seen[id(line)] = True
                    extra += [(kinds['kImportedAttribKind'], ref.fLocalName,
                               (ref.fLocalName, other, ref.fLocalName, ref))
                              for ref in other.StarAttributes(end_time, seen)]
            for kind, name, record in extra:
                if name not in names:
                    names.add(name)
                    found.append(factory.fAttribRefFactory(kind, name, name, self, line,
                                                           record))
        return found

    def StarAttributes(self, end_time=None, imports_seen=None):
        """The attribute references of the names `from M import *` binds."""
        if self.fCompiled is not None:
            info = self._CompiledInfo()
            return self._CompiledRefs(info['all'] if info else None, public_only=True)
        refs = self.ModuleAttributes(end_time, imports_seen)
        public, lines = self.ExportedNames()
        deleted = self._DeletedNames()
        if public is None:
            return [ref for ref in refs if not ref.fLocalName.startswith('_')
                    and ref.fLocalName not in deleted]
        by_name = dict((ref.fLocalName, ref) for ref in refs)
        kinds = self.fAnalysisFactory.fKinds
        make_ref = self.fAnalysisFactory.fAttribRefFactory
        found = []
        for name in public:
            ref = by_name.get(name)
            if ref is None:
                # Defined where the reading cannot see (a star import, a computed name):
                # the interpreter binds it all the same.
                ref = make_ref(kinds['kGenericAttribKind'], name, name, self, lines[0], None)
            found.append(ref)
        return found

    # -- reading the module's lines -----------------------------------------------------

    def _ModuleLines(self):
        """The line records of the module's own scope (not in class or def bodies), with
        whether each is under an `if __name__ == '__main__':`."""
        cached = getattr(self, '_module_lines', None)
        records = self.GetLineRecords()
        if cached is not None and cached[0] is records:
            return cached[1]
        found = []
        scope_indent = None    # indentation of the class or def whose body is being passed
        main_indent = None     # indentation of the main-program test being passed
        for line in records:
            if line.linetype in ll.IGNORED_TYPES:
                continue
            if scope_indent is not None:
                if line.indent > scope_indent:
                    continue
                scope_indent = None
            if main_indent is not None and line.indent <= main_indent:
                main_indent = None
            found.append((line, main_indent is not None))
            if line.linetype in (ll.kLineClass, ll.kLineDef):
                scope_indent = line.indent
            elif main_indent is None and _is_main_test(line.tokens):
                main_indent = line.indent
        self._module_lines = (records, found)
        return found

    def _MainBlockLines(self):
        """Line numbers of the module-level lines under `if __name__ == '__main__':`."""
        return set(line.lineno for line, hidden in self._ModuleLines() if hidden)

    def _DeletedNames(self):
        names = set()
        for line, hidden in self._ModuleLines():
            if not hidden and line.tokens and line.tokens[0] == 'del':
                names.update(t for t in line.tokens[1:] if _analysis._is_name(t))
        return names

    def ExportedNames(self, _seen=None):
        """(the names of the module's __all__ in order, the lines that build it), or
        (None, []) when the module sets no __all__ or sets it to a value that cannot be
        read (computed). Parts of it that cannot be read add nothing."""
        seen = _seen if _seen is not None else set()
        seen.add(id(self))
        public = None
        lines = []
        for line, hidden in self._ModuleLines():
            tokens = line.tokens
            if hidden or not tokens:
                continue
            if line.linetype == ll.kLineFromImport:
                # "from M import __all__" takes M's.
                for name, module, in_module in _analysis.from_import_names(tokens):
                    if name == '__all__' and in_module == '__all__':
                        public = list(self._ModuleExports(module, seen) or [])
                        lines.append(line)
                continue
            if tokens[0] != '__all__':
                continue
            op = tokens[1] if len(tokens) > 1 else None
            if op == '=' and '=' not in tokens[2:]:
                value, readable = self._ListValue(tokens[2:], public, seen)
                if not readable and not value:
                    return None, []
                public = value
            elif op == '+=':
                public = (public or []) + self._ListValue(tokens[2:], public, seen)[0]
            elif op == '.' and len(tokens) > 4 and tokens[3] == '(' and tokens[-1] == ')':
                argument = tokens[4:-1]
                if tokens[2] == 'extend':
                    public = (public or []) + self._ListValue(argument, public, seen)[0]
                elif tokens[2] == 'append':
                    public = (public or []) + _literal_strings(argument)
                elif tokens[2] == 'remove' and public is not None:
                    for name in _literal_strings(argument):
                        if name in public:
                            public.remove(name)
                else:
                    continue
            else:
                continue
            lines.append(line)
        if public is None:
            return None, []
        unique = []
        for name in public:
            if name not in unique:
                unique.append(name)
        return unique, lines

    def _ListValue(self, tokens, current, seen):
        """(names, whether every term was read) of an expression "a + b + ..." whose terms
        are literal lists or tuples of strings, `__all__` itself, `module.__all__` of an
        imported module, or a name that the module binds to a literal or to another
        module's __all__ ("from M import __all__ as name")."""
        names = []
        readable = True
        for term in _analysis._split_top(tokens, '+'):
            if term == ['__all__']:
                names.extend(current or [])
            elif len(term) == 3 and term[1] == '.' and term[2] == '__all__':
                names.extend(self._OtherExports(term[0], seen))
            elif len(term) == 1 and _analysis._is_name(term[0]):
                found = self._NamedList(term[0], seen)
                readable = readable and found is not None
                names.extend(found or [])
            else:
                found = _literal_strings(term)
                readable = readable and (bool(found) or term[:1] in (['['], ['(']))
                names.extend(found)
        return names, readable

    def _NamedList(self, name, seen):
        """The strings the module binds name to at its top (a literal, or another module's
        __all__ imported under that name), or None."""
        for line, hidden in self._ModuleLines():
            tokens = line.tokens
            if line.linetype == ll.kLineFromImport:
                for local, module, in_module in _analysis.from_import_names(tokens):
                    if local == name and in_module == '__all__':
                        return self._ModuleExports(module, seen)
            elif tokens[:2] == [name, '='] and '=' not in tokens[2:]:
                return _literal_strings(tokens[2:]) or None
        return None

    def _OtherExports(self, local, seen):
        """The __all__ of the module that the imported name `local` stands for."""
        for line, hidden in self._ModuleLines():
            if line.linetype == ll.kLineImport:
                names = [(name, module + '.' + rest if rest else module)
                         for name, module, rest in _analysis.import_names(line.tokens)]
            elif line.linetype == ll.kLineFromImport:
                names = [(name, module + name_in if module.endswith('.') else
                          module + '.' + name_in)
                         for name, module, name_in in _analysis.from_import_names(line.tokens)]
            else:
                continue
            for name, target in names:
                if name == local:
                    return self._ModuleExports(target, seen) or []
        return []

    def _ModuleExports(self, module_name, seen):
        """The __all__ of the module of that name as this module imports it, or None."""
        other = self._FindModule(module_name)
        if other is None or id(other) in seen or not hasattr(other, 'ExportedNames'):
            return None
        if other.fCompiled is not None:
            info = other._CompiledInfo()
            return (info or {}).get('all')
        return other.ExportedNames(seen)[0]

    # -- modules without source -----------------------------------------------------------

    def _CompiledInfo(self):
        factory = self.fAnalysisFactory
        return factory.fCompiledNames.names(self.fModuleName, self.fCompiled or None,
                                            factory.SearchPath())

    def _CompiledRefs(self, public, public_only=False):
        info = self._CompiledInfo()
        if info is None:
            return []
        factory = self.fAnalysisFactory
        kinds = factory.fKinds
        kind_of = {'class': kinds['kClassAttribKind'],
                   'function': kinds['kFunctionAttribKind'],
                   'imported': kinds['kImportedAttribKind']}
        by_name = dict(info['names'])
        if public is not None:
            names = [n for n in public if n in by_name]
        elif public_only:
            names = [n for n, _ in info['names'] if not n.startswith('_')]
        else:
            names = [n for n, _ in info['names']]
        return [factory.fAttribRefFactory(kind_of.get(by_name[n], kinds['kGenericAttribKind']),
                                          n, n, self, None, None) for n in names]


class EditorFactory(_analysis.AnalysisFactory):
    """The factory of `EditorAnalysis` objects, which also finds modules without Python
    source."""

    def __init__(self, search_path=None, logicalline_module=None, compiled_names=None):
        _analysis.AnalysisFactory.__init__(self, search_path=search_path,
                                           analysis_class=EditorAnalysis,
                                           logicalline_module=logicalline_module)
        self.fCompiledNames = compiled_names or CompiledNames()
        self._compiled = {}

    def SearchPath(self):
        return self.fSearchPath if self.fSearchPath is not None else sys.path

    def FindAnalysisByName(self, name, package_dir):
        found = _analysis.AnalysisFactory.FindAnalysisByName(self, name, package_dir)
        if found is not None or not isinstance(name, str):
            return found
        key = (name, package_dir)
        if key not in self._compiled:
            self._compiled[key] = self._FindWithoutSource(name, package_dir)
        return self._compiled[key]

    def _FindWithoutSource(self, name, package_dir):
        if name.startswith('.'):
            return None
        # A dotted name that the interpreter has bound to a module of another name
        # (os.path is posixpath): its source, when that module is loaded here already.
        loaded = sys.modules.get(name) if '.' in name else None
        source = getattr(loaded, '__file__', None)
        if source:
            if source.endswith(('.pyc', '.pyo')):
                source = source[:-1]
            if source.endswith('.py') and os.path.isfile(source):
                return self.AnalysisForFile(source, name)
        if name in sys.builtin_module_names:
            return self._Compiled(name, '')
        parts = name.split('.')
        folders = ([package_dir] if package_dir else []) + [
            f for f in self.SearchPath() if isinstance(f, str)]
        for part in parts[:-1]:
            folders = [os.path.join(f or os.curdir, part) for f in folders
                       if os.path.isfile(os.path.join(f or os.curdir, part, '__init__.py'))]
        try:
            found = imp.find_module(parts[-1], [f or os.curdir for f in folders])
        except (ImportError, TypeError):
            return None
        if found[0] is not None:
            found[0].close()
        if found[2][2] != imp.C_EXTENSION:
            return None
        return self._Compiled(name, os.path.realpath(found[1]))

    def _Compiled(self, name, path):
        key = ('compiled', name, path)
        found = self._by_file.get(key)
        if found is None:
            found = self.fAnalysisClass(self, None, module_name=name)
            found.fCompiled = path
            self._by_file[key] = found
        return found


def extra_bound_names(tokens):
    """The names a logical line binds that the analyzer leaves out: the targets of `with
    ... as` and `except ... as`/`except E, target`, and the loop variables of list
    comprehensions outside lambdas."""
    names = []
    if not tokens:
        return names
    head = tokens
    for i, t in _analysis._top_level(tokens):
        if t == ':':
            head = tokens[:i]
            break
    if tokens[0] == 'with':
        for item in _analysis._split_top(head[1:], ','):
            tops = [i for i, t in _analysis._top_level(item) if t == 'as']
            if tops:
                names.extend(_analysis._target_names(item[tops[0] + 1:]))
    elif tokens[0] == 'except':
        tops = [i for i, t in _analysis._top_level(head) if t in ('as', ',')]
        if tops:
            names.extend(_analysis._target_names(head[tops[0] + 1:]))
    # List comprehensions: a "for" whose innermost bracket is "[" binds its targets.
    brackets = []
    i = 0
    while i < len(tokens):
        t = tokens[i]
        if t == 'lambda':
            break
        if t in ('(', '[', '{'):
            brackets.append(t)
        elif t in (')', ']', '}'):
            if brackets:
                brackets.pop()
        elif t == 'for' and brackets and brackets[-1] == '[':
            depth = len(brackets)
            j = i + 1
            level = depth
            while j < len(tokens):
                u = tokens[j]
                if u in ('(', '[', '{'):
                    level += 1
                elif u in (')', ']', '}'):
                    level -= 1
                elif u == 'in' and level == depth:
                    break
                j += 1
            names.extend(_analysis._target_names(tokens[i + 1:j]))
            i = j
            continue
        i += 1
    return names


def _is_main_test(tokens):
    """Whether a line is `if __name__ == '__main__':` (either way round, any quotes)."""
    if len(tokens) != 5 or tokens[0] != 'if' or tokens[2] != '==' or tokens[4] != ':':
        return False
    sides = set([tokens[1], tokens[3]])
    return '__name__' in sides and any(s.strip('\'"') == '__main__' and s[:1] in '\'"'
                                       for s in sides)


def _literal_strings(tokens):
    """The str items of a literal list or tuple (or one string) of tokens, else []."""
    import ast
    text = ' '.join(tokens)
    if not text.strip():
        return []
    try:
        value = ast.literal_eval(text)
    except (SyntaxError, ValueError, TypeError, MemoryError):
        return []
    if isinstance(value, str):
        return [value]
    if isinstance(value, (list, tuple)):
        return [v for v in value if isinstance(v, str)]
    return []


def _lineno(line):
    if line is None:
        return None
    lineno = getattr(line, 'fLineno', None)
    return lineno if lineno is not None else getattr(line, 'lineno', None)
