"""`vorn debug` in the user's own Python 2.7.

vorn.py runs inside the installation's isolated runtime (no PYTHON* variables, its own module
path, optimized), which suits the environment's own tools but not a program being debugged: that
one needs the user's interpreter, with their PYTHONPATH, site-packages, virtualenv and working
folder. So `vorn debug [--python PYTHON] ...` (main here, in the isolated runtime):

  - picks the interpreter: --python PYTHON (a path, or a name looked up on PATH), else the
    python2.7 of the active virtualenv ($VIRTUAL_ENV/bin/python2.7, else .../python), else
    python2.7 on PATH;
  - asks it in a child what it is (probe) and refuses one that cannot load this installation's
    tracer: not CPython 2.7, another Unicode width or word size, or a debug interpreter when
    bin/zardel27_d.so is missing, naming what differs;
  - replaces its own process by that interpreter running this file as a script, with the
    environment the launcher received (the launcher changes none of it). With no process in
    between, the terminal, Ctrl-C and the exit status are the program's own, and its output is
    not reordered against the debugger's.

Run as a script (`PYTHON bin/vornrun.py VORNDEBUG-ARGS`), this file loads the debugger and calls
vorndebug.main(VORNDEBUG-ARGS). `python2.7 -m vorndebug PROGRAM`, with the installation's bin on
PYTHONPATH, ends in the same place (debug_here). How the debugger stays out of the program's
sight, both ways:

  - the installation's bin is on sys.path only while the debugger's modules are imported; after
    that every entry naming it goes (the script's own slot, sys.path[0], becomes '' until the
    debugger puts the program's folder there, as `python2.7 PROGRAM` has it), so nothing of ours
    can be imported by the program, and a module of the program named like one of ours is its own;
  - every module loaded from bin (vorndebug, zardel27, this file, the debugger's helper modules
    and packages, with their relative-import placeholders) leaves sys.modules; the objects are
    held here instead, since a module object freed clears its globals. So the debugger's code
    imports its own modules when it is loaded, never later from a function;
  - `__main__` is the program's while it runs (vorndebug.run_code).
"""
import os
import sys

# Asked of the interpreter before it is used; Python 2 and 3 alike must answer, so that the
# refusal can say what they are. Started with -E -S: the answer does not depend on the user's
# settings, and a broken site-packages shows up later, as under python2.7 itself.
PROBE = ("import sys; v = sys.version_info; i = getattr(sys, 'implementation', None); "
         "n = i.name if i else getattr(sys, 'subversion', ('unknown',))[0]; "
         "sys.stdout.write('%d %d %s %d %d %d\\n' % (v[0], v[1], n.lower(), sys.maxunicode, "
         "sys.maxsize, hasattr(sys, 'gettotalrefcount')))")

USAGE_PYTHON = """
the program's interpreter:
  --python PYTHON   run the program under PYTHON (a path, or a name looked up on PATH); by
                    default the python2.7 of the active virtualenv, else python2.7 on PATH. It
                    must be a CPython 2.7 of this build's kind (Unicode width %s, release or
                    debug); the program sees its sys.executable, site-packages and flags.
"""


class Refused(Exception):
    """The interpreter cannot run the debugger; the text says why."""


def bin_folder():
    """The installation's bin: this file's folder, which holds vorndebug.py and the tracer."""
    return os.path.dirname(os.path.abspath(__file__))


def unicode_width(maxunicode):
    return 'UCS4' if maxunicode > 0xFFFF else 'UCS2'


def on_path(name, environ):
    """The first executable file called name in the folders of environ's PATH, as execvp would
    find it, or None."""
    for folder in environ.get('PATH', os.defpath).split(os.pathsep):
        path = os.path.join(folder or os.curdir, name)
        if os.path.isfile(path) and os.access(path, os.X_OK):
            return path
    return None


