// Node.js binding of libKorvale-Project through koffi, written the way an Electron main process
// loads a native library: one Korvale object per process, every call on the main (JS) thread,
// events delivered to a JS function while the loop runs.
//
// The host callback is a koffi *registered* callback: the library keeps the function pointer and
// calls it long after initMacAccessibility has returned, which a transient koffi callback does not
// survive. The registration is kept on the object (never garbage-collected meanwhile) and released
// only by close(), after which the library must not deliver any more events.
'use strict';

const koffi = require('koffi');

// koffi types are process-wide and named once, even when several Korvale objects are made.
const HostCallback = koffi.proto('void KorvaleHostCallback(const char *event_name, const char *json_data)');

function defaultPath() {
  return process.env.KORVALE_LIBRARY || 'libKorvale-Project.so.0';
}

function jsonText(value) {
  return typeof value === 'string' ? value : JSON.stringify(value);
}

class KorvaleError extends Error {}

class Korvale {
  constructor(path = defaultPath()) {
    this.lib = koffi.load(path);
    const f = (decl) => this.lib.func(decl);
    this.c = {
      initMacAccessibility: f('void initMacAccessibility(KorvaleHostCallback *callback)'),
      isAccessibiltyEnabled: f('bool isAccessibiltyEnabled(void)'),
      showAccessibiltyPermisionPopup: f('bool showAccessibiltyPermisionPopup(void)'),
      addBlockedApps: f('void addBlockedApps(const char *json_array)'),
      start: f('void start(const char *json_object)'),
      setText: f('void setText(const char *text)'),
      getDataForVelaAssist: f('void getDataForVelaAssist(void)'),
      addMouseTracker: f('void addMouseTracker(void *window)'),
      ksim_load_world: f('int ksim_load_world(const char *world_json)'),
      ksim_perform: f('int ksim_perform(const char *action_json)'),
      ksim_step: f('int ksim_step(const char *step_json)'),
      ksim_run: f('void ksim_run(double seconds)'),
      ksim_now: f('double ksim_now(void)'),
      ksim_read: f('const char *ksim_read(const char *what)'),
      ksim_last_error: f('const char *ksim_last_error(void)'),
      ksim_window_handle: f('void *ksim_window_handle(const char *window_id)'),
    };
    this.registered = null;
    this.callbackErrors = [];
  }

  // Registers handler(name, data) as the host callback (data: the parsed JSON object) and creates
  // the library's monitor. A second init replaces the handler; the old registration is released
  // only after the library holds the new one.
  init(handler) {
    const trampoline = (name, text) => {
      // A throw must not unwind into C: keep it for the host to inspect.
      try {
        handler(name, JSON.parse(text));
      } catch (error) {
        this.callbackErrors.push(error);
      }
    };
    const previous = this.registered;
    this.registered = koffi.register(trampoline, koffi.pointer(HostCallback));
    this.c.initMacAccessibility(this.registered);
    if (previous !== null) koffi.unregister(previous);
  }

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

module.exports = { Korvale, KorvaleError };
