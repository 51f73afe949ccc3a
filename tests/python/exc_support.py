"""Runs a function as the debugged region under the tracer with exception settings, and records
the exception stops."""
import sys

import zardel27
from support import init_args

NO_FRAMES = 0xFFFFFF


def raise_location(frame, tb):
    """The frame an exception event's traceback says it was raised in."""
    inner = frame
    while tb is not None:
        inner, tb = tb.tb_frame, tb.tb_next
    return inner


class ExceptionRun(object):
    """One traced run of `program()` whose frame becomes the bottom frame (no frame is armed;
    the first call event defines the region). `stops` holds, for each exception stop in the
    program's frames, (name of the event's function, name of the raising function, exception
    class name); `locations` the raise locations (file as the tracer names it, line) and
    `event_lines` the line each stop's frame was at."""

    def __init__(self, mode=0, always=None, never=None, command='continue_run', setup=None,
                 callback=None):
        self.mode, self.always, self.never = mode, always, never
        self.command, self.setup, self.callback = command, setup, callback
        self.stops, self.locations, self.event_lines = [], [], []
        self.exiting = None

    def _exception_cb(self, frame, arg, changed):
        if frame.f_code.co_filename == __file__.replace('.pyc', '.py'):
            return  # the harness frame, outside the debugged region
        inner = raise_location(frame, arg[2])
        self.stops.append((frame.f_code.co_name, inner.f_code.co_name, arg[0].__name__))
        self.locations.append((zardel27.get_frame_file(inner), inner.f_lineno))
        self.event_lines.append(frame.f_lineno)
        if self.callback:
            self.callback(frame, arg)
        getattr(zardel27, self.command)()

    def _line_cb(self, frame, changed):
        getattr(zardel27, self.command)()

    def __call__(self, program):
        zardel27.init(*init_args(exception_mode=self.mode, exception_cb=self._exception_cb,
                                 line_cb=self._line_cb, return_cb=self._line_cb))
        try:
            if self.always is not None:
                zardel27.set_always_stop_excepts(self.always)
            if self.never is not None:
                zardel27.set_never_stop_excepts(self.never)
            if self.setup:
                self.setup()
            try:
                # One line: no event of this frame comes between arming and the call.
                zardel27.start_trace(NO_FRAMES, NO_FRAMES); getattr(zardel27, self.command)(); program()
            except BaseException:
                pass
            finally:
                zardel27.stop_trace()
            self.exiting = zardel27.exiting_on_exception()
        finally:
            zardel27.destroy()
        sys.exc_clear()
        return self.stops