def choose_interpreter(requested, environ):
    """The path of the interpreter to run the program under: requested (a path, or a name on
    PATH), else the active virtualenv's, else python2.7 on PATH. Raises Refused when there is
    none."""
    if requested is not None:
        path = requested if os.sep in requested else on_path(requested, environ)
        if path is None:
            raise Refused('no interpreter %s on PATH' % requested)
        if not os.path.exists(path):
            raise Refused('no interpreter %s' % requested)
        if not os.path.isfile(path) or not os.access(path, os.X_OK):
            raise Refused('%s is not an executable file' % requested)
        return path
    venv = environ.get('VIRTUAL_ENV')
    if venv:
        for name in ('python2.7', 'python'):
            path = os.path.join(venv, 'bin', name)
            if os.path.isfile(path) and os.access(path, os.X_OK):
                return path
    path = on_path('python2.7', environ)
    if path is None:
        raise Refused('no python2.7 on PATH (name one with --python PYTHON)')
    return path


def probe(python, environ):
    """(major, minor, implementation, maxunicode, maxsize, debug) of the interpreter python,
    asked in a child. Raises Refused when it does not answer as a Python does."""
    import subprocess
    try:
        with open(os.devnull) as nothing:
            child = subprocess.Popen([python, '-E', '-S', '-c', PROBE], stdin=nothing,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=environ, close_fds=True)
            out, err = child.communicate()
    except OSError, e:
        raise Refused('%s cannot be started: %s' % (python, e.strerror))
    words = out.split()
    try:
        if child.returncode != 0 or len(words) != 6:
            raise ValueError
        return (int(words[0]), int(words[1]), words[2], int(words[3]), int(words[4]),
                bool(int(words[5])))
    except ValueError:
        said = (err.strip().splitlines() or out.strip().splitlines() or [''])[-1]
        raise Refused('%s is not a Python interpreter the debugger can use (asked what it is, '
                      'it ended with status %s%s)' % (python, child.returncode,
                                                    ': ' + said if said else ''))


def tracer_file(debug):
    """The tracer module file an interpreter of the kind imports from bin."""
    return os.path.join(bin_folder(), 'zardel27_d.so' if debug else 'zardel27.so')


def differences(probed):
    """What keeps an interpreter with the probe's answer from loading this build's tracer: a
    list of texts, empty when nothing does. The build's kind is the one of the runtime running
    here (the interpreter library the modules were built against)."""
    major, minor, implementation, maxunicode, maxsize, debug = probed
    found = []
    if implementation != 'cpython':
        found.append('it is %s, not CPython' % implementation)
    if (major, minor) != (2, 7):
        found.append('it is Python %d.%d, not 2.7' % (major, minor))
    if maxunicode != sys.maxunicode:
        found.append('its Unicode width is %s (sys.maxunicode %d), this build\'s %s '
                     '(sys.maxunicode %d)' % (unicode_width(maxunicode), maxunicode,
                                             unicode_width(sys.maxunicode), sys.maxunicode))
    if maxsize != sys.maxsize:
        found.append('its sys.maxsize is %d, this build\'s %d' % (maxsize, sys.maxsize))
    if not found and not os.path.isfile(tracer_file(debug)):
        found.append('it is a %s interpreter and this installation has no %s' % (
            'debug' if debug else 'release', tracer_file(debug)))
    return found


def options(args):
    """The positions of the option words before the program in args: the words after it are
    the program's own. The values of the debugger's options that take one are skipped."""
    i = 0
    while i < len(args) and args[i] != '--' and args[i].startswith('-'):
        yield i
        i += 2 if args[i] in ('--commands', '-c', '--connect', '--listen', '--token') else 1


def split_python_option(args):
    """(the --python value or None, args without it)."""
    for i in options(args):
        word = args[i]
        if word == '--python=' or (word == '--python' and i + 1 == len(args)):
            raise Refused('--python needs an interpreter')
        if word == '--python':
            return args[i + 1], args[:i] + args[i + 2:]
        if word.startswith('--python='):
            return word[len('--python='):], args[:i] + args[i + 1:]
    return None, args


