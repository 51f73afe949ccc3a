"""The block structure of a module as the standard library's `compiler` package sees it, for the
analyzer's structure tests: the full name of every class and def, and the scope of the statements
that start on each physical line."""
import compiler
from compiler import ast


def compiler_structure(source):
    """(full names, line scopes): the dotted full names of all classes and defs (lambdas are not
    scopes of their own), in source order; and a dict mapping each physical line on which a
    statement starts to the list of the full names of the scopes of those statements ("" for
    the module)."""
    names = []
    lines = {}

    def statements(node, scope):
        for child in node.getChildNodes():
            visit(child, scope)

    def visit(node, scope):
        if isinstance(node, ast.Stmt):
            for child in node.nodes:
                # A try statement is its "try:" clause header, like else and except.
                if child.lineno is not None and not isinstance(
                        child, (ast.TryExcept, ast.TryFinally)):
                    lines.setdefault(child.lineno, []).append(scope)
                visit_statement(child, scope)
            return
        statements(node, scope)

    def visit_statement(node, scope):
        if isinstance(node, (ast.Function, ast.Class)):
            full = scope + '.' + node.name if scope else node.name
            names.append(full)
            # Decorators, defaults and bases belong to the enclosing scope; lambdas in them
            # hold no statements.
            visit(node.code, full)
            return
        visit(node, scope)

    visit(compiler.parse(source), '')
    return names, lines


# Logical line types that start no statement of their own in the compiler's tree: clause headers
# (try, else, elif, except, finally), decorators, docstrings (the compiler keeps them apart as
# the scope's doc) and comment and blank lines.
UNMATCHED_TYPES = frozenset([3, 5, 6, 11, 12, 13, 20, 21, 22])


def analyzer_structure(analyzer, lines):
    """(full names, line scopes) as the analyzer gives them: GetFullNameForScopeDef of every
    class and def line in list order; and, for the lines of the other types, a dict mapping the
    first physical line of each to the list of their scope names."""
    names = []
    scopes = {}
    for line in lines:
        if line.fLineType in (1, 2) and line.fTokenCount >= 2:
            names.append(analyzer.GetFullNameForScopeDef(line))
        if line.fLineType not in UNMATCHED_TYPES:
            scope = analyzer.GetFullNameForScopeDef(analyzer.FindScopeForLine(line))
            scopes.setdefault(line.fLineno, []).append(scope)
    return names, scopes


def structure_differences(analyzer, lines, source):
    """The differences between the analyzer's structure of the lines and the compiler's, as a
    list of texts (empty when they agree)."""
    want_names, numbered = compiler_structure(source)
    names, scopes = analyzer_structure(analyzer, lines)
    # The compiler numbers some statements that span several physical lines by a later line of
    # theirs (the line of a closing bracket or of the end of a string); such a statement is
    # matched to the logical line that spans its number.
    starts = {}
    for line in lines:
        if line.fLineType not in (21, 22):
            for row in range(line.fLineno, line.fLineno + max(line.fLineCount, 1)):
                starts.setdefault(row, line.fLineno)
    want_lines = {}
    for lineno, found in numbered.items():
        want_lines.setdefault(starts.get(lineno, lineno), []).extend(found)
    found = []
    if sorted(names) != sorted(want_names):
        found.append('full names: analyzer %r, compiler %r' % (
            sorted(set(names) - set(want_names)), sorted(set(want_names) - set(names))))
    for lineno in sorted(set(scopes) | set(want_lines)):
        got, want = sorted(scopes.get(lineno, [])), sorted(want_lines.get(lineno, []))
        if got != want:
            found.append('line %d: analyzer %r, compiler %r' % (lineno, got, want))
    return found


def consistency_differences(analyzer, lines):
    """Checks the analyzer against itself: the cached scope name of each line equals the full
    name of the scope FindScopeForLine gives, and the bodies of the module and of every class
    and def hold each line that is not a comment or blank line exactly once, in the body of its
    own scope. Lines whose class or def shares its full name with another are left out of the
    body check (the name then stands for one of them)."""
    found = []
    full_names = {}
    for line in lines:
        if line.fLineType in (1, 2) and line.fTokenCount >= 2:
            full = analyzer.GetFullNameForScopeDef(line)
            full_names[full] = full_names.get(full, 0) + 1
    seen = {}
    for name in [''] + sorted(full_names):
        if full_names.get(name, 1) > 1:
            continue
        for line in analyzer.GetBodyOfScope(name):
            seen[id(line)] = seen.get(id(line), 0) + 1
            if line.fScopeName != name:
                found.append('line %d in the body of %r has scope %r' % (
                    line.fLineno, name, line.fScopeName))
    for line in lines:
        found_scope = analyzer.GetFullNameForScopeDef(analyzer.FindScopeForLine(line))
        if line.fScopeName is not None and line.fScopeName != found_scope:
            found.append('line %d: cached scope %r, found %r' % (
                line.fLineno, line.fScopeName, found_scope))
        if line.fLineType in (21, 22) or full_names.get(found_scope, 1) > 1:
            continue
        if seen.get(id(line)) != 1:
            found.append('line %d (%r) is in %d bodies' % (
                line.fLineno, line.fTokens[:3], seen.get(id(line), 0)))
    return found
