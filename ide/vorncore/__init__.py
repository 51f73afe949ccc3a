"""The debugger core: the stop model and runner that every front end of the debugger shares
(the terminal one in vorndebug, the editor protocol's). No terminal or protocol code here."""
# The package is taken out of sys.modules once the debugger is loaded (vornrun): imports made
# later, inside functions, must not be tried as relative to it.
from __future__ import absolute_import
from vorncore.errors import Error, Quit, Restart
from vorncore.breakpoints import Breakpoint, Breakpoints
from vorncore.core import (Core, Stop, EXCEPTION_MODES, describe_exception, exception_name,
                           NO_FRAME)
from vorncore import source
