// Test harness for scanidd: the service on real sockets against sim-server
// and sim-reader, each started as its own process.
//
// The programs come from SCANIDD, SIM_SERVER and SIM_READER (ctest sets
// them); by hand they default to build/debug/ of this checkout:
//   cmake --build build/debug --target scanidd sim-server sim-reader
//   node --test tests/scanidd/
// SCANIDD_KEEP=1 keeps the temporary folders (log, runtime folder).

import { spawn, execFileSync } from 'node:child_process';
import { once } from 'node:events';
import fs from 'node:fs';
import http_ from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import WebSocket from 'ws';

const here = path.dirname(fileURLToPath(import.meta.url));
const buildDir = path.resolve(here, '../../build/debug');

export const bin = {
  scanidd: process.env.SCANIDD || path.join(buildDir, 'scanidd'),
  simServer: process.env.SIM_SERVER || path.join(buildDir, 'sim-server'),
  simReader: process.env.SIM_READER || path.join(buildDir, 'sim-reader'),
};

// Everything started, so that nothing outlives the test process, even when
// a test throws or the runner is interrupted.
const live = new Set();
const tempDirs = new Set();

function cleanUp() {
  for (const child of live) {
    try {
      child.kill('SIGKILL');
    } catch {}
  }
  live.clear();
  if (!process.env.SCANIDD_KEEP) {
    for (const dir of tempDirs) fs.rmSync(dir, { recursive: true, force: true });
  }
  tempDirs.clear();
}
process.on('exit', cleanUp);
for (const sig of ['SIGINT', 'SIGTERM', 'SIGHUP']) {
  process.once(sig, () => {
    cleanUp();
    process.exit(128 + os.constants.signals[sig]);
  });
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Lines of a child's output, kept with the time they came, awaitable.
class Lines {
  constructor(stream) {
    this.lines = [];
    this.waiters = new Set();
    let pending = '';
    stream.setEncoding('utf8');
    stream.on('data', (chunk) => {
      pending += chunk;
      let nl;
      while ((nl = pending.indexOf('\n')) >= 0) {
        this.push(pending.slice(0, nl));
        pending = pending.slice(nl + 1);
      }
    });
    stream.on('end', () => {
      if (pending) this.push(pending);
      pending = '';
    });
  }

  push(text) {
    this.lines.push({ text, at: performance.now() });
    for (const w of [...this.waiters]) w();
  }

  text() {
    return this.lines.map((l) => l.text + '\n').join('');
  }

  // The first line from index `from` on that `test` accepts (a RegExp or a
  // function of the line's text), with its index and the RegExp's match.
  wait(test, { from = 0, timeoutMs = 10000, what = String(test) } = {}) {
    const match = typeof test === 'function' ? test : (t) => t.match(test);
    return new Promise((resolve, reject) => {
      let i = from;
      const look = () => {
        for (; i < this.lines.length; i++) {
          const m = match(this.lines[i].text);
          if (m) {
            done();
            resolve({ index: i, match: m, text: this.lines[i].text });
            return true;
          }
        }
        return false;
      };
      const timer = setTimeout(() => {
        done();
        reject(new Error(`timed out after ${timeoutMs} ms waiting for ${what}`));
      }, timeoutMs);
      const done = () => {
        clearTimeout(timer);
        this.waiters.delete(look);
      };
      if (!look()) this.waiters.add(look);
    });
  }
}

// A child process that is killed when the tests end, with its output as
// awaitable lines (`out`, `err`) and `exited` (its code and signal).
export function start(file, args, { stdin = 'ignore' } = {}) {
  const child = spawn(file, args, { stdio: [stdin, 'pipe', 'pipe'] });
  live.add(child);
  child.out = new Lines(child.stdout);
  child.err = new Lines(child.stderr);
  child.exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      live.delete(child);
      child.exitedAt = performance.now();
      resolve({ code, signal });
    });
    child.on('error', (e) => {
      if (child.pid !== undefined) return;
      live.delete(child);
      child.err.push(`cannot start ${file}: ${e.message}`);
      resolve({ code: null, signal: null });
    });
  });
  return child;
}

