// scanidd's API from outside: real processes, real sockets on 127.0.0.1.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import net from 'node:net';
import os from 'node:os';
import fs from 'node:fs';
import path from 'node:path';
import { bin, connect, http, receivedAt, sleep, start, startWorld } from './harness.mjs';

function within(promise, ms, what) {
  let timer;
  return Promise.race([
    promise,
    new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error(`${what}: not within ${ms} ms`)), ms);
    }),
  ]).finally(() => clearTimeout(timer));
}

const isResultFor = (card) => (m) => m.type === 'result' && m.number === card.number;

function assertIdCard(msg, card) {
  assert.deepEqual(Object.keys(msg).slice(0, 2), ['type', 'time']);
  assert.equal(msg.type, 'result');
  assert.equal(msg.result, 1);
  assert.equal(msg.result_name, 'idcard');
  assert.equal(msg.document, 'resident');
  assert.equal(msg.name_zh, card.name);
  assert.equal(msg.number, card.number);
  assert.match(msg.time, /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$/);
  assert.ok(Math.abs(Date.parse(msg.time) - Date.now()) < 60000, `time ${msg.time} is not now`);
  assert.match(msg.photo, /^data:image\/bmp;base64,[A-Za-z0-9+/]+={0,2}$/);
  const bmp = Buffer.from(msg.photo.slice(msg.photo.indexOf(',') + 1), 'base64');
  assert.equal(bmp.subarray(0, 2).toString('latin1'), 'BM');
  assert.equal(bmp.readUInt32LE(2), bmp.length, 'the whole photo, as long as its header says');
}

// A card different from the one placed before, so that it is sent at once,
// read by `client` or a new one: the service still works.
async function readsCard(world, { client, ...connectOptions } = {}) {
  world.lastPlaced = ((world.lastPlaced ?? 0) % 5) + 1;
  const card = world.cards[world.lastPlaced];
  const c = client ?? (await connect(world, connectOptions));
  if (!client) await c.next('status');
  world.reader.send(`place id ${world.lastPlaced}`);
  assertIdCard(await c.next(isResultFor(card), 10000), card);
  if (!client) await c.close();
}

async function clientCount(world) {
  return (await http(world, 'GET', '/api/status')).json.clients;
}

async function until(check, what, timeoutMs = 5000) {
  const end = Date.now() + timeoutMs;
  while (!(await check())) {
    if (Date.now() > end) throw new Error(`${what}: not within ${timeoutMs} ms`);
    await sleep(50);
  }
}

// A masked client frame (op 1 text, 2 binary).
function clientFrame(op, payload) {
  const p = Buffer.from(payload);
  const mask = crypto.randomBytes(4);
  const head = p.length < 126
    ? Buffer.from([0x80 | op, 0x80 | p.length])
    : Buffer.from([0x80 | op, 0x80 | 126, p.length >> 8, p.length & 0xff]);
  return Buffer.concat([head, mask, p.map((b, i) => b ^ mask[i % 4])]);
}

// Frames from the service (not masked) in `buf`; the last one may be cut off.
function serverFrames(buf) {
  const frames = [];
  for (let i = 0; i + 2 <= buf.length; ) {
    let len = buf[i + 1] & 0x7f;
    let h = 2;
    if (len === 126) [len, h] = [i + 4 <= buf.length ? buf.readUInt16BE(i + 2) : Infinity, 4];
    else if (len === 127) [len, h] = [i + 10 <= buf.length ? Number(buf.readBigUInt64BE(i + 2)) : Infinity, 10];
    if (i + h + len > buf.length) {
      frames.push({ op: buf[i] & 0x0f, cut: true });
      break;
    }
    frames.push({ op: buf[i] & 0x0f, payload: buf.subarray(i + h, i + h + len) });
    i += h + len;
  }
  return frames;
}

