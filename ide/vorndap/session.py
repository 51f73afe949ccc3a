"""The DAP front end in the program's process: a thin layer on the debugger core (vorncore), as
the terminal front end (vorndebug) is, answering the adapter's requests over a local socket.

While the program is stopped, the core calls user_stop and the requests are read here, waiting
with the tracer's WaitForInput. While it runs, the tracer's idle callback services the socket;
and, so that a request need not wait for the idle period, a small thread watches the socket
(it never reads it) and asks the main thread, through the interpreter's pending calls, to
service it at its next instruction. Only the main thread reads the socket and touches the
tracer.
"""
from __future__ import absolute_import  # the package leaves sys.modules (vornrun)
import binascii
import fcntl
import linecache
import os
import re
import repr as reprlib
import select
import signal
import socket
import sys
import thread
import time
import stat
import traceback
import json
try:
    import ctypes
except ImportError:  # an interpreter built without it: the idle callback alone services
    ctypes = None

import vornwire
import vorncore
from vorncore import source
import zardel27 as tracer

# Frames running this module's code belong to the debugger (the core leaves them untraced).
__vorn_frontend__ = True

TOKEN_VARIABLE = 'VORN_DEBUG_TOKEN'
# How long a connection may take to present its secret.
HELLO_TIMEOUT = 10.0
# Values are shown cut to this many characters.
MAX_VALUE = 1000

REPR = reprlib.Repr()
REPR.maxstring = 300
REPR.maxother = 300
REPR.maxlong = 300
REPR.maxlist = REPR.maxtuple = REPR.maxset = REPR.maxfrozenset = REPR.maxdeque = 30
REPR.maxarray = 30
REPR.maxdict = 20
REPR.maxlevel = 3


def value_text(value):
    """A bounded repr of value, never failing."""
    try:
        text = REPR.repr(value)
    except Exception:
        return '<unprintable %s object>' % type(value).__name__
    if len(text) > MAX_VALUE:
        text = text[:MAX_VALUE - 3] + '...'
    return text


def same_secret(given, expected):
    """Whether the secret given is the expected one, compared in constant time."""
    if not isinstance(given, basestring) or not isinstance(expected, basestring):
        return False
    given, expected = str(given), str(expected)
    if len(given) != len(expected):
        return False
    result = 0
    for a, b in zip(given, expected):
        result |= ord(a) ^ ord(b)
    return result == 0


def new_token():
    return binascii.hexlify(os.urandom(16))


def parse_address(text, default_host='127.0.0.1'):
    """(host, port) of 'HOST:PORT' or 'PORT'; ValueError when it is neither."""
    host, colon, port = text.rpartition(':')
    if not colon:
        host = default_host
    port = int(port)
    if not 0 <= port < 65536:
        raise ValueError('port out of range: %d' % port)
    return host or default_host, port


class Closed(Exception):
    """The other side of the connection has gone."""


class Channel(object):
    """One connection, DAP-framed: messages are read only by the main thread."""

    def __init__(self, sock):
        self.sock = sock
        self.reader = vornwire.Reader()
        # Small messages answer small messages: waiting to fill a packet only delays them.
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send(self, message):
        data = vornwire.frame(message)
        self.sock.setblocking(1)
        self.sock.sendall(data)

    def fill(self, timeout):
        """Reads what arrives within timeout (None: waits); Closed at the end."""
        if timeout is not None:
            ready = select.select([self.sock], [], [], timeout)[0]
            if not ready:
                return False
        data = self.sock.recv(65536)
        if not data:
            raise Closed()
        self.reader.feed(data)
        return True

    def ready(self):
        """Whether a message or the end of the connection is waiting."""
        if self.reader.has_header():
            return True
        try:
            return bool(select.select([self.sock], [], [], 0)[0])
        except select.error:
            return True

    def next_message(self):
        """The next whole message (a dict) read already, or None. Malformed ones are
        skipped."""
        while True:
            try:
                body = self.reader.next_body()
            except vornwire.FramingError:
                continue
            if body is None:
                return None
            try:
                message = plain(json.loads(body))
            except ValueError:
                continue
            if isinstance(message, dict):
                return message

    def read(self, timeout=None):
        """The next message (a dict), or None when nothing came within timeout."""
        deadline = None if timeout is None else time.time() + timeout
        while True:
            message = self.next_message()
            if message is not None:
                return message
            left = None if deadline is None else max(0.0, deadline - time.time())
            if not self.fill(left) and deadline is not None and time.time() >= deadline:
                return None

    def close(self):
        try:
            self.sock.close()
        except socket.error:
            pass


def plain(value):
    """value from JSON with its unicode strings made UTF-8 str, as the core and the tracer
    take names."""
    if isinstance(value, unicode):
        return value.encode('utf-8')
    if isinstance(value, dict):
        return dict((plain(k), plain(v)) for k, v in value.items())
    if isinstance(value, list):
        return [plain(v) for v in value]
    return value


def log(text):
    sys.stderr.write('vorn debug: %s\n' % text)
    sys.stderr.flush()


def connect(address, token):
    """The channel to an adapter listening at address, the secret presented."""
    sock = socket.create_connection(address)
    channel = Channel(sock)
    channel.send({'type': 'hello', 'token': token})
    reply = channel.read(HELLO_TIMEOUT)
    if not reply or not reply.get('ok'):
        channel.close()
        raise Closed()
    return channel


