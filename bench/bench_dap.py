"""vorn dap as an editor drives it, over standard input and output:

  - the step round trip: `next`, its `stopped` event, then stackTrace + scopes + variables as
    an editor sends them (median and p90 of 200);
  - 1,000 breakpoint hits, each answered with `continue`, in all;
  - a program running freely with 100 breakpoints set elsewhere (in a module it never calls),
    its own timing of its work against the same under `vorn debug` (breakpoints from a command
    file) and untraced;
  - `pause` of a CPU-bound loop: request to `stopped` (median and max of 10).

    python2.7 bench/bench_dap.py [--build DIR]
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON = '/usr/bin/python2.7'

STEPPING = '''
def work():
    total = 0
    for i in range(100000):
        total += i
        total -= 1
        total += 2
    return total
work()
'''
HITS = '''
def hit(i):
    return i * 2
for i in range(1000):
    hit(i)
'''
FREE = '''
import time
import elsewhere
def work(n):
    count = 0
    for i in xrange(n):
        count += i %% 7
    return count
start = time.time()
for _ in range(%d):
    work(100000)
print 'work %%.6f' %% (time.time() - start)
'''
ELSEWHERE = ''.join('def f%d(x):\n    return x + %d\n' % (i, i) for i in range(120))
SPIN = '''
import time
end = time.time() + 60
def spin():
    x = 0
    for i in xrange(100000):
        x += i
    return x
while time.time() < end:
    spin()
'''


class Client(object):
    def __init__(self, vorn):
        self.proc = subprocess.Popen([vorn, 'dap'], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
        self.seq = 0
        self.events = []

    def send(self, command, arguments=None):
        self.seq += 1
        body = json.dumps({'type': 'request', 'seq': self.seq, 'command': command,
                           'arguments': arguments or {}})
        self.proc.stdin.write('Content-Length: %d\r\n\r\n%s' % (len(body), body))
        self.proc.stdin.flush()
        return self.seq

    def read(self):
        out = self.proc.stdout
        length = None
        while True:
            line = out.readline()
            if line in ('\r\n', ''):
                break
            if line.lower().startswith('content-length:'):
                length = int(line.split(':')[1])
        return json.loads(out.read(length))

    def request(self, command, arguments=None):
        seq = self.send(command, arguments)
        while True:
            message = self.read()
            if message.get('type') == 'response' and message.get('request_seq') == seq:
                if not message.get('success'):
                    raise RuntimeError('%s: %s' % (command, message.get('message')))
                return message.get('body') or {}
            self.events.append(message)

    def event(self, name):
        for i, message in enumerate(self.events):
            if message.get('event') == name:
                return self.events.pop(i)
        while True:
            message = self.read()
            if message.get('type') == 'event' and message.get('event') == name:
                return message
            self.events.append(message)

    def start(self, program, breakpoints=(), function=None):
        self.request('initialize', {'adapterID': 'vorn'})
        self.request('launch', {'program': program, 'python': PYTHON})
        self.event('initialized')
        by_file = {}
        for path, line in breakpoints:
            by_file.setdefault(path, []).append({'line': line})
        for path, lines in by_file.items():
            self.request('setBreakpoints', {'source': {'path': path}, 'breakpoints': lines})
        self.request('configurationDone')

    def close(self):
        try:
            self.request('disconnect', {'terminateDebuggee': True})
        except (RuntimeError, ValueError, IOError):
            pass
        self.proc.stdin.close()
        self.proc.wait()


def median(values):
    values = sorted(values)
    return values[len(values) // 2]


def write(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, 'w') as f:
        f.write(text)
    return path


def step_round_trip(vorn, folder):
    program = write(folder, 'stepping.py', STEPPING)
    client = Client(vorn)
    client.start(program, [(program, 4)])
    thread = client.event('stopped')['body']['threadId']
    times = []
    for _ in range(200):
        started = time.time()
        client.send('next', {'threadId': thread})
        client.event('stopped')
        frames = client.request('stackTrace', {'threadId': thread, 'startFrame': 0,
                                               'levels': 20})['stackFrames']
        scopes = client.request('scopes', {'frameId': frames[0]['id']})['scopes']
        client.request('variables', {'variablesReference': scopes[0]['variablesReference']})
        times.append(time.time() - started)
    client.close()
    times.sort()
    return median(times), times[int(len(times) * 0.9)]


def breakpoint_hits(vorn, folder):
    program = write(folder, 'hits.py', HITS)
    client = Client(vorn)
    started = time.time()
    client.start(program, [(program, 3)])
    for _ in range(1000):
        thread = client.event('stopped')['body']['threadId']
        client.send('continue', {'threadId': thread})
    client.event('exited')
    elapsed = time.time() - started
    client.close()
    return elapsed


def work_time(text):
    for line in text.splitlines():
        if line.startswith('work '):
            return float(line.split()[1])
    raise RuntimeError('no timing in %r' % text)


def free_run(vorn, folder, rounds):
    elsewhere = write(folder, 'elsewhere.py', ELSEWHERE)
    program = write(folder, 'free.py', FREE % rounds)
    breakpoints = [(elsewhere, 2 * i + 2) for i in range(100)]
    client = Client(vorn)
    client.start(program, breakpoints)
    output = []
    while True:
        message = client.read()
        if message.get('event') == 'output':
            output.append(message['body']['output'])
        if message.get('event') == 'exited':
            break
    client.close()
    dap = work_time(''.join(output))
    commands = write(folder, 'free.cmds', ''.join('b %s:%d\n' % b for b in breakpoints) +
                     'c\n')
    debug = subprocess.Popen([vorn, 'debug', '--python', PYTHON, '--commands', commands,
                              program], stdin=open(os.devnull), stdout=subprocess.PIPE)
    terminal = work_time(debug.communicate()[0])
    plain = work_time(subprocess.check_output([PYTHON, program]))
    return dap, terminal, plain


def pause_latency(vorn, folder):
    program = write(folder, 'spin.py', SPIN)
    client = Client(vorn)
    client.start(program)
    times = []
    time.sleep(0.3)
    for _ in range(10):
        started = time.time()
        client.send('pause', {'threadId': 0})
        thread = client.event('stopped')['body']['threadId']
        times.append(time.time() - started)
        client.request('continue', {'threadId': thread})
        time.sleep(0.1)
    client.close()
    return median(times), max(times)


def main(argv):
    build = os.path.join(HERE, '..', 'build')
    if argv[:1] == ['--build']:
        build = argv[1]
    vorn = os.path.join(build, 'install', 'bin', 'vorn')
    folder = tempfile.mkdtemp(prefix='bench_dap')
    try:
        med, p90 = step_round_trip(vorn, folder)
        print 'step round trip (next, stopped, stackTrace, scopes, variables): ' \
            'median %.2f ms, p90 %.2f ms' % (med * 1000, p90 * 1000)
        print '1,000 breakpoint hits with continue: %.2f s in all' % breakpoint_hits(vorn, folder)
        dap, terminal, plain = free_run(vorn, folder, 30)
        print 'free run, 100 breakpoints elsewhere: vorn dap %.3f s, vorn debug %.3f s ' \
            '(ratio %.2f), untraced %.3f s (vorn dap / untraced %.2f)' % (
                dap, terminal, dap / terminal, plain, dap / plain)
        med, worst = pause_latency(vorn, folder)
        print 'pause of a CPU-bound loop: median %.1f ms, max %.1f ms' % (med * 1000,
                                                                        worst * 1000)
    finally:
        shutil.rmtree(folder)


if __name__ == '__main__':
    main(sys.argv[1:])