// Resolves when the child has written a line that `re` matches; rejects
// with its output when it ends first or takes too long.
async function ready(child, lines, re, name) {
  const ended = child.exited.then(({ code, signal }) => {
    throw new Error(
      `${name} ended (code ${code}, signal ${signal}) before it was ready:\n` +
        child.out.text() + child.err.text(),
    );
  });
  try {
    return (await Promise.race([lines.wait(re, { what: `${name}'s ready line` }), ended])).match;
  } catch (e) {
    child.kill('SIGKILL');
    throw e;
  } finally {
    ended.catch(() => {});
  }
}

async function end(child, signal = 'SIGTERM', timeoutMs = 5000) {
  if (child.exitCode !== null || child.signalCode !== null) return child.exited;
  child.kill(signal);
  const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
  try {
    return await child.exited;
  } finally {
    clearTimeout(timer);
  }
}

let catalogue;

// The simulated identity cards, index 1..9 as `place id N` takes them:
// {serial, number, name, nation} (empty strings where sim-server lists none,
// cards 6..9).
export function cards() {
  if (!catalogue) {
    const text = execFileSync(bin.simServer, ['--cards'], { encoding: 'utf8' });
    catalogue = [null];
    for (const line of text.split('\n').filter(Boolean)) {
      const [serial, number = '', name = '', nation = ''] = line.split('  ');
      catalogue.push({ serial, number, name, nation });
    }
  }
  return catalogue;
}