def accept(server, token):
    """The first connection to server that presents the secret; the others are refused and
    logged, and nothing of theirs is read beyond the hello."""
    while True:
        sock, peer = server.accept()
        channel = Channel(sock)
        try:
            hello = channel.read(HELLO_TIMEOUT)
        except (Closed, socket.error):
            hello = None
        if hello and hello.get('type') == 'hello' and same_secret(hello.get('token'), token):
            channel.send({'type': 'hello', 'ok': True})
            return channel
        log('refused a connection from %s:%s without the secret' % peer[:2])
        channel.close()


def listening_socket(address):
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(address)
    server.listen(1)
    return server


class Messages(object):
    """Events and responses, for a class whose send writes a message."""

    def event(self, name, body=None):
        message = {'type': 'event', 'event': name}
        if body is not None:
            message['body'] = body
        return self.send(message)

    def respond(self, request, body=None, error=None):
        message = {'type': 'response', 'request_seq': request.get('seq', 0),
                   'command': request.get('command', ''), 'success': error is None}
        if error is not None:
            message['message'] = error
        if body is not None:
            message['body'] = body
        return self.send(message)


class Nudger(object):
    """Asks the main thread to run a function at its next instruction, through the
    interpreter's pending calls (the mechanism its signal handlers use, without a signal that
    would interrupt the program's system calls). None of it when ctypes is missing: the idle
    callback then services the connection alone."""

    def __init__(self, function):
        self.add = None
        if ctypes is None:
            return
        callback_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p)

        def call(arg):
            try:
                function()
            except Exception:
                pass
            return 0
        self.callback = callback_type(call)
        add = ctypes.pythonapi.Py_AddPendingCall
        add.argtypes = [callback_type, ctypes.c_void_p]
        add.restype = ctypes.c_int
        self.add = add

    def __call__(self):
        if self.add is not None:
            self.add(self.callback, None)


