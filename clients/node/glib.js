// Running GLib's default main context from Node.js on Linux. The library receives everything on
// that context (accessibility events, its delayed deliveries, clipboard requests); Electron's main
// process runs it, plain Node does not. pump() dispatches whatever is due from a Node timer, so
// GLib's work and Node's share the one main thread, as the library requires.
'use strict';

const koffi = require('koffi');

let iteration = null;

function glibIteration() {
  if (iteration === null) {
    const lib = koffi.load(process.env.KORVALE_GLIB || 'libglib-2.0.so.0');
    iteration = lib.func('int g_main_context_iteration(void *context, int may_block)');
  }
  return iteration;
}

// Dispatches what is due on GLib's default context without waiting; returns how many
// dispatches ran (at most `max`, so a busy context cannot starve Node's own work).
function iterate(max = 100) {
  const step = glibIteration();
  let n = 0;
  while (n < max && step(null, 0)) n++;
  return n;
}

// Calls iterate() every `intervalMs` milliseconds until stop(). The timer keeps the process
// alive, as a host following the desktop wants; unref() lets the process end without it.
function pump({ intervalMs = 10, max = 100 } = {}) {
  glibIteration();
  const timer = setInterval(() => iterate(max), intervalMs);
  return {
    stop() { clearInterval(timer); },
    unref() { timer.unref(); return this; },
  };
}

module.exports = { iterate, pump };