// A WebSocket client by hand, to send `frame` the moment the handshake is
// answered, while what the service sends a new client is still coming. Reads
// until 300 ms after a close frame, the end, or 3 s.
function sendOnUpgrade(world, frame) {
  return new Promise((resolve) => {
    const s = net.connect(world.port, world.host);
    let buf = Buffer.alloc(0);
    let body = -1;
    let closing;
    const finish = (how) => {
      clearTimeout(timer);
      clearTimeout(closing);
      s.destroy();
      const frames = body >= 0 ? serverFrames(buf.subarray(body)) : [];
      const at = frames.findIndex((f) => f.op === 8 && f.payload);
      const ops = frames.map((f) => (f.cut ? `op ${f.op} cut off` : `op ${f.op}`));
      resolve({
        closeCode: at >= 0 && frames[at].payload.length >= 2 ? frames[at].payload.readUInt16BE(0) : null,
        afterClose: at >= 0 ? frames.slice(at + 1).map((f) => f.payload?.toString().slice(0, 60)) : [],
        summary: `${how}; got ${ops.join(', ') || 'no frame'}`,
      });
    };
    const timer = setTimeout(() => finish('still open after 3 s'), 3000);
    s.on('data', (d) => {
      buf = Buffer.concat([buf, d]);
      if (body < 0 && buf.includes('\r\n\r\n')) {
        body = buf.indexOf('\r\n\r\n') + 4;
        s.write(frame);
      }
      if (body >= 0 && !closing && serverFrames(buf.subarray(body)).some((f) => f.op === 8 && f.payload)) {
        closing = setTimeout(() => finish('closed'), 300);
      }
    });
    s.on('error', () => {});
    s.on('close', () => finish('connection ended'));
    s.write(`GET /ws HTTP/1.1\r\nHost: ${world.host}:${world.port}\r\nOrigin: ${world.base}\r\n` +
      'Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n' +
      'Sec-WebSocket-Version: 13\r\n\r\n');
  });
}

describe('messages and endpoints', { timeout: 90000 }, () => {
  let w, c1;
  before(async () => {
    w = await startWorld();
    c1 = await connect(w);
  });
  after(() => w.stop());

  it('status on connecting, nothing retained yet', async () => {
    const st = await c1.next(() => true);
    assert.equal(st.type, 'status');
    assert.ok(['present', 'unknown'].includes(st.reader), st.reader);
    assert.equal(st.transport, 'serial');
    assert.equal(st.card_retained, false);
    assert.equal(st.clients, 1);
    assert.equal(st.last_failure, null);
    assert.match(st.version, /^\d+\.\d+\.\d+/);

    const r = await http(w, 'GET', '/api/status');
    assert.equal(r.status, 200);
    assert.equal(r.json.type, 'status');
    assert.deepEqual(await http(w, 'GET', '/api/card').then((x) => [x.status, x.json]), [404, { error: 'no card retained' }]);
    assert.deepEqual((await http(w, 'DELETE', '/api/card')).json, { cleared: false });

    const page = await http(w, 'GET', '/');
    assert.equal(page.status, 200);
    assert.match(page.headers['content-type'], /^text\/html/);
  });

  it('an identity card: a result message, the same from GET /api/card and for a new client', async () => {
    w.reader.send('place id 1');
    w.lastPlaced = 1;
    const msg = await c1.next('result', 10000);
    assertIdCard(msg, w.cards[1]);

    const r = await http(w, 'GET', '/api/card');
    assert.equal(r.status, 200);
    assert.deepEqual(r.json, msg);
    assert.equal((await http(w, 'GET', '/api/status')).json.card_retained, true);

    const c2 = await connect(w);
    assert.equal((await c2.next(() => true)).type, 'status');
    assert.deepEqual(await c2.next(() => true), msg);
    await c2.close();
  });

  it('a card left on the reader is sent once, another one at once, the same again after an empty cycle', async () => {
    await sleep(1500); // many cycles
    assert.equal(c1.messages.filter((m) => m.type === 'result').length, 1);

    w.reader.send('place id 2');
    w.lastPlaced = 2;
    assertIdCard(await c1.next('result', 10000), w.cards[2]);

    w.reader.send('remove');
    await w.reader.waitEmptyCycle();
    w.reader.send('place id 2');
    assertIdCard(await c1.next('result', 10000), w.cards[2]);
  });

  it('DELETE /api/card and the clear message wipe the card for everyone', async () => {
    const r = await http(w, 'DELETE', '/api/card');
    assert.equal(r.status, 200);
    assert.deepEqual(r.json, { cleared: true });
    assert.deepEqual(await c1.next('cleared'), { type: 'cleared', reason: 'request' });
    assert.equal((await http(w, 'GET', '/api/card')).status, 404);
    assert.equal((await http(w, 'GET', '/api/status')).json.card_retained, false);

    w.reader.send('place id 3');
    w.lastPlaced = 3;
    await c1.next(isResultFor(w.cards[3]), 10000);
    const c2 = await connect(w);
    c2.send({ type: 'clear' });
    assert.deepEqual(await c1.next('cleared'), { type: 'cleared', reason: 'request' });
    assert.equal((await http(w, 'GET', '/api/card')).status, 404);
    await c2.close();
  });

  it('an M1 card', async () => {
    w.reader.send('place m1');
    const msg = await c1.next('result', 10000);
    assert.equal(msg.result, 2);
    assert.equal(msg.result_name, 'othercard');
    assert.equal(msg.document, null);
    assert.equal(typeof msg.card_kind, 'number');
    assert.match(msg.card_data_hex, /^([0-9a-f]{2})+$/);
    assert.equal(msg.photo, undefined);
    w.reader.send('remove');
  });

  it('SIGTERM ends it within a second, exit status 0', async () => {
    const { code, signal, ms } = await w.stop();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.ok(ms < 1500, `took ${ms.toFixed(0)} ms`);
  });

  it('nothing personal in its log, its output or the runtime folder', () => {
    const log = w.log();
    assert.match(log, /listening/);
    const places = { log: Buffer.from(log), stdout: Buffer.from(w.stdout()) };
    for (const f of fs.readdirSync(w.runtimeDir, { recursive: true })) {
      const file = path.join(w.runtimeDir, f);
      if (fs.statSync(file).isFile()) places[file] = fs.readFileSync(file);
    }
    for (const card of w.cards.slice(1, 4)) {
      const utf16 = Buffer.from(card.name, 'utf16le');
      const secrets = [card.name, card.number, utf16.toString('hex'), utf16.toString('hex').toUpperCase()]
        .map((t) => Buffer.from(t)).concat([utf16]);
      for (const [where, bytes] of Object.entries(places)) {
        for (const secret of secrets) assert.ok(!bytes.includes(secret), `${where} holds ${secret}`);
      }
    }
    assert.deepEqual(fs.readdirSync(w.runtimeDir), [], 'files left in the runtime folder');
  });
});