class Session(vorncore.Core, Messages):
    """The DAP front end on the core."""

    def __init__(self, channel, redirected_output=False):
        vorncore.Core.__init__(self)
        self.channel = channel
        self.redirected_output = redirected_output  # fds 1 and 2 are pipes to the adapter
        self.idle_period = 1
        self.stop_on_entry = False
        self.started = False
        self.detached = False
        self.quit_asked = False
        self.busy = False             # the main thread is in this front end's code
        self.service_wanted = False   # the watcher saw input while the program runs
        self.running = thread.allocate_lock()   # held while the program does not run
        self.running.acquire()
        self.nudge = Nudger(self.service_from_nudge)
        self.next_id = 1
        self.frames = {}              # frame id -> frame, for the current stop
        self.references = {}          # variables reference -> (kind, object, frame, name)
        self.sources = {}             # source reference -> file name
        self.source_refs = {}
        self.file_breaks = {}         # file -> [breakpoint numbers] set by setBreakpoints
        self.function_breaks = []     # numbers set by setFunctionBreakpoints
        self.bp_extra = {}            # number -> dict(log=..., waiting=file, key=...)
        self.raised = False
        self.uncaught = True
        self.raised_types = None      # texts of the type condition, or None
        self.uncaught_types = None
        self.known_modules = {}
        self.last_resume = None
        self.return_value = None      # (function name, value) of the last return stop passed
        self.stepping_before = False
        self.watcher_started = False
        self.servicing = False        # this stop was asked for to answer requests
        self.pause_wanted = False
        self.apply_exception_filters()

    # -- the connection ----------------------------------------------------------------------

    def send(self, message):
        try:
            self.channel.send(message)
        except socket.error:
            self.adapter_gone()


    def adapter_gone(self):
        """The adapter has gone: the program ends with it, unless it was let run on."""
        if self.detached:
            return
        os._exit(1)

    def read(self):
        """The next message, waiting for it with the tracer's WaitForInput while stopped."""
        while True:
            message = self.channel.next_message()
            if message is not None:
                return message
            waited = tracer.WaitForInput(self.quiet_stream, [self.channel.sock])
            try:
                self.channel.fill(None if waited < 0 else 0)
            except (Closed, socket.error):
                self.adapter_gone()
                raise vorncore.Quit()

    def serve(self, until):
        """Answers requests until until() is true."""
        self.service_wanted = False
        while not until():
            self.handle(self.read())
            self.service_wanted = False

    def handle(self, request):
        if request.get('type') != 'request':
            return
        command = request.get('command')
        handler = getattr(self, 'request_' + str(command), None)
        if handler is None:
            self.respond(request, error='unknown request %s' % command)
            return
        arguments = request.get('arguments')
        if not isinstance(arguments, dict):
            arguments = {}
        try:
            result = handler(arguments)
        except vorncore.Quit:
            self.respond(request)
            raise
        except vorncore.Error, e:
            self.respond(request, error=str(e))
            return
        except Exception, e:
            self.respond(request, error='%s: %s' % (type(e).__name__, e))
            return
        self.respond(request, body=result)

    # -- while the program runs --------------------------------------------------------------

    def start_watcher(self):
        if self.nudge.add is None or self.watcher_started:
            return
        self.watcher_started = True
        thread.start_new_thread(self.watch, ())

    def watch(self):
        """The watcher thread: while the program runs, input on the socket asks the main
        thread to service it; the end of the connection ends the program even when its main
        thread is blocked."""
        try:
            self.watch_socket()
        except:  # at the interpreter's exit, the modules this reads may be gone
            return

    def watch_socket(self):
        sock = self.channel.sock
        while True:
            self.running.acquire()
            self.running.release()
            try:
                ready = select.select([sock], [], [], 0.5)[0]
            except (select.error, socket.error, ValueError):
                return
            if not ready or self.detached:
                if self.detached:
                    return
                continue
            try:
                gone = sock.recv(1, socket.MSG_PEEK) == ''
            except socket.error:
                gone = True
            if gone:
                self.adapter_gone()
                return
            self.service_wanted = True
            # Asked again now and then: the main thread lets a request by while it is in
            # this front end's own code (it answers from there, or not, as it stands).
            waited = 0
            while self.service_wanted and not self.detached:
                if waited % 5 == 0:
                    self.nudge()
                time.sleep(0.01)
                waited += 1

    def service_from_nudge(self):
        """Run by the main thread between two instructions of the program: asks for a stop at
        its next event, where the requests are answered untraced (code run from here would
        be traced as the program's). Only while it continues: a step stops soon anyway, and
        the idle callback serves meanwhile."""
        if self.service_wanted and not self.busy and self.stop is None and self.started \
                and self.continuing and not self.detached:
            self.servicing = True
            self.trace_again()
            tracer.stop()

    def idle_cb(self):
        if self.busy or self.stop is not None or self.detached:
            return
        self.busy = True
        try:
            self.check_modules()
        finally:
            self.busy = False
        if self.channel.ready():
            self.service_running()

    def service_running(self):
        """Answers what waits on the socket while the program runs: breakpoint and filter
        changes take effect at once, pause asks for a stop at the next line."""
        self.busy = True
        try:
            self.answer_waiting()
            if self.needs_tracing():
                self.trace_again()
        finally:
            self.service_wanted = False
            self.busy = False

    def answer_waiting(self):
        """Answers the requests that have arrived, without waiting for more."""
        while self.channel.ready() and not self.detached:
                try:
                    self.channel.fill(0)
                except (Closed, socket.error):
                    self.adapter_gone()
                    return
                while not self.detached:
                    message = self.channel.next_message()
                    if message is None:
                        break
                    self.handle(message)

    def needs_tracing(self):
        return bool(len(self.breaks) or self.raised)

    def stop_soon(self):
        """Asks the running program to stop at its next line (a pause)."""
        if self.stop is None and self.runner_frame is not None:
            self.interrupt(None, None)
        elif self.stop is not None and self.servicing:
            self.pause_wanted = True

    # -- stops -----------------------------------------------------------------------------

    def show(self, stop):
        self.stepping_before = self.stepping_in
        return vorncore.Core.show(self, stop)

    def user_stop(self, stop):
        self.busy = True
        holding = self.running.acquire(0)
        try:
            if self.servicing:
                self.answer_waiting()
                self.service_wanted = False
            self.check_modules()
            if self.detached:
                self.resumed = True
                tracer.stop_trace()
                return
            if self.quit_asked:
                self.set_quit()
            if self.servicing:
                if self.pause_wanted:
                    stop.interrupted = True
                elif stop.kind == 'return' or (stop.kind == 'line' and not stop.breakpoints):
                    # Stopped only to answer: on as it went.
                    self.resume_as_before()
                    return
            reason, extra = self.stop_reason(stop)
            if reason is None:
                return
            self.report_stop(stop, reason, extra)
        finally:
            if self.resumed:
                self.clear_references()
            if holding:
                self.running.release()
            self.servicing = self.pause_wanted = False
            self.busy = False

    def report_stop(self, stop, reason, extra):
        body = {'reason': reason, 'threadId': thread.get_ident(), 'allThreadsStopped': True}
        body.update(extra)
        self.flush_output()
        self.event('stopped', body)
        self.serve(lambda: self.resumed)
        self.return_value = None
        if not self.detached and self.stop is not None:
            self.event('continued', {'threadId': thread.get_ident(),
                                     'allThreadsContinued': True})

    def resume_as_before(self):
        """Lets the program go on as it went before this stop, unseen: the tracer's run
        control is left as it was."""
        self.resumed = True
        self.stepping_in = self.stepping_before
        if self.servicing:
            tracer.continue_run()  # the stop asked to answer replaced the continue

    def stop_reason(self, stop):
        """(DAP reason, extra body) of a stop to show, or (None, None) when the stop was
        resumed here without being shown."""
        if not self.started:
            self.started = True
            if self.stop_on_entry:
                return 'entry', {}
            self.set_continue()
            return None, None
        if stop.interrupted:
            return 'pause', {}
        if stop.kind == 'call':
            # Stepping into a function: on to its first line, as editors show it.
            self.set_step()
            return None, None
        if stop.kind == 'return':
            # Stepping off a function's end: on to the caller's next line (calls made from
            # the rest of its line run through), the value kept to show there.
            self.return_value = (stop.frame.f_code.co_name, stop.return_value)
            self.set_return()
            return None, None
        if stop.kind in ('exception', 'uncaught'):
            mode = self.exception_stop(stop)
            if mode is None:
                self.reported = None
                if stop.post_mortem:
                    self.resumed = True
                else:
                    self.resume_as_before()
                return None, None
            text = stop.exception or ''
            return 'exception', {'description': text, 'text': text}
        numbers = self.stop_breakpoints(stop) if stop.breakpoints else []
        if numbers:
            logs = [n for n in numbers if self.bp_extra.get(n, {}).get('log') is not None]
            for number in logs:
                self.log_point(number, stop.frame)
            shown = [n for n in numbers if n not in logs]
            if not shown:
                if self.continuing:
                    self.resume_as_before()
                    return None, None
                return 'step', {}
            return 'breakpoint', {'hitBreakpointIds': shown}
        if self.continuing and stop.breakpoints:
            # Only false conditions were met here.
            self.resume_as_before()
            return None, None
        return 'step', {}

    def exception_stop(self, stop):
        """'always' or 'unhandled' when the exception filters show this exception stop, else
        None."""
        exc_type = stop.exc_info[0]
        if stop.kind == 'uncaught' or stop.post_mortem or tracer.exiting_on_exception():
            if self.uncaught and self.type_matches(exc_type, self.uncaught_types, stop.frame):
                return 'unhandled'
            return None
        if self.raised and self.type_matches(exc_type, self.raised_types, stop.frame):
            return 'always'
        return None

    def type_matches(self, exc_type, names, frame):
        if not names:
            return True
        for name in names:
            try:
                value = eval(name, frame.f_globals, frame.f_locals)
            except Exception:
                value = None
            if value is not None and vorncore.core.among(exc_type, (value,)):
                return True
            if vorncore.exception_name(exc_type) == name.rsplit('.', 1)[-1]:
                return True
        return False

    def log_point(self, number, frame):
        message = self.bp_extra[number]['log']

        def value(match):
            expression = match.group(1)
            try:
                result = eval(expression, frame.f_globals, frame.f_locals)
            except Exception, e:
                return '<%s: %s>' % (type(e).__name__, e)
            return result if isinstance(result, basestring) else value_text(result)
        text = re.sub(r'\{([^{}]+)\}', value, message)
        self.flush_output()
        self.event('output', {'category': 'console', 'output': text + '\n'})

    def flush_output(self):
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except Exception:
                pass

    def user_exit(self, status):
        self.busy = True
        # The watcher waits for the program to run again, which it never does.
        self.running.acquire(0)
        self.flush_output()
        self.event('vornExit', {'exitCode': status})

    # -- references ------------------------------------------------------------------------

    def new_id(self):
        self.next_id += 1
        return self.next_id

    def clear_references(self):
        self.frames.clear()
        self.references.clear()

    def reference(self, kind, value, frame, name=None):
        number = self.new_id()
        self.references[number] = (kind, value, frame, name)
        return number

    def stopped(self):
        if self.stop is None:
            raise vorncore.Error('the program is running')
        return self.stop

    def frame_of(self, arguments, required=False):
        frame_id = arguments.get('frameId')
        if frame_id is None:
            if required:
                raise vorncore.Error('no frameId')
            return self.stopped().frames[-1]
        frame = self.frames.get(frame_id)
        if frame is None:
            raise vorncore.Error('no frame %s at this stop' % (frame_id,))
        return frame

    def source_of(self, frame):
        filename = tracer.get_frame_file(frame)
        if filename and os.path.isabs(filename) and os.path.exists(filename):
            return {'name': os.path.basename(filename), 'path': filename}
        name = frame.f_code.co_filename
        if not linecache.getlines(name, frame.f_globals):
            return {'name': name}
        number = self.source_refs.get(name)
        if number is None:
            number = self.source_refs[name] = self.new_id()
            self.sources[number] = (name, frame.f_globals)
        return {'name': name, 'sourceReference': number}

    # -- requests: configuration -------------------------------------------------------------

    def request_launch(self, arguments):
        self.stop_on_entry = bool(arguments.get('stopOnEntry'))

    request_attach = request_launch

    def request_configurationDone(self, arguments):
        self.configured = True

    def request_threads(self, arguments):
        names = {}
        threading = sys.modules.get('threading')
        if threading is not None:
            for ident, t in getattr(threading, '_active', {}).items():
                names[ident] = getattr(t, 'name', None)
        main = thread.get_ident()
        threads = [{'id': main, 'name': names.get(main) or 'MainThread'}]
        for ident in sorted(sys._current_frames()):
            if ident != main and ident in names:
                threads.append({'id': ident, 'name': names[ident] or 'Thread-%d' % ident})
        return {'threads': threads}

    def request_setBreakpoints(self, arguments):
        source_arg = arguments.get('source') or {}
        path = source_arg.get('path')
        if not isinstance(path, basestring) or not path:
            raise vorncore.Error('setBreakpoints needs source.path')
        filename = os.path.abspath(path)
        wanted = arguments.get('breakpoints')
        if wanted is None:
            wanted = [{'line': n} for n in arguments.get('lines') or []]
        old = self.file_breaks.get(filename, [])
        kept = {}
        for number in old:
            extra = self.bp_extra.get(number)
            if extra is not None:
                kept.setdefault(extra['key'], number)
        linecache.checkcache(filename)
        lines = source.code_lines(filename)
        numbers, results = [], []
        for asked in wanted:
            if not isinstance(asked, dict) or not isinstance(asked.get('line'), (int, long)):
                results.append({'verified': False, 'message': 'no line'})
                continue
            key = (asked.get('line'), asked.get('condition') or None,
                   asked.get('hitCondition') or None, asked.get('logMessage'))
            number = kept.pop(key, None)
            if number is None:
                try:
                    number = self.add_line_break(filename, asked, lines, key)
                except vorncore.Error, e:
                    results.append({'verified': False, 'line': asked['line'],
                                    'message': str(e)})
                    continue
            numbers.append(number)
            results.append(self.describe_break(number))
        for number in kept.values():
            self.remove_break(number)
        self.file_breaks[filename] = numbers
        return {'breakpoints': results}

    def add_line_break(self, filename, asked, lines, key):
        line = asked['line']
        message = None
        if lines is not None:
            later = [n for n in lines if n >= line]
            if not later:
                raise vorncore.Error('no code at or after line %d' % line)
            line = later[0]
        elif os.path.exists(filename):
            message = 'cannot compile %s' % filename
        else:
            message = 'no file %s yet' % filename
        return self.add_break(filename, line, asked, key, None, message)

    def add_break(self, filename, line, asked, key, funcname, message):
        cond = asked.get('condition') or None
        if cond:
            try:
                compile(cond.strip(), '<condition>', 'eval')
            except SyntaxError, e:
                raise vorncore.Error('invalid condition %s: %s' % (cond, e.msg))
        hit = asked.get('hitCondition') or None
        ignore = 0
        if hit:
            text = str(hit).strip().lstrip('>=').strip()
            if not text.isdigit():
                raise vorncore.Error('the hit condition is a count: %s' % hit)
            ignore = max(0, int(text) - 1)
        bp = self.breaks.add(filename, line, False, cond and cond.strip(), funcname)
        if ignore:
            self.breaks.ignore(bp.number, ignore)
        log_message = asked.get('logMessage')
        self.bp_extra[bp.number] = {'log': log_message, 'key': key, 'message': message,
                                    'waiting': not self.is_loaded(filename)}
        if self.stop is None and self.started and self.needs_tracing():
            self.trace_again()
        return bp.number

    def remove_break(self, number):
        try:
            self.breaks.clear(number)
        except vorncore.Error:
            pass
        self.bp_extra.pop(number, None)

    def describe_break(self, number):
        bp = self.breaks.by_number.get(number)
        extra = self.bp_extra.get(number, {})
        result = {'id': number, 'verified': False}
        if bp is None:
            return result
        result.update({'line': bp.lineno, 'source': {'name': os.path.basename(bp.filename),
                                                     'path': bp.filename}})
        if extra.get('message'):
            result['message'] = extra['message']
        elif extra.get('waiting'):
            result['message'] = 'waiting for %s to be loaded' % os.path.basename(bp.filename)
        else:
            result['verified'] = True
        return result

    def request_setFunctionBreakpoints(self, arguments):
        for number in self.function_breaks:
            self.remove_break(number)
        self.function_breaks = []
        results = []
        for asked in arguments.get('breakpoints') or []:
            name = asked.get('name') if isinstance(asked, dict) else None
            try:
                if not isinstance(name, basestring) or not name.strip():
                    raise vorncore.Error('no function name')
                filename, line = self.find_function(name.strip())
                key = (name, asked.get('condition'), asked.get('hitCondition'), None)
                number = self.add_break(filename, line, asked, key, name.strip(), None)
            except vorncore.Error, e:
                results.append({'verified': False, 'message': str(e)})
                continue
            self.function_breaks.append(number)
            results.append(self.describe_break(number))
        return {'breakpoints': results}

    def find_function(self, name):
        """(file, first body line) of module.function, Class.method, function or a
        module.Class.method, found by reading the source."""
        parts = name.split('.')
        if not all(re.match(r'[A-Za-z_]\w*$', p) for p in parts):
            raise vorncore.Error('not a function name: %s' % name)
        for cut in range(len(parts) - 1, 0, -1):
            filename = source.lookup_module('.'.join(parts[:cut]), self.program)
            if filename:
                found = source.find_qualified(parts[cut:], filename)
                if found:
                    return filename, found[1]
        if self.program:
            found = source.find_qualified(parts, self.program)
            if found:
                return self.program, found[1]
        raise vorncore.Error('no function %s found' % name)

    def request_setExceptionBreakpoints(self, arguments):
        filters = [f for f in arguments.get('filters') or [] if isinstance(f, basestring)]
        conditions = {}
        for option in arguments.get('filterOptions') or []:
            if isinstance(option, dict) and isinstance(option.get('filterId'), basestring):
                filters.append(option['filterId'])
                if option.get('condition'):
                    conditions[option['filterId']] = option['condition']
        self.raised = 'raised' in filters
        self.uncaught = 'uncaught' in filters
        self.raised_types = self.type_names(conditions.get('raised'))
        self.uncaught_types = self.type_names(conditions.get('uncaught'))
        self.apply_exception_filters()
        if self.stop is None and self.started and self.needs_tracing():
            self.trace_again()
        return {'breakpoints': [{'verified': True} for _ in filters]}

    @staticmethod
    def type_names(text):
        if not text:
            return None
        names = [n.strip() for n in re.split(r'[,\s]+', str(text)) if n.strip()]
        return names or None

    def apply_exception_filters(self):
        if self.raised:
            mode = 'always'
        elif self.uncaught:
            mode = 'unhandled'
        else:
            mode = 'never'
        self.exception_mode = vorncore.EXCEPTION_MODES[mode]
        if self.runner_frame is not None:
            tracer.set_exception_mode(self.exception_mode)

    # -- requests: run control ---------------------------------------------------------------

    def request_continue(self, arguments):
        self.stopped()
        self.set_continue()
        return {'allThreadsContinued': True}

    def request_next(self, arguments):
        self.stopped()
        self.set_next()

    def request_stepIn(self, arguments):
        self.stopped()
        self.set_step()

    def request_stepOut(self, arguments):
        self.stopped()
        self.set_return()

    def request_pause(self, arguments):
        self.stop_soon()

    def request_terminate(self, arguments):
        self.quit_asked = True
        if self.runner_frame is None:
            raise vorncore.Quit()  # not started yet
        if self.stop is not None:
            self.set_quit()
        else:
            self.stop_soon()

    def request_disconnect(self, arguments):
        if arguments.get('terminateDebuggee', True):
            return self.request_terminate(arguments)
        self.detach()

    def detach(self):
        """The adapter leaves and the program runs on without the debugger."""
        self.detached = True
        try:
            self.breaks.clear_all()
        except Exception:
            pass
        self.exception_mode = vorncore.EXCEPTION_MODES['never']
        if self.redirected_output:
            # Its output pipes end in the adapter, which goes.
            self.flush_output()
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, 1)
            os.dup2(null, 2)
            os.close(null)
        if self.stop is not None:
            self.resumed = True
        tracer.stop_trace()
        try:
            signal.signal(signal.SIGINT, signal.default_int_handler)
        except ValueError:
            pass

    # -- requests: data --------------------------------------------------------------------

    def request_stackTrace(self, arguments):
        stop = self.stopped()
        thread_id = arguments.get('threadId')
        if thread_id in (None, thread.get_ident()):
            frames = list(reversed(stop.frames))
            lines = stop.lineno
        else:
            frame = sys._current_frames().get(thread_id)
            frames = []
            while frame is not None:
                frames.append(frame)
                frame = frame.f_back
            lines = lambda f: f.f_lineno
        total = len(frames)
        start = max(0, int(arguments.get('startFrame') or 0))
        levels = int(arguments.get('levels') or 0)
        chosen = frames[start:start + levels] if levels > 0 else frames[start:]
        result = []
        for frame in chosen:
            number = self.new_id()
            self.frames[number] = frame
            result.append({'id': number, 'name': frame.f_code.co_name or '<lambda>',
                           'source': self.source_of(frame), 'line': lines(frame),
                           'column': 1})
        return {'stackFrames': result, 'totalFrames': total}

    def request_scopes(self, arguments):
        frame = self.frame_of(arguments, required=True)
        return {'scopes': [
            {'name': 'Locals', 'presentationHint': 'locals', 'expensive': False,
             'variablesReference': self.reference('locals', frame, frame)},
            {'name': 'Globals', 'expensive': False,
             'variablesReference': self.reference('globals', frame, frame)}]}

    def referenced(self, arguments):
        """The (kind, value, frame, name) entry of the request's variablesReference."""
        self.stopped()
        entry = self.references.get(arguments.get('variablesReference'))
        if entry is None:
            raise vorncore.Error('no variables reference %s at this stop'
                                 % arguments.get('variablesReference'))
        return entry

    def request_variables(self, arguments):
        kind, value, frame, name = self.referenced(arguments)
        children = self.children(kind, value, frame, name)
        start = max(0, int(arguments.get('start') or 0))
        count = int(arguments.get('count') or 0)
        if start or count:
            children = children[start:start + count] if count > 0 else children[start:]
        return {'variables': [self.variable(child_name, child, frame, expression)
                              for child_name, child, expression in children]}

    def children(self, kind, value, frame, parent):
        """[(name, value, evaluateName or None)] of a scope or a value."""
        if kind in ('locals', 'globals'):
            namespace = frame.f_locals if kind == 'locals' else frame.f_globals
            names = sorted(namespace, key=lambda n: (str(n).startswith('__'), str(n)))
            found = [(str(n), namespace[n], str(n)) for n in names]
            if kind == 'locals' and self.return_value is not None and \
                    self.stop is not None and frame is self.stop.frames[-1]:
                found.insert(0, ('(return) %s' % self.return_value[0], self.return_value[1],
                                 None))
            return found
        if isinstance(value, (list, tuple)):
            return [(str(i), item, parent and '%s[%d]' % (parent, i))
                    for i, item in enumerate(value)]
        if isinstance(value, dict):
            return [(value_text(k), v, parent and self.key_expression(parent, k))
                    for k, v in value.items()]
        if isinstance(value, (set, frozenset)):
            return [(str(i), item, None) for i, item in enumerate(value)]
        attributes = getattr(value, '__dict__', None)
        if isinstance(attributes, dict):
            return [(str(n), attributes[n], parent and '%s.%s' % (parent, n))
                    for n in sorted(attributes, key=str)]
        return []

    @staticmethod
    def key_expression(parent, key):
        if isinstance(key, (int, long, basestring, float, bool)) or key is None:
            return '%s[%r]' % (parent, key)
        return None

    def variable(self, name, value, frame, expression):
        result = {'name': name, 'value': value_text(value), 'type': type(value).__name__,
                  'variablesReference': 0}
        if expression:
            result['evaluateName'] = expression
        if self.has_children(value):
            result['variablesReference'] = self.reference('value', value, frame, expression)
            if isinstance(value, (list, tuple, dict, set, frozenset)):
                result['indexedVariables'] = len(value)
        return result

    @staticmethod
    def has_children(value):
        if isinstance(value, (list, tuple, dict, set, frozenset)):
            return len(value) > 0
        if isinstance(value, (basestring, int, long, float, bool, complex)) or value is None:
            return False
        attributes = getattr(value, '__dict__', None)
        return isinstance(attributes, dict) and len(attributes) > 0

    def request_setVariable(self, arguments):
        kind, container, frame, parent = self.referenced(arguments)
        name = arguments.get('name')
        text = arguments.get('value')
        if not isinstance(name, basestring) or not isinstance(text, basestring):
            raise vorncore.Error('setVariable needs a name and a value')
        value = eval(text, frame.f_globals, frame.f_locals)
        if kind == 'locals':
            frame.f_locals[str(name)] = value
            self.locals_changed(frame)
        elif kind == 'globals':
            frame.f_globals[str(name)] = value
        elif isinstance(container, list):
            container[int(name)] = value
        elif isinstance(container, dict):
            keys = [k for k in container if value_text(k) == name]
            if not keys:
                raise vorncore.Error('no key %s' % name)
            container[keys[0]] = value
        elif isinstance(getattr(container, '__dict__', None), dict):
            setattr(container, str(name), value)
        else:
            raise vorncore.Error('%s cannot be changed' % name)
        result = self.variable(name, value, frame, None)
        del result['name']
        return result

    def request_evaluate(self, arguments):
        expression = arguments.get('expression')
        if not isinstance(expression, basestring):
            raise vorncore.Error('evaluate needs an expression')
        frame = self.frame_of(arguments)
        context = arguments.get('context')
        expression = expression.encode('utf-8') if isinstance(expression, unicode) \
            else expression
        try:
            code = compile(expression.strip() or 'None', '<%s>' % (context or 'evaluate'),
                           'eval')
        except SyntaxError:
            if context != 'repl':
                raise
            self.run_statements(expression, frame)
            return {'result': '', 'variablesReference': 0}
        value = eval(code, frame.f_globals, frame.f_locals)
        result = self.variable('', value, frame, expression.strip())
        return {'result': result['value'], 'type': result['type'],
                'variablesReference': result['variablesReference'],
                'indexedVariables': result.get('indexedVariables')}

    def run_statements(self, text, frame):
        """Runs statements typed at the debug console in the frame; a function's locals
        assigned keep their new values."""
        if '\n' not in text.strip():
            self.execute(text, frame=frame, displayhook=self.display_value)
            return
        code = compile(text + '\n', '<repl>', 'exec')
        try:
            exec code in frame.f_globals, frame.f_locals
        finally:
            self.locals_changed(frame)

    def display_value(self, value):
        if value is not None:
            self.event('output', {'category': 'console', 'output': value_text(value) + '\n'})

    def request_exceptionInfo(self, arguments):
        stop = self.stopped()
        if stop.exc_info is None:
            raise vorncore.Error('no exception at this stop')
        exc_type, exc_value, tb = stop.exc_info
        name = vorncore.exception_name(exc_type)
        module = getattr(exc_type, '__module__', None)
        full = '%s.%s' % (module, name) if module and module != 'exceptions' else name
        value = vorncore.core.normalized(exc_type, exc_value)
        try:
            message = str(value)
        except Exception:
            message = value_text(value)
        mode = 'unhandled' if (stop.kind == 'uncaught' or stop.post_mortem or
                               tracer.exiting_on_exception()) else 'always'
        frames = [(f.f_code.co_filename, stop.lineno(f), f.f_code.co_name,
                   source.source_line(f, stop.lineno(f))) for f in stop.frames]
        return {'exceptionId': name, 'description': stop.exception, 'breakMode': mode,
                'details': {'message': message, 'typeName': name, 'fullTypeName': full,
                            'stackTrace': ''.join(traceback.format_list(frames))}}

    def request_source(self, arguments):
        number = arguments.get('sourceReference')
        entry = self.sources.get(number)
        if entry is not None:
            name, module_globals = entry
            return {'content': ''.join(linecache.getlines(name, module_globals)),
                    'mimeType': 'text/x-python'}
        path = (arguments.get('source') or {}).get('path')
        if isinstance(path, basestring) and os.path.isfile(path):
            with open(path) as f:
                return {'content': f.read(), 'mimeType': 'text/x-python'}
        raise vorncore.Error('no source for %s' % (path or number))

    def module_files(self):
        """{module name: its source file} of the modules loaded from files."""
        found = {}
        for name, module in sys.modules.items():
            path = getattr(module, '__file__', None)
            if not isinstance(path, basestring) or module is None:
                continue
            if path.endswith(('.pyc', '.pyo')):
                path = path[:-1]
            found[name] = os.path.abspath(path)
        if self.program and self.started:
            found['__main__'] = self.program
        return found

    def request_loadedSources(self, arguments):
        files = sorted(set(f for f in self.module_files().values() if f.endswith('.py')))
        return {'sources': [{'name': os.path.basename(f), 'path': f} for f in files]}

    def request_modules(self, arguments):
        modules = sorted(self.module_files().items())
        start = max(0, int(arguments.get('startModule') or 0))
        count = int(arguments.get('moduleCount') or 0)
        chosen = modules[start:start + count] if count > 0 else modules[start:]
        return {'modules': [{'id': n, 'name': n, 'path': p} for n, p in chosen],
                'totalModules': len(modules)}

    def is_loaded(self, filename):
        return filename == self.program or filename in self.module_files().values()

    def check_modules(self):
        """Reports the modules loaded since the last look, and the waiting breakpoints in
        their files, now bound."""
        if len(sys.modules) == self.modules_seen:
            return  # the common case at a stop: nothing imported since the last one
        self.modules_seen = len(sys.modules)
        files = self.module_files()
        fresh = [(n, p) for n, p in files.items() if self.known_modules.get(n) != p]
        if not fresh:
            return
        self.known_modules = files
        loaded = set(files.values())
        for number, extra in sorted(self.bp_extra.items()):
            bp = self.breaks.by_number.get(number)
            if extra.get('waiting') and bp is not None and bp.filename in loaded:
                extra['waiting'] = False
                self.event('breakpoint', {'reason': 'changed',
                                          'breakpoint': self.describe_break(number)})
        if self.reported_modules:
            for name, path in sorted(fresh):
                self.event('module', {'reason': 'new',
                                      'module': {'id': name, 'name': name, 'path': path}})
        self.reported_modules = True

    reported_modules = False
    configured = False
    modules_seen = 0

    # -- running -----------------------------------------------------------------------------

    def prepare(self):
        self.event('process', {'name': self.program or sys.argv[0],
                               'systemProcessId': os.getpid(), 'isLocalProcess': True})
        self.known_modules = self.module_files()
        self.reported_modules = True
        self.init_tracer()  # for the breakpoints set before the program starts
        # WaitForInput watches a stream with the socket; this front end reads none, so the
        # stream is a pipe that never has input.
        never, keep = os.pipe()
        for fd in (never, keep):
            fcntl.fcntl(fd, fcntl.F_SETFD, fcntl.fcntl(fd, fcntl.F_GETFD) | fcntl.FD_CLOEXEC)
        self.quiet_stream = os.fdopen(never, 'r')

    def configure_and_run(self, program, args):
        """Answers the configuration requests, then runs the program; its exit status."""
        self.program = os.path.abspath(program)
        self.prepare()
        self.serve(lambda: self.configured)
        self.running.release()
        self.start_watcher()
        return self.run(program, args)

    def run_code(self, code, program, args):
        self.started = False
        return vorncore.Core.run_code(self, code, program, args)

    # -- a program that asked to be debugged from where it is ---------------------------------

    def in_program(self, frame):
        if self.runner_frame is ATTACHED:
            return True
        return vorncore.Core.in_program(self, frame)

    def trace_again(self):
        if self.runner_frame is ATTACHED:
            if not tracer.get_tracing():
                tracer.start_trace(0, vorncore.NO_FRAME)
            return
        vorncore.Core.trace_again(self)

    def attach_here(self):
        """Answers the configuration requests, then debugs the calling thread's program from
        its current point on: every frame of the thread is the program's."""
        main = sys.modules.get('__main__')
        path = getattr(main, '__file__', None)
        self.program = os.path.abspath(path) if path else None
        self.prepare()
        self.serve(lambda: self.configured)
        self.started = True
        self.runner_frame = ATTACHED
        self.running.release()
        self.start_watcher()
        tracer.start_trace(0, vorncore.NO_FRAME)
        tracer.continue_run()
        self.continuing = True