// Starts sim-server, sim-reader and scanidd against them. Options:
//   retention, maxClients: the same options of scanidd
//   token: a token, handed over in a file of its own (--token-file)
//   origins: list of --origin
//   config: text of a configuration file (else --config /dev/null)
//   extraArgs: more arguments for scanidd
//   readerLatency, serverLatency: the simulators' --latency
export async function startWorld({
  retention,
  token,
  maxClients,
  origins = [],
  config,
  extraArgs = [],
  readerLatency,
  serverLatency,
} = {}) {
  const root = fs.mkdtempSync(path.join(os.tmpdir(), 'scanidd-test-'));
  tempDirs.add(root);
  const runtimeDir = path.join(root, 'run');
  fs.mkdirSync(runtimeDir, { mode: 0o700 });
  const logFile = path.join(root, 'scanidd.log');

  const server = start(bin.simServer, [
    '--port', '0', '--seconds', '900',
    ...(serverLatency !== undefined ? ['--latency', String(serverLatency)] : []),
  ]);
  const serverPort = (await ready(server, server.out, /^listening on 127\.0\.0\.1:(\d+)/, 'sim-server'))[1];

  const readerProc = start(
    bin.simReader,
    readerLatency !== undefined ? ['--latency', String(readerLatency)] : [],
    { stdin: 'pipe' },
  );
  readerProc.stdin.on('error', () => {}); // it may be gone (unplugged)
  let device;
  try {
    device = (await ready(readerProc, readerProc.out, /^device: (\S+)/, 'sim-reader'))[1];
  } catch (e) {
    await end(server);
    throw e;
  }

  const args = [
    '--serial', device,
    '--server', `127.0.0.1:${serverPort}`,
    '--port', '0',
    '--runtime-dir', runtimeDir,
  ];
  if (config !== undefined) {
    const configFile = path.join(root, 'scanidd.conf');
    fs.writeFileSync(configFile, config, { mode: 0o600 });
    args.push('--config', configFile);
  } else {
    args.push('--config', '/dev/null');
  }
  if (retention !== undefined) args.push('--retention', String(retention));
  if (maxClients !== undefined) args.push('--max-clients', String(maxClients));
  for (const o of origins) args.push('--origin', o);
  if (token !== undefined) {
    const tokenFile = path.join(root, 'token');
    fs.writeFileSync(tokenFile, token + '\n', { mode: 0o600 });
    args.push('--token-file', tokenFile);
  }
  args.push(...extraArgs);

  const scanidd = start(bin.scanidd, args);
  const logFd = fs.openSync(logFile, 'a', 0o600);
  scanidd.stderr.on('data', (chunk) => fs.writeSync(logFd, chunk));
  scanidd.exited.then(() => fs.closeSync(logFd));

  let listenMatch;
  try {
    listenMatch = await ready(
      scanidd,
      scanidd.err,
      /scanidd: listening on http:\/\/([\d.]+):(\d+)\//,
      `scanidd ${args.join(' ')}`,
    );
  } catch (e) {
    await Promise.all([end(readerProc), end(server)]);
    throw e;
  }
  const host = listenMatch[1];
  const port = Number(listenMatch[2]);

  const reader = {
    process: readerProc,
    device,
    lines: readerProc.out,
    send(cmd) {
      readerProc.stdin.write(cmd + '\n');
    },
    // Takes the reader away: its pty disappears and opening it fails.
    async unplug() {
      this.send('quit');
      const timer = setTimeout(() => readerProc.kill('SIGKILL'), 5000);
      try {
        return await readerProc.exited;
      } finally {
        clearTimeout(timer);
      }
    },
    // After `remove`: resolves once a read cycle saw no card, so that the
    // next card placed counts as placed anew. sim-reader shows it as a new
    // cycle starting more than 2.5 s after the last announcement (the
    // serial cycle waits 3 s for one).
    async waitEmptyCycle(timeoutMs = 10000) {
      const stamp = (t) => Number((t.match(/^\[\s*([\d.]+)\]/) || [])[1]);
      const lines = readerProc.out.lines;
      let lastAnnounced = -Infinity;
      for (const l of lines) if (/announced/.test(l.text)) lastAnnounced = stamp(l.text);
      await readerProc.out.wait(
        (t) => {
          if (/announced/.test(t)) lastAnnounced = stamp(t);
          return /host (started anew|connected)/.test(t) && stamp(t) - lastAnnounced > 2.5;
        },
        { from: lines.length, timeoutMs, what: 'a read cycle without a card' },
      );
    },
  };

  let stopped;
  const world = {
    base: `http://${host}:${port}`,
    host,
    port,
    wsUrl: `ws://${host}:${port}/ws`,
    reader,
    server,
    scanidd,
    runtimeDir,
    logFile,
    cards: cards(),
    log: () => scanidd.err.text(),
    stdout: () => scanidd.out.text(),
    // SIGTERM to scanidd, then the simulators. Resolves with scanidd's exit
    // code and signal and the milliseconds it took to end (0 if it had
    // already ended).
    stop() {
      stopped ??= (async () => {
        const t0 = performance.now();
        const running = scanidd.exitCode === null && scanidd.signalCode === null;
        const { code, signal } = await end(scanidd, 'SIGTERM', 5000);
        const ms = running ? scanidd.exitedAt - t0 : 0;
        await Promise.all([end(readerProc), end(server)]);
        return { code, signal, ms };
      })();
      return stopped;
    },
  };
  return world;
}

// A WebSocket client of `world`. Resolves once open; a refused handshake
// rejects with an Error carrying `status` and `json` (the answer's body).
// origin: the Origin header (default the service's own page; null: none).
export function connect(world, { origin = world.base, token, headers = {}, path: p = '/ws' } = {}) {
  const url = `ws://${world.host}:${world.port}${p}` + (token ? `?token=${encodeURIComponent(token)}` : '');
  const ws = new WebSocket(url, {
    ...(origin !== null ? { origin } : {}),
    headers,
    handshakeTimeout: 5000,
    perMessageDeflate: false,
  });
  const client = new Client(ws);
  return new Promise((resolve, reject) => {
    ws.once('open', () => resolve(client));
    ws.once('unexpected-response', (req, res) => {
      let body = '';
      res.setEncoding('utf8');
      res.on('data', (d) => (body += d));
      res.on('end', () => {
        const e = new Error(`WebSocket handshake refused: ${res.statusCode} ${body}`);
        e.status = res.statusCode;
        e.text = body;
        try {
          e.json = JSON.parse(body);
        } catch {}
        req.destroy();
        reject(e);
      });
    });
    ws.once('error', reject);
  });
}

