#!/usr/bin/env node
// A small parent application for darvo-helper, in Node's standard library only (Node 18 or later).
//
//     parent.js [--helper PATH] list
//     parent.js [--helper PATH] record WINDOW_ID OUTPUT [--seconds N] [--outline]
//     parent.js [--helper PATH] record portal OUTPUT [--token-file FILE] [--seconds N]
//
// `list` prints the X11 windows the helper can record. `record` records one of them into OUTPUT
// (and OUTPUT.1.mp4, ... after pauses): for N seconds once the recording is ready, or until Ctrl-C
// (SIGINT) or SIGTERM, which are forwarded to the helper as a stop. Every line the helper writes
// is printed as it arrives; at the end come the segment files and the helper's exit status.
//
// `record portal` records a window the user chooses in the desktop's own dialog (native Wayland
// windows). With --token-file, the desktop's restore token is kept in FILE: the next recording
// passes it back (portal:<token>) and the user is not asked again; each recording's token
// replaces the one before, as the desktop spends a token when it is used.
//
// The exit status is the helper's (0 when the recording was stopped or reached its duration, 1
// when it failed or ended early), 1 when the helper was killed, and 2 for a usage error or a
// helper that cannot be started. See docs/protocol.md for the lines and their meaning.
'use strict';

const childProcess = require('child_process');
const fs = require('fs');
const path = require('path');
const readline = require('readline');

// How long to wait for the helper to end after a stop request before killing it.
const STOP_GRACE_MS = 15000;

const ERROR_MEANINGS = {
  screen_permission_required: 'the X server refused the connection (check XAUTHORITY)',
  capture_unavailable:
    'no usable X server (check DISPLAY) or desktop portal, or capture could not start',
  capture_cancelled: "the user closed the desktop's window chooser",
  invalid_window_or_output: 'no such window to record, or the output path already exists',
  invalid_duration: "the duration must be 'none' or 1 to 1800 seconds",
  invalid_outline: "the outline mode must be 'outline' or 'no-outline'",
  invalid_geometry: 'the window is too small to be recorded',
  recording_failed: 'a recording file could not be created or written',
};

const USAGE = `usage: parent.js [--helper PATH] list
       parent.js [--helper PATH] record WINDOW_ID OUTPUT [--seconds N] [--outline]
       parent.js [--helper PATH] record portal OUTPUT [--token-file FILE] [--seconds N]`;

// The helper next to this repository's build, else darvo-helper on PATH.
function defaultHelper() {
  const built = path.join(__dirname, '..', 'build', 'darvo-helper');
  try {
    fs.accessSync(built, fs.constants.X_OK);
    return built;
  } catch {
    return 'darvo-helper';
  }
}

const say = (text) => process.stdout.write(`${text}\n`);
const complain = (text) => process.stderr.write(`parent.js: ${text}\n`);

function describeError(code) {
  const meaning = ERROR_MEANINGS[code];
  return `helper error: ${code}` + (meaning ? ` (${meaning})` : '');
}

// Starts the helper with standard input `stdin`; null (after saying why) when it cannot start.
function startHelper(helper, args, stdin, options = {}) {
  return new Promise((resolve) => {
    const stdio = [stdin, 'pipe', 'ignore'];
    const child = childProcess.spawn(helper, args, { ...options, stdio });
    const cannotStart = (error) => {
      complain(`cannot start ${helper}: ${error.message}`);
      resolve(null);
    };
    child.once('error', cannotStart);
    child.once('spawn', () => {
      child.off('error', cannotStart);
      child.on('error', (error) => complain(`helper: ${error.message}`));
      resolve(child);
    });
  });
}

// The exit code and signal of a started helper, once its output is closed too.
function ended(child) {
  return new Promise((resolve) => child.once('close', (code, signal) => resolve({ code, signal })));
}

