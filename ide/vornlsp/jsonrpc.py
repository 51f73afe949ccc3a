"""JSON-RPC messages with the base protocol's framing: a header part of "Name: value" lines
ending in an empty line ("\\r\\n" line ends), of which Content-Length counts the bytes of the
JSON body that follows.

`Connection` reads from one file descriptor and writes to another, unbuffered, so that the
server can ask whether a message is waiting before it starts a slice of background work.
"""
import errno
import json
import os
import select

# Error codes of JSON-RPC and of LSP.
PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
SERVER_NOT_INITIALIZED = -32002
REQUEST_CANCELLED = -32800

_MAX_HEADER = 64 * 1024


class ResponseError(Exception):
    """Ends a request with an error response."""

    def __init__(self, code, message):
        Exception.__init__(self, message)
        self.code = code
        self.message = message


class FramingError(Exception):
    """A header the reader cannot understand; the bytes up to the next header are skipped."""


class Connection(object):
    def __init__(self, in_fd, out_fd):
        self.in_fd = in_fd
        self.out_fd = out_fd
        self.buffer = ''
        self.closed = False

    # -- reading ------------------------------------------------------------------------

    def _fill(self, block, timeout=0.0):
        """Reads what is there (waiting for something when block, else for up to timeout
        seconds); False at the end of input."""
        if not block:
            try:
                ready = select.select([self.in_fd], [], [], timeout)[0]
            except select.error:
                ready = [self.in_fd]
            if not ready:
                return True
        while True:
            try:
                data = os.read(self.in_fd, 65536)
                break
            except OSError as e:
                if e.errno != errno.EINTR:
                    raise
        if not data:
            self.closed = True
            return False
        self.buffer += data
        return True

    def _split(self):
        """(body, rest) when the buffer holds a whole message, else None. Raises FramingError
        for a header without a usable Content-Length (the header is dropped)."""
        buf = self.buffer
        end = buf.find('\r\n\r\n')
        if end < 0:
            if len(buf) > _MAX_HEADER:
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

    def waiting(self, timeout=0.0):
        """Whether a message (or the end of input) is waiting, after waiting for input for
        up to timeout seconds."""
        if self.closed or '\r\n\r\n' in self.buffer:
            return True
        self._fill(False, timeout)
        return self.closed or '\r\n\r\n' in self.buffer

    def read(self):
        """The next message body (str), or None at the end of input. FramingError for a
        malformed header."""
        while True:
            body = self._split()
            if body is not None:
                return body
            if self.closed or not self._fill(True):
                return None

    # -- writing ------------------------------------------------------------------------

    def write(self, message):
        body = json.dumps(message, separators=(',', ':'))
        data = 'Content-Length: %d\r\n\r\n%s' % (len(body), body)
        while data:
            try:
                written = os.write(self.out_fd, data)
            except OSError as e:
                if e.errno == errno.EINTR:
                    continue
                raise
            data = data[written:]
