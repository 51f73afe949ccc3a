// Drives `vorn lsp` as an editor does, through the JSON-RPC and LSP client libraries editors
// build on. VORN names the launcher (default: the build's installation).
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const os = require('node:os');
const fs = require('node:fs');
const { spawn } = require('node:child_process');
const rpc = require('vscode-jsonrpc/node');
const lsp = require('vscode-languageserver-protocol');

const VORN = process.env.VORN ||
  path.join(__dirname, '..', '..', 'build', 'install', 'bin', 'vorn');
const STDLIB = '/usr/lib/python2.7';

function start(env) {
  const child = spawn(VORN, ['lsp'], { stdio: ['pipe', 'pipe', 'pipe'],
    env: Object.assign({}, process.env, env || {}) });
  let stderr = '';
  child.stderr.on('data', (d) => { stderr += d; });
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin));
  const diagnostics = new Map();
  const waiters = [];
  connection.onNotification(lsp.PublishDiagnosticsNotification.type, (params) => {
    diagnostics.set(params.uri, params.diagnostics);
    for (const w of waiters.splice(0)) w();
  });
  connection.listen();
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return {
    child, connection, diagnostics, exited, stderr: () => stderr,
    async init(rootUri) {
      const result = await connection.sendRequest(lsp.InitializeRequest.type,
        { processId: process.pid, rootUri: rootUri || null, capabilities: {} });
      connection.sendNotification(lsp.InitializedNotification.type, {});
      return result;
    },
    open(uri, text) {
      connection.sendNotification(lsp.DidOpenTextDocumentNotification.type,
        { textDocument: { uri, languageId: 'python', version: 1, text } });
    },
    change(uri, version, changes) {
      connection.sendNotification(lsp.DidChangeTextDocumentNotification.type,
        { textDocument: { uri, version }, contentChanges: changes });
    },
    symbols(uri) {
      return connection.sendRequest(lsp.DocumentSymbolRequest.type, { textDocument: { uri } });
    },
    // The diagnostics of uri once they satisfy pred (they arrive when analysis settles).
    async diagnosticsWhen(uri, pred) {
      for (let i = 0; i < 200; i++) {
        if (diagnostics.has(uri) && pred(diagnostics.get(uri))) return diagnostics.get(uri);
        await new Promise((resolve) => { waiters.push(resolve); setTimeout(resolve, 50); });
      }
      throw new Error('diagnostics of ' + uri + ' never matched: '
        + JSON.stringify(diagnostics.get(uri)));
    },
    async stop() {
      await connection.sendRequest(lsp.ShutdownRequest.type);
      connection.sendNotification(lsp.ExitNotification.type);
      const code = await exited;
      connection.dispose();
      return code;
    },
  };
}

// Character offset -> LSP position (UTF-16 code units, as JavaScript strings count them).
function positionAt(text, offset) {
  const before = text.slice(0, offset);
  const lines = before.split(/\r\n|\r|\n/);
  return { line: lines.length - 1, character: lines[lines.length - 1].length };
}

function shape(symbols) {
  return symbols.map((s) => [s.name, s.kind, s.range, s.selectionRange, shape(s.children || [])]);
}

test('lifecycle: initialize, capabilities, unknown methods, shutdown and exit', async () => {
  const server = start();
  const early = await server.connection.sendRequest('textDocument/documentSymbol',
    { textDocument: { uri: 'file:///nowhere.py' } }).then(() => null, (e) => e.code);
  assert.strictEqual(early, -32002);
  const result = await server.init();
  assert.strictEqual(result.capabilities.textDocumentSync.change, 2);
  assert.ok(result.capabilities.documentSymbolProvider);
  const unknown = await server.connection.sendRequest('vorn/nothing', {})
    .then(() => null, (e) => e.code);
  assert.strictEqual(unknown, rpc.ErrorCodes.MethodNotFound);
  // Edits and questions for a document never opened: an error or a skip, the server lives on.
  server.change('file:///never.py', 2, [{ text: 'x = 1\n' }]);
  const closed = await server.symbols('file:///never.py').then(() => null, (e) => e.code);
  assert.strictEqual(closed, rpc.ErrorCodes.InvalidParams);
  assert.strictEqual(await server.stop(), 0);
});

