// scanidd figures: how long a card takes from the record being filled to a
// WebSocket client, and what the service costs while the reader is empty.
// Runs sim-server, sim-reader (serial) and scanidd as separate processes.
//
//   node bench/scanidd.mjs [BUILD_DIR] [READS]      (build/release, 32)
//
// Prints rows in bench/run's layout; exits 1 when the service did not run.

import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..');
const WebSocket = createRequire(path.join(root, 'tests/scanidd/package.json'))('ws');

const build = path.resolve(root, process.argv[2] || 'build/release');
const reads = Number(process.argv[3] || 32);
const targetMs = 5;
const idleSeconds = 10;

const children = [];
let runDir = '';
function cleanUp() {
  for (const c of children) {
    try {
      c.kill('SIGKILL');
    } catch {}
  }
  if (runDir) fs.rmSync(runDir, { recursive: true, force: true });
}
process.on('exit', cleanUp);
for (const sig of ['SIGINT', 'SIGTERM']) process.once(sig, () => process.exit(1));

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function fail(text) {
  console.error(`bench: ${text}`);
  process.exit(1);
}

// Starts a program and resolves with the first match of pattern in the
// stream named (stdout or stderr).
function start(file, args, streamName, pattern, stdin = 'ignore') {
  const child = spawn(path.join(build, file), args, { stdio: [stdin, 'pipe', 'pipe'] });
  children.push(child);
  let seen = '';
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`${file} did not start: ${seen.trim()}`)), 10000);
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`${file} ended (${code}): ${seen.trim()}`)));
    child[streamName].setEncoding('utf8');
    child[streamName].on('data', (chunk) => {
      seen += chunk;
      const m = seen.match(pattern);
      if (m) {
        clearTimeout(timer);
        resolve({ child, match: m });
      }
    });
    // Keep the other stream drained so the child never blocks on a full pipe.
    child[streamName === 'stdout' ? 'stderr' : 'stdout'].resume();
  });
}

// "2026-12-07T10:00:00.123456Z" to microseconds since the epoch.
function parseTimeUs(text) {
  const m = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):(\d\d)(?:\.(\d{1,6}))?Z$/.exec(text || '');
  if (!m) return NaN;
  const ms = Date.UTC(+m[1], +m[2] - 1, +m[3], +m[4], +m[5], +m[6]);
  return ms * 1000 + Number((m[7] || '').padEnd(6, '0'));
}
// Wall clock with microseconds (Date.now() has milliseconds only).
// The wall clock in microseconds: the monotonic clock, set against Date.now()
// once (timeOrigin alone can be off by milliseconds in a long-lived process).
let clockOffsetMs = 0;
function calibrateClock() {
  const samples = [];
  for (let last = Date.now(), n = 0; n < 20;) {
    const now = Date.now();
    if (now !== last) { // just after a millisecond ticked over
      samples.push(now - (performance.timeOrigin + performance.now()));
      n++;
    }
    last = now;
  }
  samples.sort((a, b) => a - b);
  clockOffsetMs = samples[samples.length >> 1];
}
const nowUs = () => Math.round((performance.timeOrigin + performance.now() + clockOffsetMs) * 1000);

function row(figure, measured, reference, unit, verdict) {
  const ratio = reference > 0 ? (measured / reference).toFixed(3).padStart(6) : '     -';
  const num = (v) => v.toFixed(1).padStart(10);
  console.log(`${figure.padEnd(44)} ${num(measured)} ${unit.padEnd(3)}  ref ${num(reference)} ${unit.padEnd(3)}  ratio ${ratio}  ${verdict}`);
}

function cpuTicks(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  const fields = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(fields[11]) + Number(fields[12]); // utime, stime
}

// Each thread's name, voluntary context switches (every one a wake from a
// sleep) and CPU time in nanoseconds as the scheduler counts it, not in
// clock ticks: an idle service spends far less than a tick per second.
function threadStats(pid) {
  const stats = new Map();
  for (const tid of fs.readdirSync(`/proc/${pid}/task`)) {
    const dir = `/proc/${pid}/task/${tid}`;
    try {
      const status = fs.readFileSync(`${dir}/status`, 'utf8');
      stats.set(Number(tid), {
        comm: fs.readFileSync(`${dir}/comm`, 'utf8').trim(),
        wakeups: Number(/^voluntary_ctxt_switches:\s+(\d+)/m.exec(status)?.[1]),
        ns: Number(fs.readFileSync(`${dir}/schedstat`, 'utf8').split(' ')[0]),
      });
    } catch {} // ended meanwhile
  }
  return stats;
}

