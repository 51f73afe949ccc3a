"""Helpers of the environment-side suites (test_env_*)."""
import os

from vornide import logicallines as ll

STDLIB = os.path.dirname(os.__file__)


def stdlib_source(name):
    f = open(os.path.join(STDLIB, name), 'rb')
    try:
        return f.read()
    finally:
        f.close()


def parse_record(grammar, record):
    """Parses a line record the way the analyzer submits a logical line to the grammar:
    comments skipped, a from-import's parentheses skipped, "//" and "//=" as "/" and
    "/=", a leading "@" as "~", "pass" after a final ":", then "\\n" and Finish, both
    with the last token's position."""
    parser = grammar.CreateParser(257)
    last = None
    for text, (first, second) in zip(record.tokens, record.positions):
        if text.startswith('#'):
            continue
        if record.linetype == ll.kLineFromImport and text[:1] in ('(', ')'):
            continue
        if text == '//':
            text = '/'
        elif text == '//=':
            text = '/='
        if last is None and text == '@':
            text = '~'
        parser.AddToken(text, first, second)
        last = (text, first, second)
    if last is not None and last[0].startswith(':'):
        parser.AddToken('pass', last[1], last[2])
    first, second = (last[1], last[2]) if last is not None else (-1, -1)
    parser.AddToken('\n', first, second)
    return parser.Finish(first, second)


def parse_tokens(grammar, tokens_and_positions):
    """Feeds (text, first, second) triples and returns Finish's result."""
    parser = grammar.CreateParser(257)
    for text, first, second in tokens_and_positions:
        parser.AddToken(text, first, second)
    text, first, second = tokens_and_positions[-1]
    return parser.Finish(first, second)
