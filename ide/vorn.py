"""Main script of the Vorn IDE, started by the launcher (bin/vorn, bin/vorn-console).

    vorn [--help] COMMAND [ARGS...]

The launcher puts its own options first: --utf8-args (the arguments after it are UTF-8),
--use-vornhome DIR (the installation folder) and, from the quiet launcher, --squelch-output
(the environment's own progress messages are not shown; what a command prints for its user
still is). Then come the user's words: a command and its arguments.
"""
import os
import sys

USAGE = """usage: vorn [--help] COMMAND [ARGS...]

commands:
  analyze FILE              outline a Python 2 file, or --complete / --types questions on it
  dap [--log FILE]          the debug adapter for editors (DAP on stdin/stdout, or --listen)
  debug PROGRAM [ARGS...]   debug a Python 2 program under your python2.7 (pdb's commands)
  help [COMMAND]            show this help, or the help of COMMAND
  lsp [--log FILE]          the language server for Python 2 code (LSP on stdin/stdout)

Run 'vorn COMMAND --help' for the options of a command.
"""


class Options(object):
    """What the launcher told the script."""

    def __init__(self):
        self.utf8_args = False
        self.vornhome = None
        self.squelch_output = False


def parse_launcher_options(argv):
    """Splits the launcher's options off the front of argv; returns (Options, the rest)."""
    options = Options()
    i = 0
    while i < len(argv):
        word = argv[i]
        if word == '--utf8-args':
            options.utf8_args = True
        elif word == '--squelch-output':
            options.squelch_output = True
        elif word == '--use-vornhome' and i + 1 < len(argv):
            i += 1
            options.vornhome = argv[i]
        else:
            break
        i += 1
    return options, argv[i:]


def progress(options, text):
    """An informational message of the environment itself, silent under --squelch-output."""
    if not options.squelch_output:
        sys.stderr.write(text + '\n')


def command_debug(options, args):
    # The program runs under the user's interpreter, which takes this process over.
    import vornrun
    return vornrun.main(args, options.vornhome)


def command_analyze(options, args):
    import vornanalyze
    return vornanalyze.main(args, report=lambda text: progress(options, text))


def command_lsp(options, args):
    from vornlsp import server
    return server.main(args)


def command_dap(options, args):
    from vorndap import adapter
    return adapter.main(args)


def command_help(options, args):
    if args and args[0] in COMMANDS and args[0] != 'help':
        return COMMANDS[args[0]](options, ['--help'])
    sys.stdout.write(USAGE)
    return 0


COMMANDS = {'analyze': command_analyze, 'dap': command_dap, 'debug': command_debug,
            'help': command_help, 'lsp': command_lsp}


def main(argv):
    options, words = parse_launcher_options(argv[1:])
    if options.vornhome:
        bin_dir = os.path.join(options.vornhome, 'bin')
        if bin_dir not in sys.path:
            sys.path.insert(1, bin_dir)
    if not words:
        sys.stderr.write(USAGE)
        return 2
    if words[0] in ('-h', '--help'):
        sys.stdout.write(USAGE)
        return 0
    command = COMMANDS.get(words[0])
    if command is None:
        sys.stderr.write('vorn: unknown command %r\n%s' % (words[0], USAGE))
        return 2
    return command(options, words[1:])


if __name__ == '__main__':
    sys.exit(main(sys.argv))