// What a process costs over a span with nothing to do: clock ticks (as
// /proc/PID/stat has them), the scheduler's nanoseconds, and each thread's
// wake-ups per second. role(tid, index) names a thread by the order the
// program starts them.
async function idleCost(pid, seconds, role) {
  const hz = Number(execFileSync('getconf', ['CLK_TCK']).toString()) || 100;
  const ticks0 = cpuTicks(pid);
  const before = threadStats(pid);
  const w0 = performance.now();
  await sleep(seconds * 1000);
  const after = threadStats(pid);
  const wallMs = performance.now() - w0;
  const tickMs = ((cpuTicks(pid) - ticks0) * 1000) / hz;
  let ns = 0;
  const threads = [];
  [...after.keys()].sort((a, b) => a - b).forEach((tid, i) => {
    const a = after.get(tid);
    const b = before.get(tid) || { wakeups: 0, ns: 0 };
    ns += a.ns - b.ns;
    threads.push({ tid, comm: a.comm, role: role(tid, i), perSecond: ((a.wakeups - b.wakeups) * 1000) / wallMs,
      share: ((a.ns - b.ns) / 1e6 / wallMs) * 100 });
  });
  return { tickMs, wallMs, share: (ns / 1e6 / wallMs) * 100, threads, ended: [...before.keys()].filter((t) => !after.has(t)).length };
}

const idleCpuTarget = 0.2; // % of one core for an idle reader
const readingWakeups = 10; // per second, the thread that reads the module
const otherWakeups = 1; // per second, any other thread with nothing to do

function idleRows(program, cost) {
  const ended = cost.ended ? `; ${cost.ended} threads ended in the span, their time not counted` : '';
  row(`${program} idle CPU (scheduler time)`, cost.share, idleCpuTarget, '%',
    `${cost.share <= idleCpuTarget ? 'ok' : 'MISS'}: ${cost.share.toFixed(3)} % of one core, target at most ${idleCpuTarget} %${ended}`);
  for (const t of cost.threads) {
    const limit = t.role === 'reading thread' ? readingWakeups : otherWakeups;
    row(`${program} ${t.role} (${t.comm} ${t.tid})`.slice(0, 44), t.perSecond, limit, '/s',
      `${t.perSecond <= limit ? 'ok: at most' : 'MISS: more than'} ${limit} /s with nothing to do; CPU ${t.share.toFixed(3)} %`);
  }
}

function memoryKb(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (key) => Number(new RegExp(`^${key}:\\s+(\\d+)`, 'm').exec(status)?.[1]);
  return { rss: kb('VmRSS'), hwm: kb('VmHWM') };
}

