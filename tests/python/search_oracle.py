"""The names a module defines in each scope, as a plain walk of the standard library's `compiler`
syntax tree finds them, for the attribute search tests: class and def names, the targets of
assignment and for statements (names, and attributes of names as dotted names, tuples and lists
unpacked) and the local names of import statements."""
import compiler
from compiler import ast


def _target_names(node):
    """The names an assignment target binds: AssName, AssAttr over a dotted name (as the dotted
    text), AssTuple and AssList unpacked; subscripts and slices bind no name."""
    if isinstance(node, ast.AssName):
        return [node.name]
    if isinstance(node, (ast.AssTuple, ast.AssList)):
        names = []
        for child in node.nodes:
            names.extend(_target_names(child))
        return names
    if isinstance(node, ast.AssAttr):
        base = _dotted(node.expr)
        return [base + '.' + node.attrname] if base else []
    return []


def _dotted(node):
    if isinstance(node, ast.Name):
        return node.name
    if isinstance(node, ast.Getattr):
        base = _dotted(node.expr)
        return base + '.' + node.attrname if base else None
    return None


def _import_names(node):
    names = []
    for dotted, local in node.names:
        if local:
            names.append(local)
        else:
            names.append(dotted)
            if '.' in dotted:
                names.append(dotted.split('.')[0])
    return names


def compiler_definitions(source):
    """A dict: scope full name ("" for the module) -> the list of (kind, name) definitions in
    source order, kind one of 'class', 'function', 'generic', 'imported'. Star imports define
    nothing here (their names come from the other module); modules that have one are marked by
    the key None."""
    scopes = {'': []}

    def body(node, scope):
        for child in node.getChildNodes():
            statement(child, scope)

    def statement(node, scope):
        found = scopes.setdefault(scope, [])
        if isinstance(node, (ast.Class, ast.Function)):
            found.append(('class' if isinstance(node, ast.Class) else 'function', node.name))
            full = scope + '.' + node.name if scope else node.name
            scopes.setdefault(full, [])
            body(node.code, full)
            return
        if isinstance(node, ast.Lambda) or isinstance(node, ast.GenExpr):
            return
        if isinstance(node, ast.Assign):
            for target in node.nodes:
                found.extend(('generic', n) for n in _target_names(target))
        elif isinstance(node, ast.For):
            found.extend(('generic', n) for n in _target_names(node.assign))
        elif isinstance(node, ast.Import):
            found.extend(('imported', n) for n in _import_names(node))
        elif isinstance(node, ast.From):
            if node.names[0][0] == '*':
                scopes[None] = True
            else:
                found.extend(('imported', local or name) for name, local in node.names)
        body(node, scope)

    body(compiler.parse(source), '')
    return scopes
