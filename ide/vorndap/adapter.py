"""`vorn dap`: the debug adapter, in the installation's runtime.

It speaks DAP with the editor (standard input and output, or one TCP connection with
--listen), starts the program under the user's interpreter with the debugger loaded
(`vornrun.py --connect`, as `vorn debug` starts it) or connects to one waiting with
`vorn debug --listen`, and relays: the requests about the program go to the front end in the
program's process (vorndap.session), its answers and events come back; the program's standard
output and error, read from pipes, become `output` events. Nothing else is written to standard
output.
"""
import codecs
import errno
import fcntl
import json
import os
import select
import signal
import socket
import subprocess
import sys
import time

import vornrun
import vornwire
from vorndap import session as wire

HELP = """usage: vorn dap [--listen [HOST:]PORT] [--token SECRET] [--log FILE]

Runs the debug adapter: the Debug Adapter Protocol on standard input and output, as an editor
starts it, or with --listen for one session over TCP (HOST is 127.0.0.1 unless another is
named; the session's launch or attach request must then carry "adapterToken": the secret of
--token, else of $%s, else one made up and printed on standard error).

options:
  --listen [HOST:]PORT  serve one session on a TCP port instead of standard input and output
  --token SECRET        the secret a --listen session must present
  --log FILE            append a log of the messages and of what the adapter did to FILE
  -h, --help            show this help
""" % wire.TOKEN_VARIABLE

# Requests answered by the front end in the program's process.
RELAYED = ('setBreakpoints', 'setFunctionBreakpoints', 'setExceptionBreakpoints',
           'configurationDone', 'threads', 'stackTrace', 'scopes', 'variables', 'setVariable',
           'evaluate', 'exceptionInfo', 'continue', 'next', 'stepIn', 'stepOut', 'pause',
           'source', 'loadedSources', 'modules')
CAPABILITIES = {
    'supportsConfigurationDoneRequest': True,
    'supportsFunctionBreakpoints': True,
    'supportsConditionalBreakpoints': True,
    'supportsHitConditionalBreakpoints': True,
    'supportsLogPoints': True,
    'supportsEvaluateForHovers': True,
    'supportsSetVariable': True,
    'supportsExceptionInfoRequest': True,
    'supportsExceptionFilterOptions': True,
    'supportsLoadedSourcesRequest': True,
    'supportsModulesRequest': True,
    'supportsTerminateRequest': True,
    'supportTerminateDebuggee': True,
    'supportsDelayedStackTraceLoading': True,
    'exceptionBreakpointFilters': [
        {'filter': 'raised', 'label': 'Raised Exceptions', 'default': False,
         'supportsCondition': True,
         'conditionDescription': 'exception types, e.g. "ValueError, KeyError"'},
        {'filter': 'uncaught', 'label': 'Uncaught Exceptions', 'default': True,
         'supportsCondition': True,
         'conditionDescription': 'exception types, e.g. "ValueError, KeyError"'},
    ],
}
# How long the program may take to connect after it was started, and to end when asked.
CONNECT_TIMEOUT = 30.0
END_TIMEOUT = 2.0


class Refused(Exception):
    """A launch or attach that cannot go on; the text says why."""


def nonblocking(fd):
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


