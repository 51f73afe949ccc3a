"""vorn lsp on decimal.py: didOpen to the documentSymbol answer, and a one-character edit
followed by a completion request (median and p90 of 50), each beside vorn analyze's cut of
the same file in this process for scale; workspace/symbol over the standard library the
first time (every file read and its symbols stored) and from the stored symbols (a new
server), beside each other; the server's memory with the standard library indexed and
decimal.py open, beside a server that has only started.

    python2.7 bench/bench_lsp.py [--build DIR]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


class Client(object):
    def __init__(self, vorn, env=None):
        self.proc = subprocess.Popen([vorn, 'lsp'], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env)
        self.next_id = 0

    def send(self, method, params, request=True):
        message = {'jsonrpc': '2.0', 'method': method, 'params': params}
        if request:
            self.next_id += 1
            message['id'] = self.next_id
        body = json.dumps(message)
        self.proc.stdin.write('Content-Length: %d\r\n\r\n%s' % (len(body), body))
        self.proc.stdin.flush()
        if request:
            return self.answer(self.next_id)

    def answer(self, msg_id):
        out = self.proc.stdout
        while True:
            length = None
            while True:
                line = out.readline()
                if line in ('\r\n', ''):
                    break
                if line.lower().startswith('content-length:'):
                    length = int(line.split(':')[1])
            message = json.loads(out.read(length))
            if message.get('id') == msg_id:
                return message

    def memory(self):
        """The server's resident memory, in MB."""
        with open('/proc/%d/status' % self.proc.pid) as f:
            for line in f:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1]) / 1024.0
        return 0.0

    def close(self):
        self.send('shutdown', None)
        self.send('exit', None, request=False)
        self.proc.wait()


def main(argv):
    build = os.path.join(HERE, '..', 'build')
    if argv[:1] == ['--build']:
        build = argv[1]
    vorn = os.path.join(build, 'install', 'bin', 'vorn')
    source = open(os.path.join(os.path.dirname(os.__file__), 'decimal.py')).read()
    uri = 'file:///tmp/bench/decimal.py'
    client = Client(vorn)
    client.send('initialize', {'capabilities': {}})
    started = time.time()
    client.send('textDocument/didOpen', {'textDocument': {
        'uri': uri, 'languageId': 'python', 'version': 1, 'text': source}}, request=False)
    symbols = client.send('textDocument/documentSymbol', {'textDocument': {'uri': uri}})
    opened = time.time() - started
    assert symbols['result']
    lines = source.splitlines()
    target = [i for i, l in enumerate(lines) if l.startswith('        return self.')][0]
    dot = lines[target].index('self.') + 5
    times = []
    for n in range(50):
        # Type an "x" at the start of the statement, then take it away again.
        at = {'line': target, 'character': 8}
        after = {'line': target, 'character': 9}
        change = ({'range': {'start': at, 'end': at}, 'text': 'x'} if n % 2 == 0
                  else {'range': {'start': at, 'end': after}, 'text': ''})
        started = time.time()
        client.send('textDocument/didChange', {
            'textDocument': {'uri': uri, 'version': n + 2}, 'contentChanges': [change]},
            request=False)
        answer = client.send('textDocument/completion', {
            'textDocument': {'uri': uri},
            'position': {'line': target, 'character': dot + (1 if n % 2 == 0 else 0)}})
        times.append(time.time() - started)
        assert answer['result']['items'], answer
    client.close()
    times.sort()
    sys.path[:0] = [os.path.join(build, 'python'), os.path.join(HERE, '..', 'ide')]
    from vornide import logicallines
    started = time.time()
    logicallines.cut_logical_lines(source)
    cut = time.time() - started
    print('vorn lsp on decimal.py (%d lines):' % len(lines))
    print('  didOpen to documentSymbol: %.1f ms (%.2f x one cut of the file, %.1f ms)'
          % (opened * 1000, opened / cut, cut * 1000))
    print('  one-character edit + completion: median %.1f ms, p90 %.1f ms (p90 %.3f x a cut)'
          % (times[len(times) // 2] * 1000, times[int(len(times) * 0.9)] * 1000,
             times[int(len(times) * 0.9)] / cut))
    workspace_symbols(vorn, source, uri)


def workspace_symbols(vorn, source, uri):
    """workspace/symbol over the standard library: first, again in the same server, and
    from the stored symbols in a new server; then the server's memory."""
    library = os.path.dirname(os.__file__)
    config = tempfile.mkdtemp()
    env = dict(os.environ, XDG_CONFIG_HOME=config)
    try:
        client = Client(vorn, env)
        client.send('initialize', {'capabilities': {}, 'rootUri': 'file://' + library})
        started_memory = client.memory()
        client.send('textDocument/didOpen', {'textDocument': {
            'uri': uri, 'languageId': 'python', 'version': 1, 'text': source}}, request=False)
        timings = []
        for _ in range(2):
            started = time.time()
            answer = client.send('workspace/symbol', {'query': 'Decimal'})
            timings.append(time.time() - started)
            assert answer['result'], answer
        memory = client.memory()
        client.close()
        client = Client(vorn, env)
        client.send('initialize', {'capabilities': {}, 'rootUri': 'file://' + library})
        started = time.time()
        stored = client.send('workspace/symbol', {'query': 'Decimal'})
        restored = time.time() - started
        client.close()
        assert stored['result'] == answer['result'] or len(stored['result']) > 0
    finally:
        shutil.rmtree(config)
    files = sum(len([n for n in names if n.endswith('.py')])
                for _, _, names in os.walk(library))
    print('workspace/symbol over the standard library (%d files, %d symbols match "Decimal"):'
          % (files, len(answer['result'])))
    print('  first: %.2f s; again in the same server: %.3f s; a new server from the stored '
          'symbols: %.2f s (%.3f x the first)' % (timings[0], timings[1], restored,
                                                 restored / timings[0]))
    print('  server memory with the library indexed and decimal.py open: %.0f MB '
          '(%.1f x the %.0f MB of a server just started)'
          % (memory, memory / started_memory, started_memory))


if __name__ == '__main__':
    main(sys.argv[1:])
