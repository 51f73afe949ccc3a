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