describe('retention and an unplugged reader', { timeout: 60000 }, () => {
  let w;
  before(async () => {
    w = await startWorld({ retention: 1 });
  });
  after(() => w.stop());

  it('the card is wiped once the retention time is over', async () => {
    const c = await connect(w);
    w.reader.send('place id 1');
    const msg = await c.next('result', 10000);
    w.reader.send('remove');
    assert.equal((await http(w, 'GET', '/api/card')).status, 200);
    const cleared = await c.next('cleared', 4000);
    assert.deepEqual(cleared, { type: 'cleared', reason: 'retention' });
    const after = receivedAt(cleared) - receivedAt(msg);
    assert.ok(after > 800 && after < 3000, `cleared after ${after.toFixed(0)} ms`);
    assert.deepEqual((await http(w, 'GET', '/api/card')).json, { error: 'no card retained' });
    await c.close();
  });

  it('an unplugged reader: status absent, the service goes on', async () => {
    const c = await connect(w);
    await c.next('status');
    await w.reader.unplug();
    const st = await c.next((m) => m.type === 'status' && m.reader === 'absent', 5000);
    assert.equal(st.healthy, false);
    assert.equal(st.last_failure.result, 4);
    assert.equal(st.last_failure.result_name, 'serial_open');
    await sleep(1500); // a retry or two
    const r = await http(w, 'GET', '/api/status');
    assert.equal(r.status, 200);
    assert.equal(r.json.reader, 'absent');
    assert.equal(w.scanidd.exitCode, null);
    await c.close();
  });

  it('SIGTERM ends it within a second while it waits to try the reader again', async () => {
    await sleep(700);
    const { code, signal, ms } = await w.stop();
    assert.deepEqual({ code, signal }, { code: 0, signal: null });
    assert.ok(ms < 1500, `took ${ms.toFixed(0)} ms`);
  });
});

