# Code compiled from strings and from another file, run in this module's namespace.
import os
first, second = 1, 2
exec "a = first\nb = second\nc = a + b"
value = eval("(a +\n b)")
exec compile("def twice(x):\n    return 2 * x\n", "<string>", "exec")
doubled = twice(value)
execfile(os.path.join(os.path.dirname(__file__), 'string_other.py'))
import string_helper
results = [c, value, doubled, other_first, string_helper.real()]
