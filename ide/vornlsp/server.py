"""`vorn lsp`: the language server. Reads LSP messages on standard input, answers on standard
output (nothing else is written there: the process's own fd 1 is pointed at standard error),
and keeps one analysis per open document, brought up to date edit by edit through the module
analysis' incremental path (`ReplaceLines`, which tells the analyzer `LogicalCacheModified`).

Work that can wait (analyzing the lines the edits brought, then publishing the parse errors)
runs in short slices while no message is waiting, so a keystroke never waits on a whole file.
"""
import collections
import json
import os
import sys
import time
import traceback
import urllib
import urlparse

import vornwire
from vornwire import Log
from vornlsp import answers, jsonrpc, symbols, text as doctext, workspace
from vornlsp.jsonrpc import ResponseError

HELP = """usage: vorn lsp [--log FILE]

Runs the language server for Python 2 code: LSP (JSON-RPC with Content-Length framing) on
standard input and output, as an editor starts it.

options:
  --log FILE   append a log of the messages and of what the server did to FILE
  -h, --help   show this help
"""

# Time of one slice of background analysis, in seconds.
SLICE_TIME = 0.02
# Background work starts only once no message has come for this long (seconds): an editor
# sends a request right behind the edit it follows, and it should not wait on a slice.
QUIET_TIME = 0.03

TEXT_SYNC_INCREMENTAL = 2


def _is_id(value):
    """Whether value can be a request id (a number or a string)."""
    return isinstance(value, (int, long, basestring)) and not isinstance(value, bool)


def path_for_uri(uri):
    """The file name of a file: URI (str), or None for another scheme."""
    parts = urlparse.urlsplit(uri)
    if parts.scheme != 'file':
        return None
    path = urllib.unquote(parts.path.encode('utf-8') if isinstance(parts.path, unicode)
                          else parts.path)
    return path or None


def workspace_folders(params):
    """The folders of initialize's params: workspaceFolders, else rootUri, else rootPath."""
    found = []
    for item in params.get('workspaceFolders') or ():
        if isinstance(item, dict) and isinstance(item.get('uri'), basestring):
            path = path_for_uri(item['uri'])
            if path:
                found.append(path)
    if not found and isinstance(params.get('rootUri'), basestring):
        path = path_for_uri(params['rootUri'])
        if path:
            found.append(path)
    if not found and isinstance(params.get('rootPath'), basestring):
        found.append(params['rootPath'].encode('utf-8'))
    return found


def uri_for_path(path):
    return 'file://' + urllib.quote(os.path.abspath(path))


class EditFailed(Exception):
    """An edit reached the document's text but not its incremental analysis, which was cut
    again from the text instead."""


class Document(object):
    """One open document: its text as the editor has it and its analysis."""

    def __init__(self, server, uri, source, version):
        import vornanalyze
        self.uri = uri
        self.text = doctext.DocumentText(source, version)
        filename = path_for_uri(uri) or os.path.join(os.getcwd(), '<untitled %s>' % uri)
        self.analysis = vornanalyze.FileAnalysis(filename, server.log,
                                                 factory=server.factory(),
                                                 source=doctext.encode(source))
        self.analysis.cut()
        self.published = None      # the diagnostics last sent
        self.settled = False       # every line analyzed since the last change
        self.outline = None        # the outline, until the next change

    @property
    def module(self):
        return self.analysis.module

    def close(self):
        self.analysis.close()

    def replace(self, change):
        """Applies one change of didChange (a range change, or the whole text)."""
        if 'range' in change and change['range'] is not None:
            edit = self.text.replace(change['range']['start'], change['range']['end'],
                                     change['text'])
        else:
            edit = self.text.replace_all(change['text'])
        if edit is not None:
            analyzer = self.analysis.analyzer
            features = dict(analyzer.fFromFutureFlags)
            try:
                self.module.ReplaceLines(edit.first, edit.count, edit.text)
            except Exception:
                # The text has changed already: the analysis follows it by a new cut.
                self.reload()
                raise EditFailed(traceback.format_exc())
            if dict(analyzer.fFromFutureFlags) != features:
                # The grammar follows the new __future__ features; lines parsed under the
                # old ones are parsed again, and their old parse errors go (the analyzer
                # keeps an error until the line leaves the list).
                for line in self.module.fLogicalLines:
                    if line.fParsed:
                        analyzer.ClearAnalysis(line)
                errors = analyzer.fParseErrors
                stale = list(errors)
                errors.clear()
                if stale:
                    self.module._ParseErrorsModified((), stale)
        self.settled = False
        self.outline = None

    def reload(self):
        """Cuts the whole text again (only when an edit could not be applied)."""
        self.module.SetSource(doctext.encode(self.text.text()))
        self.analysis.cut()
        self.settled = False
        self.outline = None

    def analyze_slice(self, end_time):
        """Analyzes lines not analyzed yet until end_time; True when none is left."""
        lines = self.module.fLogicalLines
        self.settled = bool(self.analysis.analyzer.AnalyzeLogicalList(lines, -1, end_time))
        return self.settled

    def diagnostics(self):
        return symbols.parse_diagnostics(self)


