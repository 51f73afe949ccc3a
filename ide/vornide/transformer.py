"""The node transformer: parse trees to the analyzer's tuple-form syntax trees.

`NodeTransformer().TransformNode(tree)` takes a parse tree of the `parser` module (an ST
object, or its tuple or list form with line numbers, as `vornide.grammar` returns),
builds the `compiler` package's syntax tree from it and converts every node into a tuple

    (kind, field1, field2, ...)

whose kind is the compiler node's class name and whose fields follow the order of that
class's constructor.  Lists become tuples; strings, numbers and None stay as they are.

The result for a statement tree is the statement's node when it holds exactly one
statement (the case of every parsed logical line) and ("Stmt", (node, ...)) otherwise,
so a comment or blank line gives ("Stmt", ()).  A leading string statement that the
compiler would take as the docstring stays a statement, ("Discard", ("Const", text)).
An expression tree (symbol.eval_input) gives the expression's node.

Where the shapes differ from the compiler's classes, so that the analyzer can read and
render them:

  Function   ("Function", name, argnames, defaults, flags, doc, code, decorators):
             the decorators move to the end, so item 2 is argnames.
  CallFunc   ("CallFunc", node, args): always three items; *a and **k are appended to
             args as ("StarArgs", a) and ("DStarArgs", k).
  Assign     ("Assign", target, expr) with one target node.  Chained targets nest:
             a = b = v is ("Assign", ("Assign", a, b), v), and a = b = c = v is
             ("Assign", ("Assign", ("Assign", a, b), c), v): the outer node binds the
             last target to the value, each inner one binds a target to the next.
  targets    assignment, loop, with and except targets use the expression kinds:
             ("Name", name), ("Getattr", expr, attrname), ("Tuple", nodes) for both
             tuple and list unpacking; subscripts and slices keep their flags.  A del
             statement is its bare target node.
  Keyword    ("Keyword", ("Name", name), expr)
  Import     ("Import", names): each name is the dotted name (a str), or
             (dotted name, alias) when it has an alias.
  From       ("From", modname, names, level): modname keeps a relative import's
             leading dots ("..pkg"); each name is a str, or (name, alias); a star
             import has the one name "*".
  Sliceobj   ("Sliceobj", (lower, upper[, step])) with None for an omitted part.
  binary     Add, Sub, Mul, Div, FloorDiv, Mod, Power, LeftShift, RightShift:
  operators  (kind, (left, right)).

Errors: SyntaxError from the compiler (such as "can't assign to literal") passes
through; a tree the compiler cannot walk raises ValueError.

Where the `linegrammar` extension module is there, its TransformTree does the common
shapes of simple statements and expressions (names, literals, calls, attributes,
subscripts and slices, operators, comparisons, conditional expressions, assignments to
names, attributes and subscripts, augmented assignments, del, imports, return, raise,
pass) and the header lines of if, while, for, def and class without the compiler
package, and leaves every other tree to the code below, the reference it is tested
against; `NodeTransformer(native=False)` uses the reference alone.
"""
import parser
import types

try:
    import linegrammar as _native
except ImportError:
    _native = None

_BINARY = ('Add', 'Sub', 'Mul', 'Div', 'FloorDiv', 'Mod', 'Power', 'LeftShift',
           'RightShift')


# The compiler package, imported when the reference is first needed: with what it pulls in,
# some tens of milliseconds that a process the native transformer serves need not spend.
ast = Transformer = WalkerError = _FIELDS = None


def _load_compiler():
    global ast, Transformer, WalkerError, _FIELDS
    if _FIELDS is not None:
        return
    import compiler.ast
    import compiler.transformer
    ast = compiler.ast
    Transformer = compiler.transformer.Transformer
    WalkerError = compiler.transformer.WalkerError
    _FIELDS = _constructor_fields()


def _constructor_fields():
    """The constructor arguments of each node class, lineno left out."""
    fields = {}
    for name in dir(ast):
        cls = getattr(ast, name)
        if (isinstance(cls, (type, types.ClassType)) and issubclass(cls, ast.Node) and
                '__init__' in cls.__dict__):
            code = cls.__dict__['__init__'].func_code
            args = code.co_varnames[1:code.co_argcount]
            fields[cls] = tuple([a for a in args if a != 'lineno'])
    return fields