test('typing into a standard-library module answers as a fresh open of the final text', async () => {
  const server = start();
  await server.init();
  const uri = 'file:///tmp/typed/shlex.py';
  let text = fs.readFileSync(path.join(STDLIB, 'shlex.py'), 'utf8');
  server.open(uri, text);
  const before = await server.symbols(uri);    // the outline of the first version, kept
  assert.ok(before.find((s) => s.name === 'shlex'));
  let version = 1;
  const edit = (offset, length, insert) => {
    const start = positionAt(text, offset);
    const end = positionAt(text, offset + length);
    text = text.slice(0, offset) + insert + text.slice(offset + length);
    server.change(uri, ++version, [{ range: { start, end }, text: insert }]);
  };
  // Character by character: a new method with a non-ASCII string, typed into a class.
  const at = text.indexOf('    def push_token');
  const typed = '    def caf\u00e9_said(self, a, b=2):\n        return u"\u00e9\ud834\udd1e" + a\n\n';
  for (let i = 0; i < typed.length; i++) edit(at + i, 0, typed[i]);
  // A paste, a deletion of a whole def, and an undo of part of it.
  const split = text.indexOf('def split(');
  const removed = text.slice(split, text.indexOf('\n\n', split) + 2);
  edit(split, removed.length, '');
  edit(split, 0, removed.slice(0, 40));
  edit(text.length, 0, '\r\nclass Tail:\r\n    x = 1\r\n');

  const fresh = 'file:///tmp/typed/fresh.py';
  server.open(fresh, text);
  const [mine, theirs] = await Promise.all([server.symbols(uri), server.symbols(fresh)]);
  assert.deepStrictEqual(shape(mine), shape(theirs));
  const names = mine.find((s) => s.name === 'shlex').children.map((s) => s.name);
  assert.ok(names.includes('caf\u00e9_said') || names.includes('caf'), names.join(' '));
  assert.ok(mine.find((s) => s.name === 'Tail'));
  const a = await server.diagnosticsWhen(uri, () => true);
  const b = await server.diagnosticsWhen(fresh, () => true);
  assert.deepStrictEqual(a, b);
  assert.strictEqual(await server.stop(), 0);
});

test('syntax errors as the user types, Python 2 grammar, cleared when fixed', async () => {
  const server = start();
  await server.init();
  const uri = 'file:///tmp/errors.py';
  server.open(uri, 'print "caf\u00e9", 1\r\nexec "x = 1"\r\ndef f(a):\r\n    return a +\r\n');
  let found = await server.diagnosticsWhen(uri, (d) => d.length > 0);
  assert.deepStrictEqual(found.map((d) => d.range.start.line), [3]);
  server.change(uri, 2, [{ range: { start: { line: 3, character: 14 },
    end: { line: 3, character: 14 } }, text: ' 1' }]);
  found = await server.diagnosticsWhen(uri, (d) => d.length === 0);
  server.change(uri, 3, [{ range: { start: { line: 0, character: 0 },
    end: { line: 0, character: 0 } }, text: 'from __future__ import print_function\r\n' }]);
  found = await server.diagnosticsWhen(uri, (d) => d.length > 0);
  assert.deepStrictEqual(found.map((d) => d.range.start.line), [1]);
  assert.strictEqual(await server.stop(), 0);
});

test('outline positions count UTF-16 code units on non-ASCII lines', async () => {
  const server = start();
  await server.init();
  const uri = 'file:///tmp/wide.py';
  server.open(uri, 's = "\ud834\udd1e\u00e9"; t = 1\nclass K(object):\n    def m(self): pass\n');
  const found = await server.symbols(uri);
  const t = found.find((s) => s.name === 't');
  assert.deepStrictEqual(t.selectionRange.start, { line: 0, character: 11 });
  const k = found.find((s) => s.name === 'K');
  assert.deepStrictEqual(k.selectionRange, { start: { line: 1, character: 6 },
    end: { line: 1, character: 7 } });
  assert.deepStrictEqual(k.children[0].selectionRange.start, { line: 2, character: 8 });
  assert.strictEqual(k.children[0].kind, lsp.SymbolKind.Method);
  assert.strictEqual(await server.stop(), 0);
});

