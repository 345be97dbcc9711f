// Node.js binding of Korvale (libKorvale-Sim by default: the nine exports and the ksim_ control
// API of the simulated desktop) through koffi, written the way an Electron main process
// loads a native library: one Korvale object per process, every call on the main (JS) thread,
// events delivered while the loop runs. A Korvale is an EventEmitter: each host event is emitted
// under its own name with its data ('text_select', data), and as 'event' (name, data, jsonText).
//
// The host callback is a koffi *registered* callback: the library keeps the function pointer and
// calls it long after initMacAccessibility has returned, which a transient koffi callback does not
// survive. The registration is kept on the object (never garbage-collected meanwhile) and released
// only by close(), after which the library must not deliver any more events.
'use strict';

const { EventEmitter } = require('node:events');
const koffi = require('koffi');
const glib = require('./glib.js');

// koffi types are process-wide and named once, even when several Korvale objects are made.
const HostCallback = koffi.proto('void KorvaleHostCallback(const char *event_name, const char *json_data)');

function defaultPath() {
  return process.env.KORVALE_LIBRARY || 'libKorvale-Sim.so.0';
}

function jsonText(value) {
  return typeof value === 'string' ? value : JSON.stringify(value);
}

class KorvaleError extends Error {}

class Korvale extends EventEmitter {
  constructor(path = defaultPath()) {
    super();
    this.lib = koffi.load(path);
    const f = (decl) => this.lib.func(decl);
    // The production library (libKorvale-Project) has the nine exports only: the simulated
    // desktop's functions are then absent, and the methods that need them say so.
    const simulated = (decl) => {
      try {
        return f(decl);
      } catch {
        return () => { throw new KorvaleError(`${path} has no simulated desktop (${decl})`); };
      }
    };
    this.c = {
      initMacAccessibility: f('void initMacAccessibility(KorvaleHostCallback *callback)'),
      isAccessibiltyEnabled: f('bool isAccessibiltyEnabled(void)'),
      showAccessibiltyPermisionPopup: f('bool showAccessibiltyPermisionPopup(void)'),
      addBlockedApps: f('void addBlockedApps(const char *json_array)'),
      start: f('void start(const char *json_object)'),
      setText: f('void setText(const char *text)'),
      getDataForVelaAssist: f('void getDataForVelaAssist(void)'),
      addMouseTracker: f('void addMouseTracker(void *window)'),
      ksim_load_world: simulated('int ksim_load_world(const char *world_json)'),
      ksim_perform: simulated('int ksim_perform(const char *action_json)'),
      ksim_step: simulated('int ksim_step(const char *step_json)'),
      ksim_run: simulated('void ksim_run(double seconds)'),
      ksim_now: simulated('double ksim_now(void)'),
      ksim_read: simulated('const char *ksim_read(const char *what)'),
      ksim_last_error: simulated('const char *ksim_last_error(void)'),
      ksim_window_handle: simulated('void *ksim_window_handle(const char *window_id)'),
    };
    this.registered = null;
    this.callbackErrors = [];
  }

  // Registers the host callback and creates the library's monitor; handler(name, data), when
  // given, receives every event besides the listeners. A second init replaces the handler; the
  // old registration is released only after the library holds the new one.
  init(handler = null) {
    const trampoline = (name, text) => {
      // A throw must not unwind into C: keep it for the host to inspect.
      try {
        this.deliver(name, text, handler);
      } catch (error) {
        this.callbackErrors.push(error);
      }
    };
    const previous = this.registered;
    this.registered = koffi.register(trampoline, koffi.pointer(HostCallback));
    this.c.initMacAccessibility(this.registered);
    if (previous !== null) koffi.unregister(previous);
  }

  // One event to the handler and the listeners.
  deliver(name, text, handler) {
    const data = JSON.parse(text);
    const calls = [];
    if (handler) calls.push(() => handler(name, data));
    for (const listener of this.rawListeners('event')) calls.push(() => listener.call(this, name, data, text));
    // Listeners are called one by one rather than through emit(), so that one listener's throw
    // spares the others and the library's own "error" event, unlike emit('error'), never throws
    // when nobody listens. rawListeners keeps once() semantics.
    for (const listener of this.rawListeners(name)) calls.push(() => listener.call(this, data));
    for (const call of calls) {
      try {
        call();
      } catch (error) {
        this.callbackErrors.push(error);
      }
    }
  }

  // On a Linux desktop the library works on GLib's default main context, which Node's loop does
  // not run (Electron's does). This runs it from a Node timer; stop() the result to end it.
  pumpGLib(options) { return glib.pump(options); }

  isTrusted() { return this.c.isAccessibiltyEnabled(); }
  askForTrust() { return this.c.showAccessibiltyPermisionPopup(); }
  addBlockedApps(bundleIds) { this.c.addBlockedApps(jsonText(bundleIds)); }
  start(blockedFields = {}) { this.c.start(jsonText(blockedFields)); }
  setText(text) { this.c.setText(text); }
  snapshot() { this.c.getDataForVelaAssist(); }
  addMouseTracker(windowHandle) { this.c.addMouseTracker(windowHandle); }

  // ----- the simulated desktop -----
  check(status, what) {
    if (status !== 0) throw new KorvaleError(`${what}: ${this.c.ksim_last_error()}`);
  }
  loadWorld(world) { this.check(this.c.ksim_load_world(jsonText(world)), 'ksim_load_world'); }
  perform(action) { this.check(this.c.ksim_perform(jsonText(action)), 'ksim_perform'); }
  run(seconds) { this.c.ksim_run(seconds); }
  now() { return this.c.ksim_now(); }
  read(what) { return JSON.parse(this.c.ksim_read(what)); }
  windowHandle(windowId) {
    const handle = this.c.ksim_window_handle(windowId);
    if (handle === null) throw new KorvaleError(`no host window "${windowId}"`);
    return handle;
  }

  // Releases the callback registration. The library keeps calling the pointer it was given, so
  // first hand it a null callback: events after close() stay stored inside the library.
  close() {
    if (this.registered === null) return;
    this.c.initMacAccessibility(null);
    koffi.unregister(this.registered);
    this.registered = null;
  }
}

module.exports = { Korvale, KorvaleError, pumpGLib: glib.pump, iterateGLib: glib.iterate };
