"""Messages framed as the Language Server and Debug Adapter protocols frame them: a header part
of "Name: value" lines ending in an empty line ("\\r\\n" line ends), of which Content-Length
counts the bytes of the JSON body that follows. Shared by `vorn lsp`, `vorn dap` and the
debugger's side in the program's process (which loads it into the user's interpreter: it
imports nothing of ours)."""
import errno
import json
import os
import sys
import time

MAX_HEADER = 64 * 1024


class FramingError(Exception):
    """A header the reader cannot understand; the bytes up to the next header are skipped."""


class Reader(object):
    """Cuts the bytes fed to it into message bodies."""

    def __init__(self):
        self.buffer = ''

    def feed(self, data):
        self.buffer += data

    def has_header(self):
        return '\r\n\r\n' in self.buffer

    def next_body(self):
        """The next whole message body (str), or None while it is incomplete. Raises
        FramingError for a header without a usable Content-Length (the header is dropped)."""
        buf = self.buffer
        end = buf.find('\r\n\r\n')
        if end < 0:
            if len(buf) > MAX_HEADER:
                self.buffer = ''
                raise FramingError('header too long')
            return None
        length = None
        for line in buf[:end].split('\r\n'):
            name, colon, value = line.partition(':')
            if colon and name.strip().lower() == 'content-length':
                try:
                    length = int(value.strip())
                except ValueError:
                    pass
        if length is None or length < 0:
            self.buffer = buf[end + 4:]
            raise FramingError('no Content-Length in header %r' % buf[:end])
        start = end + 4
        if len(buf) - start < length:
            return None
        self.buffer = buf[start + length:]
        return buf[start:start + length]


def frame(message):
    """The bytes of message (a JSON-able object) with its header."""
    body = json.dumps(message, separators=(',', ':'))
    return 'Content-Length: %d\r\n\r\n%s' % (len(body), body)


def write_all(fd, data):
    """Writes all of data to the descriptor fd, through interrupted calls."""
    while data:
        try:
            written = os.write(fd, data)
        except OSError as e:
            if e.errno == errno.EINTR:
                continue
            raise
        data = data[written:]


def read_some(fd, size=65536):
    """One read from fd through interrupted calls: '' at the end of input."""
    while True:
        try:
            return os.read(fd, size)
        except OSError as e:
            if e.errno != errno.EINTR:
                raise


class Log(object):
    """A protocol server's log: timed lines appended to a stream, or nothing without one."""

    def __init__(self, stream=None):
        self.stream = stream

    def __call__(self, text):
        if self.stream is not None:
            self.stream.write('%.3f %s\n' % (time.time(), text))
            self.stream.flush()


def server_options(argv, name, usage, valued):
    """The options of a protocol server's command line: {option: value} for the options named
    in valued (each taking one value), or an exit status when the server is not to run (its
    help written, 0; an unknown word, 2)."""
    found = {}
    i = 0
    while i < len(argv):
        word = argv[i]
        if word in ('-h', '--help'):
            sys.stdout.write(usage)
            return 0
        if word in valued and i + 1 < len(argv):
            found[word] = argv[i + 1]
            i += 2
            continue
        sys.stderr.write('vorn %s: unknown argument %s\n%s' % (name, word, usage))
        return 2
    return found


def protocol_output():
    """A descriptor of its own for a server's protocol on standard output; fd 1 and
    sys.stdout then go to standard error, so that a stray print, ours or a library's, cannot
    break a message."""
    out_fd = os.dup(1)
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    return out_fd
