// The VS Code extension as the editor sees it: the packaged .vsix of the installation, and
// extension.js activated against a stand-in of the editor's API that records what it is asked.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const fs = require('node:fs');
const zlib = require('node:zlib');
const Module = require('node:module');

const VORN = process.env.VORN ||
  path.join(__dirname, '..', '..', 'build', 'install', 'bin', 'vorn');
const VSIX = path.join(path.dirname(path.dirname(VORN)), 'share', 'vorn', 'vorn.vsix');
const SOURCES = path.join(__dirname, '..', '..', 'editors', 'vscode');

// {name: contents} of a zip archive, read through its central directory.
function unzip(file) {
  const data = fs.readFileSync(file);
  const end = data.lastIndexOf(Buffer.from([0x50, 0x4b, 0x05, 0x06]));
  assert.ok(end >= 0, file + ' is no zip archive');
  const count = data.readUInt16LE(end + 10);
  let at = data.readUInt32LE(end + 16);
  const entries = {};
  for (let i = 0; i < count; i++) {
    assert.strictEqual(data.readUInt32LE(at), 0x02014b50);
    const method = data.readUInt16LE(at + 10);
    const size = data.readUInt32LE(at + 20);
    const nameLength = data.readUInt16LE(at + 28);
    const extra = data.readUInt16LE(at + 30) + data.readUInt16LE(at + 32);
    const local = data.readUInt32LE(at + 42);
    const name = data.toString('utf8', at + 46, at + 46 + nameLength);
    const start = local + 30 + data.readUInt16LE(local + 26) + data.readUInt16LE(local + 28);
    const raw = data.subarray(start, start + size);
    entries[name] = method === 8 ? zlib.inflateRawSync(raw) : raw;
    at += 46 + nameLength + extra;
  }
  return entries;
}

test('the installation ships the extension packaged, with the language client it needs',
  { skip: !fs.existsSync(VSIX) && 'no vorn.vsix (built only where npm is installed)' }, () => {
    const entries = unzip(VSIX);
    for (const name of ['package.json', 'extension.js']) {
      assert.deepStrictEqual(entries['extension/' + name].toString(),
        fs.readFileSync(path.join(SOURCES, name), 'utf8'), name + ' differs from the sources');
    }
    assert.ok(entries['extension/node_modules/vscode-languageclient/package.json']);
    // The packager is a build tool, not part of the extension.
    assert.ok(!Object.keys(entries).some((n) => n.includes('node_modules/@vscode/vsce')));
  });

// Loads extension.js with `vscode` and the language client replaced by recorders.
function activate(settings, activeFile) {
  const calls = { configProviders: {}, adapterFactories: {}, clients: [] };
  const vscode = {
    workspace: {
      getConfiguration: (section) => ({ get: (key) => (settings[section] || {})[key] }),
      onDidChangeConfiguration: () => ({ dispose() {} }),
    },
    window: {
      activeTextEditor: activeFile &&
        { document: { languageId: 'python', fileName: activeFile } },
    },
    debug: {
      registerDebugConfigurationProvider: (type, p) => { calls.configProviders[type] = p; return {}; },
      registerDebugAdapterDescriptorFactory: (type, f) => { calls.adapterFactories[type] = f; return {}; },
    },
    DebugAdapterExecutable: class { constructor(command, args) { this.command = command; this.args = args; } },
  };
  class LanguageClient {
    constructor(id, name, server, client) { calls.clients.push({ id, server, client }); }
    start() { return Promise.resolve(); }
    stop() { return Promise.resolve(); }
  }
  const stubs = { vscode, 'vscode-languageclient/node': { LanguageClient } };
  const load = Module._load;
  Module._load = function (request, ...rest) {
    return request in stubs ? stubs[request] : load.call(this, request, ...rest);
  };
  try {
    const file = require.resolve(path.join(SOURCES, 'extension.js'));
    delete require.cache[file];
    const extension = require(file);
    const context = { subscriptions: [] };
    return extension.activate(context).then(() => calls);
  } finally {
    Module._load = load;
  }
}

test('the extension runs vorn dap as the adapter of the vorn debugger type', async () => {
  const calls = await activate({ vorn: { command: '/opt/vorn/bin/vorn' } }, '/src/app.py');
  const adapter = calls.adapterFactories.vorn.createDebugAdapterDescriptor({});
  assert.deepStrictEqual([adapter.command, adapter.args], ['/opt/vorn/bin/vorn', ['dap']]);
  // F5 with no launch.json debugs the file being edited; a configuration given stays as it is.
  const provider = calls.configProviders.vorn;
  assert.deepStrictEqual(provider.resolveDebugConfiguration(undefined, {}),
    { type: 'vorn', request: 'launch', name: 'Python 2: current file', program: '/src/app.py',
      console: 'integratedTerminal' });
  const given = { type: 'vorn', request: 'attach', name: 'a', port: 5678 };
  assert.strictEqual(provider.resolveDebugConfiguration(undefined, given), given);
  // Python 3 workspaces (the default) get no language server from it.
  assert.strictEqual(calls.clients.length, 0);
});

test('the extension starts vorn lsp where the workspace says its Python is 2', async () => {
  for (const settings of [{ vorn: { pythonVersion: '2', log: '/tmp/l' } },
                          { python: { defaultInterpreterPath: '/usr/bin/python2.7' } }]) {
    const calls = await activate(settings, null);
    assert.strictEqual(calls.clients.length, 1);
    const { server, client } = calls.clients[0];
    assert.strictEqual(server.command, 'vorn');
    assert.deepStrictEqual(server.args, settings.vorn ? ['lsp', '--log', '/tmp/l'] : ['lsp']);
    assert.deepStrictEqual(client.documentSelector.map((s) => s.language), ['python', 'python']);
  }
});

test('every configuration attribute the extension declares is one vorn dap reads', () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(SOURCES, 'package.json'), 'utf8'));
  const debuggers = manifest.contributes.debuggers;
  assert.deepStrictEqual(debuggers.map((d) => d.type), ['vorn']);
  const dap = path.join(__dirname, '..', '..', 'ide', 'vorndap');
  const code = fs.readdirSync(dap).filter((f) => f.endsWith('.py'))
    .map((f) => fs.readFileSync(path.join(dap, f), 'utf8')).join('\n');
  for (const [request, schema] of Object.entries(debuggers[0].configurationAttributes)) {
    for (const name of Object.keys(schema.properties)) {
      assert.ok(code.includes(`'${name}'`), `${request} attribute ${name} is not read by vorn dap`);
    }
    for (const name of schema.required) assert.ok(name in schema.properties);
  }
});