class Server(object):
    def __init__(self, connection, log):
        self.connection = connection
        self.log = log
        self.documents = {}
        self.initialized = False
        self.shutting_down = False
        self.exit_status = None
        self.cancelled = set()     # ids of requests cancelled before they were answered
        self._factory = None
        self._last_message = 0.0   # when the last message was read
        self.queue = collections.deque()   # messages read and not handled yet
        self.current_id = None     # the id of the request being answered
        self.workspace = workspace.WorkspaceIndex([], log)

    def factory(self):
        """The module analyses of every document and of the modules they import: one
        factory, so an open document is the analysis its importers see."""
        if self._factory is None:
            import logicalline
            from vornide import modules
            self._factory = modules.EditorFactory(search_path=list(sys.path),
                                                  logicalline_module=logicalline)
        return self._factory

    # -- the loop -----------------------------------------------------------------------

    def run(self):
        conn = self.connection
        queue = self.queue
        while self.exit_status is None:
            if not queue:
                if self._pending_work() and not conn.waiting(self._quiet_left()):
                    self._work_slice()
                    continue
                if not self._receive(queue):
                    self.log('end of input')
                    return 0 if self.shutting_down else 1
            # Whatever else has arrived is read before the first message is answered, so a
            # $/cancelRequest behind a request stops it before its work starts.
            while conn.waiting() and not conn.closed and self._receive(queue):
                pass
            waiting = set(m['id'] for m in queue if isinstance(m, dict) and 'method' in m
                          and _is_id(m.get('id')))
            for message in queue:
                if (isinstance(message, dict) and message.get('method') == '$/cancelRequest'
                        and isinstance(message.get('params'), dict)
                        and _is_id(message['params'].get('id'))
                        and message['params']['id'] in waiting):
                    self.cancelled.add(message['params']['id'])
            self.handle(queue.popleft())
        return self.exit_status

    def cancel_arrived(self):
        """Whether a $/cancelRequest for the request being answered has arrived (the
        messages waiting are read into the queue to see)."""
        msg_id = self.current_id
        if msg_id is None or self.connection is None:
            return False
        conn = self.connection
        while conn.waiting() and not conn.closed and self._receive(self.queue):
            pass
        return any(isinstance(m, dict) and m.get('method') == '$/cancelRequest'
                   and isinstance(m.get('params'), dict) and m['params'].get('id') == msg_id
                   for m in self.queue)

    def _quiet_left(self):
        """How long to wait for a message before background work may start."""
        return max(0.0, min(QUIET_TIME, self._last_message + QUIET_TIME - time.time()))

    def _receive(self, queue):
        """Reads one message into queue (a dict, or the exception of a body that is not
        JSON); False at the end of input."""
        while True:
            try:
                body = self.connection.read()
                break
            except jsonrpc.FramingError as e:
                self.log('skipped: %s' % e)
        if body is None:
            return False
        self._last_message = time.time()
        try:
            queue.append(json.loads(body))
        except ValueError as e:
            queue.append(e)
        return True

    def handle(self, message):
        if isinstance(message, ValueError):
            self.log('malformed message: %s' % message)
            self.send_error(None, jsonrpc.PARSE_ERROR, 'malformed JSON: %s' % message)
            return
        if not isinstance(message, dict) or not isinstance(message.get('method', u''),
                                                           basestring):
            self.send_error(None, jsonrpc.INVALID_REQUEST, 'not a request or notification')
            return
        method = message.get('method')
        if method is None:
            return   # a response to a request of ours; none is made yet
        msg_id = message.get('id')
        if _is_id(msg_id) and msg_id in self.cancelled:
            self.cancelled.discard(msg_id)
            self.log('cancelled %s #%s' % (method, msg_id))
            self.send_error(msg_id, jsonrpc.REQUEST_CANCELLED, 'cancelled')
            return
        self.dispatch(method, message.get('params'), msg_id, 'id' in message)

    def dispatch(self, method, params, msg_id, is_request):
        self.log('<- %s%s' % (method, ' #%s' % msg_id if is_request else ''))
        handler = (self.REQUESTS if is_request else self.NOTIFICATIONS).get(method)
        try:
            if is_request:
                if not self.initialized and method != 'initialize':
                    raise ResponseError(jsonrpc.SERVER_NOT_INITIALIZED, 'not initialized')
                if self.shutting_down:
                    raise ResponseError(jsonrpc.INVALID_REQUEST, 'the server is shutting down')
                if handler is None:
                    raise ResponseError(jsonrpc.METHOD_NOT_FOUND, 'unknown method %s' % method)
                self.current_id = msg_id
                try:
                    result = handler(self, params if params is not None else {})
                finally:
                    self.current_id = None
                self.connection.write({'jsonrpc': '2.0', 'id': msg_id, 'result': result})
            elif handler is not None:
                if self.initialized or method == 'exit':
                    handler(self, params if params is not None else {})
            else:
                self.log('ignored notification %s' % method)
        except ResponseError as e:
            if is_request:
                self.send_error(msg_id, e.code, e.message)
            else:
                self.log('%s: %s' % (method, e.message))
        except Exception as e:
            self.log('%s failed:\n%s' % (method, traceback.format_exc()))
            if is_request:
                self.send_error(msg_id, jsonrpc.INTERNAL_ERROR, '%s: %s'
                                % (type(e).__name__, e))

    def send_error(self, msg_id, code, message):
        self.connection.write({'jsonrpc': '2.0', 'id': msg_id,
                               'error': {'code': code, 'message': message}})

    def notify(self, method, params):
        self.connection.write({'jsonrpc': '2.0', 'method': method, 'params': params})

    # -- background work ----------------------------------------------------------------

    def _pending_work(self):
        for doc in self.documents.values():
            if not doc.settled:
                return True
        return False

    def _work_slice(self):
        end_time = time.time() + SLICE_TIME
        for doc in self.documents.values():
            if doc.settled:
                continue
            try:
                if doc.analyze_slice(end_time):
                    self.publish(doc)
            except Exception:
                self.log('analysis of %s failed:\n%s' % (doc.uri, traceback.format_exc()))
                doc.settled = True
            return

    def publish(self, doc):
        found = doc.diagnostics()
        if found != doc.published:
            doc.published = found
            self.notify('textDocument/publishDiagnostics',
                        {'uri': doc.uri, 'version': doc.text.version, 'diagnostics': found})

    # -- lifecycle ----------------------------------------------------------------------

    def initialize(self, params):
        self.initialized = True
        self.workspace = workspace.WorkspaceIndex(workspace_folders(params), self.log)
        return {
            'capabilities': {
                'textDocumentSync': {'openClose': True, 'change': TEXT_SYNC_INCREMENTAL,
                                     'save': {'includeText': False}},
                'documentSymbolProvider': True,
                'completionProvider': {'triggerCharacters': ['.']},
                'hoverProvider': True,
                'definitionProvider': True,
                'referencesProvider': True,
                'documentHighlightProvider': True,
                'signatureHelpProvider': {'triggerCharacters': ['(', ','],
                                          'retriggerCharacters': [')']},
                'workspaceSymbolProvider': True,
                'workspace': {'workspaceFolders': {'supported': True,
                                                   'changeNotifications': True}},
            },
            'serverInfo': {'name': 'vorn'},
        }

    def shutdown(self, params):
        self.shutting_down = True
        return None

    def exit(self, params):
        self.exit_status = 0 if self.shutting_down else 1

    def ignore(self, params):
        pass

    # -- documents ----------------------------------------------------------------------

    def document(self, params):
        """The open document that params name; ResponseError when it is not open."""
        try:
            uri = params['textDocument']['uri']
        except (KeyError, TypeError):
            raise ResponseError(jsonrpc.INVALID_PARAMS, 'no textDocument.uri')
        doc = self.documents.get(uri)
        if doc is None:
            raise ResponseError(jsonrpc.INVALID_PARAMS, 'document not open: %s' % uri)
        return doc

    def did_open(self, params):
        item = params['textDocument']
        uri = item['uri']
        old = self.documents.pop(uri, None)
        if old is not None:
            old.close()
        self.documents[uri] = Document(self, uri, item.get('text', u''), item.get('version'))

    def did_change(self, params):
        doc = self.document(params)
        version = params['textDocument'].get('version')
        for change in params.get('contentChanges', ()):
            try:
                doc.replace(change)
            except EditFailed as e:
                self.log('edit failed, cut again:\n%s' % e)
            except (KeyError, TypeError, ValueError, AttributeError) as e:
                # A change the document cannot take: skipped, the text stays as it was.
                self.log('change skipped (%s): %r' % (e, change))
        doc.text.version = version

    def did_close(self, params):
        doc = self.document(params)
        del self.documents[doc.uri]
        doc.close()
        if doc.published:
            self.notify('textDocument/publishDiagnostics', {'uri': doc.uri, 'diagnostics': []})

    # -- questions ----------------------------------------------------------------------

    def document_symbol(self, params):
        # Editors ask for the outline several times per version (outline view,
        # breadcrumbs): it is made once per change.
        doc = self.document(params)
        if doc.outline is None:
            doc.outline = symbols.document_symbols(doc)
        return doc.outline

    def position(self, params):
        position = params.get('position')
        if not isinstance(position, dict):
            raise ResponseError(jsonrpc.INVALID_PARAMS, 'no position')
        return position

    def completion(self, params):
        doc = self.document(params)
        return {'isIncomplete': False, 'items': answers.completion(doc, self.position(params))}

    def hover(self, params):
        doc = self.document(params)
        return answers.hover(doc, self.position(params))

    def definition(self, params):
        doc = self.document(params)
        return answers.definition(doc, self.position(params), uri_for_path)

    def references(self, params):
        doc = self.document(params)
        context = params.get('context')
        declaration = not isinstance(context, dict) or context.get('includeDeclaration', True)
        return answers.references(self._open_documents(doc), doc, self.position(params),
                                  uri_for_path, bool(declaration))

    def document_highlight(self, params):
        doc = self.document(params)
        return answers.highlights(doc, self.position(params), uri_for_path)

    def signature_help(self, params):
        doc = self.document(params)
        return answers.signature_help(doc, self.position(params))

    def workspace_symbol(self, params):
        query = params.get('query', u'')
        if not isinstance(query, basestring):
            raise ResponseError(jsonrpc.INVALID_PARAMS, 'query must be a string')
        index = self.workspace
        index.start()
        if not index.work(stop=self.cancel_arrived):
            raise ResponseError(jsonrpc.REQUEST_CANCELLED, 'cancelled')
        self.log('workspace/symbol: %d files, %d read, %d restored'
                 % (len(index.entries), index.read, index.restored))
        return index.query(query, self._open_documents(), uri_for_path)

    def did_change_folders(self, params):
        event = params.get('event') or {}
        folders = set(self.workspace.folders)
        for item in event.get('removed') or ():
            folders.discard(path_for_uri(item.get('uri', '')))
        for item in event.get('added') or ():
            path = path_for_uri(item.get('uri', ''))
            if path:
                folders.add(path)
        old = self.workspace
        self.workspace = workspace.WorkspaceIndex(sorted(f for f in folders if f), self.log)
        # Files already read stay read.
        self.workspace.entries = old.entries

    def _open_documents(self, first=None):
        """The open documents, `first` leading."""
        docs = [d for _, d in sorted(self.documents.items()) if d is not first]
        return ([first] if first is not None else []) + docs

    REQUESTS = {
        'initialize': initialize,
        'shutdown': shutdown,
        'textDocument/documentSymbol': document_symbol,
        'textDocument/completion': completion,
        'textDocument/hover': hover,
        'textDocument/definition': definition,
        'textDocument/references': references,
        'textDocument/documentHighlight': document_highlight,
        'textDocument/signatureHelp': signature_help,
        'workspace/symbol': workspace_symbol,
    }
    NOTIFICATIONS = {
        'initialized': ignore,
        'exit': exit,
        'textDocument/didOpen': did_open,
        'textDocument/didChange': did_change,
        'textDocument/didSave': ignore,
        'textDocument/didClose': did_close,
        '$/cancelRequest': ignore,
        '$/setTrace': ignore,
        'workspace/didChangeConfiguration': ignore,
        'workspace/didChangeWorkspaceFolders': did_change_folders,
    }


def main(argv, report=None):
    """vorn lsp with argv (the words after 'lsp'); returns the exit status."""
    options = vornwire.server_options(argv, 'lsp', HELP, ('--log',))
    if not isinstance(options, dict):
        return options
    log_name = options.get('--log')
    out_fd = vornwire.protocol_output()
    stream = open(log_name, 'a') if log_name else None
    log = Log(stream)
    log('vorn lsp started, pid %d' % os.getpid())
    try:
        return Server(jsonrpc.Connection(0, out_fd), log).run()
    finally:
        log('vorn lsp stopped')
        if stream is not None:
            stream.close()