class Adapter(wire.Messages):
    def __init__(self, in_fd, out_fd, log, adapter_token=None):
        self.in_fd, self.out_fd = in_fd, out_fd
        self.log = log
        self.adapter_token = adapter_token
        self.client = vornwire.Reader()
        self.seq = 0
        self.client_args = {}
        self.done = False
        self.request = None           # the launch or attach request being answered
        self.attaching = False
        self.server = None            # where the program connects
        self.token = None
        self.program = None           # the connection to the program's front end
        self.unverified = []          # connections that have not presented the secret yet
        self.queued = []              # requests that came before the program connected
        self.child = None
        self.pid = None
        self.pipes = {}               # fd -> [category, decoder]
        self.exit_code = None         # as the program's front end reported it
        self.ended = False
        self.detached = False
        self.disconnect_request = None
        self.deadlines = {}           # name -> (time, function)
        self.reverse = {}             # seq of our requests to the client -> handler

    # -- the client --------------------------------------------------------------------------

    def send(self, message):
        self.seq += 1
        message['seq'] = self.seq
        self.log('-> %s' % json.dumps(message)[:300])
        try:
            vornwire.write_all(self.out_fd, vornwire.frame(message))
        except OSError:
            self.client_gone()
        return self.seq

    def fail(self, request, text):
        """An error response, and the same text where the user reads the program's output."""
        self.event('output', {'category': 'stderr', 'output': 'vorn dap: %s\n' % text})
        self.respond(request, error=text)

    def client_input(self):
        data = vornwire.read_some(self.in_fd)
        if not data:
            self.log('the client has gone')
            self.client_gone()
            return
        self.client.feed(data)
        while not self.done:
            try:
                body = self.client.next_body()
            except vornwire.FramingError, e:
                self.log('skipped: %s' % e)
                continue
            if body is None:
                return
            self.log('<- %s' % body[:300])
            try:
                message = json.loads(body)
            except ValueError, e:
                self.log('skipped a message that is not JSON: %s' % e)
                self.event('output', {'category': 'console',
                                      'output': 'vorn dap: skipped a malformed message\n'})
                continue
            self.client_message(message)

    def client_message(self, message):
        if not isinstance(message, dict):
            self.log('skipped a message that is not an object')
            return
        kind = message.get('type')
        if kind == 'response':
            handler = self.reverse.pop(message.get('request_seq'), None)
            if handler is not None:
                handler(message)
            return
        command = message.get('command')
        if kind != 'request' or not isinstance(command, basestring) or \
                not isinstance(message.get('seq'), (int, long)):
            self.log('skipped a message that is no request: %r' % (message,))
            if isinstance(message.get('seq'), (int, long)):
                self.respond(message, error='not a request')
            return
        arguments = message.get('arguments')
        if arguments is not None and not isinstance(arguments, dict):
            self.respond(message, error='the arguments of %s are not an object' % command)
            return
        handler = getattr(self, 'do_' + command, None)
        try:
            if handler is not None:
                handler(message, arguments or {})
            elif command in RELAYED:
                self.relay(message)
            else:
                self.respond(message, error='unknown request %s' % command)
        except Refused, e:
            self.fail(message, str(e))

    def client_gone(self):
        if not self.done:
            self.done = True
            self.end_program(kill=not self.detached)

    # -- requests the adapter answers itself -------------------------------------------------

    def do_initialize(self, request, arguments):
        self.client_args = arguments
        self.respond(request, CAPABILITIES)

    def check_adapter_token(self, arguments):
        if self.adapter_token is not None and \
                not wire.same_secret(arguments.get('adapterToken'), self.adapter_token):
            self.log('refused a session without the adapter\'s secret')
            raise Refused('this adapter needs its secret ("adapterToken")')

    def do_launch(self, request, arguments):
        self.check_adapter_token(arguments)
        if self.request is not None or self.program is not None or self.child is not None:
            raise Refused('a program is being debugged already')
        program = arguments.get('program')
        if not isinstance(program, basestring) or not program:
            raise Refused('launch needs "program", the file to run')
        args = arguments.get('args') or []
        if not isinstance(args, list) or not all(isinstance(a, basestring) for a in args):
            raise Refused('"args" must be a list of strings')
        cwd = arguments.get('cwd') or os.getcwd()
        if not isinstance(cwd, basestring) or not os.path.isdir(cwd):
            raise Refused('no folder %s ("cwd")' % (cwd,))
        cwd = cwd.encode('utf-8') if isinstance(cwd, unicode) else cwd
        program = program.encode('utf-8') if isinstance(program, unicode) else program
        program = os.path.join(cwd, program)
        if not os.path.isfile(program):
            raise Refused('no program %s' % program)
        self.check_compiles(program)
        env = dict(os.environ)
        extra = arguments.get('env') or {}
        if not isinstance(extra, dict):
            raise Refused('"env" must be an object')
        for name, value in extra.items():
            name = name.encode('utf-8')
            if value is None:
                env.pop(name, None)
            else:
                env[name] = unicode(value).encode('utf-8')
        python = arguments.get('python')
        if python is not None and not isinstance(python, basestring):
            raise Refused('"python" must be a string')
        python = self.interpreter(python and python.encode('utf-8'), env)
        console = arguments.get('console') or 'internalConsole'
        self.token = wire.new_token()
        self.server = wire.listening_socket(('127.0.0.1', 0))
        address = '127.0.0.1:%d' % self.server.getsockname()[1]
        command = [python, '-u', os.path.join(vornrun.bin_folder(), 'vornrun.py'), '--connect',
                   address, '--', program] + [a.encode('utf-8') for a in args]
        self.request = request
        self.set_deadline('connect', CONNECT_TIMEOUT, self.connect_timeout)
        if console in ('integratedTerminal', 'externalTerminal') and \
                self.client_args.get('supportsRunInTerminalRequest'):
            self.run_in_terminal(console, command, cwd, extra)
            return
        if console not in ('internalConsole', 'integratedTerminal', 'externalTerminal'):
            raise Refused('"console" is internalConsole, integratedTerminal or '
                          'externalTerminal')
        env[wire.TOKEN_VARIABLE] = self.token
        with open(os.devnull) as nothing:
            self.child = subprocess.Popen(command, cwd=cwd, env=env, stdin=nothing,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          close_fds=True, preexec_fn=os.setpgrp)
        self.pid = self.child.pid
        self.log('started %r, pid %d' % (command, self.pid))
        for stream, category in ((self.child.stdout, 'stdout'), (self.child.stderr, 'stderr')):
            nonblocking(stream.fileno())
            self.pipes[stream.fileno()] = [category, codecs.getincrementaldecoder('utf-8')(
                'replace'), stream]

    def check_compiles(self, program):
        try:
            with open(program) as f:
                compile(f.read() + '\n', program, 'exec')
        except SyntaxError, e:
            raise Refused('%s does not compile: %s (line %s)' % (program, e.msg, e.lineno))
        except (IOError, TypeError, ValueError), e:
            raise Refused('%s cannot be read: %s' % (program, e))

    def interpreter(self, requested, env):
        try:
            python = vornrun.choose_interpreter(requested, env)
            found = vornrun.differences(vornrun.probe(python, env))
        except vornrun.Refused, e:
            raise Refused(str(e))
        if found:
            raise Refused('%s cannot run the debugger: %s' % (python, '; '.join(found)))
        return python

    def run_in_terminal(self, console, command, cwd, extra):
        env = dict((k, v) for k, v in extra.items())
        env[wire.TOKEN_VARIABLE] = self.token
        arguments = {'kind': 'integrated' if console == 'integratedTerminal' else 'external',
                     'title': 'vorn: %s' % os.path.basename(command[5]), 'cwd': cwd,
                     'args': command, 'env': env}
        def answered(response):
            if not response.get('success') and self.request is not None:
                request, self.request = self.request, None
                self.drop_deadline('connect')
                self.fail(request, 'the terminal could not start the program: %s'
                          % response.get('message'))
        seq = self.send({'type': 'request', 'command': 'runInTerminal', 'arguments': arguments})
        self.reverse[seq] = answered

    def do_attach(self, request, arguments):
        self.check_adapter_token(arguments)
        if self.request is not None or self.program is not None or self.child is not None:
            raise Refused('a program is being debugged already')
        host = arguments.get('host') or '127.0.0.1'
        port = arguments.get('port')
        if not isinstance(port, (int, long)) or isinstance(port, bool):
            raise Refused('attach needs "port", where vorn debug --listen waits')
        token = arguments.get('token') or os.environ.get(wire.TOKEN_VARIABLE)
        if not token:
            raise Refused('attach needs the secret the program was given ("token", or '
                          '$%s)' % wire.TOKEN_VARIABLE)
        try:
            channel = wire.connect((str(host), port), str(token))
        except (socket.error, wire.Closed), e:
            raise Refused('no debugger waiting at %s:%s that takes this secret (%s)'
                          % (host, port, e or 'refused'))
        self.attaching = True
        self.request = request
        self.connected(channel)

    def do_disconnect(self, request, arguments):
        terminate = arguments.get('terminateDebuggee')
        if terminate is None:
            terminate = not self.attaching
        if self.program is None or self.ended:
            self.end_program(kill=bool(terminate))
            self.respond(request)
            self.done = True
            return
        self.disconnect_request = request
        self.detached = not terminate
        self.relay({'type': 'request', 'seq': request['seq'], 'command': 'disconnect',
                    'arguments': {'terminateDebuggee': bool(terminate)}})
        self.set_deadline('end', END_TIMEOUT, self.finish_disconnect)

    def finish_disconnect(self):
        request, self.disconnect_request = self.disconnect_request, None
        if request is None:
            return
        self.drop_deadline('end')
        self.end_program(kill=not self.detached)
        self.respond(request)
        self.done = True

    def do_terminate(self, request, arguments):
        if self.program is None or self.ended:
            self.end_program(kill=True)
            self.respond(request)
            return
        self.relay(request)
        self.set_deadline('end', END_TIMEOUT, lambda: self.end_program(kill=True))

    # -- the program -------------------------------------------------------------------------

    def relay(self, request):
        if self.ended:
            self.respond(request, error='the program has ended')
        elif self.program is None:
            if self.request is None:
                self.respond(request, error='no program: launch or attach first')
            else:
                self.queued.append(request)
        else:
            try:
                self.program.send(request)
            except socket.error:
                self.program_closed()

    def accept(self):
        sock, peer = self.server.accept()
        sock.settimeout(wire.HELLO_TIMEOUT)
        self.unverified.append((wire.Channel(sock), time.time() + wire.HELLO_TIMEOUT))

    def verify(self, channel):
        """A connection to the adapter's port presents the secret before anything else."""
        self.unverified = [(c, t) for c, t in self.unverified if c is not channel]
        try:
            hello = channel.read(0.1)
        except (wire.Closed, socket.error):
            hello = None
        if hello and hello.get('type') == 'hello' and \
                wire.same_secret(hello.get('token'), self.token):
            channel.send({'type': 'hello', 'ok': True})
            self.server.close()
            self.server = None
            for other, _ in self.unverified:
                other.close()
            self.unverified = []
            self.connected(channel)
            return
        self.log('refused a connection without the secret')
        sys.stderr.write('vorn dap: refused a connection without the secret\n')
        channel.close()

    def connected(self, channel):
        channel.sock.settimeout(None)
        self.program = channel
        self.drop_deadline('connect')
        request = self.request
        self.log('the program connected')
        self.program.send(request)

    def program_input(self):
        try:
            self.program.fill(0)
        except (wire.Closed, socket.error):
            self.program_closed()
            return
        while self.program is not None:
            message = self.program.next_message()
            if message is None:
                return
            kind = message.get('type')
            self.drain_output()
            if kind == 'event' and message.get('event') == 'vornExit':
                self.exit_code = (message.get('body') or {}).get('exitCode')
                continue
            if kind == 'event' and message.get('event') == 'process':
                body = message.get('body') or {}
                if self.pid is None:
                    self.pid = body.get('systemProcessId')
            self.send(message)
            if kind == 'response':
                self.program_answered(message)

    def program_answered(self, response):
        command = response.get('command')
        if command in ('launch', 'attach') and self.request is not None:
            self.request = None
            if response.get('success'):
                self.event('initialized')
            queued, self.queued = self.queued, []
            for request in queued:
                self.relay(request)
        elif command == 'disconnect':
            pass

    def program_closed(self):
        if self.program is not None:
            self.program.close()
            self.program = None
        self.log('the program\'s connection closed')
        if self.disconnect_request is not None and self.detached:
            self.finish_disconnect()
            return
        self.set_deadline('end', END_TIMEOUT, lambda: self.end_program(kill=True))
        self.check_ended()

    def connect_timeout(self):
        if self.request is not None:
            request, self.request = self.request, None
            self.fail(request, 'the program did not connect to the adapter')
            self.end_program(kill=True)

    def output(self, fd):
        entry = self.pipes.get(fd)
        if entry is None:
            return
        category, decoder, stream = entry
        try:
            data = os.read(fd, 65536)
        except OSError, e:
            if e.errno in (errno.EAGAIN, errno.EINTR):
                return
            data = ''
        text = decoder.decode(data, not data)
        if text:
            self.event('output', {'category': category, 'output': text})
        if not data:
            del self.pipes[fd]
            stream.close()
            self.check_ended()

    def drain_output(self):
        """Everything the program wrote before its last message reaches the client first."""
        for fd in list(self.pipes):
            while fd in self.pipes:
                try:
                    ready = select.select([fd], [], [], 0)[0]
                except select.error:
                    break
                if not ready:
                    break
                self.output(fd)

    def check_ended(self):
        """Once the program has ended (its process reaped and its connection closed), the
        client hears of it: exited with its status, then terminated."""
        if self.ended or self.program is not None:
            return
        code = self.exit_code
        if self.child is not None:
            status = self.child.poll()
            if status is None:
                self.set_deadline('poll', 0.05, self.check_ended)
                return
            code = status if status >= 0 else 128 - status
            self.drain_output()
        self.ended = True
        self.drop_deadline('end')
        if self.request is not None:
            request, self.request = self.request, None
            self.fail(request, 'the program ended before the debugger started (status %s)'
                      % code)
        if code is not None:
            self.event('exited', {'exitCode': code})
        self.event('terminated')
        if self.disconnect_request is not None:
            self.finish_disconnect()

    def end_program(self, kill):
        """Ends the debugging of the program: kills its process when asked (its process
        group, when the adapter started it), else lets it run on."""
        if kill and not self.ended:
            if self.child is not None and self.child.poll() is None:
                try:
                    os.killpg(self.child.pid, signal.SIGKILL)
                except OSError:
                    pass
            elif self.child is None and self.pid:
                try:
                    os.kill(self.pid, signal.SIGKILL)
                except OSError:
                    pass
        if self.program is not None:
            self.program.close()
            self.program = None
        if self.child is not None and kill:
            self.child.wait()
            self.drain_output()
        self.check_ended()

    # -- the loop ----------------------------------------------------------------------------

    def set_deadline(self, name, delay, function):
        self.deadlines[name] = (time.time() + delay, function)

    def drop_deadline(self, name):
        self.deadlines.pop(name, None)

    def run(self):
        while not self.done:
            readers = [self.in_fd] + list(self.pipes)
            if self.program is not None:
                readers.append(self.program.sock)
            if self.server is not None:
                readers.append(self.server)
            readers += [c.sock for c, _ in self.unverified]
            timeout = None
            if self.deadlines:
                timeout = max(0.0, min(t for t, _ in self.deadlines.values()) - time.time())
            try:
                ready = select.select(readers, [], [], timeout)[0]
            except select.error, e:
                if e.args[0] == errno.EINTR:
                    continue
                raise
            now = time.time()
            for name, (when, function) in list(self.deadlines.items()):
                if when <= now and self.deadlines.get(name) == (when, function):
                    del self.deadlines[name]
                    function()
            for item in ready:
                if self.done:
                    break
                if item == self.in_fd:
                    self.client_input()
                elif item in self.pipes:
                    self.output(item)
                elif self.program is not None and item is self.program.sock:
                    self.program_input()
                elif self.server is not None and item is self.server:
                    self.accept()
                else:
                    for channel, _ in list(self.unverified):
                        if channel.sock is item:
                            self.verify(channel)
            for channel, until in list(self.unverified):
                if until < now:
                    self.verify(channel)
        return 0


