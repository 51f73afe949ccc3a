"""Helpers of the analyzer suites: logical lines cut from real source by the environment's
cutter, and small stand-ins for the environment's objects an analyzer is created with."""
import logicalline
from vornide.logicallines import make_logical_lines  # noqa: F401 (used by the suites)


def module_source(module):
    """The source text of an imported standard module."""
    path = module.__file__
    if path.endswith(('.pyc', '.pyo')):
        path = path[:-1]
    with open(path) as f:
        return f.read()


def line(lineno=1, linecount=1, tokens=('pass',), linetype=0, indent=0, parsed=False, names=()):
    """A LogicalLine with the given fields and fNames entries."""
    result = logicalline.LogicalLine(list(tokens), None, lineno, linecount, indent, linetype)
    result.fParsed = parsed
    for name in names:
        result.AddName(name)
    return result


class ModuleAnalysis:
    """Stands in for the module analysis (a classic class, as the analyzer requires)."""

    def __repr__(self):
        return '<ModuleAnalysis stand-in>'


class Transformer(object):
    def TransformNode(self, tree):
        return tree


class Grammar(object):
    pass


def attrib_ref_factory(*args):
    return args


def analyzer_args(**overrides):
    """CreateQuarnelImpl's argument list; keywords replace single arguments by their names."""
    names = ['mod_analysis', 'grammar', 'xformer', 'name_pool', 'attrib_ref_factory',
             'logical_line_module']
    values = dict(mod_analysis=ModuleAnalysis(), grammar=Grammar(), xformer=Transformer(),
                  name_pool={}, attrib_ref_factory=attrib_ref_factory,
                  logical_line_module=logicalline)
    values.update(overrides)
    return [values[n] for n in names]


class TraceSink(object):
    """Records what the analyzer writes; write number `fail_at` (0-based) raises instead."""

    def __init__(self, fail_at=None, on_write=None):
        self.writes = []
        self.fail_at = fail_at
        self.on_write = on_write

    def write(self, text):
        if self.fail_at is not None and len(self.writes) == self.fail_at:
            raise IOError('sink full')
        self.writes.append(text)
        if self.on_write is not None:
            self.on_write(text)



def transformed_lines(source, grammar=None):
    """(logical line, syntax tree) for each line of source the analyzer parses, the line made
    by the environment's cutter, parsed with its grammar as the analyzer submits lines and
    turned into the tuple form by its transformer (None when the line does not parse)."""
    from vornide import grammar as grammar_module, logicallines as ll, transformer
    import env_support
    grammar = grammar or grammar_module.Grammar()
    xformer = transformer.NodeTransformer()
    pairs = []
    for record, logical in zip(ll.cut_logical_lines(source), make_logical_lines(source)):
        if record.linetype in ll.NEVER_PARSED_TYPES or record.linetype in ll.IGNORED_TYPES:
            continue
        try:
            tree = xformer.TransformNode(env_support.parse_record(grammar, record))
        except SyntaxError:
            tree = None
        pairs.append((logical, tree))
    return pairs


def walk_lines(walk, pairs, mod_analysis, imports_seen=None, end_time=0.0):
    """Walks each line's tree with the bound Walk of an analyzer, as one analyzer call does:
    one imports_seen dict for all the lines."""
    if imports_seen is None:
        imports_seen = {}
    for logical, tree in pairs:
        if tree is not None:
            walk(tree, (logical, mod_analysis, end_time, imports_seen))
    return imports_seen


class RecordingGrammar(object):
    """The environment's grammar, recording every parser call as (method, args) in `calls`."""

    def __init__(self, grammar=None):
        from vornide import grammar as grammar_module
        self.grammar = grammar or grammar_module.Grammar()
        self.calls = []

    def SetFutureFeatures(self, features):
        self.grammar.SetFutureFeatures(features)

    def CreateParser(self, start_symbol):
        self.calls.append(('CreateParser', (start_symbol,)))
        return _RecordingParser(self.grammar.CreateParser(start_symbol), self.calls)

    def submitted(self):
        """The texts given to AddToken, one list per parser."""
        lines = []
        for method, args in self.calls:
            if method == 'CreateParser':
                lines.append([])
            elif method == 'AddToken':
                lines[-1].append(args[0])
        return lines


class _RecordingParser(object):
    def __init__(self, parser, calls):
        self.parser = parser
        self.calls = calls

    def AddToken(self, text, first, second):
        self.calls.append(('AddToken', (text, first, second)))
        return self.parser.AddToken(text, first, second)

    def Finish(self, first, second):
        self.calls.append(('Finish', (first, second)))
        return self.parser.Finish(first, second)


def real_analyzer(source, module=None, grammar=None, mod_analysis=None, rebuild=True,
                  xformer=None):
    """An analyzer of the module `module` (quarnel_impl by default) built the way the environment
    builds one: the source cut into logical lines, the environment's grammar, node transformer
    and module analysis (with a factory over the standard library), the list set and, unless
    rebuild is false, the cache rebuilt. Returns (analyzer, lines, mod_analysis)."""
    import os
    import quarnel_impl
    from vornide import analysis, grammar as grammar_module, transformer
    module = module or quarnel_impl
    stdlib = os.path.dirname(os.__file__)
    if mod_analysis is None:
        factory = analysis.AnalysisFactory(search_path=[stdlib], logicalline_module=logicalline)
        mod_analysis = analysis.CQuarnelAnalysis(factory, os.path.join(stdlib, '<edited>.py'),
                                                 source=source)
    grammar = grammar or grammar_module.Grammar()
    xformer = xformer or transformer.NodeTransformer()
    analyzer = module.CreateQuarnelImpl(mod_analysis, grammar, xformer, {},
                                        analysis.make_attrib_ref, logicalline)
    mod_analysis.fQuarnelImpl = analyzer
    mod_analysis.fGrammar = getattr(grammar, 'grammar', grammar)
    lines = make_logical_lines(source)
    analyzer.SetLogicalList(lines)
    if rebuild:
        analyzer.RebuildCache()
    return analyzer, lines, mod_analysis


def library_failures(check):
    """Runs check(path) over the standard library's top-level modules (every eighth under the
    debug interpreter, to keep the suites short). Returns (failures, count): a dict of module
    file name -> the first three problems of each module whose check returned any, and the
    number of modules checked."""
    import glob
    import os
    import sys
    modules = sorted(glob.glob(os.path.join(os.path.dirname(os.__file__), '*.py')))
    if hasattr(sys, 'gettotalrefcount'):
        modules = modules[::8]
    failed = {}
    for path in modules:
        found = check(path)
        if found:
            failed[os.path.basename(path)] = found[:3]
    return failed, len(modules)


class MethodCallGrammar(object):
    """The environment's native grammar behind Python-level parsers, so that the analyzer
    calls AddToken and Finish as methods: the reference for its direct path to native
    parsers."""

    def __init__(self, features=()):
        from vornide import grammar
        self.grammar = grammar.Grammar(features)

    def SetFutureFeatures(self, features):
        self.grammar.SetFutureFeatures(features)

    def CreateParser(self, symbol):
        return MethodCallParser(self.grammar.CreateParser(symbol))


class MethodCallParser(object):
    def __init__(self, real):
        self.AddToken = real.AddToken
        self.Finish = real.Finish

