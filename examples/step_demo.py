"""Shows what the debug tracer does so far: it loads, takes the debugger's callbacks and
installs its exit function."""
import os
import sys
import __builtin__

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'build', 'python'))
import zardel27


def quit_cb():
    print 'quit_cb: the debugged program ended'


def noop(*args):
    pass


zardel27.init(1, 0, 0, 0, 0, noop, noop, noop, noop, quit_cb, None, __builtin__.__import__)
print 'tracer initialised; tracing:', zardel27.get_tracing()
print 'sys.exitfunc is the tracer\'s:', sys.exitfunc == zardel27.exitfunc