def main(argv):
    """vorn dap with argv (the words after 'dap'); returns the exit status."""
    options = vornwire.server_options(argv, 'dap', HELP, ('--log', '--listen', '--token'))
    if not isinstance(options, dict):
        return options
    log_name, listen, token = [options.get(o) for o in ('--log', '--listen', '--token')]
    out_fd = vornwire.protocol_output()
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)
    stream = open(log_name, 'a') if log_name else None
    log = vornwire.Log(stream)
    log('vorn dap started, pid %d' % os.getpid())
    try:
        if listen is None:
            return Adapter(0, out_fd, log).run()
        try:
            address = wire.parse_address(listen)
        except ValueError, e:
            sys.stderr.write('vorn dap: --listen %s: %s\n' % (listen, e))
            return 2
        token = token or os.environ.get(wire.TOKEN_VARIABLE) or wire.new_token()
        server = wire.listening_socket(address)
        sys.stderr.write('vorn dap: listening on %s:%d (adapterToken %s)\n'
                         % (address[0], server.getsockname()[1], token))
        sys.stderr.flush()
        sock, peer = server.accept()
        server.close()
        log('session from %s:%s' % peer[:2])
        return Adapter(sock.fileno(), sock.fileno(), log, token).run()
    finally:
        log('vorn dap stopped')
        if stream is not None:
            stream.close()
