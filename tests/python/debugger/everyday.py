# Correct code that raises and catches on the way, in C code, generators and context managers:
# running it freely never stops.
import contextlib
import shlex
import StringIO
import xml.etree.ElementTree as ET

root = ET.fromstring('<r><a n="1"/><b><a n="2"/></b></r>')
print [a.get('n') for a in root.iterfind('.//a')], root.find('c')
for word in shlex.shlex(StringIO.StringIO('one "two three" four')):
    if word == 'four':
        break
print hasattr(root, 'missing'), getattr(root, 'missing', 'no'), next(iter([]), 'end')


@contextlib.contextmanager
def ignoring(error):
    try:
        yield
    except error:
        pass

with ignoring(KeyError):
    {}['k']
print 'done'
