"""JSON-RPC messages with the base protocol's framing (vornwire).

`Connection` reads from one file descriptor and writes to another, unbuffered, so that the
server can ask whether a message is waiting before it starts a slice of background work.
"""
import select

import vornwire
from vornwire import FramingError

# Error codes of JSON-RPC and of LSP.
PARSE_ERROR = -32700
INVALID_REQUEST = -32600
METHOD_NOT_FOUND = -32601
INVALID_PARAMS = -32602
INTERNAL_ERROR = -32603
SERVER_NOT_INITIALIZED = -32002
REQUEST_CANCELLED = -32800


class ResponseError(Exception):
    """Ends a request with an error response."""

    def __init__(self, code, message):
        Exception.__init__(self, message)
        self.code = code
        self.message = message


class Connection(object):
    def __init__(self, in_fd, out_fd):
        self.in_fd = in_fd
        self.out_fd = out_fd
        self.reader = vornwire.Reader()
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
        data = vornwire.read_some(self.in_fd)
        if not data:
            self.closed = True
            return False
        self.reader.feed(data)
        return True

    def waiting(self, timeout=0.0):
        """Whether a message (or the end of input) is waiting, after waiting for input for
        up to timeout seconds."""
        if self.closed or self.reader.has_header():
            return True
        self._fill(False, timeout)
        return self.closed or self.reader.has_header()

    def read(self):
        """The next message body (str), or None at the end of input. FramingError for a
        malformed header."""
        while True:
            body = self.reader.next_body()
            if body is not None:
                return body
            if self.closed or not self._fill(True):
                return None

    # -- writing ------------------------------------------------------------------------

    def write(self, message):
        vornwire.write_all(self.out_fd, vornwire.frame(message))
