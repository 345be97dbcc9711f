// A plain Node.js host on a real desktop: the korvale package (installed in a scratch project by
// the client.node test) follows the GTK 3 test application. Node's loop does not run GLib's main
// context, so nothing arrives until pumpGLib() runs it; then the switch to the application and a
// word selected in it reach the EventEmitter's listeners.
//   node node_real_host.js TEST_APP LIBRARY      (NODE_PATH: the scratch project's node_modules)
'use strict';

const { spawn, execFileSync } = require('node:child_process');
const readline = require('node:readline');
const { Korvale, pumpGLib } = require('korvale');

const [testApp, library] = process.argv.slice(2);
let failures = 0;
const check = (ok, what) => { console.log(`${ok ? 'PASS' : 'FAIL'} ${what}`); if (!ok) failures++; };
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Resolves with the first event of that name that `accept` takes, or null after `ms`.
function nextEvent(k, name, accept, ms) {
  return new Promise((resolve) => {
    const listener = (data) => { if (accept(data)) done(data); };
    const timer = setTimeout(() => done(null), ms);
    function done(value) { clearTimeout(timer); k.off(name, listener); resolve(value); }
    k.on(name, listener);
  });
}

async function main() {
  const k = new Korvale(library);
  const seen = [];
  k.on('event', (name) => seen.push(name));
  k.init();
  k.start({});
  check(k.isTrusted(), 'the library finds the accessibility service');

  const app = spawn('/usr/bin/python3', [testApp, '100', '120'], { stdio: ['pipe', 'pipe', 'inherit'] });
  const lines = readline.createInterface({ input: app.stdout });
  const answers = [];
  lines.on('line', (line) => answers.push(line));
  try {
    for (let i = 0; i < 200 && !answers.includes('ready'); i++) await sleep(100);
    check(answers.includes('ready'), 'the test application started');
    let window = '';
    for (let i = 0; i < 50 && !window; i++) {
      try {
        window = execFileSync('xdotool', ['search', '--onlyvisible', '--pid', String(app.pid)]).toString().split('\n')[0];
      } catch { await sleep(100); }
    }
    check(Boolean(window), 'its window is on the screen');
    execFileSync('timeout', ['5', 'xdotool', 'windowfocus', '--sync', window]);

    // Without GLib running, the library hears nothing.
    await sleep(1500);
    check(seen.length === 0, `no event while GLib's context does not run (got ${seen.join(' ')})`);

    const pump = pumpGLib({ intervalMs: 10 });
    try {
      const fronted = await nextEvent(k, 'app_changed',
        (d) => String(d.bundle_id).toLowerCase() === 'korvale-test-app', 10000);
      check(fronted !== null, 'with pumpGLib, app_changed for the test application reaches its listener');
      const selection = nextEvent(k, 'text_select', (d) => d.selected_text === 'brave', 10000);
      app.stdin.write('select_view 6 11\n');
      const selected = await selection;
      check(selected !== null, `the text_select of "brave" reaches its listener (${JSON.stringify(selected)})`);
    } finally {
      pump.stop();
    }
    check(k.callbackErrors.length === 0, `no listener failed (${k.callbackErrors})`);
  } finally {
    app.stdin.end();
    k.close();
  }
  process.exitCode = failures ? 1 : 0;
}

main().catch((error) => { console.log(`FAIL ${error.stack}`); process.exitCode = 1; });
