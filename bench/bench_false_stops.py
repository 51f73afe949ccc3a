"""How often the unhandled exception mode stops at exceptions the program catches.

    python2.7 bench/bench_false_stops.py [--repeat N]

Ordinary programs built on the standard library (ElementTree, tokenize, inspect, shlex over
StringIO, argparse, email, tarfile, pydoc, ConfigParser, csv, json, difflib) run to completion
as the debugged region under zardel27 in the unhandled mode, as `vorn debug` runs a program.
Nothing escapes from them, so every stop is a false one. A Python trace function counts, in a
separate run, the exceptions each workload raises (exception events that start a traceback).
Prints, per workload and in all, the exceptions raised, the stops and the stops per 1,000
raised exceptions.
"""
import ConfigParser
import StringIO
import __builtin__
import argparse
import csv
import difflib
import email
import email.mime.multipart
import email.mime.text
import inspect
import json
import os
import pydoc
import shlex
import sys
import tarfile
import tokenize
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.environ.get('VORN_BUILD_DIR', os.path.join(HERE, '..', 'build'))
sys.path[:0] = [os.path.join(BUILD, 'python')]

import zardel27

UNHANDLED = 2
LIB = os.path.dirname(os.__file__)

XML = '<root>%s</root>' % ''.join(
    '<item id="%d" kind="%s"><name>n%d</name><tags><tag>a</tag><tag>b</tag></tags></item>'
    % (i, 'odd' if i % 2 else 'even', i) for i in range(200))


def elementtree():
    root = ET.fromstring(XML)
    for path in ('item', './/tag', "item[@kind='odd']", 'item/name', '*/tags/tag', './/name'):
        list(root.iterfind(path))
        root.find(path)
        root.findall(path)
    for event, elem in ET.iterparse(StringIO.StringIO(XML), events=('start', 'end')):
        pass
    ET.tostring(root)


def tokenizing():
    for name in ('string.py', 'shlex.py', 'textwrap.py'):
        with open(os.path.join(LIB, name)) as f:
            lines = f.readlines()
        list(tokenize.generate_tokens(iter(lines).next))
        # Reading up to the first name only, as a tool looking for a header does.
        for token in tokenize.generate_tokens(iter(lines).next):
            if token[0] == tokenize.NAME:
                break


def inspecting():
    for module in (shlex, textwrap_module(), difflib):
        for name, value in inspect.getmembers(module):
            if ((inspect.isfunction(value) or inspect.isclass(value)) and
                    getattr(value, '__module__', None) == module.__name__):
                try:
                    inspect.getsource(value)
                except IOError:
                    pass  # a class the source search cannot find
                inspect.getdoc(value)
                if inspect.isfunction(value):
                    inspect.getargspec(value)


def textwrap_module():
    import textwrap
    return textwrap


def shlex_and_stringio():
    text = '\n'.join('cmd --opt "quoted arg %d" \'single %d\' plain%d # comment' % (i, i, i)
                     for i in range(100))
    for line in StringIO.StringIO(text):
        shlex.split(line, comments=True)
    lexer = shlex.shlex(StringIO.StringIO(text))
    list(lexer)


def argparsing():
    parser = argparse.ArgumentParser(prog='tool')
    parser.add_argument('--verbose', '-v', action='count')
    parser.add_argument('--level', type=int, default=1)
    sub = parser.add_subparsers(dest='command')
    run = sub.add_parser('run')
    run.add_argument('target')
    run.add_argument('--times', type=int, default=1)
    sub.add_parser('list').add_argument('--all', action='store_true')
    for args in (['-v', 'run', 'x', '--times', '3'], ['--level', '2', 'list', '--all'],
                 ['-vv', 'list']) * 20:
        parser.parse_args(args)
    parser.format_help()


def emailing():
    msg = email.mime.multipart.MIMEMultipart()
    msg['Subject'] = 'report'
    msg['From'] = 'a@example.com'
    msg['To'] = 'b@example.com'
    for i in range(10):
        msg.attach(email.mime.text.MIMEText('part %d\n' % i * 20))
    text = msg.as_string()
    for _ in range(10):
        parsed = email.message_from_string(text)
        for part in parsed.walk():
            part.get_payload(decode=True)
            part.get_content_type()
            part.get_param('charset')


def tarring():
    data = StringIO.StringIO()
    with tarfile.open(fileobj=data, mode='w') as tar:
        for i in range(30):
            info = tarfile.TarInfo('dir/file%d.txt' % i)
            payload = 'content %d\n' % i * 10
            info.size = len(payload)
            tar.addfile(info, StringIO.StringIO(payload))
    data.seek(0)
    with tarfile.open(fileobj=data, mode='r') as tar:
        for member in tar.getmembers():
            tar.extractfile(member).read()


def pydocs():
    for module in (shlex, difflib, ConfigParser):
        pydoc.plain(pydoc.render_doc(module))


def config_csv_json_diff():
    cp = ConfigParser.SafeConfigParser()
    cp.readfp(StringIO.StringIO('[a]\nx = 1\ny = %(x)s2\n[b]\nz = 3\n'))
    for section in cp.sections():
        for option in cp.options(section):
            cp.get(section, option)
        cp.has_option(section, 'missing')
    rows = list(csv.reader(StringIO.StringIO('a,b,c\n1,"2,3",4\n' * 100)))
    json.loads(json.dumps({'rows': rows, 'n': [1.5, None, True]}))
    a = open(os.path.join(LIB, 'shlex.py')).read().splitlines()
    list(difflib.unified_diff(a, a[::2] + ['x']))


WORKLOADS = [elementtree, tokenizing, inspecting, shlex_and_stringio, argparsing, emailing,
             tarring, pydocs, config_csv_json_diff]


def count_raises(workload):
    """Exceptions workload() raises: exception events whose traceback starts in that frame."""
    raised = [0]

    def trace(frame, event, arg):
        if event == 'exception' and arg[2] is not None and arg[2].tb_next is None:
            raised[0] += 1
        return trace

    sys.settrace(trace); workload(); sys.settrace(None)
    return raised[0]


def count_stops(workload):
    """Stops of the unhandled mode while workload() runs as the debugged region."""
    stops = [0]

    def exception_cb(frame, arg, changed):
        stops[0] += 1
        zardel27.continue_run()

    noop = lambda *args: None
    zardel27.init(0, 0, 0, UNHANDLED, 0, noop, noop, noop, exception_cb, noop, None,
                  __builtin__.__import__)
    try:
        zardel27.start_trace(0xFFFFFF, 0xFFFFFF); zardel27.continue_run(); workload()
    finally:
        zardel27.stop_trace()
        zardel27.destroy()
    return stops[0]


def main(argv):
    repeat = int(argv[argv.index('--repeat') + 1]) if '--repeat' in argv else 1
    for workload in WORKLOADS:
        workload()  # imports and caches filled once, as in a program that has started
    total_raised = total_stops = 0
    print 'false stops of the unhandled mode on programs that catch everything they raise'
    print '%-22s %8s %7s %10s' % ('workload', 'raised', 'stops', 'per 1000')
    for workload in WORKLOADS:
        raised = stops = 0
        for _ in range(repeat):
            raised += count_raises(workload)
            stops += count_stops(workload)
        total_raised += raised
        total_stops += stops
        print '%-22s %8d %7d %10.1f' % (workload.__name__, raised, stops,
                                         1000.0 * stops / max(raised, 1))
    print '%-22s %8d %7d %10.1f' % ('all', total_raised, total_stops,
                                     1000.0 * total_stops / max(total_raised, 1))


if __name__ == '__main__':
    main(sys.argv[1:])