test('malformed input is answered or skipped, and the server keeps its documents', async () => {
  const server = start();
  await server.init();
  const uri = 'file:///tmp/kept.py';
  server.open(uri, 'def kept(): pass\n');
  // A body that is not JSON, then a header without a length: the server answers the first
  // with a parse error and skips the second.
  server.child.stdin.write('Content-Length: 5\r\n\r\n{oops');
  server.child.stdin.write('X-Nothing: 1\r\n\r\n');
  // Ids and cancellations of shapes JSON-RPC does not allow.
  const odd = JSON.stringify({ jsonrpc: '2.0', id: [1], method: '$/cancelRequest',
    params: { id: { x: 1 } } });
  server.child.stdin.write('Content-Length: ' + odd.length + '\r\n\r\n' + odd);
  server.change(uri, 2, [{ range: { start: { line: 99, character: 0 },
    end: { line: 120, character: 3 } }, text: 'x = 2\n' }]);
  const found = await server.symbols(uri);
  assert.deepStrictEqual(found.map((s) => s.name), ['kept', 'x']);
  assert.strictEqual(await server.stop(), 0);
});

test('completion after a typed ".", hover and definition', async () => {
  const server = start();
  const init = await server.init();
  assert.deepStrictEqual(init.capabilities.completionProvider.triggerCharacters, ['.']);
  const uri = 'file:///tmp/ask.py';
  let text = 'class Base(object):\n    """Base."""\n    def run(self, n=1):\n'
    + '        self.count = n\n\nb = Base()\n';
  server.open(uri, text);
  let version = 1;
  for (const ch of 'b.') {
    const at = positionAt(text, text.length);
    text += ch;
    server.change(uri, ++version, [{ range: { start: at, end: at }, text: ch }]);
  }
  const list = await server.connection.sendRequest(lsp.CompletionRequest.type,
    { textDocument: { uri }, position: { line: 6, character: 2 } });
  assert.deepStrictEqual(list.items.map((i) => i.label), ['count', 'run']);
  const hover = await server.connection.sendRequest(lsp.HoverRequest.type,
    { textDocument: { uri }, position: { line: 5, character: 5 } });
  assert.strictEqual(hover.contents.value, '```python\nclass Base(object)\n```\n\nBase.');
  const found = await server.connection.sendRequest(lsp.DefinitionRequest.type,
    { textDocument: { uri }, position: { line: 5, character: 0 } });
  assert.deepStrictEqual(found[0].range.start, { line: 5, character: 0 });
  const outside = await server.connection.sendRequest(lsp.CompletionRequest.type,
    { textDocument: { uri }, position: { line: 500, character: 90 } });
  assert.ok(Array.isArray(outside.items));
  assert.strictEqual(await server.stop(), 0);
});

