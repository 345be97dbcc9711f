// The Node.js host client: the korvale package, packed with npm pack and installed into a scratch
// project (test-package.sh), loads the built library through koffi, drives the simulated desktop
// and checks what reaches its callback and its listeners. Time is the desktop's virtual clock.
'use strict';

const test = require('node:test');
const assert = require('node:assert/strict');
const { EventEmitter } = require('node:events');
const koffi = require('koffi');
const { Korvale, KorvaleError, pumpGLib, iterateGLib } = require('korvale');

const DESKTOP = {
  clock: 'virtual',
  echo_stdout: false,
  apps: [
    { pid: 101, bundle_id: 'com.example.inkpad', name: 'Inkpad' },
    { pid: 102, bundle_id: 'com.example.postbox', name: 'Postbox' },
  ],
  windows: [{ id: 'assistant', frame: [1000, 0, 400, 600] }],
  pointer: [10, 10],
};

// One library per process, as in an Electron main process.
const k = new Korvale();

// Loads the desktop and registers a callback that records [name, data, time].
function host() {
  const events = [];
  k.loadWorld(DESKTOP);
  k.init((name, data) => events.push([name, data, k.now()]));
  k.start({});
  return events;
}
const names = (events) => events.map(([name]) => name);

test('permission exports answer what the desktop says', () => {
  k.loadWorld({ trusted: false, echo_stdout: false });
  assert.equal(k.isTrusted(), false);
  assert.equal(k.askForTrust(), false);
  assert.equal(k.read('state').prompt_requests, 1);
  k.loadWorld({ trusted: true, echo_stdout: false });
  assert.equal(k.isTrusted(), true);
});

test('a bad blocked list prints one diagnostic line', () => {
  host();
  k.addBlockedApps('not json');
  k.addBlockedApps({ 'com.example.vault': 1 });
  const lines = k.read('stdout').filter((l) => l.startsWith('Error deserializing JSON: '));
  assert.equal(lines.length, 1);
});

test('bad input to the control API throws with the library message', () => {
  assert.throws(() => k.loadWorld('{not json'), KorvaleError);
  k.loadWorld(DESKTOP);
  assert.throws(() => k.perform({ action: 'no_such_action' }), /no_such_action/);
});

test('the registered callback receives hover events across several runs', () => {
  const events = host();
  k.addMouseTracker(k.windowHandle('assistant'));
  for (let round = 0; round < 3; round++) {
    k.perform({ action: 'move_pointer', to: [1100, 100] });
    k.run(0.1);
    k.run(0.2);
    k.perform({ action: 'move_pointer', to: [10, 10] });
    k.run(0.3);
  }
  assert.deepEqual(names(events), ['mouse_hoverd', 'mouse_hoverd', 'mouse_hoverd']);
  assert.deepEqual(events.map(([, data]) => data), [{}, {}, {}]);
  assert.deepEqual(k.callbackErrors, []);
});

test('hover is delivered 0.18 s after the pointer enters', () => {
  const events = host();
  k.addMouseTracker(k.windowHandle('assistant'));
  const t0 = k.now();
  k.perform({ action: 'move_pointer', to: [1100, 100] });
  k.run(0.17);
  assert.equal(events.length, 0, 'delivered before 0.18 s');
  k.run(0.02);
  assert.deepEqual(names(events), ['mouse_hoverd']);
  assert.ok(Math.abs(events[0][2] - t0 - 0.18) < 1e-6, `delivered at ${events[0][2] - t0}`);
});

test('switching applications gives app_changed with the application', () => {
  const events = host();
  k.perform({ action: 'activate', pid: 101 });
  k.run(0.5);
  k.perform({ action: 'activate', pid: 102 });
  k.run(0.5);
  assert.deepEqual(names(events), ['app_changed', 'app_changed']);
  assert.deepEqual(events.map(([, d]) => [d.bundle_id, d.name]),
    [['com.example.inkpad', 'Inkpad'], ['com.example.postbox', 'Postbox']]);
  assert.ok('role' in events[0][1]);
});

