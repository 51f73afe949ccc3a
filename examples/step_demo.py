"""Steps through examples/fib.py under the debug tracer and prints every stop.

The debugger side here is a few lines of Python: at each stop it prints where the program is
and chooses the next command, the way the IDE's debugger does over its connection: step into
the first stops, step over inside report(), step out of fib() once it recursed.
"""
import __builtin__
import linecache
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'build', 'python'))
import zardel27

PROGRAM = os.path.join(HERE, 'fib.py')
stops = []


def show(event, frame):
    line = linecache.getline(frame.f_code.co_filename, frame.f_lineno).rstrip()
    depth, f = 0, frame
    while f.f_back and f.f_back.f_code.co_filename == PROGRAM:
        depth, f = depth + 1, f.f_back
    print '%-6s %-8s line %2d %s| %s' % (event, frame.f_code.co_name, frame.f_lineno,
                                        '  ' * depth, line)


def choose(frame):
    """The next command after a stop."""
    stops.append(frame)
    if frame.f_code.co_filename != PROGRAM:
        zardel27.stop_trace()
    elif frame.f_code.co_name == 'report':
        zardel27.step_over()
    elif frame.f_code.co_name == 'fib' and frame.f_back.f_code.co_name == 'fib':
        zardel27.step_out()
    else:
        zardel27.step_into()


def line_cb(frame, changed):
    if frame.f_code.co_filename == PROGRAM:
        show('line', frame)
    choose(frame)


def return_cb(frame, changed):
    if frame.f_code.co_filename == PROGRAM:
        show('return', frame)
    choose(frame)


def exception_cb(frame, exc, changed):
    show('exc', frame)
    choose(frame)


def idle_cb():
    pass


def main():
    zardel27.init(1, 0, 0, 0, 0, idle_cb, line_cb, return_cb, exception_cb, idle_cb, None,
                  __builtin__.__import__)
    code = compile(open(PROGRAM).read(), PROGRAM, 'exec')
    globs = {'__name__': '__main__', '__file__': PROGRAM}
    print 'stepping through %s with zardel27' % os.path.basename(PROGRAM)
    # An empty frame range: the program's frame, called next, opens the debugged region.
    zardel27.start_trace(1000, 1001); exec code in globs
    zardel27.stop_trace()
    print '%d stops; tracing now %d' % (len(stops), zardel27.get_tracing())
    zardel27.destroy()


if __name__ == '__main__':
    main()
