"""Exceptions raised by the interpreter's C code, each caught where it is raised; run with the
debugger's exceptions always, each stops once."""
import os

ATTEMPTS = [
    lambda: {}['missing'],
    lambda: {}[('a', 1)],
    lambda: {}[()],
    lambda: os.stat('/nonexistent'),
    lambda: open('/nonexistent/file'),
    lambda: [][1],
    lambda: int('x'),
    lambda: 1 / 0,
]

if __name__ == '__main__':
    for attempt in ATTEMPTS:
        try:
            attempt()
        except Exception:
            pass
    print 'done'