def wants_help(args):
    return any(args[i] in ('-h', '--help') for i in options(args))


# Interpreters accepted before, below the user's settings folder: the launcher reads them to
# start the debugger in one of them at once, without this runtime or the probe (launcher_logic.h
# has the format). One record per line, fields separated by NUL bytes: the installation folder as
# the launcher names it, the interpreter as chosen, '1' for a debug interpreter, and the
# identities of the interpreter file and of the tracer file it loads.
RECORDS = os.path.join('QUENDRALUX', 'VUVAZIRUZAD', '2.1', 'debug-interpreters')
KEPT_RECORDS = 32


def records_file(environ):
    """The records' file: under $XDG_CONFIG_HOME when it is an absolute path, else under
    $HOME/.config; None when neither is known."""
    config = environ.get('XDG_CONFIG_HOME')
    if not (config and config.startswith('/')):
        home = environ.get('HOME')
        if not home:
            return None
        config = os.path.join(home, '.config')
    return os.path.join(config, RECORDS)


def file_identity(path):
    """'device:inode:size:mtime:ctime' of the file path names (whole seconds), as the launcher
    computes it, or None."""
    import stat
    try:
        st = os.stat(path)
    except OSError:
        return None
    word = (1 << 64) - 1   # the launcher prints device and inode unsigned
    return '%d:%d:%d:%d:%d' % (st.st_dev & word, st.st_ino & word, st.st_size,
                               st[stat.ST_MTIME], st[stat.ST_CTIME])


def is_program_file(path):
    """Whether path is a compiled program (ELF) rather than a script: a script such as a pyenv
    or conda shim may start another interpreter tomorrow with its own file unchanged."""
    try:
        with open(path, 'rb') as f:
            return f.read(4) == '\x7fELF'
    except IOError:
        return False


def remember_accepted(home, python, debug, identity, environ):
    """Records that the interpreter python, whose file had identity when it was probed, runs the
    debugger of the installation home. Quietly does nothing when the record cannot be written,
    or for an interpreter that is a script."""
    path = records_file(environ)
    fields = [home, python, '1' if debug else '0', identity, file_identity(tracer_file(debug))]
    if not path or None in fields or any('\n' in f or '\0' in f for f in fields):
        return
    if not is_program_file(python) or file_identity(python) != identity:   # changed meanwhile
        return
    try:
        with open(path) as f:
            records = [line for line in f.read().split('\n')
                       if line and line.split('\0')[:2] != fields[:2]]
    except IOError:
        records = []
    records = records[-(KEPT_RECORDS - 1):] + ['\0'.join(fields)]
    temporary = '%s.%d' % (path, os.getpid())
    try:
        folder = os.path.dirname(path)
        if not os.path.isdir(folder):
            os.makedirs(folder)
        with open(temporary, 'w') as f:
            f.write('\n'.join(records) + '\n')
        os.rename(temporary, path)   # whole, whoever reads it meanwhile
    except (IOError, OSError):
        try:
            os.remove(temporary)
        except OSError:
            pass


def frontend(args, terminal_main):
    """The main function of the front end args ask for: the editor protocol's (vorndap.session)
    with --listen or --connect, else terminal_main. Imported now: the debugger's modules are
    loaded before it leaves sys.path."""
    for i in options(args):
        if args[i].split('=', 1)[0] in ('--listen', '--connect'):
            from vorndap import session
            return session.main
    return terminal_main


