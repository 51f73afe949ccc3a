// Starts `vorn lsp` for the python language when the workspace says its Python is 2
// (setting vorn.pythonVersion, or python.defaultInterpreterPath naming a python2), and runs
// `vorn dap` as the debug adapter of the debugger type `vorn`.
'use strict';
const vscode = require('vscode');
const { LanguageClient } = require('vscode-languageclient/node');

let client = null;

function wantsPython2() {
  const vorn = vscode.workspace.getConfiguration('vorn');
  if (vorn.get('pythonVersion') === '2') return true;
  const interpreter = vscode.workspace.getConfiguration('python').get('defaultInterpreterPath');
  return typeof interpreter === 'string' && /python2(\.\d+)?$/.test(interpreter);
}

async function start() {
  if (client || !wantsPython2()) return;
  const settings = vscode.workspace.getConfiguration('vorn');
  const args = ['lsp'];
  if (settings.get('log')) args.push('--log', settings.get('log'));
  client = new LanguageClient('vorn', 'Vorn (Python 2)',
    { command: launcher(), args },
    { documentSelector: [{ scheme: 'file', language: 'python' },
                         { scheme: 'untitled', language: 'python' }] });
  await client.start();
}

async function stop() {
  if (client) {
    const running = client;
    client = null;
    await running.stop();
  }
}

function launcher() {
  return vscode.workspace.getConfiguration('vorn').get('command') || 'vorn';
}

// F5 without a launch.json debugs the file in the editor, in a terminal it can read from.
const configurations = {
  resolveDebugConfiguration(folder, config) {
    if (!config.type && !config.request && !config.name) {
      const editor = vscode.window.activeTextEditor;
      if (!editor || editor.document.languageId !== 'python') return config;
      return { type: 'vorn', request: 'launch', name: 'Python 2: current file',
               program: editor.document.fileName, console: 'integratedTerminal' };
    }
    return config;
  },
};

const adapters = {
  createDebugAdapterDescriptor() {
    return new vscode.DebugAdapterExecutable(launcher(), ['dap']);
  },
};

function activate(context) {
  context.subscriptions.push(
    vscode.debug.registerDebugConfigurationProvider('vorn', configurations),
    vscode.debug.registerDebugAdapterDescriptorFactory('vorn', adapters));
  context.subscriptions.push(vscode.workspace.onDidChangeConfiguration(async (event) => {
    if (event.affectsConfiguration('vorn') || event.affectsConfiguration('python')) {
      await stop();
      await start();
    }
  }));
  return start();
}

function deactivate() {
  return stop();
}

module.exports = { activate, deactivate };