class Client {
  constructor(ws) {
    this.ws = ws;
    this.messages = [];
    this.cursor = 0;
    this.waiters = new Set();
    this.closed = new Promise((resolve) => {
      ws.on('close', (code, reason) => {
        this.closeInfo = { code, reason: reason.toString() };
        resolve(this.closeInfo);
        for (const w of [...this.waiters]) w();
      });
    });
    ws.on('error', () => {}); // shows as a close
    ws.on('message', (data, isBinary) => {
      let msg;
      try {
        msg = JSON.parse(data.toString());
      } catch {}
      if (typeof msg !== 'object' || msg === null || isBinary) msg = { unparsed: isBinary ? data : data.toString() };
      Object.defineProperty(msg, Client.receivedAt, { value: performance.now() });
      this.messages.push(msg);
      for (const w of [...this.waiters]) w();
    });
  }

  // The next message, past the last one returned, that `pred` accepts (a
  // function, or a string naming the message's type).
  next(pred, timeoutMs = 5000) {
    const test = typeof pred === 'string' ? (m) => m.type === pred : pred;
    return new Promise((resolve, reject) => {
      const look = () => {
        for (let i = this.cursor; i < this.messages.length; i++) {
          if (test(this.messages[i])) {
            this.cursor = i + 1;
            done();
            resolve(this.messages[i]);
            return true;
          }
        }
        if (this.closeInfo) {
          done();
          reject(new Error(`connection closed (${this.closeInfo.code}) before the message came; ` +
            `got ${JSON.stringify(this.messages.map((m) => m.type))}`));
          return true;
        }
        return false;
      };
      const timer = setTimeout(() => {
        done();
        reject(new Error(`no such message within ${timeoutMs} ms (${pred}); ` +
          `got ${JSON.stringify(this.messages.map((m) => m.type))}`));
      }, timeoutMs);
      const done = () => {
        clearTimeout(timer);
        this.waiters.delete(look);
      };
      if (!look()) this.waiters.add(look);
    });
  }

  send(msg) {
    this.ws.send(typeof msg === 'string' || Buffer.isBuffer(msg) ? msg : JSON.stringify(msg));
  }

  close() {
    if (this.ws.readyState === WebSocket.OPEN || this.ws.readyState === WebSocket.CONNECTING) this.ws.close();
    return this.closed;
  }
}
// When a message came (performance.now()), kept off the message's own keys.
Client.receivedAt = Symbol('receivedAt');
export const receivedAt = (msg) => msg[Client.receivedAt];

// One HTTP request to `world`: {status, headers, text, json}.
// origin: an Origin header; token: sent as Authorization: Bearer; host: the
// Host header (default 127.0.0.1:PORT).
export function http(world, method, p, { origin, token, host, headers = {}, body } = {}) {
  const h = { ...headers };
  if (origin !== undefined) h.Origin = origin;
  if (token !== undefined) h.Authorization = `Bearer ${token}`;
  if (host !== undefined) h.Host = host;
  return new Promise((resolve, reject) => {
    const req = http_.request(
      { host: world.host, port: world.port, method, path: p, headers: h, agent: false },
      (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (d) => (text += d));
        res.on('error', reject);
        res.on('end', () => {
          clearTimeout(timer);
          let json;
          try {
            json = JSON.parse(text);
          } catch {}
          resolve({ status: res.statusCode, headers: res.headers, text, json });
        });
      },
    );
    // The whole answer, not only its start.
    const timer = setTimeout(() => {
      const e = new Error(`${method} ${p}: no complete answer within 5 s`);
      req.destroy(e);
      reject(e);
    }, 5000);
    req.on('error', (e) => {
      clearTimeout(timer);
      reject(e);
    });
    req.end(body);
  });
}