describe('refusals, each followed by a card read', { timeout: 60000 }, () => {
  let w;
  before(async () => {
    w = await startWorld();
  });
  after(() => w.stop());

  it('a foreign Origin, over HTTP and the WebSocket', async () => {
    const refused = { status: 403, json: { error: 'origin not allowed' } };
    for (const origin of ['http://evil.example', `http://127.0.0.1:${w.port + 1}`, `https://127.0.0.1:${w.port}`, 'null']) {
      const r = await http(w, 'GET', '/api/status', { origin });
      assert.deepEqual({ status: r.status, json: r.json }, refused, origin);
      await assert.rejects(connect(w, { origin }), refused, origin);
    }
    for (const origin of [w.base, `http://localhost:${w.port}`, null]) {
      assert.equal((await http(w, 'GET', '/api/status', origin ? { origin } : {})).status, 200, origin);
      await (await connect(w, { origin })).close();
    }
    await readsCard(w);
  });

  it('a foreign Host (DNS rebinding)', async () => {
    const refused = { status: 403, json: { error: 'host not allowed' } };
    for (const host of ['evil.example', `evil.example:${w.port}`, `localhost.evil.example:${w.port}`, `127.0.0.1.evil.example:${w.port}`]) {
      const r = await http(w, 'GET', '/api/status', { host });
      assert.deepEqual({ status: r.status, json: r.json }, refused, host);
      await assert.rejects(connect(w, { headers: { Host: host } }), refused, host);
    }
    assert.equal((await http(w, 'GET', '/api/status', { host: `localhost:${w.port}` })).status, 200);
    await readsCard(w);
  });

  it('an unknown path, another method, a CORS preflight', async () => {
    for (const p of ['/api/nope', '/nope', '/api/card/1', '/api']) {
      const r = await http(w, 'GET', p);
      assert.deepEqual([r.status, r.json], [404, { error: 'not found' }], p);
    }
    for (const [method, p] of [['POST', '/api/card'], ['PUT', '/api/card'], ['DELETE', '/api/status'], ['POST', '/ws']]) {
      for (const body of [undefined, '{"type":"clear"}']) {
        const what = `${method} ${p}${body ? ' with a body' : ''}`;
        const r = await http(w, method, p, { body }).catch((e) => assert.fail(`${what}: ${e.message}`));
        assert.deepEqual([r.status, r.json], [405, { error: 'method not allowed' }], what);
      }
    }
    const pre = await http(w, 'OPTIONS', '/api/card', {
      origin: w.base,
      headers: { 'Access-Control-Request-Method': 'DELETE' },
    });
    assert.equal(pre.status, 405);
    assert.equal(pre.headers['access-control-allow-origin'], undefined);
    await readsCard(w);
  });

  it('client messages it cannot use: an error answer, the connection stays', async () => {
    const c = await connect(w);
    await c.next('status');
    c.send('{"type":');
    assert.deepEqual(await c.next('error'), { type: 'error', error: 'malformed message' });
    c.send({ type: 'hello' });
    assert.deepEqual(await c.next('error'), { type: 'error', error: 'unknown message type' });
    c.send('[1]');
    assert.equal((await c.next(() => true)).type, 'error');
    c.send({ type: 'status' });
    assert.equal((await c.next(() => true)).type, 'status');
    await readsCard(w, { client: c });
    await c.close();
  });

  it('an oversized message closes with 1009, a binary one with 1003, also while a card is on its way; 4096 bytes are fine', async () => {
    const limit = await connect(w);
    await limit.next('status');
    const head = '{"type":"status","pad":"';
    limit.send(head + 'x'.repeat(4096 - head.length - 2) + '"}');
    await limit.next('status');

    const oversized = head + 'x'.repeat(4097 - head.length - 2) + '"}';
    const binary = Buffer.from('{"type":"status"}');
    for (const [msg, code] of [[oversized, 1009], [binary, 1003]]) {
      const c = await connect(w);
      await c.next('status');
      c.send(msg);
      assert.equal((await within(c.closed, 5000, `close after ${code}`)).code, code);
    }

    await readsCard(w); // retained: every new client is sent it at once
    for (let i = 0; i < 4; i++) {
      for (const [op, msg, code] of [[1, oversized, 1009], [2, binary, 1003]]) {
        const got = await sendOnUpgrade(w, clientFrame(op, msg));
        const what = `${msg === binary ? 'a binary' : 'an oversized'} message while the card is being sent (try ${i})`;
        assert.equal(got.closeCode, code, `${what}: ${got.summary}`);
        assert.deepEqual(got.afterClose, [], `${what}: frames after the close frame`);
      }
    }
    await limit.close();
    await readsCard(w);
  });
});