class Attached(object):
    """Stands for the frame that runs the program when the program started itself."""
    f_back = None


ATTACHED = Attached()


def listen(port, host='127.0.0.1', token=None):
    """Waits on host:port for an editor's debug adapter (DAP attach; the adapter presents
    the secret: token, else $VORN_DEBUG_TOKEN, else one made up and printed), then debugs the
    calling program from here on. For programs that start themselves, such as servers."""
    token = token or os.environ.pop(TOKEN_VARIABLE, None) or new_token()
    server = listening_socket((host, port))
    log('waiting for a debug adapter on %s:%d (secret %s)'
        % (host, server.getsockname()[1], token))
    channel = accept(server, token)
    server.close()
    LISTENING.append(Session(channel))
    LISTENING[-1].attach_here()


# The session of a program that called listen, kept for the life of the process.
LISTENING = []


USAGE = """usage: vorn debug --listen [HOST:]PORT [--token SECRET] PROGRAM [ARGS...]

Runs PROGRAM under the debugger and waits for an editor's debug adapter to attach (`vorn dap`,
DAP request attach with host and port). HOST is 127.0.0.1 unless another is named. The adapter
must present the secret: --token SECRET, else $%s, else one is made up and printed.
""" % TOKEN_VARIABLE


def main(argv):
    """The DAP front end in the program's process: vorn debug --listen (the program waits for
    an adapter) or --connect (the adapter started it and listens); returns the exit status."""
    connect_to = listen_on = token = None
    i = 0
    try:
        while i < len(argv) and argv[i].startswith('-'):
            word = argv[i]
            if word == '--':
                i += 1
                break
            name, equals, value = word.partition('=')
            if name in ('--connect', '--listen', '--token'):
                if not equals:
                    if i + 1 >= len(argv):
                        raise ValueError('%s needs a value' % name)
                    i += 1
                    value = argv[i]
                if name == '--connect':
                    connect_to = parse_address(value)
                elif name == '--listen':
                    listen_on = parse_address(value)
                else:
                    token = value
                i += 1
                continue
            if word in ('-h', '--help'):
                sys.stdout.write(USAGE)
                return 0
            raise ValueError('unknown option %s' % word)
        if i >= len(argv):
            raise ValueError('no program given')
    except ValueError, e:
        sys.stderr.write('vorn debug: %s\n%s' % (e, USAGE))
        return 2
    program, args = argv[i], argv[i + 1:]
    if not os.path.isfile(program):
        sys.stderr.write('vorn debug: no program %s\n' % program)
        return 2
    # The secret is the debugger's: the program and its children do not see it.
    token = token or os.environ.pop(TOKEN_VARIABLE, None)
    try:
        if connect_to is not None:
            if not token:
                sys.stderr.write('vorn debug: --connect needs the secret (%s)\n'
                                 % TOKEN_VARIABLE)
                return 2
            channel = connect(connect_to, token)
        else:
            if not token:
                token = new_token()
            server = listening_socket(listen_on)
            log('waiting for a debug adapter on %s:%d (secret %s)'
                % (listen_on[0], server.getsockname()[1], token))
            channel = accept(server, token)
            server.close()
    except (socket.error, Closed), e:
        sys.stderr.write('vorn debug: no connection with the adapter: %s\n' % (e,))
        return 2
    redirected = connect_to is not None and stat.S_ISFIFO(os.fstat(1).st_mode)
    session = Session(channel, redirected)
    try:
        return session.configure_and_run(program, args)
    except vorncore.Quit:
        return 0
