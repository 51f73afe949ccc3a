"""`vorn dap`: the debugger behind the Debug Adapter Protocol.

Two processes: the adapter (adapter.py, in the installation's runtime) speaks DAP to the editor
and starts or attaches to the program; the program's process (the user's interpreter, with the
tracer and the debugger core) runs the DAP front end (session.py), which answers the requests
about the program over a local socket. Both sides frame their messages as DAP does (vornwire).
"""
