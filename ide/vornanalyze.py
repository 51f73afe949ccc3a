"""`vorn analyze`: the source analyzer on one file, answering what an editor asks.

    vorn analyze [--complete SCOPE.PREFIX | --types NAME@SCOPE] [--no-store] FILE

Without a question it prints the module's outline: its classes and defs with full names and
line numbers, the instance attributes each class's methods assign, and the names it imports
with where they come from. --complete lists the names defined in a scope that start with a
prefix (for a class, its instance attributes too); --types lists what a name probably holds in
a scope.

The file is read through the environment's module analysis and analyzed a slice of lines at a
time, with progress on long files. The analysis is stored in the user's settings folder
(GetUserAppDataPath) and restored by the next run on the same, unchanged file.
"""
import hashlib
import marshal
import os
import sys
import time

HELP = """usage: vorn analyze [--complete SCOPE.PREFIX | --types NAME@SCOPE] [--no-store] FILE

Analyzes a Python 2 file and prints its outline: classes and defs with their full names and
line numbers, the instance attributes of each class, the imported names and where they come
from.

options:
  --complete SCOPE.PREFIX   the names defined in SCOPE (a full name such as Cls.method, or
                            nothing for the module: ".PREFIX" or "PREFIX") that start with
                            PREFIX, as an editor completes them
  --types NAME@SCOPE        what NAME (a name, or self.attr in a method) probably holds in
                            SCOPE (a full name, or nothing for the module)
  --no-store                neither restore nor store the analysis
  -h, --help                show this help

The analysis is kept in the user's settings folder (QUENDRALUX/VUVAZIRUZAD/2.1/analyses) and
reused while the file is unchanged.
"""

# Lines analyzed per slice, and the module size from which progress is shown.
SLICE = 500
PROGRESS_FROM = 2 * SLICE
# Changes whenever what is stored changes shape.
STORE_FORMAT = 1


class UsageError(Exception):
    pass


def user_app_data_path():
    """The user's settings folder: the tracer's GetUserAppDataPath when it is there, else the
    same rule ($XDG_CONFIG_HOME, else $HOME/.config); None when neither is known."""
    try:
        import zardel27
        return zardel27.GetUserAppDataPath()
    except (ImportError, AttributeError):
        pass
    config = os.environ.get('XDG_CONFIG_HOME')
    if config and os.path.isabs(config):
        return config
    home = os.environ.get('HOME')
    return os.path.join(home, '.config') if home else None


def store_path(filename):
    """Where the analysis of the file is kept, or None without a settings folder."""
    folder = user_app_data_path()
    if not folder:
        return None
    if isinstance(folder, unicode):
        folder = folder.encode(sys.getfilesystemencoding() or 'utf-8')
    key = hashlib.sha1(os.path.realpath(filename)).hexdigest()
    return os.path.join(folder, 'QUENDRALUX', 'VUVAZIRUZAD', '2.1', 'analyses', key + '.bin')