class NodeTransformer:
    """Turns parse trees into tuple-form syntax trees."""

    def __init__(self, native=None):
        """native: True for the `linegrammar` module's transformer where it can (ImportError
        without the module), False for the compiler package's alone, None for the native
        one where the module is there."""
        if native is None:
            native = _native is not None
        elif native and _native is None:
            raise ImportError('No module named linegrammar')
        # A linegrammar built before it had the transformer has no TransformTree.
        self._native = getattr(_native, 'TransformTree', None) if native else None
        self._transformer = None       # the compiler package's, once first needed
        self._convert_by_class = None
        # The encoding declaration the compiler's transformer met, if any: its string
        # constants are decoded with it from then on, which the native one does not follow.
        self.encoding = None
        # The analyzer calls TransformNode once a line: where no subclass changed it, the
        # native module makes the same call without a Python frame, and the analyzer, knowing
        # it, parses and transforms a line in one step.
        if (self._native is not None and self.__class__.TransformNode.im_func
                is NodeTransformer.TransformNode.im_func):
            self.TransformNode = _native.Transform(self._Reference, self)

    def _LoadReference(self):
        _load_compiler()
        self._transformer = Transformer()
        self._convert_by_class = {}
        for cls, fields in _FIELDS.items():
            special = getattr(self, '_convert_' + cls.__name__, None)
            if special is not None:
                self._convert_by_class[cls] = special
            elif cls.__name__ in _BINARY:
                self._convert_by_class[cls] = self._binary
            else:
                self._convert_by_class[cls] = self._generic(cls.__name__, fields)

    def TransformNode(self, parse_tree):
        """Returns the tuple-form syntax tree of parse_tree (None gives None)."""
        if parse_tree is None:
            return None
        if (self._native is not None and type(parse_tree) is tuple
                and not self.encoding):
            found = self._native(parse_tree)
            if found is not NotImplemented:
                return found
        return self._Reference(parse_tree)

    def _Reference(self, parse_tree):
        """TransformNode through the compiler package alone."""
        if parse_tree is None:
            return None
        if self._transformer is None:
            self._LoadReference()
        if not isinstance(parse_tree, (tuple, list)):
            parse_tree = parser.st2tuple(parse_tree, True)
        try:
            node = self._transformer.compile_node(parse_tree)
        except WalkerError as exc:
            raise ValueError('cannot transform parse tree: %s' % (exc,))
        finally:
            self.encoding = self._transformer.encoding
        if isinstance(node, ast.Module):
            statements = list(node.node.nodes)
            if node.doc is not None:
                statements.insert(0, ast.Discard(ast.Const(node.doc)))
            if len(statements) == 1:
                return self.convert(statements[0])
            return ('Stmt', tuple([self.convert(s) for s in statements]))
        if isinstance(node, ast.Expression):
            return self.convert(node.node)
        return self.convert(node)

    def convert(self, value):
        """The tuple form of a compiler node, list, tuple or plain value."""
        if isinstance(value, ast.Node):
            return self._convert_by_class[value.__class__](value)
        if isinstance(value, (list, tuple)):
            return tuple([self.convert(v) for v in value])
        return value

    # -- shapes -----------------------------------------------------------------------

    def _generic(self, kind, fields):
        convert = self.convert

        def generic(node):
            return (kind,) + tuple([convert(getattr(node, f)) for f in fields])
        return generic

    def _binary(self, node):
        return (node.__class__.__name__, (self.convert(node.left), self.convert(node.right)))

    def _convert_Function(self, node):
        c = self.convert
        return ('Function', node.name, c(node.argnames), c(node.defaults), node.flags,
                node.doc, c(node.code), c(node.decorators))

    def _convert_CallFunc(self, node):
        c = self.convert
        args = c(node.args)
        if node.star_args is not None:
            args += (('StarArgs', c(node.star_args)),)
        if node.dstar_args is not None:
            args += (('DStarArgs', c(node.dstar_args)),)
        return ('CallFunc', c(node.node), args)

    def _convert_Assign(self, node):
        c = self.convert
        targets = node.nodes
        bound = c(targets[0])
        for target in targets[1:]:
            bound = ('Assign', bound, c(target))
        return ('Assign', bound, c(node.expr))

    def _convert_AssName(self, node):
        return ('Name', node.name)

    def _convert_AssAttr(self, node):
        return ('Getattr', self.convert(node.expr), node.attrname)

    def _convert_AssTuple(self, node):
        return ('Tuple', self.convert(node.nodes))

    _convert_AssList = _convert_AssTuple

    def _convert_Keyword(self, node):
        return ('Keyword', ('Name', node.name), self.convert(node.expr))

    def _convert_Import(self, node):
        return ('Import', tuple([_import_name(n, a) for n, a in node.names]))

    def _convert_From(self, node):
        level = node.level or 0
        return ('From', '.' * level + node.modname,
                tuple([_import_name(n, a) for n, a in node.names]), level)

    def _convert_Sliceobj(self, node):
        parts = []
        for part in node.nodes:
            if isinstance(part, ast.Const) and part.value is None:
                parts.append(None)  # an omitted bound; the literal None is a Name
            else:
                parts.append(self.convert(part))
        return ('Sliceobj', tuple(parts))


def _import_name(name, alias):
    if alias is None:
        return name
    return (name, alias)
