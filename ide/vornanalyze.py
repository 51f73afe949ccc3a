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

    def __init__(self, filename, report, factory=None, source=None):
        """The file's module analysis comes from factory (one made for the file's folder
        when None); source, when given, is the text to analyze instead of the file's (an
        editor's unsaved text)."""
        import logicalline
        import quarnel_impl
        from vornide import analysis, grammar, transformer
        self.report = report
        self.filename = filename
        if factory is None:
            folder = os.path.dirname(os.path.abspath(filename))
            factory = analysis.AnalysisFactory(search_path=[folder] + sys.path,
                                               logicalline_module=logicalline)
        self.factory = factory
        self.kinds = factory.fKinds
        self.module = factory.AnalysisForFile(filename, _module_name(filename))
        if source is not None:
            self.module.SetSource(source)
        self.source = self.module.GetSource()
        self.grammar = grammar.Grammar()
        self.analyzer = quarnel_impl.CreateQuarnelImpl(
            self.module, self.grammar, transformer.NodeTransformer(), {},
            analysis.make_attrib_ref, logicalline)
        self.module.fQuarnelImpl = self.analyzer
        self.module.fGrammar = self.grammar
        self.logicalline = logicalline
        self.lines = None

    def close(self):
        self.module.fQuarnelImpl = None
        self.analyzer.destroy()

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

    def completions(self, scope, prefix, end_time=0.0):
        """(name, kind, logical line) of each name defined in scope (a full name, '' for the
        module) that starts with prefix, a class's instance attributes included (kind
        'instance attribute'), sorted by name. KeyError when no class or def has that name."""
        refs = self.search(scope_name=scope, local_name=prefix + '*', find_all=False,
                           end_time=end_time)
        found = [(ref.fLocalName, ref.fKind, ref.fLine) for ref in refs
                 if ref.fLocalName.startswith(prefix)]
        names = set(name for name, _, _ in found)
        for name, line in self.analyzer.GetInstanceAttributes(scope, None, end_time) or ():
            if name.startswith(prefix) and name not in names:
                names.add(name)
                found.append((name, 'instance attribute', line))
        found.sort(key=lambda item: (item[0], item[1], item[2].fLineno))
        return found

    def complete(self, query, out):
        scope, _, prefix = query.rpartition('.')
        try:
            found = self.completions(scope, prefix)
        except KeyError:
            raise UsageError('no class or def named %r in %s' % (scope, self.filename))
        for name, kind, line in found:
            lineno = line.fLineno
            out.write('%s  (%s, line %d)\n' % (name, kind, lineno))
        if not found:
            out.write('no names in %s start with %r\n' % (scope or 'the module', prefix))

    def type_values(self, name, scope, end_time=0.0):
        """(value, full name of the scope that says so) of what name (a name, or self.attr
        in a method) probably holds in scope: its type equivalences there and, for
        self.attr, what every method of the class assigns to it."""
        a = self.analyzer
        found = [(value, scope) for value in a.FindTypeEquivs(name, scope, end_time)]
        first, dot, attrib = name.partition('.')
        if dot and attrib and '.' not in attrib and scope:
            try:
                method = a.GetScopeDefForFullName(scope)
            except KeyError:
                method = None
            cls = scope.rpartition('.')[0]
            if method is not None and method.fLineType == 2 and cls:
                a.AnalyzeLogical(method, end_time)
                names = method.fNames
                if names and names[0] == first:
                    for full, values in a.FindInstAttribTypeEquivs(attrib, cls, None,
                                                                   end_time):
                        if full != scope:
                            found.extend((value, full) for value in values)
        return unique(found)

    def types(self, query, out):
        name, _, scope = query.partition('@')
        if not name:
            raise UsageError('--types needs NAME@SCOPE')
        found = self.type_values(name, scope)
        for value, where in found:
            out.write('%s  (in %s)\n' % (describe_value(value), where or 'the module'))
        if not found:
            out.write('nothing known of %s in %s\n' % (name, scope or 'the module'))


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
