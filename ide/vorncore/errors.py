"""What the debugger core raises for its front ends to report."""
from __future__ import absolute_import  # see the package's __init__


class Error(Exception):
    """A request the core refuses; the message says why, in words a user reads."""


class Quit(BaseException):
    """Raised out of a stop to end the debugged program at once. Not an Exception, so that
    the program's `except Exception` lets it pass; the handlers that catch everything are
    dealt with while quitting."""


class Restart(Quit):
    """Raised out of a stop to run the program again from its start."""
