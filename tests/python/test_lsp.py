"""The language server's pieces in-process: UTF-16 positions against the text's own encoding,
edits applied as an editor sends them (seeded random runs on standard-library modules, checked
against a document opened fresh on the final text), the outline and the parse errors."""
import json
import os
import random
import re
import subprocess
import unittest

import Queue
import textwrap

from analyzer_support import module_source
from vornlsp import server, symbols, text as doctext
from vornlsp.jsonrpc import Connection

ASTRAL = u'\U0001d11e'   # two UTF-16 code units


def lsp_position(lines, offset):
    """The LSP position of character offset in the text made of lines (unicode, with line
    ends), counting UTF-16 code units: the model the server's mapping must match."""
    line = 0
    for text in lines:
        body = doctext.content(text)
        if offset <= len(body) or offset < len(text):
            head = body[:min(offset, len(body))]
            return {'line': line,
                    'character': len(head.encode('utf-16-le')) // 2}
        offset -= len(text)
        line += 1
    return {'line': line, 'character': 0}


class Positions(unittest.TestCase):
    def test_utf16_columns(self):
        line = u'x = u"\xe9\u20ac%s" + y' % ASTRAL
        encoded = line.encode('utf-8')
        for index in range(len(line) + 1):
            units = len(line[:index].encode('utf-16-le')) // 2
            column = len(line[:index].encode('utf-8'))
            self.assertEqual(doctext.index_for_utf16(line, units), index)
            self.assertEqual(doctext.utf16_for_byte_column(line, column), units)
            self.assertEqual(doctext.byte_column_for_utf16(line, units), column)
        self.assertEqual(doctext.utf16_length(line), len(line.encode('utf-16-le')) // 2)
        self.assertEqual(doctext.index_for_utf16(line, 1000), len(line))
        self.assertEqual(len(encoded), doctext.byte_column_for_utf16(line, 1000))

    def test_line_ends(self):
        self.assertEqual(doctext.split_lines(u'a\r\nb\rc\nd\x0ce\u2028f'),
                         [u'a\r\n', u'b\r', u'c\n', u'd\x0ce\u2028f'])
        text = doctext.DocumentText(u'a\r\nb\n')
        self.assertEqual(text.line_count(), 3)
        self.assertEqual(text.clamp({'line': 9, 'character': 0}), (2, 0))
        self.assertEqual(text.clamp({'line': 0, 'character': 9}), (0, 1))
        self.assertRaises(ValueError, text.clamp, {'line': 'x'})


def random_edit(rng, lines, pieces):
    """(start, end, new text) of a random change as an editor sends it."""
    whole = u''.join(lines)
    a = rng.randint(0, len(whole))
    kind = rng.random()
    if kind < 0.45:
        b = a                                          # typing
        new = rng.choice(pieces)
    elif kind < 0.8:
        b = min(len(whole), a + rng.randint(1, 40))    # deleting
        new = u''
    else:
        b = min(len(whole), a + rng.randint(0, 300))   # pasting over a selection
        start = rng.randint(0, len(whole))
        new = whole[start:start + rng.randint(0, 300)]
    return lsp_position(lines, a), lsp_position(lines, b), whole[:a] + new + whole[b:], new


class Edits(unittest.TestCase):
    def setUp(self):
        self.server = server.Server(None, server.Log())
        self.documents = []

    def tearDown(self):
        for doc in self.documents:
            doc.close()

    def open(self, text, uri='file:///tmp/edited.py'):
        doc = server.Document(self.server, uri, text, 1)
        self.documents.append(doc)
        return doc

    def records(self, doc):
        return [(l.fTokens, l.fTokenPositions, l.fLineno, l.fLineCount, l.fIndent, l.fLineType)
                for l in doc.module.fLogicalLines]

    def check_same(self, doc, expected_text):
        self.assertEqual(doc.text.text(), expected_text)
        fresh = self.open(expected_text, 'file:///tmp/fresh.py')
        self.assertEqual(self.records(doc), self.records(fresh))
        self.assertEqual(symbols.document_symbols(doc), symbols.document_symbols(fresh))
        doc.analyze_slice(0.0)
        fresh.analyze_slice(0.0)
        self.assertEqual(doc.diagnostics(), fresh.diagnostics())
        self.documents.remove(fresh)
        fresh.close()

    def test_seeded_random_edits(self):
        # Typing, deleting and pasting at random places of a real module, with CRLF and
        # non-ASCII text mixed in; after every few edits the incremental state must equal a
        # document opened on the final text.
        source = module_source(Queue).decode('utf-8')
        pieces = [u'x', u' ', u'\n', u'(', u')', u':', u'"', u"'''", u'\r\n', u'\t',
                  u'def g(a, b):\n    return a\n', u'class K:\n', u'# \xe9t\xe9 ' + ASTRAL,
                  u'print x\n', u'    ', u'\\\n', u'\r']
        for seed in range(3):
            rng = random.Random(seed)
            doc = self.open(source)
            expected = source
            for step in range(60):
                start, end, expected, new = random_edit(rng, doc.text.lines, pieces)
                doc.replace({'range': {'start': start, 'end': end}, 'text': new})
                if step % 15 == 14:
                    self.check_same(doc, expected)
            self.check_same(doc, expected)

    def test_failed_edit_cuts_the_text_again(self):
        # When the incremental path fails, the analysis is cut again from the edited text.
        doc = self.open(u'a = 1\nb = 2\n')
        def failing(*args):
            raise RuntimeError('broken')
        doc.module.ReplaceLines = failing
        self.assertRaises(server.EditFailed, doc.replace,
                          {'range': {'start': {'line': 1, 'character': 0},
                                     'end': {'line': 1, 'character': 1}}, 'text': u'c'})
        del doc.module.ReplaceLines
        self.check_same(doc, u'a = 1\nc = 2\n')

    def test_full_text_changes_are_incremental(self):
        source = module_source(Queue).decode('utf-8')
        doc = self.open(source)
        lines = doc.module.fLogicalLines
        kept = lines[5]
        changed = source.replace(u'class Full(Exception):', u'class Full(Exception, object):')
        doc.replace({'text': changed})
        self.assertIs(doc.module.fLogicalLines, lines)
        self.assertIs(lines[5], kept)
        self.check_same(doc, changed)
        doc.replace({'text': u''})
        self.check_same(doc, u'')
        # A "\n" typed after a lone "\r" makes one line end of the two.
        doc.replace({'text': u'a\rb\n'})
        doc.replace({'range': {'start': {'line': 1, 'character': 0},
                               'end': {'line': 1, 'character': 0}}, 'text': u'\n'})
        self.assertEqual(doc.text.line_count(), 3)
        self.check_same(doc, u'a\r\nb\n')
        doc.replace({'text': u'a = 1\r\nb = 2'})
        self.check_same(doc, u'a = 1\r\nb = 2')


class Answers(Edits):
    def test_outline(self):
        doc = self.open(textwrap.dedent(u'''\
            import os
            X = Y = 1
            @decorated
            class Cafe(object):   # a comment \xe9
                attr = 2
                def method(self, a, b=3):
                    def inner():
                        pass
                    self.x = a
            def f(): return 1
            s = '\xe9%s'; t = 2
            ''') % ASTRAL)
        found = symbols.document_symbols(doc)

        def shape(items):
            return [(s['name'], s['kind'], s['selectionRange']['start']['line'],
                     s['selectionRange']['start']['character'], s['range']['start']['line'],
                     s['range']['end']['line'], shape(s['children'])) for s in items]
        self.assertEqual(shape(found), [
            ('X', 13, 1, 0, 1, 1, []), ('Y', 13, 1, 4, 1, 1, []),
            ('Cafe', 5, 3, 6, 2, 8, [
                ('attr', 8, 4, 4, 4, 4, []),
                ('method', 6, 5, 8, 5, 8, [('inner', 12, 6, 12, 6, 7, [])])]),
            ('f', 12, 9, 4, 9, 9, []), ('s', 13, 10, 0, 10, 10, []),
            ('t', 13, 10, 11, 10, 10, [])])
        self.assertEqual(found[5]['selectionRange']['end'], {'line': 10, 'character': 12})
        self.assertEqual(found[2]['children'][1]['detail'], '(self, a, b=3)')

    def test_parse_errors(self):
        doc = self.open(u'def f(a):\n    return a +\n\nprint x\n')
        doc.analyze_slice(0.0)
        self.assertEqual([(d['range']['start']['line'], d['message'])
                          for d in doc.diagnostics()], [(1, 'invalid syntax')])
        doc.replace({'range': {'start': {'line': 1, 'character': 14},
                               'end': {'line': 1, 'character': 14}}, 'text': u' 1'})
        doc.analyze_slice(0.0)
        self.assertEqual(doc.diagnostics(), [])
        # print_function makes "print x" an error, and taking it away fixes it again.
        doc.replace({'range': {'start': {'line': 0, 'character': 0},
                               'end': {'line': 0, 'character': 0}},
                     'text': u'from __future__ import print_function\n'})
        doc.analyze_slice(0.0)
        self.assertEqual([d['range']['start']['line'] for d in doc.diagnostics()], [4])
        doc.replace({'range': {'start': {'line': 0, 'character': 0},
                               'end': {'line': 1, 'character': 0}}, 'text': u''})
        doc.analyze_slice(0.0)
        self.assertEqual(doc.diagnostics(), [])


class HalfTyped(Edits):
    def test_open_bracket_hides_nothing_after_it(self):
        # Typing "def second(a, b" above other defs: they stay in the outline at every
        # keystroke, the parse errors are on the broken lines alone, and a half-typed
        # "class Foo" still names Foo.
        text = u'def first():\n    pass\n\n'
        typed = u'def second(a, b\nclass Foo\n'
        rest = u'\ndef third():\n    pass\n'
        doc = self.open(text + rest)
        offset = len(text)
        for i, ch in enumerate(typed):
            doc.replace({'range': {'start': lsp_position(doc.text.lines, offset + i),
                                   'end': lsp_position(doc.text.lines, offset + i)},
                         'text': ch})
            names = [s['name'] for s in symbols.document_symbols(doc)]
            self.assertIn('third', names)
        self.assertEqual(names, ['first', 'second', 'Foo', 'third'])
        doc.analyze_slice(0.0)
        self.assertEqual([d['range']['start']['line'] for d in doc.diagnostics()], [3, 4])
        self.check_same(doc, text + typed + rest)


class TypingSessions(Edits):
    """After every edit of a typing session on a real module (character by character, a
    paste, a deletion and its undo), every answer at the edit and at sampled names equals
    the answer of a document opened fresh on the same text."""

    def setUp(self):
        Edits.setUp(self)
        from vornlsp import answers
        saved = answers._end_time
        answers._end_time = lambda: 0.0          # no time limit: answers are complete
        self.addCleanup(setattr, answers, '_end_time', saved)

    def answers_at(self, doc, positions):
        from vornlsp import answers
        uri = server.uri_for_path
        found = [symbols.document_symbols(doc)]
        for at in positions:
            found.append((answers.completion(doc, at), answers.hover(doc, at),
                          answers.definition(doc, at, uri), answers.highlights(doc, at, uri),
                          answers.references([doc], doc, at, uri),
                          answers.signature_help(doc, at)))
        return json.loads(json.dumps(found).replace(doc.uri, 'file:///doc'))

    def check_answers(self, doc, positions):
        fresh = self.open(doc.text.text(), 'file:///tmp/fresh.py')
        try:
            self.assertEqual(self.answers_at(doc, positions), self.answers_at(fresh, positions))
        finally:
            self.documents.remove(fresh)
            fresh.close()

    def test_typing_sessions_on_standard_modules(self):
        import shlex
        rng = random.Random(7)
        for module, anchor in ((Queue, u'    def _qsize(self'), (shlex, u'    def pop_source')):
            doc = self.open(module_source(module).decode('latin-1'))   # shlex is Latin-1
            lines = doc.text.lines
            row = [i for i, l in enumerate(lines) if l.startswith(anchor)][0]
            names = [(i, m.start()) for i, l in enumerate(lines) for m in
                     re.finditer(r'[A-Za-z_]\w*', l) if i != row]
            sample = [{'line': i, 'character': c} for i, c in rng.sample(names, 4)]

            def edit(start, end, new):
                doc.replace({'range': {'start': start, 'end': end}, 'text': new})
                at = doctext_end(start, new)
                self.check_answers(doc, sample + [at, {'line': at['line'],
                                                       'character': max(at['character'] - 1, 0)}])
            typed = u'    def peek(self, count=1):\n        return self.get(count, False)\n'
            at = {'line': row, 'character': 0}
            for ch in typed:                              # character by character
                edit(at, at, ch)
                at = doctext_end(at, ch)
            # A paste of a whole method, its deletion and the undo of the deletion.
            pasted = u'    def twice(self, item):\n        self.put(item); self.put(item)\n'
            edit(at, at, pasted)
            after = {'line': at['line'] + 2, 'character': 0}
            edit(at, after, u'')
            edit(at, at, pasted)
            self.assertIn('twice', [c['name'] for s in symbols.document_symbols(doc)
                                    for c in s['children']])


def doctext_end(start, new):
    """The position after new inserted at start."""
    lines = new.split(u'\n')
    if len(lines) == 1:
        return {'line': start['line'], 'character': start['character'] + len(new)}
    return {'line': start['line'] + len(lines) - 1, 'character': len(lines[-1])}


def answers_by_id(out_read, out_write):
    """The answers the server wrote to a pipe (its write end closed here), by request id."""
    os.close(out_write)
    out = ''
    while True:
        chunk = os.read(out_read, 65536)
        if not chunk:
            break
        out += chunk
    answers = [json.loads(part.split('\r\n\r\n', 1)[1]) for part in
               ['Content-Length' + p for p in out.split('Content-Length')[1:]]]
    return dict((a.get('id'), a) for a in answers if 'id' in a)


class Framing(unittest.TestCase):
    leak_check = False

    def test_cancelled_request_is_not_worked_on(self):
        # A request and its $/cancelRequest arrive together: the answer is RequestCancelled,
        # and the request behind them is answered as usual.
        read_fd, write_fd = os.pipe()
        out_read, out_write = os.pipe()
        srv = server.Server(Connection(read_fd, out_write), server.Log())
        messages = [
            {'jsonrpc': '2.0', 'id': 1, 'method': 'initialize', 'params': {}},
            {'jsonrpc': '2.0', 'method': 'textDocument/didOpen', 'params': {'textDocument': {
                'uri': 'file:///tmp/c.py', 'version': 1, 'text': u'def f(): pass\n'}}},
            {'jsonrpc': '2.0', 'id': 2, 'method': 'textDocument/documentSymbol',
             'params': {'textDocument': {'uri': 'file:///tmp/c.py'}}},
            {'jsonrpc': '2.0', 'method': '$/cancelRequest', 'params': {'id': 2}},
            {'jsonrpc': '2.0', 'id': 3, 'method': 'textDocument/documentSymbol',
             'params': {'textDocument': {'uri': 'file:///tmp/c.py'}}},
            {'jsonrpc': '2.0', 'id': 4, 'method': 'shutdown'},
            {'jsonrpc': '2.0', 'method': 'exit'}]
        data = ''.join('Content-Length: %d\r\n\r\n%s' % (len(b), b)
                       for b in map(json.dumps, messages))
        os.write(write_fd, data)
        os.close(write_fd)
        self.assertEqual(srv.run(), 0)
        for doc in srv.documents.values():
            doc.close()
        by_id = answers_by_id(out_read, out_write)
        self.assertEqual(by_id[2]['error']['code'], -32800)
        self.assertEqual(by_id[3]['result'][0]['name'], 'f')
        for fd in (read_fd, out_read):
            os.close(fd)

    def test_workspace_symbols_stop_when_cancelled(self):
        # Indexing the standard library takes seconds: a $/cancelRequest that arrives
        # meanwhile ends the request with RequestCancelled, the files read so far kept.
        import shutil
        import tempfile
        import threading
        config = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, config)
        saved = dict(os.environ)
        os.environ['XDG_CONFIG_HOME'] = config
        self.addCleanup(os.environ.update, saved)
        self.addCleanup(os.environ.pop, 'XDG_CONFIG_HOME', None)
        read_fd, write_fd = os.pipe()
        out_read, out_write = os.pipe()
        srv = server.Server(Connection(read_fd, out_write), server.Log())

        def send(*messages):
            os.write(write_fd, ''.join('Content-Length: %d\r\n\r\n%s' % (len(b), b)
                                       for b in map(json.dumps, messages)))
        library = os.path.dirname(os.__file__)
        send({'jsonrpc': '2.0', 'id': 1, 'method': 'initialize',
              'params': {'rootUri': 'file://' + library}},
             {'jsonrpc': '2.0', 'id': 2, 'method': 'workspace/symbol',
              'params': {'query': 'Decimal'}})

        def later():
            send({'jsonrpc': '2.0', 'method': '$/cancelRequest', 'params': {'id': 2}},
                 {'jsonrpc': '2.0', 'id': 3, 'method': 'shutdown'},
                 {'jsonrpc': '2.0', 'method': 'exit'})
            os.close(write_fd)
        timer = threading.Timer(0.5, later)
        timer.start()
        self.assertEqual(srv.run(), 0)
        timer.join()
        by_id = answers_by_id(out_read, out_write)
        self.assertEqual(by_id[2]['error']['code'], -32800)
        self.assertIn('result', by_id[3])
        self.assertGreater(len(srv.workspace.entries), 0)
        self.assertGreater(len(srv.workspace.pending), 0)
        for fd in (read_fd, out_read):
            os.close(fd)

    def test_messages_split_and_malformed(self):
        read_fd, write_fd = os.pipe()
        out_read, out_write = os.pipe()
        conn = Connection(read_fd, out_write)
        body = json.dumps({'jsonrpc': '2.0', 'method': 'x'})
        data = ('Content-Length: %d\r\nContent-Type: x\r\n\r\n%s' % (len(body), body)
                + 'Bogus: 1\r\n\r\n' + 'Content-Length: 2\r\n\r\n{}')
        os.write(write_fd, data[:10])
        self.assertFalse(conn.waiting())
        os.write(write_fd, data[10:])
        os.close(write_fd)
        self.assertEqual(conn.read(), body)
        from vornlsp.jsonrpc import FramingError
        self.assertRaises(FramingError, conn.read)
        self.assertEqual(conn.read(), '{}')
        self.assertEqual(conn.read(), None)
        conn.write({'a': u'\xe9'})
        self.assertEqual(os.read(out_read, 100), 'Content-Length: 14\r\n\r\n{"a":"\\u00e9"}')
        for fd in (read_fd, out_read, out_write):
            os.close(fd)


QUESTIONS = u'''\
import os.path
from collections import deque
import Queue

class Base(object):
    def base_method(self):
        """Does the base thing."""
        self.base_attr = 1

class Child(Base):
    """A child."""
    kind = 3
    def __init__(self, size, fill=None):
        self.size = size
        self.items = deque()
        local = Child(1)
        x = self.
        y = local.
        z = Queue.
        siz

def top(a, b=2):
    """Top."""
    return a
'''


class Questions(Edits):
    def position(self, line, character):
        return {'line': line, 'character': character}

    def labels(self, doc, line, character):
        from vornlsp import answers
        return [i['label'] for i in answers.completion(doc, self.position(line, character))]

    def test_completion(self):
        # Typed into the document, so the answers come from the incremental state.
        doc = self.open(u'')
        doc.replace({'text': QUESTIONS})
        # The class's own members and those inherited from Base.
        members = ['__init__', 'base_attr', 'base_method', 'items', 'kind', 'size']
        self.assertEqual(self.labels(doc, 16, 17), members)           # self.
        self.assertEqual(self.labels(doc, 17, 18), members)           # local = Child(1)
        self.assertIn('Queue', self.labels(doc, 18, 18))              # a module's names
        self.assertIn('Empty', self.labels(doc, 18, 18))
        self.assertEqual(self.labels(doc, 19, 11), ['size'])          # locals first
        names = self.labels(doc, 19, 8)
        for name in ('local', 'self', 'size', 'fill', 'Base', 'top', 'deque', 'os', 'len'):
            self.assertIn(name, names)
        self.assertNotIn('self.size', names)
        self.assertNotIn('a', names)                                  # top's parameter

    def test_hover_and_definition(self):
        from vornlsp import answers
        doc = self.open(QUESTIONS)
        hover = answers.hover(doc, self.position(9, 7))['contents']['value']
        self.assertEqual(hover, '```python\nclass Child(Base)\n```\n\nA child.')
        hover = answers.hover(doc, self.position(21, 5))['contents']['value']
        self.assertEqual(hover, '```python\ndef top(a, b=2)\n```\n\nTop.')
        self.assertEqual(answers.hover(doc, self.position(15, 9))['contents']['value'],
                         'local: Child(1)')
        self.assertIsNone(answers.hover(doc, self.position(22, 6)))   # "return"

        def where(line, character):
            return [(l['uri'].rpartition('/')[2], l['range']['start']['line'],
                     l['range']['start']['character'])
                    for l in answers.definition(doc, self.position(line, character),
                                                server.uri_for_path)]
        self.assertEqual(where(14, 15), [('edited.py', 14, 13)])      # self.items
        self.assertEqual(where(15, 19), [('edited.py', 9, 6)])        # Child
        self.assertEqual(where(13, 21), [('edited.py', 12, 23)])      # a parameter
        self.assertEqual(where(2, 9), [('Queue.py', 0, 0)])           # a module
        line = [n for n, text in enumerate(open(os.path.join(os.path.dirname(os.__file__),
                                                             'collections.py')))
                if 'import deque' in text][0]
        self.assertEqual(where(14, 22), [('collections.py', line, 0)])  # an imported name

    def test_references_highlights_and_signatures(self):
        from vornlsp import answers
        doc = self.open(QUESTIONS)
        uri = server.uri_for_path

        def marks(line, character):
            return [(h['range']['start']['line'], h['range']['start']['character'], h['kind'])
                    for h in answers.highlights(doc, self.position(line, character), uri)]
        # A parameter: its def and its use, not the attribute of the same name.
        self.assertEqual(marks(13, 20), [(12, 23, 3), (13, 20, 2)])
        # A class: its def and its use inside a method; a builtin has no definition.
        self.assertEqual(marks(15, 16), [(9, 6, 3), (15, 16, 2)])
        refs = answers.references([doc], doc, self.position(15, 16), uri, False)
        self.assertEqual([r['range']['start']['line'] for r in refs], [15])
        # Typing a call: the def's parameters, self left out of a bound method.
        doc.replace({'range': {'start': self.position(19, 11), 'end': self.position(19, 11)},
                     'text': u'e + top(1, local.base_method())'})
        help = answers.signature_help(doc, self.position(19, 21))
        self.assertEqual((help['signatures'][0]['label'], help['activeParameter']),
                         ('top(a, b=2)', 1))
        self.assertEqual(help['signatures'][0]['documentation'], 'Top.')
        help = answers.signature_help(doc, self.position(19, 40))
        self.assertEqual(help['signatures'][0]['label'], 'base_method()')
        self.assertIsNone(answers.signature_help(doc, self.position(19, 10)))

    def test_base_class_in_another_document(self):
        # Members inherited from a module of the folder: read from its file, then from its
        # open document as edited, then from its file again once closed.
        import shutil
        import tempfile
        # The same folder each run: URIs are parsed through urlparse's cache.
        folder = os.path.join(tempfile.gettempdir(), 'vorn-lsp-bases-%d' % os.getpid())
        os.mkdir(folder)
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, 'basemod.py'), 'w') as f:
            f.write('class Base(object):\n    def base_method(self): pass\n')
        doc = self.open(u'from basemod import Base\nclass C(Base):\n    def m(self):\n'
                        u'        self.\n', server.uri_for_path(os.path.join(folder, 'a.py')))
        self.assertEqual(self.labels(doc, 3, 13), ['base_method', 'm'])
        base = self.open(u'class Base(object):\n    def base_method(self): pass\n'
                         u'    def typed(self): pass\n',
                         server.uri_for_path(os.path.join(folder, 'basemod.py')))
        self.assertEqual(self.labels(doc, 3, 13), ['base_method', 'm', 'typed'])
        self.documents.remove(base)
        base.close()
        self.assertEqual(self.labels(doc, 3, 13), ['base_method', 'm'])