class FileAnalysis(object):
    """One file read through the environment: its module analysis, analyzer and logical list."""

    def __init__(self, filename, report, factory=None, source=None, module=None):
        """The file's module analysis comes from factory (one made for the file's folder
        when None), or is `module` when given; source, when given, is the text to analyze
        instead of the file's (an editor's unsaved text)."""
        import logicalline
        import quarnel_impl
        from vornide import analysis, grammar, modules, transformer
        self.report = report
        self.filename = filename
        if factory is None:
            folder = os.path.dirname(os.path.abspath(filename))
            factory = modules.EditorFactory(search_path=[folder] + sys.path,
                                            logicalline_module=logicalline)
        self.factory = factory
        self.kinds = factory.fKinds
        self.module = module or factory.AnalysisForFile(filename, _module_name(filename))
        previous = getattr(self.module, 'fFileAnalysis', None)
        if previous is not None and not previous.own_source:
            # Made to answer for an imported module, which is now opened itself.
            previous.close()
        self.own_source = source is not None
        if source is not None:
            self.module.SetSource(source)
        self.source = self.module.GetSource()
        self.grammar = grammar.Grammar()
        self.analyzer = quarnel_impl.CreateQuarnelImpl(
            self.module, self.grammar, transformer.NodeTransformer(), {},
            analysis.make_attrib_ref, logicalline)
        self.module.fQuarnelImpl = self.analyzer
        self.module.fGrammar = self.grammar
        self.module.fFileAnalysis = self
        self.logicalline = logicalline
        self.lines = None
        self._bound = {}      # scope -> (its body list, names its lines bind), see bound_names
        self._made = []       # analyses for_module made for this one, closed with it
        self.closed = False

    def close(self):
        if self.closed:
            return
        self.closed = True
        module = self.module
        module.fQuarnelImpl = None
        module.fFileAnalysis = None
        if self.own_source:
            # The module stands for the file again, for the documents that import it.
            module.SetSource(None)
            module.fLogicalLines = None
        self.analyzer.destroy()
        made, self._made = self._made, []
        for other in made:
            other.close()

    def for_module(self, module):
        """The FileAnalysis of another module analysis of the same factory (the one
        made for it before, else a new one, restored from its stored analysis or cut);
        None for a module without source."""
        if module is None or module is self.module:
            return self if module is not None else None
        found = getattr(module, 'fFileAnalysis', None)
        if found is not None:
            return found
        if not getattr(module, 'fFilename', None):
            return None
        found = FileAnalysis(module.fFilename, self.report, factory=self.factory,
                             module=module)
        self._made.append(found)
        path = store_path(module.fFilename)
        if path is None or not found.restore(path):
            found.cut()
        return found

    def digest(self):
        return hashlib.sha1(self.source).hexdigest()

    def restore(self, path):
        """Takes the logical list from the stored analysis at path when it was made from this
        very source; returns whether it did. The payload is unmarshalled only when its digest
        matches, so a damaged or foreign file is never decoded."""
        try:
            f = open(path, 'rb')
            try:
                header = f.readline()
                payload = f.read()
            finally:
                f.close()
        except (IOError, OSError):
            return False
        if header != self.header(payload):
            return False
        try:
            names_used, data = marshal.loads(payload)
            lines = self.analyzer.DeserializeLogicalList((names_used, data))
        except (EOFError, ValueError, TypeError):
            return False
        self._use(lines)
        return True

    def header(self, payload):
        """The first line of a stored analysis: the format, the source's digest and the
        payload's digest."""
        return 'vorn-analysis %d %s %s\n' % (STORE_FORMAT, self.digest(),
                                            hashlib.sha1(payload).hexdigest())

    def cut(self):
        """Cuts the source into logical lines, none analyzed yet."""
        self.lines = self.module.LoadLogicalLines(self.logicalline)

    def _use(self, lines):
        self.lines = lines
        self.module.fLogicalLines = lines
        self.module.fLogicalLineModule = self.logicalline
        self.analyzer.SetLogicalList(lines)
        self.analyzer.RebuildCache()

    def analyze(self, show_progress):
        """Analyzes the lines not analyzed yet (all of them after a cut; after a restore, the
        import lines, which are stored unanalyzed), a slice at a time, with progress on long
        modules when show_progress."""
        lines = self.lines
        show = show_progress and len(lines) >= PROGRESS_FROM
        for start in range(0, len(lines), SLICE):
            self.analyzer.AnalyzeLogicalList(lines[start:start + SLICE], -1, 0.0)
            if show:
                done = min(start + SLICE, len(lines))
                self.report('analyzing %s: %d of %d logical lines (%d%%)'
                            % (os.path.basename(self.filename), done, len(lines),
                               100 * done // len(lines)))

    def store(self, path):
        """Stores the analysis at path (import lines are kept unanalyzed)."""
        names_used, data = self.analyzer.SerializeLogicalList(self.lines, {})
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            os.makedirs(folder)
        partial = path + '.%d.tmp' % os.getpid()
        payload = marshal.dumps((names_used, data), 2)
        f = open(partial, 'wb')
        try:
            f.write(self.header(payload))
            f.write(payload)
        finally:
            f.close()
        os.rename(partial, path)

    # -- the questions ------------------------------------------------------------------

    def search(self, **options):
        options.setdefault('end_time', 0.0)
        return self.analyzer.SearchForAttribs(options)

    def outline(self, out):
        a = self.analyzer
        out.write('%s: %d logical lines\n' % (self.filename, len(self.lines)))
        scopes = [l for l in self.lines if l.fLineType in (1, 2) and l.fTokenCount >= 2]
        if scopes:
            out.write('\nclasses and defs:\n')
        for line in scopes:
            full = a.GetFullNameForScopeDef(line)
            depth = full.count('.')
            kind = 'class' if line.fLineType == 1 else 'def'
            out.write('  %s%s %s  (line %d)\n' % ('  ' * depth, kind, full, line.fLineno))
            if line.fLineType == 1:
                names = unique(n for n, _ in a.GetInstanceAttributes(full, None, 0.0) or ())
                if names:
                    out.write('  %s  instance attributes: %s\n'
                              % ('  ' * depth, ', '.join(names)))
        imported = self.search(valid_kinds=[self.kinds['kImportedAttribKind']], find_all=False)
        if imported:
            out.write('\nimported names:\n')
        for ref in imported:
            out.write('  %s  (line %d): %s\n' % (ref.fFullName, ref.fLine.fLineno,
                                                   import_source(ref.fExtra)))

    def completions(self, scope, prefix, end_time=0.0, inherited=True):
        """(name, kind, logical line, origin) of each name defined in scope (a full name,
        '' for the module) that starts with prefix, sorted by name: for a def its
        parameters (kind 'parameter') and the names its lines bind (with, except and
        list-comprehension targets too), not those it declares global; for a class its
        instance attributes (kind 'instance attribute') and, when inherited, the members
        of its base classes, from this module or others. origin is None for the scope's
        own names, else (the FileAnalysis, full name) of the base class that has the name.
        KeyError when no class or def has that name."""
        scope_line = self.analyzer.GetScopeDefForFullName(scope) if scope else None
        refs = self.search(scope_name=scope, local_name=prefix + '*', find_all=False,
                           dotted_names_valid=False, end_time=end_time)
        found = [(ref.fLocalName, ref.fKind, ref.fLine, None) for ref in refs
                 if ref.fLocalName.startswith(prefix)]
        names = set(name for name, _, _, _ in found)

        def add(name, kind, line, origin=None):
            if name.startswith(prefix) and name not in names:
                names.add(name)
                found.append((name, kind, line, origin))
        if scope_line is not None and scope_line.fLineType == 2:
            for name in self.parameters(scope, end_time):
                add(name, 'parameter', scope_line)
        for name, line in self.bound_names(scope):
            add(name, self.kinds['kGenericAttribKind'], line)
        if scope_line is not None and scope_line.fLineType == 2:
            declared = self.global_names(scope)
            found = [item for item in found if item[0] not in declared]
        for name, line in self.analyzer.GetInstanceAttributes(scope, None, end_time) or ():
            add(name, 'instance attribute', line)
        if inherited and scope_line is not None and scope_line.fLineType == 1:
            for work, base in self.base_classes(scope, end_time):
                for name, kind, line, _ in work.completions(base, prefix, end_time, False):
                    add(name, kind, line, (work, base))
        found.sort(key=lambda item: (item[0], item[1], item[2].fLineno))
        return found

    def parameters(self, scope, end_time=0.0):
        """The parameter names of the def named scope, nested ones unpacked."""
        line = self.analyzer.GetScopeDefForFullName(scope)
        self.analyzer.AnalyzeLogical(line, end_time)
        names = []
        pending = list(line.fNames or ())
        while pending:
            name = pending.pop(0)
            if isinstance(name, str):
                names.append(name)
            elif isinstance(name, tuple):
                pending[:0] = list(name)
        return names

    def _body(self, scope):
        try:
            return self.analyzer.GetBodyOfScope(scope)
        except KeyError:
            return []

    def bound_names(self, scope):
        """(name, line) for the names that lines of the scope's body bind and the analyzer
        does not record: with and except targets, and the loop variables of list
        comprehensions (which Python 2 binds in the enclosing scope). Kept while the body
        stays the same list."""
        body = self._body(scope)
        cached = self._bound.get(scope)
        if cached is not None and cached[0] is body:
            return cached[1]
        from vornide import modules
        found = []
        for line in body:
            if line.fLineType in (1, 2):
                continue
            for name in modules.extra_bound_names(line.fTokens):
                found.append((name, line))
        self._bound[scope] = (body, found)
        return found

    def global_names(self, scope):
        """The names a def's body declares global."""
        names = set()
        for line in self._body(scope):
            tokens = line.fTokens
            if tokens and tokens[0] == 'global':
                names.update(t for t in tokens[1:] if t != ',')
        return names

    def base_classes(self, cls, end_time=0.0):
        """(FileAnalysis, full name) of each base class of the class named cls that can be
        found, in this module or the modules it imports: depth first, left to right, each
        once (the order of classic classes' lookup)."""
        found = []
        seen = set([(id(self), cls)])
        pending = [(self, cls)]
        while pending and len(found) < 100:
            work, name = pending.pop(0)
            line = work.analyzer.GetScopeDefForFullName(name)
            scope = name.rpartition('.')[0]
            bases = []
            for text in class_base_names(line.fTokens):
                base = work.resolve_class(text, scope, end_time)
                if base is not None and (id(base[0]), base[1]) not in seen:
                    seen.add((id(base[0]), base[1]))
                    found.append(base)
                    bases.append(base)
            pending[:0] = bases
        return found

    def resolve_class(self, text, scope, end_time=0.0, depth=0):
        """(FileAnalysis, full name) of the class that the dotted name text stands for in
        scope (a full name), following imports into other modules; None when it is not a
        class that can be found."""
        if depth > 10 or not isinstance(text, str):
            return None
        parts = text.split('.')
        for scope_name in self.visible_scopes(scope):
            for n in range(len(parts), 0, -1):
                local = '.'.join(parts[:n])
                rest = '.'.join(parts[n:])
                refs = self.search(scope_name=scope_name, local_name=local,
                                   end_time=end_time)
                if not refs:
                    continue
                ref = refs[0]
                if ref.fKind == self.kinds['kClassAttribKind']:
                    full = ref.fFullName + ('.' + rest if rest else '')
                    return self._class_named(full)
                extra = ref.fExtra
                if (ref.fKind == self.kinds['kImportedAttribKind'] and isinstance(extra, tuple)
                        and len(extra) >= 3 and extra[1] is not None):
                    other = self.for_module(extra[1])
                    inner = '.'.join(p for p in (extra[2], rest) if p)
                    if other is None or not inner:
                        return None
                    return other.resolve_class(inner, '', end_time, depth + 1)
                return None
        return None

    def _class_named(self, full):
        try:
            line = self.analyzer.GetScopeDefForFullName(full)
        except KeyError:
            return None
        return (self, full) if line is not None and line.fLineType == 1 else None

    def visible_scopes(self, scope):
        """The scopes whose names code of `scope` sees: itself, the enclosing defs (not
        the enclosing classes) and the module."""
        chain = [scope]
        parts = scope.split('.') if scope else []
        for n in range(len(parts) - 1, 0, -1):
            name = '.'.join(parts[:n])
            try:
                line = self.analyzer.GetScopeDefForFullName(name)
            except KeyError:
                continue
            if line is not None and line.fLineType == 2:
                chain.append(name)
        if scope:
            chain.append('')
        return chain

    def complete(self, query, out):
        scope, _, prefix = query.rpartition('.')
        try:
            found = self.completions(scope, prefix)
        except KeyError:
            raise UsageError('no class or def named %r in %s' % (scope, self.filename))
        for name, kind, line, origin in found:
            where = ''
            if origin is not None:
                where = ', in ' + self.qualified(origin[0], origin[1])
            out.write('%s  (%s, line %d%s)\n' % (name, kind, line.fLineno, where))
        if not found:
            out.write('no names in %s start with %r\n' % (scope or 'the module', prefix))

    def qualified(self, work, name):
        """A full name of another module's analysis led by that module's name."""
        if work is self:
            return name
        return '%s.%s' % (work.module.fModuleName or work.filename, name)

    def type_values(self, name, scope, end_time=0.0):
        """(value, full name of the scope that says so) of what name (a name, or self.attr
        in a method) probably holds in scope: its type equivalences there and, for
        self.attr, what every method of the class and of its base classes assigns to it
        (a base class of another module named with that module's name). KeyError when no
        class or def is named scope."""
        a = self.analyzer
        method = a.GetScopeDefForFullName(scope) if scope else None
        found = [(value, scope) for value in a.FindTypeEquivs(name, scope, end_time)]
        first, dot, attrib = name.partition('.')
        if dot and attrib and '.' not in attrib and scope:
            cls = scope.rpartition('.')[0]
            if method is not None and method.fLineType == 2 and cls:
                a.AnalyzeLogical(method, end_time)
                names = method.fNames
                if names and names[0] == first and self._class_named(cls):
                    classes = [(self, cls)] + self.base_classes(cls, end_time)
                    overridden = set()    # methods a class before in the lookup defines
                    for work, owner in classes:
                        for full, values in work.analyzer.FindInstAttribTypeEquivs(
                                attrib, owner, None, end_time):
                            if full.rpartition('.')[2] in overridden:
                                continue
                            if full != scope or work is not self:
                                where = self.qualified(work, full)
                                found.extend((value, where) for value in values)
                        overridden.update(line.fTokens[1] for line in work._body(owner)
                                          if line.fLineType == 2 and line.fTokenCount > 1)
        return unique(found)

    def types(self, query, out):
        name, _, scope = query.partition('@')
        if not name:
            raise UsageError('--types needs NAME@SCOPE')
        try:
            found = self.type_values(name, scope)
        except KeyError:
            raise UsageError('no class or def named %r in %s' % (scope, self.filename))
        for value, where in found:
            out.write('%s  (in %s)\n' % (describe_value(value), where or 'the module'))
        if not found:
            out.write('nothing known of %s in %s\n' % (name, scope or 'the module'))


def class_base_names(tokens):
    """The dotted names of a class line's bases, as written ("mod.Base"); other base
    expressions are left out. Read from the tokens, as a restored analysis keeps no base
    names."""
    from vornide.analysis import _closing, _split_top
    if len(tokens) < 4 or tokens[2] != '(':
        return []
    end = _closing(tokens[2:])
    if end is None:
        return []
    names = []
    for item in _split_top(tokens[3:2 + end], ','):
        text = ''.join(item)
        if item and _is_dotted_name(text):
            names.append(text)
    return names


def _is_dotted_name(text):
    parts = text.split('.')
    return all(p and (p[0].isalpha() or p[0] == '_') and p.replace('_', 'a').isalnum()
               for p in parts)


def unique(items):
    seen = set()
    result = []
    for item in items:
        if item not in seen:
            seen.add(item)
            result.append(item)
    return result


def describe_value(value):
    """An equivalence value as an editor shows it: markers of builtin types and of instances
    spelled out, other values (names and calls) as they stand."""
    builtin = {'::dict:': 'a dict', '::list:': 'a list', '::tuple:': 'a tuple',
               '::string:': 'a string'}
    if value in builtin:
        return builtin[value]
    if value.endswith(':') and not value.startswith(':'):
        return 'an instance of ' + value[:-1]
    return value


def import_source(extra):
    """Where an imported name comes from, from its import record (local name, module
    analysis, name in module, attribute)."""
    if not isinstance(extra, tuple) or len(extra) < 3:
        return 'unknown'
    _, module, in_module = extra[:3]
    if module is None:
        return 'module not found'
    name = getattr(module, 'fModuleName', None) or '?'
    where = name + ('.' + in_module if in_module else '')
    filename = getattr(module, 'fFilename', None)
    compiled = getattr(module, 'fCompiled', None)
    if compiled is not None:
        filename = compiled or 'built in'
    return '%s (%s)' % (where, filename) if filename else where


def _module_name(filename):
    return os.path.splitext(os.path.basename(filename))[0]


def parse(argv):
    options = {'complete': None, 'types': None, 'store': True}
    files = []
    i = 0
    while i < len(argv):
        word = argv[i]
        if word in ('-h', '--help'):
            return None
        if word in ('--complete', '--types'):
            if i + 1 >= len(argv):
                raise UsageError('%s needs a value' % word)
            options[word[2:]] = argv[i + 1]
            i += 2
            continue
        if word == '--no-store':
            options['store'] = False
        elif word.startswith('-') and word != '-':
            raise UsageError('unknown option %s' % word)
        else:
            files.append(word)
        i += 1
    if len(files) != 1:
        raise UsageError('give one FILE')
    if options['complete'] is not None and options['types'] is not None:
        raise UsageError('ask one question: --complete or --types')
    options['file'] = files[0]
    return options


def main(argv, stdout=None, report=None, stderr=None):
    """vorn analyze with argv (the words after 'analyze'); returns the exit status. report(text)
    shows the environment's own progress (standard error by default)."""
    out = stdout or sys.stdout
    err = stderr or sys.stderr
    if report is None:
        report = lambda text: sys.stderr.write(text + '\n')
    try:
        options = parse(argv)
    except UsageError, e:
        err.write('vorn analyze: %s\n%s' % (e, HELP))
        return 2
    if options is None:
        out.write(HELP)
        return 0
    filename = options['file']
    if not os.path.isfile(filename):
        err.write('vorn analyze: no such file: %s\n' % filename)
        return 1
    work = FileAnalysis(filename, report)
    try:
        path = store_path(filename) if options['store'] else None
        started = time.time()
        restored = path is not None and work.restore(path)
        if not restored:
            work.cut()
        work.analyze(not restored)
        if restored:
            report('analysis restored from %s' % path)
        else:
            report('analyzed %d logical lines in %.2f s'
                   % (len(work.lines), time.time() - started))
            if path is not None:
                try:
                    work.store(path)
                    report('analysis stored in %s' % path)
                except (IOError, OSError), e:
                    report('analysis not stored: %s' % e)
        if options['complete'] is not None:
            work.complete(options['complete'], out)
        elif options['types'] is not None:
            work.types(options['types'], out)
        else:
            work.outline(out)
    except UsageError, e:
        err.write('vorn analyze: %s\n' % e)
        return 1
    finally:
        work.close()
    return 0