// Each line of the helper's standard output that is a JSON object, until it closes.
async function* readLines(child) {
  for await (const raw of readline.createInterface({ input: child.stdout, crlfDelay: Infinity })) {
    let line;
    try {
      line = JSON.parse(raw);
    } catch {
      line = null;
    }
    if (line === null || typeof line !== 'object' || Array.isArray(line)) {
      complain(`not a JSON object from the helper: ${JSON.stringify(raw)}`);
      continue;
    }
    yield line;
  }
}

const describeStatus = ({ code, signal }) =>
  signal ? `helper killed by ${signal}` : `helper exit status: ${code}`;
const exitCodeFor = ({ code }) => (code === null ? 1 : code);

async function listWindows(helper) {
  const child = await startHelper(helper, ['windows'], 'ignore');
  if (child === null) {
    return 2;
  }
  const end = ended(child);
  let windows = null;
  for await (const line of readLines(child)) {
    if ('error' in line) {
      complain(describeError(line.error));
    } else if (Array.isArray(line.windows)) {
      windows = line.windows;
    }
  }
  const status = await end;
  if (windows === null) {
    if (status.code === 0) {
      complain('the helper gave no window list');
      return 1;
    }
  } else if (windows.length === 0) {
    say('no windows to record');
  } else {
    say(`${'id'.padEnd(12)} ${'size'.padStart(11)} ${'pid'.padStart(8)}  app (app id)`);
    for (const window of windows) {
      const id = String(window.id ?? '?').padEnd(12);
      const size = `${window.width}x${window.height}`.padStart(11);
      const pid = String(window.pid ?? '?').padStart(8);
      say(`${id} ${size} ${pid}  ${window.app ?? ''} (${window.bundleId ?? ''})`);
    }
  }
  return exitCodeFor(status);
}

const secondsText = (value) => (typeof value === 'number' ? `${value.toFixed(1)} s` : '? s');

function printEvent(line) {
  switch (line.event) {
    case 'source':
      return say('source: the desktop gave a restore token for this window');
    case 'segment':
      return say(`segment ${line.index}: ${line.file}`);
    case 'ready':
      return say('ready: recording');
    case 'paused':
      return say(`paused at ${secondsText(line.atSeconds)} (segment ${line.segment} closed); ` +
                 'it continues when the window is back');
    case 'onscreen':
    case 'offscreen':
      return say(`${line.event} at ${secondsText(line.atSeconds)}`);
    case 'finished':
      return say(`finished: ${line.reason}` + (line.detail ? ` (${line.detail})` : '') +
                 `, ${line.segments} segment(s)`);
    default:
      return say(`event: ${JSON.stringify(line, Object.keys(line).sort())}`);
  }
}

// The restore token kept in `file`; null when there is none.
function readToken(file) {
  try {
    return fs.readFileSync(file, 'utf8').trim() || null;
  } catch (error) {
    if (error.code === 'ENOENT') {
      return null;
    }
    throw error;
  }
}

// Replaces the kept token: written aside, then moved over it, so it is never half there.
function keepToken(file, token) {
  fs.writeFileSync(`${file}.new`, `${token}\n`);
  fs.renameSync(`${file}.new`, file);
}

