// Drives `vorn dap` as editors' debug adapters are tested: through DebugClient of
// @vscode/debugadapter-testsupport, on real programs under dap_programs/. VORN names the
// launcher (default: the build's installation); PYTHON the interpreter the programs run under.
'use strict';
const test = require('node:test');
const assert = require('node:assert');
const path = require('node:path');
const net = require('node:net');
const { spawn } = require('node:child_process');
const { DebugClient } = require('@vscode/debugadapter-testsupport');

const VORN = process.env.VORN ||
  path.join(__dirname, '..', '..', 'build', 'install', 'bin', 'vorn');
const PYTHON = process.env.PYTHON || '/usr/bin/python2.7';
const PROGRAMS = path.join(__dirname, 'dap_programs');
const ORDERS = path.join(PROGRAMS, 'orders.py');
const PRICING = path.join(PROGRAMS, 'pricing.py');
const FAILING = path.join(PROGRAMS, 'failing.py');
const SPINNING = path.join(PROGRAMS, 'spinning.py');

// A test that hangs fails instead of holding the suite (requests have no timeout of their own).
const LIMIT = 60000;
// Every process a test starts, killed once the suite is over (a test that timed out leaves its
// own behind, and they would keep node from ending).
const started = [];
test.after(() => {
  for (const child of started) {
    if (child && child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
  }
});

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function alive(pid) {
  try {
    process.kill(pid, 0);
    return true;
  } catch (e) {
    return false;
  }
}

async function gone(pid, ms = 5000) {
  for (let waited = 0; waited < ms; waited += 50) {
    if (!alive(pid)) return true;
    await sleep(50);
  }
  return false;
}

// An adapter with every event it sends kept in order, so a test can look back at them.
async function start() {
  const dc = new DebugClient(VORN, 'dap', 'vorn');
  dc.defaultTimeout = 10000;
  const events = [];
  for (const name of ['output', 'stopped', 'continued', 'breakpoint', 'module', 'exited',
    'terminated', 'process', 'initialized']) {
    dc.on(name, (e) => events.push(e));
  }
  await dc.start();
  started.push(dc._adapterProcess);
  dc.events = events;
  dc.output = (category) => events.filter((e) => e.event === 'output' &&
    (!category || e.body.category === category)).map((e) => e.body.output).join('');
  return dc;
}

// Waits until the output of category holds text (the events are kept as they come).
async function outputHas(dc, category, text) {
  for (let waited = 0; waited < 10000; waited += 20) {
    if (dc.output(category).includes(text)) return;
    await sleep(20);
  }
  throw new Error(`no ${category} output ${JSON.stringify(text)}: ${dc.output()}`);
}

// initialize + launch, configured by configure() once the adapter says initialized; with
// stops, the promise of the first stopped event.
async function launch(dc, args, configure, stops) {
  const stopped = stops || args.stopOnEntry ? dc.waitForEvent('stopped') : null;
  await Promise.all([
    dc.waitForEvent('initialized').then(() => configure && configure())
      .then(() => dc.configurationDoneRequest()),
    dc.launch(Object.assign({ python: PYTHON }, args)),
  ]);
  return stopped;
}

// The stopped event a request brings: listened for before the request goes, since it may
// come in the same read as the response.
function resume(dc, request, at) {
  const stopped = dc.waitForEvent('stopped');
  return dc[request + 'Request']({ threadId: at.threadId }).then(() => stopped);
}

async function stoppedAt(dc, reason, file, line, stopped) {
  const event = await (stopped || dc.waitForEvent('stopped'));
  assert.strictEqual(event.body.reason, reason, JSON.stringify(event.body));
  const trace = await dc.stackTraceRequest({ threadId: event.body.threadId });
  const top = trace.body.stackFrames[0];
  assert.strictEqual(top.source.path, file);
  assert.strictEqual(top.line, line, JSON.stringify(trace.body.stackFrames.slice(0, 2)));
  return { event, trace, threadId: event.body.threadId, frameId: top.id };
}

async function locals(dc, frameId) {
  const scopes = await dc.scopesRequest({ frameId });
  assert.deepStrictEqual(scopes.body.scopes.map((s) => s.name), ['Locals', 'Globals']);
  const vars = await dc.variablesRequest({
    variablesReference: scopes.body.scopes[0].variablesReference });
  const found = {};
  for (const v of vars.body.variables) found[v.name] = v;
  return found;
}

test('breakpoints (condition, hit count, log point, function, moved, waiting for a module), '
  + 'stepping across modules, data, output and exit status', { timeout: LIMIT }, async () => {
  const dc = await start();
  try {
    let waiting;
    const first = await launch(dc, { program: ORDERS }, async () => {
      const set = await dc.setBreakpointsRequest({ source: { path: ORDERS }, breakpoints: [
        { line: 7, condition: 'item == 7' },
        { line: 16, logMessage: 'totals={totals} n={n}' },
        { line: 9 },
      ] });
      const [cond, log, moved] = set.body.breakpoints;
      assert.ok(cond.verified && log.verified && moved.verified);
      assert.deepStrictEqual([cond.line, log.line, moved.line], [7, 16, 11]);
      // pricing.py is imported by the program once it runs.
      const later = await dc.setBreakpointsRequest({ source: { path: PRICING },
        breakpoints: [{ line: 5, hitCondition: '3' }] });
      waiting = later.body.breakpoints[0];
      assert.strictEqual(waiting.verified, false);
      const fn = await dc.setFunctionBreakpointsRequest({ breakpoints: [
        { name: 'Basket.weigh' }, { name: 'no_such_function' }] });
      assert.strictEqual(fn.body.breakpoints[0].verified, true);
      assert.strictEqual(fn.body.breakpoints[0].line, 25);
      assert.strictEqual(fn.body.breakpoints[1].verified, false);
    }, true);

    // The blank line's breakpoint moved to the def below it, which runs as the module loads.
    let at = await stoppedAt(dc, 'breakpoint', ORDERS, 11, first);

    // The condition holds on the third call only.
    at = await stoppedAt(dc, 'breakpoint', ORDERS, 7, resume(dc, 'continue', at));
    assert.deepStrictEqual(at.trace.body.stackFrames.map((f) => f.name),
      ['price', 'run', 'main', '<module>']);
    const bound = dc.events.find((e) => e.event === 'breakpoint' && e.body.breakpoint.id === waiting.id);
    assert.ok(bound && bound.body.breakpoint.verified, 'the waiting breakpoint bound');
    assert.ok(dc.events.some((e) => e.event === 'module' && e.body.module.name === 'pricing'));
    let vars = await locals(dc, at.frameId);
    assert.strictEqual(vars.item.value, '7');
    assert.strictEqual(vars.count.value, '3');
    const watch = await dc.evaluateRequest({ expression: 'item * count', frameId: at.frameId,
      context: 'watch' });
    assert.strictEqual(watch.body.result, '21');
    // A local set here is the one the program goes on with.
    const scopes = await dc.scopesRequest({ frameId: at.frameId });
    const set = await dc.setVariableRequest({ name: 'count',
      variablesReference: scopes.body.scopes[0].variablesReference, value: '10' });
    assert.strictEqual(set.body.value, '10');
    at = await stoppedAt(dc, 'step', ORDERS, 8, resume(dc, 'next', at));
    const total = await dc.evaluateRequest({ expression: 'total', frameId: at.frameId,
      context: 'hover' });
    assert.strictEqual(total.body.result, '70');
    // Out of price: the rest of line 15 calls into the other module, where the breakpoint's
    // third hit stops.
    at = await stoppedAt(dc, 'breakpoint', PRICING, 5, resume(dc, 'stepOut', at));
    assert.strictEqual((await locals(dc, at.frameId)).value.value, '70');
    at = await stoppedAt(dc, 'step', PRICING, 6, resume(dc, 'next', at));
    // Back out across the modules: the caller's next line, the value returned shown.
    at = await stoppedAt(dc, 'step', ORDERS, 14, resume(dc, 'stepOut', at));
    const returned = await locals(dc, at.frameId);
    assert.strictEqual(returned['(return) discounted'].value, '69');

    // From the count on, every hit stops.
    at = await stoppedAt(dc, 'breakpoint', PRICING, 5, resume(dc, 'continue', at));
    assert.strictEqual((await locals(dc, at.frameId)).value.value, '44');

    // The log point wrote its message without stopping; the function breakpoint stops.
    at = await stoppedAt(dc, 'breakpoint', ORDERS, 25, resume(dc, 'continue', at));
    assert.match(dc.output('console'), /totals=\[3, 10, 69, 43\] n=3\n/);
    vars = await locals(dc, at.frameId);
    const self = await dc.variablesRequest({ variablesReference: vars.self.variablesReference });
    const items = self.body.variables.find((v) => v.name === 'items');
    assert.strictEqual(items.indexedVariables, 4);
    const page = await dc.variablesRequest({ variablesReference: items.variablesReference,
      start: 1, count: 2 });
    assert.deepStrictEqual(page.body.variables.map((v) => [v.name, v.value, v.evaluateName]),
      [['1', '5', 'self.items[1]'], ['2', '7', 'self.items[2]']]);
    // What the program has loaded, and the source of a frame.
    const sources = await dc.customRequest('loadedSources', {});
    const paths = sources.body.sources.map((src) => src.path);
    assert.ok(paths.includes(ORDERS) && paths.includes(PRICING));
    const modules = await dc.modulesRequest({ startModule: 0, moduleCount: 1000 });
    assert.ok(modules.body.modules.some((m) => m.name === 'pricing' && m.path === PRICING));
    const text = await dc.sourceRequest({ source: { path: PRICING }, sourceReference: 0 });
    assert.match(text.body.content, /def discounted\(value\):/);
    // The debug console runs statements too.
    const statement = await dc.evaluateRequest({ expression: 'self.items = self.items[:2]',
      frameId: at.frameId, context: 'repl' });
    assert.strictEqual(statement.success, true);
    const globals = await dc.evaluateRequest({ expression: 'mapping', context: 'repl',
      frameId: at.trace.body.stackFrames[1].id });
    assert.strictEqual(globals.body.result, "{'a': 1, 'b': [1, 2]}");
    const exited = dc.waitForEvent('exited');
    const terminated = dc.waitForEvent('terminated');
    await dc.continueRequest({ threadId: at.threadId });

    // No stop for the KeyError the program catches; its output and status arrive.
    assert.strictEqual((await exited).body.exitCode, 125 % 7);
    await terminated;
    assert.strictEqual(dc.output('stdout'), 'total 125\n');
    assert.strictEqual(dc.output('stderr'), 'weighed 2\n');
    assert.ok(dc.events.some((e) => e.event === 'continued'));
    assert.ok(!dc.events.some((e) => e.event === 'stopped' && e.body.reason === 'exception'));
  } finally {
    await dc.stop();
  }
});

test('exceptions: the uncaught stop and its info, none for caught ones; raised with a type '
  + 'condition', { timeout: LIMIT }, async () => {
  let dc = await start();
  try {
    const first = await launch(dc, { program: FAILING }, () =>
      dc.setExceptionBreakpointsRequest({ filters: ['uncaught'] }), true);
    const at = await stoppedAt(dc, 'exception', FAILING, 5, first);
    assert.strictEqual(dc.output('stdout'), 'caught\n');
    const info = await dc.exceptionInfoRequest({ threadId: at.threadId });
    assert.strictEqual(info.body.exceptionId, 'ValueError');
    assert.strictEqual(info.body.breakMode, 'unhandled');
    assert.match(info.body.description, /ValueError: invalid literal .* 'y'/);
    const arg = await dc.evaluateRequest({ expression: 'text', frameId: at.frameId,
      context: 'watch' });
    assert.strictEqual(arg.body.result, "'y'");
    const exited = dc.waitForEvent('exited');
    const terminated = dc.waitForEvent('terminated');
    await dc.continueRequest({ threadId: at.threadId });
    assert.strictEqual((await exited).body.exitCode, 1);
    await terminated;
    assert.match(dc.output('stderr'), /Traceback[^]*ValueError: invalid literal/);
  } finally {
    await dc.stop();
  }
  dc = await start();
  try {
    const first = await launch(dc, { program: FAILING }, () => dc.setExceptionBreakpointsRequest({
      filters: [], filterOptions: [{ filterId: 'raised', condition: 'KeyError, ValueError' }] }),
    true);
    // Raised: the first ValueError stops, although the program catches it.
    const at = await stoppedAt(dc, 'exception', FAILING, 5, first);
    assert.strictEqual(dc.output('stdout'), '');
    const info = await dc.exceptionInfoRequest({ threadId: at.threadId });
    assert.strictEqual(info.body.breakMode, 'always');
    await dc.setExceptionBreakpointsRequest({ filters: [], filterOptions: [
      { filterId: 'raised', condition: 'KeyError' }] });
    const exited = dc.waitForEvent('exited');
    await dc.continueRequest({ threadId: at.threadId });
    assert.strictEqual((await exited).body.exitCode, 1);
    assert.strictEqual(dc.events.filter((e) => e.event === 'stopped').length, 1);
  } finally {
    await dc.stop();
  }
});

test('a running program: pause, breakpoints and filters changed while it runs, threads, '
  + 'terminate', { timeout: LIMIT }, async () => {
  const dc = await start();
  try {
    const processEvent = dc.waitForEvent('process');
    await launch(dc, { program: SPINNING });
    const pid = (await processEvent).body.systemProcessId;
    await outputHas(dc, 'stdout', 'started\n');
    const threads = await dc.threadsRequest();
    assert.strictEqual(threads.body.threads.length, 1);
    // Pause stops it wherever it is.
    const paused = dc.waitForEvent('stopped');
    const asked = Date.now();
    await dc.pauseRequest({ threadId: threads.body.threads[0].id });
    const event = await paused;
    assert.strictEqual(event.body.reason, 'pause');
    assert.ok(Date.now() - asked < 2000);
    await dc.continueRequest({ threadId: event.body.threadId });
    await sleep(200);
    // A breakpoint set while it runs (tracing was off: no breakpoints) takes effect.
    const hit = dc.waitForEvent('stopped');
    const set = await dc.setBreakpointsRequest({ source: { path: SPINNING },
      breakpoints: [{ line: 13 }] });
    assert.ok(set.body.breakpoints[0].verified);
    const stop = await hit;
    assert.strictEqual(stop.body.reason, 'breakpoint');
    const vars = await locals(dc, (await dc.stackTraceRequest({ threadId: stop.body.threadId }))
      .body.stackFrames[0].id);
    assert.ok(Number(vars.round.value) >= 1);
    // Cleared while it runs: it runs on without stopping.
    await dc.continueRequest({ threadId: stop.body.threadId });
    await dc.setBreakpointsRequest({ source: { path: SPINNING }, breakpoints: [] });
    await dc.setExceptionBreakpointsRequest({ filters: ['raised', 'uncaught'] });
    const before = dc.events.filter((e) => e.event === 'stopped').length;
    await sleep(500);
    assert.strictEqual(dc.events.filter((e) => e.event === 'stopped').length, before);
    assert.ok(alive(pid));
    const terminated = dc.waitForEvent('terminated');
    await dc.terminateRequest();
    await terminated;
    assert.ok(await gone(pid));
  } finally {
    await dc.stop();
  }
});

test('the program never outlives its adapter: a client that goes away, an adapter killed', { timeout: LIMIT }, async () => {
  for (const how of ['close', 'kill']) {
    const dc = await start();
    const processEvent = dc.waitForEvent('process');
    await launch(dc, { program: SPINNING });
    const pid = (await processEvent).body.systemProcessId;
    await outputHas(dc, 'stdout', 'started\n');
    const adapter = dc._adapterProcess;
    if (how === 'close') adapter.stdin.end();
    else adapter.kill('SIGKILL');
    assert.ok(await gone(pid), how);
    dc._adapterProcess = null;
  }
});

test('bad input: malformed messages, unknown requests, missing arguments, programs that do '
  + 'not exist or compile', { timeout: LIMIT }, async () => {
  const dc = await start();
  try {
    await dc.initializeRequest();
    const stdin = dc._adapterProcess.stdin;
    stdin.write('Content-Length: nope\r\n\r\n');
    stdin.write('Content-Length: 5\r\n\r\n{bad}');
    stdin.write('Content-Length: 2\r\n\r\n[]');
    const unknown = await dc.customRequest('frobnicate').catch((e) => e);
    assert.match(String(unknown.message), /unknown request frobnicate/);
    const early = await dc.stackTraceRequest({ threadId: 1 }).catch((e) => e);
    assert.match(String(early.message), /no program/);
    for (const [args, pattern] of [
      [{}, /needs "program"/],
      [{ program: path.join(PROGRAMS, 'absent.py') }, /no program .*absent.py/],
      [{ program: path.join(PROGRAMS, 'broken.py') }, /broken.py does not compile: .*line 1/],
      [{ program: ORDERS, python: '/nonexistent/python' }, /no interpreter/],
      [{ program: ORDERS, args: 'x' }, /"args" must be a list/],
    ]) {
      const failed = await dc.launchRequest(Object.assign({ python: PYTHON }, args))
        .catch((e) => e);
      assert.match(String(failed.message), pattern);
    }
    assert.match(dc.output('stderr'), /broken.py does not compile/);
    // The session goes on: a real launch still works.
    const exited = dc.waitForEvent('exited');
    await launch(dc, { program: ORDERS, stopOnEntry: true }).then(async (stopped) => {
      const event = await stopped;
      assert.strictEqual(event.body.reason, 'entry');
      await dc.continueRequest({ threadId: event.body.threadId });
    });
    assert.strictEqual((await exited).body.exitCode, 6);
  } finally {
    await dc.stop();
  }
});

// `vorn debug --listen`: the program waits for an adapter; [child, port] once it says where.
async function listening(program, token) {
  const child = spawn(VORN, ['debug', '--python', PYTHON, '--listen', '127.0.0.1:0',
    '--token', token, program], { stdio: ['ignore', 'pipe', 'pipe'] });
  started.push(child);
  child.stderrText = '';
  child.stdoutText = '';
  child.stdout.on('data', (d) => { child.stdoutText += d; });
  const port = await new Promise((resolve, reject) => {
    child.stderr.on('data', (d) => {
      child.stderrText += d;
      const m = /waiting for a debug adapter on 127\.0\.0\.1:(\d+)/.exec(child.stderrText);
      if (m) resolve(Number(m[1]));
    });
    child.on('exit', () => reject(new Error('ended: ' + child.stderrText)));
  });
  child.ended = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return [child, port];
}

test('attach: only with the secret; a connection without it is refused, nothing evaluated', { timeout: LIMIT }, async () => {
  const [child, port] = await listening(ORDERS, 'sesame');
  try {
    // A connection with a wrong secret, and a request after it, gets nothing.
    const answer = await new Promise((resolve) => {
      const sock = net.connect(port, '127.0.0.1', () => {
        const send = (m) => {
          const body = JSON.stringify(m);
          sock.write(`Content-Length: ${Buffer.byteLength(body)}\r\n\r\n${body}`);
        };
        send({ type: 'hello', token: 'guess' });
        send({ type: 'request', seq: 1, command: 'evaluate',
          arguments: { expression: '__import__("os").system("touch /tmp/vorn-dap-owned")' } });
      });
      let got = '';
      sock.on('data', (d) => { got += d; });
      sock.on('close', () => resolve(got));
      sock.on('error', () => resolve(got));
    });
    assert.strictEqual(answer, '');
    for (let waited = 0; waited < 5000 && !/refused/.test(child.stderrText); waited += 20) {
      await sleep(20);
    }
    assert.match(child.stderrText, /refused a connection from 127\.0\.0\.1/);
    // Through the adapter: the wrong secret is refused too, then the right one attaches.
    const dc = await start();
    try {
      await dc.initializeRequest();
      const refused = await dc.attachRequest({ port, token: 'guess' }).catch((e) => e);
      assert.match(String(refused.message), /no debugger waiting .* takes this secret/);
      const missing = await dc.attachRequest({ port }).catch((e) => e);
      assert.match(String(missing.message), /needs the secret/);
      const first = dc.waitForEvent('stopped');
      await Promise.all([
        dc.waitForEvent('initialized').then(() => dc.setBreakpointsRequest({
          source: { path: ORDERS }, breakpoints: [{ line: 25 }] }))
          .then(() => dc.configurationDoneRequest()),
        dc.attachRequest({ port, token: 'sesame' }),
      ]);
      const at = await stoppedAt(dc, 'breakpoint', ORDERS, 25, first);
      const items = await dc.evaluateRequest({ expression: 'len(self.items)',
        frameId: at.frameId, context: 'watch' });
      assert.strictEqual(items.body.result, '4');
      // Detached, the program runs on to its end without the debugger.
      await dc.disconnectRequest({ terminateDebuggee: false });
    } finally {
      await dc.stop();
    }
    assert.strictEqual(await child.ended, 6);
    // The program's output stayed its own.
    assert.strictEqual(child.stdoutText, 'total 76\n');
  } finally {
    child.kill('SIGKILL');
  }
  assert.ok(!require('node:fs').existsSync('/tmp/vorn-dap-owned'));

  // A program that calls vorndebug.listen itself, its secret in the environment.
  const serving = path.join(PROGRAMS, 'serving.py');
  const server = spawn(PYTHON, [serving], { stdio: ['ignore', 'pipe', 'pipe'],
    env: Object.assign({}, process.env, { VORN_DEBUG_TOKEN: 'open',
      PYTHONPATH: path.join(path.dirname(VORN)) }) });
  started.push(server);
  let said = '';
  let written = '';
  server.stdout.on('data', (d) => { written += d; });
  const serverPort = await new Promise((resolve, reject) => {
    server.stderr.on('data', (d) => {
      said += d;
      const m = /waiting for a debug adapter on 127\.0\.0\.1:(\d+)/.exec(said);
      if (m) resolve(Number(m[1]));
    });
    server.on('exit', () => reject(new Error('ended: ' + said)));
  });
  const ended = new Promise((resolve) => server.on('exit', (code) => resolve(code)));
  const dc = await start();
  try {
    await dc.initializeRequest();
    const terminated = dc.waitForEvent('terminated');
    const first = dc.waitForEvent('stopped');
    await Promise.all([
      dc.waitForEvent('initialized').then(() => dc.setBreakpointsRequest({
        source: { path: serving }, breakpoints: [{ line: 7 }] }))
        .then(() => dc.configurationDoneRequest()),
      dc.attachRequest({ port: serverPort, token: 'open' }),
    ]);
    let at = await stoppedAt(dc, 'breakpoint', serving, 7, first);
    assert.deepStrictEqual(at.trace.body.stackFrames.map((f) => f.name), ['handle', '<module>']);
    const request = await dc.evaluateRequest({ expression: 'request', frameId: at.frameId,
      context: 'watch' });
    assert.strictEqual(request.body.result, "'a'");
    at = await stoppedAt(dc, 'breakpoint', serving, 7, resume(dc, 'continue', at));
    await dc.setBreakpointsRequest({ source: { path: serving }, breakpoints: [] });
    await dc.continueRequest({ threadId: at.threadId });
    await terminated;
  } finally {
    await dc.stop();
    server.kill('SIGKILL');
  }
  assert.strictEqual(await ended, 0);
  assert.strictEqual(written, 'A\nB\n');
});

test('vorn dap --listen: one session over TCP, launched only with the adapter\'s secret', { timeout: LIMIT }, async () => {
  const adapter = spawn(VORN, ['dap', '--listen', '127.0.0.1:0', '--token', 'adapt'],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  started.push(adapter);
  let said = '';
  const port = await new Promise((resolve, reject) => {
    adapter.stderr.on('data', (d) => {
      said += d;
      const m = /listening on 127\.0\.0\.1:(\d+)/.exec(said);
      if (m) resolve(Number(m[1]));
    });
    adapter.on('exit', () => reject(new Error('ended: ' + said)));
  });
  const ended = new Promise((resolve) => adapter.on('exit', (code) => resolve(code)));
  const dc = new DebugClient('unused', 'unused', 'vorn');
  try {
    await dc.start(port);
    const outputs = [];
    dc.on('output', (e) => outputs.push(e.body.output));
    await dc.initializeRequest();
    const refused = await dc.launchRequest({ program: ORDERS, python: PYTHON }).catch((e) => e);
    assert.match(String(refused.message), /needs its secret/);
    const exited = dc.waitForEvent('exited');
    await Promise.all([
      dc.waitForEvent('initialized').then(() => dc.configurationDoneRequest()),
      dc.launchRequest({ program: ORDERS, python: PYTHON, adapterToken: 'adapt' }),
    ]);
    assert.strictEqual((await exited).body.exitCode, 6);
    assert.ok(outputs.join('').includes('total 76\n'));
    await dc.disconnectRequest({});
  } finally {
    dc.stopAdapter();
  }
  assert.strictEqual(await ended, 0);
});

test('console integratedTerminal: the program starts through the client\'s runInTerminal', { timeout: LIMIT }, async () => {
  const dc = await start();
  let terminal = null;
  let written = '';
  // The test client answers the adapter's runInTerminal request as an editor does.
  const dispatch = dc.dispatch.bind(dc);
  dc.dispatch = (body) => {
    const message = JSON.parse(body);
    if (message.type !== 'request') return dispatch(body);
    assert.strictEqual(message.command, 'runInTerminal');
    assert.strictEqual(message.arguments.kind, 'integrated');
    const { args, cwd, env } = message.arguments;
    terminal = spawn(args[0], args.slice(1), { cwd, stdio: ['ignore', 'pipe', 'inherit'],
      env: Object.assign({}, process.env, env) });
    started.push(terminal);
    terminal.stdout.on('data', (d) => { written += d; });
    terminal.closed = new Promise((resolve) => terminal.on('close', resolve));
    const reply = JSON.stringify({ type: 'response', seq: 0, request_seq: message.seq,
      command: 'runInTerminal', success: true, body: { processId: terminal.pid } });
    dc._adapterProcess.stdin.write(`Content-Length: ${Buffer.byteLength(reply)}\r\n\r\n${reply}`);
  };
  try {
    await dc.initializeRequest({ adapterID: 'vorn', supportsRunInTerminalRequest: true });
    const first = dc.waitForEvent('stopped');
    const exited = dc.waitForEvent('exited');
    await Promise.all([
      dc.waitForEvent('initialized').then(() => dc.setBreakpointsRequest({
        source: { path: ORDERS }, breakpoints: [{ line: 33 }] }))
        .then(() => dc.configurationDoneRequest()),
      dc.launchRequest({ program: ORDERS, python: PYTHON, console: 'integratedTerminal' }),
    ]);
    const at = await stoppedAt(dc, 'breakpoint', ORDERS, 33, first);
    await dc.continueRequest({ threadId: at.threadId });
    assert.strictEqual((await exited).body.exitCode, 6);
    // The output went to the terminal, not through the adapter.
    assert.ok(terminal !== null);
    await terminal.closed;
    assert.strictEqual(written, 'total 76\n');
    assert.strictEqual(dc.output('stdout'), '');
  } finally {
    await dc.stop();
    if (terminal) terminal.kill('SIGKILL');
  }
});