test('after close() no call reaches the released callback', () => {
  const events = host();
  k.addMouseTracker(k.windowHandle('assistant'));
  k.close();
  k.perform({ action: 'move_pointer', to: [1100, 100] });
  k.run(0.5);
  assert.equal(events.length, 0);
  // Registering again works and receives the next event.
  k.init((name) => events.push([name]));
  k.perform({ action: 'move_pointer', to: [10, 10] });
  k.perform({ action: 'move_pointer', to: [1100, 100] });
  k.run(0.5);
  assert.deepEqual(names(events), ['mouse_hoverd']);
});

test('the package is the installed one', () => {
  const where = require.resolve('korvale');
  assert.match(where, /node_modules\/korvale\/index\.js$/);
  assert.ok(require('node:fs').existsSync(where.replace(/index\.js$/, 'index.d.ts')), 'index.d.ts is packed');
});

test('events reach listeners by name and as "event", once() once', () => {
  k.removeAllListeners();
  assert.ok(k instanceof EventEmitter);
  k.loadWorld(DESKTOP);
  k.init();
  const byName = [];
  const all = [];
  const first = [];
  k.on('app_changed', (data) => byName.push(data.bundle_id));
  k.on('event', (name, data, json) => all.push([name, JSON.parse(json).name === data.name]));
  k.once('app_changed', (data) => first.push(data.name));
  k.start({});
  k.perform({ action: 'activate', pid: 101 });
  k.run(0.5);
  k.perform({ action: 'activate', pid: 102 });
  k.run(0.5);
  assert.deepEqual(byName, ['com.example.inkpad', 'com.example.postbox']);
  assert.deepEqual(all, [['app_changed', true], ['app_changed', true]]);
  assert.deepEqual(first, ['Inkpad']);
  assert.deepEqual(k.callbackErrors, []);
  k.removeAllListeners();
});

test('a throwing listener spares the others, and an unheard "error" never throws', () => {
  k.removeAllListeners();
  const seen = [];
  k.loadWorld(DESKTOP);
  k.init((name) => seen.push(`handler ${name}`));
  k.on('app_changed', () => { throw new Error('the host\'s own bug'); });
  k.on('app_changed', (data) => seen.push(`listener ${data.name}`));
  k.start({});
  k.perform({ action: 'activate', pid: 101 });
  k.run(0.5);
  assert.deepEqual(seen, ['handler app_changed', 'listener Inkpad']);
  assert.equal(k.callbackErrors.length, 1);
  k.callbackErrors.length = 0;
  k.removeAllListeners();
  // The library's own "error" event with no 'error' listener: delivered to 'event' only.
  const trampoline = [];
  k.on('event', (name) => trampoline.push(name));
  k.deliver('error', '{"message":"something is wrong"}', null);
  assert.deepEqual(trampoline, ['error']);
  assert.deepEqual(k.callbackErrors, []);
  k.removeAllListeners();
});

test('pumpGLib runs GLib\'s default main context from Node\'s loop', async () => {
  // A GLib timeout on the default context: it fires only if something runs that context.
  const glib = koffi.load('libglib-2.0.so.0');
  const SourceFunc = koffi.proto('int KorvaleTestSourceFunc(void *data)');
  const gTimeoutAdd = glib.func('unsigned int g_timeout_add(unsigned int ms, KorvaleTestSourceFunc *fn, void *data)');
  let fired = 0;
  const callback = koffi.register(() => { fired++; return 0; }, koffi.pointer(SourceFunc));
  try {
    gTimeoutAdd(20, callback, null);
    const pump = pumpGLib({ intervalMs: 5 });
    try {
      const deadline = Date.now() + 5000;
      while (fired === 0 && Date.now() < deadline) await new Promise((r) => setTimeout(r, 10));
    } finally {
      pump.stop();
    }
    assert.equal(fired, 1, 'the GLib timeout did not fire within 5 s of pumping');
    assert.equal(iterateGLib(), 0, 'nothing left to dispatch');
  } finally {
    koffi.unregister(callback);
  }
});

test('the production library loads too: hosts use it, only the simulated desktop is missing', () => {
  const production = process.env.KORVALE_PRODUCTION_LIBRARY;
  assert.ok(production, 'KORVALE_PRODUCTION_LIBRARY names libKorvale-Project');
  const host = new Korvale(production);
  assert.equal(typeof host.isTrusted(), 'boolean');
  assert.throws(() => host.run(0.1), (e) => e instanceof KorvaleError && /has no simulated desktop/.test(e.message));
  assert.throws(() => host.loadWorld({}), KorvaleError);
});