def main(args, home=None):
    """vorn debug with args (the words after 'debug'), in the isolated runtime: runs the debugger
    under the chosen interpreter in place of this process. Returns a status only when it cannot.
    home is the installation folder as the launcher names it; an interpreter accepted is then
    recorded for the launcher."""
    environ = os.environ
    try:
        python, rest = split_python_option(list(args))
        if wants_help(rest):
            import vorndebug
            status = vorndebug.main(['--help'])
            sys.stdout.write(USAGE_PYTHON % unicode_width(sys.maxunicode))
            return status
        by_default = python is None
        python = choose_interpreter(python, environ)
        identity = file_identity(python)
        probed = probe(python, environ)
        found = differences(probed)
        if found:
            raise Refused('%s cannot run the debugger: %s%s' % (
                python, '; '.join(found),
                ' (name another with --python PYTHON)' if by_default else ''))
    except Refused, e:
        sys.stderr.write('vorn debug: %s\n' % e)
        return 2
    if home and identity:
        remember_accepted(home, python, probed[5], identity, environ)
    start = [python, os.path.join(bin_folder(), 'vornrun.py')] + rest
    sys.stdout.flush()
    sys.stderr.flush()
    # What the isolated runtime set for itself goes back to what the user's interpreter expects
    # to find (Python ignores these two; an ignored signal would stay ignored across exec).
    import signal
    for name in ('SIGPIPE', 'SIGXFSZ'):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signal.SIG_DFL)
    try:
        os.execv(python, start)
    except OSError, e:
        sys.stderr.write('vorn debug: %s cannot be started: %s\n' % (python, e.strerror))
        return 2


class RealNames(object):
    """os.path.realpath for the files of many modules: the real name of each folder is found
    once, and only a file that is itself a link is resolved whole."""

    def __init__(self):
        self.folders = {}

    def __call__(self, path):
        if os.path.islink(path):
            return os.path.realpath(path)
        folder, name = os.path.split(os.path.abspath(path))
        real = self.folders.get(folder)
        if real is None:
            real = self.folders[folder] = os.path.realpath(folder)
        return os.path.join(real, name)


def is_ours(module, folder, realpath=os.path.realpath):
    """Whether module was loaded from folder (the installation's bin) or below it."""
    path = getattr(module, '__file__', None)
    if not path:
        return False
    return realpath(path).startswith(os.path.join(folder, ''))


def hide_debugger(folder):
    """Takes the installation's bin (folder) out of sys.path and the modules loaded from it out
    of sys.modules; returns those modules, which the caller keeps for as long as the debugger
    runs. sys.path[0] naming folder (the script's slot) becomes ''."""
    folder = os.path.realpath(folder)
    named_folder = [i for i, entry in enumerate(sys.path)
                    if isinstance(entry, str) and os.path.realpath(entry or os.curdir) == folder]
    for i in reversed(named_folder):
        sys.path_importer_cache.pop(sys.path[i], None)
        if i == 0:
            sys.path[0] = ''
        else:
            del sys.path[i]
    realpath = RealNames()
    ours = [name for name, module in sys.modules.items()
            if name != '__main__' and module is not None and is_ours(module, folder, realpath)]
    packages = tuple(name + '.' for name in ours)
    kept = []
    for name in list(sys.modules):
        if name in ours or name.startswith(packages):
            kept.append(sys.modules.pop(name))
    return kept


def debug_here(main_function, args, folder):
    """Runs main_function(args) (vorndebug.main) in this interpreter once the debugger loaded
    from folder is out of the program's sight; returns its status."""
    kept = hide_debugger(folder)
    try:
        return main_function(args)
    finally:
        # The modules must outlive the program's exit handlers, which run after this returns:
        # they go with the interpreter.
        HELD.extend(kept)


# Modules of ours taken out of sys.modules, kept for the life of the interpreter. The list is
# reached from the __main__ module that started the debugger (this file run as a script, or
# vorndebug under -m, which holds this module): the debugger keeps that one while the program
# runs and puts it back in sys.modules after. Hidden modules that only refer to each other could
# otherwise be collected as garbage before the program's exit handlers have run.
HELD = []


if __name__ == '__main__':
    # The interpreter started this file, so bin is sys.path[0]: vorndebug, the tracer built for
    # this interpreter's kind and the debugger's helpers come from the installation.
    import vorndebug
    sys.exit(debug_here(frontend(sys.argv[1:], vorndebug.main), sys.argv[1:],
                        os.path.dirname(os.path.abspath(__file__))))