describe('a token', { timeout: 60000 }, () => {
  const token = 'test-token-5f2c9a7e41d0b3c8';
  let w;
  before(async () => {
    w = await startWorld({ token });
  });
  after(() => w.stop());

  it('HTTP: none or another one is refused; a Bearer header or ?token= is let in', async () => {
    const refused = [401, { error: 'token required' }];
    for (const t of [undefined, 'test-token-00000000000000000', token + 'x', token.slice(0, -1)]) {
      const r = await http(w, 'GET', '/api/status', { token: t });
      assert.deepEqual([r.status, r.json], refused, String(t));
    }
    const noBearer = await http(w, 'GET', '/api/status', { headers: { Authorization: token } });
    assert.deepEqual([noBearer.status, noBearer.json], refused);
    const wrongQuery = await http(w, 'GET', `/api/status?token=${token}x`);
    assert.deepEqual([wrongQuery.status, wrongQuery.json], refused);

    assert.equal((await http(w, 'GET', '/api/status', { token })).status, 200);
    assert.equal((await http(w, 'GET', `/api/status?token=${token}`)).status, 200);
    assert.ok(!(await http(w, 'GET', '/api/status', { token })).text.includes(token));
  });

  it('WebSocket: refused without it, let in with ?token= or a Bearer header', async () => {
    const refused = { status: 401, json: { error: 'token required' } };
    await assert.rejects(connect(w), refused);
    await assert.rejects(connect(w, { token: token + 'x' }), refused);
    await readsCard(w, { token });
    await readsCard(w, { headers: { Authorization: `Bearer ${token}` } });
    assert.ok(!w.log().includes(token), 'the token is in the log');
  });
});

describe('max_clients', { timeout: 30000 }, () => {
  let w;
  before(async () => {
    w = await startWorld({ maxClients: 2 });
  });
  after(() => w.stop());

  it('one client too many gets 503, and a place once one has left', async () => {
    const a = await connect(w);
    const b = await connect(w);
    await assert.rejects(connect(w), { status: 503, json: { error: 'too many clients' } });
    await a.close();
    await until(async () => (await clientCount(w)) === 1, 'the client count back at 1');
    await readsCard(w);
    await b.close();
  });
});

describe('many clients', { timeout: 60000 }, () => {
  let w;
  before(async () => {
    w = await startWorld();
  });
  after(() => w.stop());

  it('50 WebSocket clients at once all get every card', async () => {
    const clients = await Promise.all(Array.from({ length: 50 }, () => connect(w)));
    await Promise.all(clients.map((c) => c.next('status')));
    assert.equal(await clientCount(w), 50);
    for (const n of [1, 2]) {
      w.reader.send(`place id ${n}`);
      const got = await Promise.all(clients.map((c) => c.next('result', 10000)));
      for (const m of got) assert.equal(m.number, w.cards[n].number);
    }
    await Promise.all(clients.map((c) => c.close()));
  });
});

// A WebSocket client that never reads, with a small receive buffer, so that
// what the service sends it piles up. perl (part of every Debian system)
// because node cannot set SO_RCVBUF. Told on stdin, it reads to the end and
// says how the connection ended.
const stuckClient = `
use strict; use Socket; use IO::Handle;
my $port = $ARGV[0];
socket(my $s, PF_INET, SOCK_STREAM, 0) or die "socket: $!";
setsockopt($s, SOL_SOCKET, SO_RCVBUF, 2048) or die "SO_RCVBUF: $!";
connect($s, pack_sockaddr_in($port, inet_aton('127.0.0.1'))) or die "connect: $!";
my $req = "GET /ws HTTP/1.1\\r\\nHost: 127.0.0.1:$port\\r\\nOrigin: http://127.0.0.1:$port\\r\\n" .
  "Upgrade: websocket\\r\\nConnection: Upgrade\\r\\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\\r\\n" .
  "Sec-WebSocket-Version: 13\\r\\n\\r\\n";
syswrite($s, $req) == length($req) or die "write: $!";
my $head = '';
while ($head !~ /\\r\\n\\r\\n/) { sysread($s, my $c, 1) or die "handshake: $!"; $head .= $c; }
print((split /\\r\\n/, $head)[0], "\\n"); STDOUT->flush;
<STDIN>;
my ($n, $total) = (0, 0);
while ($n = sysread($s, my $buf, 65536)) { $total += $n; }
print defined $n ? "closed after $total bytes\\n" : "error $!\\n";
`;

