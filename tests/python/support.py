"""Shared helpers of the Python test suites."""
import os
import subprocess
import sys
import textwrap

BUILD = os.environ.get('VORN_BUILD_DIR',
                       os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'build'))
MODULE_DIRS = [os.path.join(BUILD, 'python'), os.path.join(BUILD, 'testmods'),
               os.path.dirname(os.path.abspath(__file__)),
               os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'ide')]


def run_python(code, args=(), stdin=None, env=None):
    """Runs `code` in a fresh interpreter of the same kind as this one (release or debug) with
    the built modules importable. `env` changes the child's environment: name -> value, or
    name -> None to remove the variable. Returns (exit status, stdout, stderr)."""
    overrides = env or {}
    env = dict(os.environ)
    for name, value in overrides.items():
        if value is None:
            env.pop(name, None)
        else:
            env[name] = value
    env['PYTHONPATH'] = os.pathsep.join(MODULE_DIRS)
    proc = subprocess.Popen([sys.executable, '-c', textwrap.dedent(code)] + list(args),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env)
    out, err = proc.communicate(stdin)
    return proc.returncode, out, err


def noop(*args):
    pass


def init_args(**overrides):
    """The argument list of zardel27.init with harmless callbacks; keywords replace single
    arguments by their names."""
    import __builtin__
    names = ['idle_period', 'optimize_nobps', 'use_import_hook', 'exception_mode',
             'allow_synonyms', 'idle_cb', 'line_cb', 'return_cb', 'exception_cb', 'quit_cb',
             'import_cb', 'default_import']
    values = dict(idle_period=0, optimize_nobps=0, use_import_hook=0, exception_mode=0,
                  allow_synonyms=0, idle_cb=noop, line_cb=noop, return_cb=noop,
                  exception_cb=noop, quit_cb=noop, import_cb=None,
                  default_import=__builtin__.__import__)
    values.update(overrides)
    return [values[n] for n in names]