test('references, highlights and signature help across open documents; workspace symbols', async () => {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'vorn-ws-'));
  const config = path.join(root, '.config');
  let server = null;
  try {
    fs.writeFileSync(path.join(root, 'shapes.py'),
      'class Shape(object):\n    def area(self, scale=1):\n        """The area."""\n'
      + '        return 0\n\ndef total(shapes, start=0):\n    return start\n');
    fs.mkdirSync(path.join(root, 'pkg'));
    fs.writeFileSync(path.join(root, 'pkg', '__init__.py'), 'def helper():\n    pass\n');
    const useText = 'from shapes import Shape, total\n\nclass Square(Shape):\n'
      + '    def side(self):\n        return self.area(2)\n\nsq = Square()\n'
      + 'print total([sq, sq], 1), sq.area()\n';
    const shapesUri = 'file://' + path.join(root, 'shapes.py');
    const useUri = 'file://' + path.join(root, 'use.py');
    const wsSymbols = async (server, query) => (await server.connection.sendRequest(
      lsp.WorkspaceSymbolRequest.type, { query })).map((s) =>
      [s.name, s.kind, s.containerName || '', path.basename(s.location.uri),
        s.location.range.start.line]).sort();

    server = start({ XDG_CONFIG_HOME: config });
    const init = await server.init('file://' + root);
    assert.ok(init.capabilities.referencesProvider && init.capabilities.workspaceSymbolProvider);
    assert.deepStrictEqual(init.capabilities.signatureHelpProvider.triggerCharacters, ['(', ',']);
    server.open(shapesUri, fs.readFileSync(path.join(root, 'shapes.py'), 'utf8'));
    server.open(useUri, useText);
    // Every use of Shape.area, in both documents: its def, self.area in a subclass, sq.area.
    const refs = await server.connection.sendRequest(lsp.ReferencesRequest.type,
      { textDocument: { uri: useUri }, position: { line: 7, character: 31 },
        context: { includeDeclaration: true } });
    assert.deepStrictEqual(refs.map((r) => [path.basename(r.uri), r.range.start.line,
      r.range.start.character]).sort(),
      [['shapes.py', 1, 8], ['use.py', 4, 20], ['use.py', 7, 29]]);
    const marks = await server.connection.sendRequest(lsp.DocumentHighlightRequest.type,
      { textDocument: { uri: useUri }, position: { line: 6, character: 0 } });
    assert.deepStrictEqual(marks.map((h) => [h.range.start.line, h.range.start.character, h.kind]),
      [[6, 0, 3], [7, 13, 2], [7, 17, 2], [7, 26, 2]]);
    // Inside calls: a method of a base class (self is bound), an imported def.
    let help = await server.connection.sendRequest(lsp.SignatureHelpRequest.type,
      { textDocument: { uri: useUri }, position: { line: 4, character: 25 } });
    assert.strictEqual(help.signatures[0].label, 'area(scale=1)');
    assert.strictEqual(help.signatures[0].documentation, 'The area.');
    help = await server.connection.sendRequest(lsp.SignatureHelpRequest.type,
      { textDocument: { uri: useUri }, position: { line: 7, character: 22 } });
    assert.deepStrictEqual([help.signatures[0].label, help.activeParameter],
      ['total(shapes, start=0)', 1]);
    // The workspace's classes and defs, the open documents as edited.
    server.change(useUri, 2, [{ range: { start: { line: 6, character: 0 },
      end: { line: 6, character: 0 } }, text: 'def typed(): pass\n' }]);
    const first = await wsSymbols(server, '');
    assert.deepStrictEqual(first, [
      ['Shape', 5, '', 'shapes.py', 0], ['Square', 5, '', 'use.py', 2],
      ['area', 6, 'Shape', 'shapes.py', 1], ['helper', 12, '', '__init__.py', 0],
      ['side', 6, 'Square', 'use.py', 3], ['total', 12, '', 'shapes.py', 5],
      ['typed', 12, '', 'use.py', 6]]);
    assert.deepStrictEqual(await wsSymbols(server, 'sq'), [['Square', 5, '', 'use.py', 2]]);
    assert.strictEqual(await server.stop(), 0);
    // A new server answers from the stored symbols; a changed file is read again.
    fs.appendFileSync(path.join(root, 'shapes.py'), 'class Circle(Shape): pass\n');
    server = start({ XDG_CONFIG_HOME: config });
    await server.init('file://' + root);
    assert.deepStrictEqual(await wsSymbols(server, ''), first.filter((s) => s[3] !== 'use.py')
      .concat([['Circle', 5, '', 'shapes.py', 7]]).sort());
    assert.strictEqual(await server.stop(), 0);
  } finally {
    if (server && server.child.exitCode === null) server.child.kill();
    fs.rmSync(root, { recursive: true, force: true });
  }
});