async function main() {
  calibrateClock();

  const server = await start('sim-server', ['--port', '0'], 'stdout', /listening on (\S+:\d+)/);
  const reader = await start('sim-reader', [], 'stdout', /device: (\S+)/, 'pipe');
  runDir = fs.mkdtempSync(path.join(os.tmpdir(), 'scanidd-bench-'));
  const service = await start('scanidd',
    ['--config', '/dev/null', '--serial', reader.match[1], '--server', server.match[1], '--port', '0',
      '--runtime-dir', runDir],
    'stderr', /listening on http:\/\/([\d.]+:\d+)\//);
  const address = service.match[1];
  const pid = service.child.pid;

  const ws = new WebSocket(`ws://${address}/ws`, { origin: `http://${address}` });
  const results = [];
  let wake = null;
  ws.on('message', (data) => {
    const at = nowUs();
    const msg = JSON.parse(data.toString());
    if (msg.type !== 'result') return;
    results.push({ at, msg });
    if (wake) wake();
  });
  await new Promise((resolve, reject) => {
    ws.once('open', resolve);
    ws.once('error', reject);
  });

  const command = (line) => reader.child.stdin.write(`${line}\n`);
  const nextResult = (ms) => new Promise((resolve) => {
    const count = results.length;
    const timer = setTimeout(() => { wake = null; resolve(null); }, ms);
    wake = () => {
      if (results.length > count) {
        clearTimeout(timer);
        wake = null;
        resolve(results[results.length - 1]);
      }
    };
  });

  // Identity cards 1 to 9 in turn: resident cards, foreign permanent
  // resident cards and residence permits, each with its photo.
  const latencies = [];
  let missed = 0;
  for (let i = 0; i < reads; i++) {
    const got = nextResult(15000);
    command(`place id ${(i % 9) + 1}`);
    const r = await got;
    if (!r || typeof r.msg.document !== 'string' || !r.msg.photo) {
      missed++;
      if (r) console.error(`bench: read ${i + 1}: ${r.msg.result_name} ${r.msg.error || r.msg.photo_error || ''}`);
    } else {
      const us = r.at - parseTimeUs(r.msg.time);
      if (Number.isFinite(us)) latencies.push(us / 1000);
      else missed++;
    }
    command('remove');
    // Long enough for an empty cycle, after which the next card counts as placed.
    await sleep(800);
  }
  if (latencies.length === 0) fail(`no result arrived in ${reads} reads`);
  latencies.sort((a, b) => a - b);
  const median = latencies[Math.floor(latencies.length / 2)];
  const worst = latencies[latencies.length - 1];
  const note = missed ? `; ${missed} of ${reads} reads gave no identity record with its photo` : '';
  console.log(`== scanidd: record filled to WebSocket client (the message's time), serial reader, ${latencies.length} identity reads ==`);
  row('card to client, median', median, targetMs, 'ms',
    (median <= targetMs ? `ok: within ${targetMs} ms` : `MISS: over ${targetMs} ms`) + note);
  row('card to client, worst', worst, targetMs, 'ms',
    worst <= targetMs ? `ok: within ${targetMs} ms` : `over ${targetMs} ms (the median is the target)`);

  // Idle: the reader empty, one client connected.
  await sleep(1000);
  // Serve() starts the reading thread before the WebSocket server's.
  const serviceRoles = ['main thread', 'reading thread', 'server thread'];
  const idle = await idleCost(pid, idleSeconds, (tid, i) => serviceRoles[i] || 'thread');
  const cpuMs = idle.tickMs;
  const mem = memoryKb(pid);
  console.log(`== scanidd: idle, ${idleSeconds} s with the reader empty and one client (user+system time, all threads) ==`);
  const share = `${((100 * cpuMs) / idle.wallMs).toFixed(1)}% of one core`;
  // The reference: `scanid watch` on the same reader, the library's own
  // empty-reader cycles with nothing around them.
  service.child.kill('SIGTERM');
  await new Promise((resolve) => service.child.once('exit', resolve));
  const watch = spawn(path.join(build, 'scanid'),
    ['watch', '--serial', reader.match[1], '--server', server.match[1]], { stdio: 'ignore' });
  children.push(watch);
  await sleep(1000);
  // One lane: the main thread waits for signals, the other reads.
  const watchIdle = await idleCost(watch.pid, idleSeconds, (tid) => (tid === watch.pid ? 'main thread' : 'reading thread'));
  const refMs = watchIdle.tickMs;
  watch.kill('SIGTERM');
  row('idle CPU, against scanid watch', cpuMs, refMs, 'ms',
    cpuMs <= 1.2 * refMs + 20 ? `ok: ${share}, as much as the library's empty cycles` : `busy: ${share}, more than the library's empty cycles`);
  row('memory now (VmRSS), against its peak', mem.rss, mem.hwm, 'kB', 'the peak (VmHWM) is the reference');
  console.log(`== idle serial reader, ${idleSeconds} s: CPU in the scheduler's nanoseconds, wake-ups (voluntary context switches) per thread ==`);
  idleRows('scanidd', idle);
  idleRows('scanid watch', watchIdle);

  ws.close();
  reader.child.stdin.end('quit\n');
  server.child.kill('SIGTERM');
}

main().then(() => process.exit(0), (e) => fail(e.message));