async function record(helper, windowId, output, seconds, outline, tokenFile) {
  output = path.resolve(output);
  const token = windowId === 'portal' && tokenFile ? readToken(tokenFile) : null;
  if (token !== null) {
    windowId = `portal:${token}`;
  }
  const args = ['record', windowId, output, 'none', outline ? 'outline' : 'no-outline'];
  // Its standard input stays open until the end: closing it would stop the recording. Its own
  // session (detached), so that a Ctrl-C in the terminal reaches only us and we forward it.
  const child = await startHelper(helper, args, 'pipe', { detached: true });
  if (child === null) {
    return 2;
  }
  const end = ended(child);
  child.stdin.on('error', () => {});  // it has already ended; its last lines are still to be read
  let stopRequested = false;
  let killTimer = null;
  let interrupts = 0;
  const kill = (why) => {
    if (child.exitCode === null && child.signalCode === null) {
      complain(`killing the helper: ${why}`);
      child.kill('SIGKILL');
    }
  };
  // Asks the helper to stop once: "stop" on its standard input, which then stays open.
  const requestStop = (why) => {
    if (stopRequested) {
      return;
    }
    stopRequested = true;
    say(`stopping (${why})`);
    child.stdin.write('stop\n');
    killTimer = setTimeout(kill, STOP_GRACE_MS, 'it did not end in time');
  };
  const onSignal = (name) => {
    interrupts += 1;
    if (interrupts === 1) {
      requestStop(name);
    } else {
      kill(`${name} again`);
    }
  };
  for (const name of ['SIGINT', 'SIGTERM']) {
    process.on(name, onSignal);
  }

  const what = windowId.startsWith('portal') ? "the window chosen in the desktop's dialog"
                                             : `window ${windowId}`;
  say(`recording ${what} into ${output}; ` +
      (seconds !== null ? `${seconds} s once ready` : 'Ctrl-C stops'));
  const files = [];
  let last = null;
  let timer = null;
  for await (const line of readLines(child)) {
    if ('error' in line) {
      last = line;
      complain(describeError(line.error));
      continue;
    }
    printEvent(line);
    if (line.event === 'source' && tokenFile && typeof line.restoreToken === 'string') {
      keepToken(tokenFile, line.restoreToken);
    } else if (line.event === 'segment' && typeof line.file === 'string') {
      files.push(line.file);
    } else if (line.event === 'ready' && seconds !== null && timer === null) {
      // setTimeout waits at most 2^31 - 1 ms (24.8 days).
      const delay = Math.min(seconds * 1000, 2 ** 31 - 1);
      timer = setTimeout(requestStop, delay, `${seconds} s recorded`);
    } else if (line.event === 'finished') {
      last = line;
    }
  }
  const status = await end;
  clearTimeout(timer);
  clearTimeout(killTimer);
  for (const name of ['SIGINT', 'SIGTERM']) {
    process.off(name, onSignal);
  }
  child.stdin.end();

  if (last === null) {
    complain('the helper ended without a final line');
  }
  say(files.length > 0 ? 'files:' : 'files: none');
  for (const file of files) {
    say(`  ${file}`);
  }
  say(describeStatus(status));
  const code = exitCodeFor(status);
  return last !== null || code !== 0 ? code : 1;
}

// The command line as {helper, command, ...}; throws for a usage error.
function parseArguments(args) {
  const options = { helper: defaultHelper(), seconds: null, outline: false, tokenFile: null };
  const words = [];
  for (let i = 0; i < args.length; ++i) {
    const arg = args[i];
    if (arg === '--helper' || arg === '--seconds' || arg === '--token-file') {
      if (i + 1 >= args.length) {
        throw new Error(`${arg} needs a value`);
      }
      const name = arg === '--token-file' ? 'tokenFile' : arg.slice(2);
      options[name] = args[++i];
    } else if (arg === '--outline') {
      options.outline = true;
    } else {
      words.push(arg);
    }
  }
  const [command, ...rest] = words;
  if (command === 'list' && rest.length === 0 && options.seconds === null && !options.outline) {
    return { ...options, command };
  }
  if (command !== 'record' || rest.length !== 2) {
    throw new Error('expected list, or record WINDOW_ID OUTPUT');
  }
  if (options.seconds !== null) {
    const value = Number(options.seconds);
    if (!(value > 0) || value === Infinity) {
      throw new Error(`not a positive number of seconds: ${options.seconds}`);
    }
    options.seconds = value;
  }
  return { ...options, command, windowId: rest[0], output: rest[1] };
}

async function main() {
  let options;
  try {
    options = parseArguments(process.argv.slice(2));
  } catch (error) {
    process.stderr.write(`${USAGE}\nparent.js: error: ${error.message}\n`);
    return 2;
  }
  if (options.command === 'list') {
    return listWindows(options.helper);
  }
  return record(options.helper, options.windowId, options.output, options.seconds,
                options.outline, options.tokenFile);
}

main().then((code) => {
  process.exitCode = code;
});
