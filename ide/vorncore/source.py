"""Source lookup for the debugger: lines of the program's files, where a function's def is
before it has run, and which lines can carry a breakpoint."""
from __future__ import absolute_import  # see the package's __init__
import dis
import linecache
import os
import re
import sys


def getline(filename, lineno, module_globals=None):
    """Line lineno of filename with its newline, or '' when it is not known."""
    return linecache.getline(filename, lineno, module_globals)


def source_line(frame, lineno):
    """The stripped source text of line lineno of the frame's file, or ''."""
    return getline(frame.f_code.co_filename, lineno, frame.f_globals).strip()


def is_blank_or_comment(filename, lineno, module_globals=None):
    """None when the line can carry a breakpoint; else why not, as pdb says it: 'End of file'
    past the end, 'Blank or comment' for a blank line, a comment or the start of a string."""
    line = getline(filename, lineno, module_globals)
    if not line:
        return 'End of file'
    line = line.strip()
    if not line or line[0] == '#' or line[:3] in ('"""', "'''"):
        return 'Blank or comment'
    return None


def first_body_line(code):
    """The first line of a function's body that carries code: where a call of it first stops."""
    lines = [line for _, line in dis.findlinestarts(code) if line > code.co_firstlineno]
    return min(lines) if lines else code.co_firstlineno


def first_line(code):
    """The line of a code object's first instruction: its first line event."""
    for _, line in dis.findlinestarts(code):
        return line
    return code.co_firstlineno


def code_objects(code):
    """code and every code object compiled inside it."""
    yield code
    for const in code.co_consts:
        if hasattr(const, 'co_code'):
            for inner in code_objects(const):
                yield inner


def find_function(funcname, filename):
    """(def line, first body line) of the function funcname defined in filename, found by
    reading the source as pdb does, or None. Works before the def has run or the module is
    imported."""
    pattern = re.compile(r'\s*def\s+%s\s*[(]' % re.escape(funcname))
    lines = linecache.getlines(filename)
    if not lines:
        return None
    for number, line in enumerate(lines, 1):
        if pattern.match(line):
            break
    else:
        return None
    try:
        module = compile(''.join(lines) + '\n', filename, 'exec')
    except (SyntaxError, TypeError, ValueError):
        return number, number + 1
    for code in code_objects(module):
        if code.co_name == funcname and number <= code.co_firstlineno <= number + 1:
            return number, first_body_line(code)
    # A decorated function's code starts at its first decorator, above the def.
    for code in code_objects(module):
        if code.co_name == funcname and code.co_firstlineno < number:
            return number, first_body_line(code)
    return number, number + 1


def lookup_module(name, near=None):
    """The file of the module named name (dotted), looked for beside near, then on sys.path;
    or None. The module need not be imported."""
    if os.path.isabs(name) and os.path.exists(name):
        return name
    relative = name.replace('.', os.sep)
    folders = ([os.path.dirname(near)] if near else []) + [d or os.curdir for d in sys.path]
    for folder in folders:
        for candidate in (relative + '.py', os.path.join(relative, '__init__.py')):
            path = os.path.join(folder, candidate)
            if os.path.isfile(path):
                return os.path.abspath(path)
    module = sys.modules.get(name)
    path = getattr(module, '__file__', None)
    if path:
        return os.path.abspath(path[:-1] if path.endswith(('.pyc', '.pyo')) else path)
    return None


def function_range(frame):
    """(first, last) lines of the source of the frame's function, or of its module at module
    level: what longlist shows."""
    import inspect
    if frame.f_code.co_name == '<module>':
        lines = linecache.getlines(frame.f_code.co_filename, frame.f_globals)
        return 1, len(lines)
    try:
        lines, first = inspect.getsourcelines(frame.f_code)
    except (IOError, TypeError):
        raise LookupError('could not get source code')
    return max(first, 1), max(first, 1) + len(lines) - 1


def object_source(value):
    """(first line, lines) of the source of a module, class, function, method or code object."""
    import inspect
    try:
        lines, first = inspect.getsourcelines(value)
    except (IOError, TypeError):
        raise LookupError('could not get source code')
    return max(first, 1), lines


def compiled(filename):
    """The module code of filename, compiled as the interpreter would, or None when it cannot
    be read or compiled."""
    lines = linecache.getlines(filename)
    if not lines:
        return None
    try:
        return compile(''.join(lines) + '\n', filename, 'exec')
    except (SyntaxError, TypeError, ValueError):
        return None


def code_lines(filename):
    """The sorted lines of filename where a line event can come (the line starts of every code
    object compiled from it), or None when it cannot be read or compiled."""
    module = compiled(filename)
    if module is None:
        return None
    found = set()
    for code in code_objects(module):
        found.update(line for _, line in dis.findlinestarts(code))
    return sorted(found)


def find_qualified(names, filename):
    """(def line, first body line) of the function reached through the nested definitions
    names (['Class', 'method'], ['outer', 'inner'] or ['function']) in filename, or None. Read
    from the compiled source: the module need not be imported."""
    module = compiled(filename)
    if module is None:
        return None

    def walk(code, rest):
        for const in code.co_consts:
            if hasattr(const, 'co_code') and const.co_name == rest[0]:
                if len(rest) == 1:
                    if is_class_body(const):
                        continue
                    return const
                found = walk(const, rest[1:])
                if found is not None:
                    return found
        return None

    code = walk(module, list(names))
    if code is None:
        return None
    return def_line(code, filename), first_body_line(code)


def is_class_body(code):
    """Whether a code object is a class body, not a function: functions are compiled with
    fast locals (CO_OPTIMIZED) unless they use a bare exec, class bodies never, and a class
    body stores its __module__."""
    return not code.co_flags & 0x1 and '__module__' in code.co_names


def def_line(code, filename):
    """The line of a function's def statement: its first line, or below its decorators."""
    pattern = re.compile(r'\s*def\s+%s\s*[(]' % re.escape(code.co_name))
    lines = linecache.getlines(filename)
    for number in range(code.co_firstlineno, min(len(lines), code.co_firstlineno + 50) + 1):
        if pattern.match(lines[number - 1]):
            return number
    return code.co_firstlineno