describe('a client that stops reading', { timeout: 90000 }, () => {
  let w;
  before(async () => {
    w = await startWorld();
  });
  after(() => w.stop());

  it('is dropped while the others get every card without delay', async () => {
    const others = await Promise.all([1, 2, 3].map(() => connect(w)));
    const stuck = start('perl', ['-e', stuckClient, String(w.port)], { stdin: 'pipe' });
    assert.match((await stuck.out.wait(/^HTTP/)).text, /^HTTP\/1\.1 101/);
    await until(async () => (await clientCount(w)) === 4, 'four clients');

    const delays = [];
    const deadline = Date.now() + 45000;
    let dropped = false;
    for (let i = 0; !dropped && Date.now() < deadline; i++) {
      const card = w.cards[(i % 5) + 1];
      const t0 = performance.now();
      w.reader.send(`place id ${(i % 5) + 1}`);
      const got = await Promise.all(others.map((c) => c.next(isResultFor(card), 10000)));
      delays.push(Math.max(...got.map(receivedAt)) - t0);
      dropped = (await clientCount(w)) === 3;
    }
    assert.ok(dropped, `still a client after ${delays.length} cards`);
    assert.ok(Math.max(...delays) < 2000, `cards came after ${delays.map((d) => d.toFixed(0)).join(' ')} ms`);

    stuck.stdin.write('\n');
    const ending = await stuck.out.wait(/^(closed|error)/, { timeoutMs: 5000, what: 'the stuck socket closed by the service' });
    assert.match(ending.text, /^(closed after|error Connection reset)/);
    await Promise.all(others.map((c) => c.close()));
  });
});

describe('configuration', { timeout: 60000 }, () => {
  it('a bad setting stops the start with the file, the line and the reason', async () => {
    const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'scanidd-conf-'));
    const file = path.join(dir, 'scanidd.conf');
    const cases = [
      ['# comment\n\nport = 80x\n', ':3: bad port \'80x\''],
      ['reader = serial\n', ':1: reader = serial needs serial_device'],
      ['allowed_origins = http://a:1 https://B\n', ':1: bad origin \'https://B\''],
      ['token = short\n', ':1: bad token'],
      ['colour = blue\n', ':1: unknown setting \'colour\''],
      ['just words\n', ':1: expected \'key = value\''],
    ];
    for (const [text, reason] of cases) {
      fs.writeFileSync(file, text);
      for (const extra of [['--check-config'], ['--port', '0']]) {
        const p = start(bin.scanidd, ['--config', file, ...extra]);
        const { code } = await p.exited;
        assert.equal(code, 2, `${text} ${extra}`);
        assert.ok(p.err.text().includes(file + reason), `${p.err.text()} lacks ${file}${reason}`);
      }
    }
    fs.writeFileSync(file, 'reader = serial\nserial_device = /dev/ttyS1\nport = 8080\ntoken = 0123456789abcdef\n');
    const p = start(bin.scanidd, ['--config', file, '--check-config', '--port', '9090']);
    assert.equal((await p.exited).code, 0);
    assert.match(p.out.text(), /^port = 9090$/m, 'the command line wins over the file');
    assert.match(p.out.text(), /^token = \(set\)$/m);
    assert.ok(!p.out.text().includes('0123456789abcdef'), 'the token is never printed');
    fs.rmSync(dir, { recursive: true });
  });

  it('SIGHUP reloads the file; a file with a mistake is refused and the settings kept', async () => {
    const w = await startWorld({ config: 'retention = 30\n' });
    try {
      const file = path.join(path.dirname(w.runtimeDir), 'scanidd.conf');
      assert.equal((await http(w, 'GET', '/api/status')).status, 200);
      fs.writeFileSync(file, 'token = 0123456789abcdef0123\n');
      w.scanidd.kill('SIGHUP');
      await w.scanidd.err.wait((t) => /configuration reloaded/.test(t), { timeoutMs: 5000, what: 'reload' });
      assert.equal((await http(w, 'GET', '/api/status')).status, 401);
      assert.equal((await http(w, 'GET', '/api/status', { token: '0123456789abcdef0123' })).status, 200);

      fs.writeFileSync(file, 'token = 0123456789abcdef0123\nretention = forever\n');
      w.scanidd.kill('SIGHUP');
      await w.scanidd.err.wait((t) => t.includes(`not reloaded: ${file}:2: bad retention`), { timeoutMs: 5000, what: 'refusal' });
      assert.equal((await http(w, 'GET', '/api/status')).status, 401, 'the token stays');
      await readsCard(w, { token: '0123456789abcdef0123' });
    } finally {
      await w.stop();
    }
  });
});
