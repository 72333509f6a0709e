// The sample page in a real browser (Debian's chromium, headless) against the
// real service, and a page from another origin that must get nothing.
import { after, before, describe, it } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { chromium } from 'playwright-core';
import { http as request, startWorld } from './harness.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
const screenshot = path.resolve(process.env.SCANIDD_SCREENSHOT || path.join(here, '../../build/scanidd-page.png'));

let world, context, page, profile;

// Waits until the element's text is `want` (a string) or matches it (a RegExp).
async function text(selector, want, timeout = 15000) {
  const [source, flags] = want instanceof RegExp ? [want.source, want.flags] : [null, null];
  try {
    await page.waitForFunction(
      ([sel, str, src, fl]) => {
        const t = document.querySelector(sel)?.textContent;
        return t !== undefined && (src !== null ? new RegExp(src, fl).test(t) : t === str);
      },
      [selector, want, source, flags],
      { timeout },
    );
  } catch (e) {
    const got = await page.locator(selector).textContent({ timeout: 100 }).catch(() => '(absent)');
    throw new Error(`${selector}: wanted ${want}, shows ${JSON.stringify(got)}\n${world.log()}`);
  }
}
const shown = (key) => page.locator(`#card [data-key="${key}"]`).textContent();

async function retained() {
  const r = await request(world, 'GET', '/api/card');
  assert.equal(r.status, 200, r.text);
  return r.json;
}

before(async () => {
  world = await startWorld();
  profile = fs.mkdtempSync(path.join(os.tmpdir(), 'scanidd-chromium-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  page = await context.newPage();
  await page.goto(world.base + '/');
});

after(async () => {
  await context?.close();
  await world?.stop();
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

describe('sample page', { timeout: 120000 }, () => {
  it('shows the reader and an identity card with its photo at natural size', async () => {
    await text('#connection', 'connected');
    await text('#reader-status', 'reader present');
    const card = world.cards[1];
    world.reader.send('place id 1');
    await text('#card [data-key="number"]', card.number);
    assert.equal(await shown('name_zh'), card.name);
    await page.waitForFunction(() => {
      const img = document.getElementById('photo');
      return img?.complete && img.naturalWidth > 0;
    });
    const size = await page.evaluate(() => {
      const img = document.getElementById('photo');
      const r = img.getBoundingClientRect();
      return { w: r.width, h: r.height, nw: img.naturalWidth, nh: img.naturalHeight };
    });
    assert.deepEqual([size.w, size.h], [size.nw, size.nh], 'the photo is not scaled');
    const history = await page.locator('#history').textContent();
    assert.match(history, /Resident identity card/);
    assert.ok(!history.includes(card.number) && !history.includes(card.name), `history holds card data: ${history}`);
    fs.mkdirSync(path.dirname(screenshot), { recursive: true });
    await page.screenshot({ path: screenshot, fullPage: true });
  });

  it('shows a foreign permanent resident card', async () => {
    world.reader.send('remove');
    world.reader.send('place id 6');
    await text('#card [data-key="document"]', /permanent resident/);
    const sent = await retained();
    assert.equal(sent.document, 'foreign_2017');
    assert.ok(sent.name_en && sent.number);
    assert.equal(await shown('name_en'), sent.name_en.trim());
    assert.equal(await shown('number'), sent.number);
  });

  it('shows another card by kind and data', async () => {
    world.reader.send('remove');
    world.reader.send('place m1');
    await page.locator('#card [data-key="card_data_hex"]').waitFor({ timeout: 15000 });
    const sent = await retained();
    assert.equal(sent.result, 2);
    assert.equal(await shown('card_kind'), String(sent.card_kind));
    assert.equal(await shown('card_data_hex'), sent.card_data_hex);
    assert.equal(await page.locator('#card [data-key="number"]').count(), 0);
  });

  it('gives a page from another origin nothing while a card is retained', async () => {
    await retained();
    const other = http.createServer((req, res) => {
      res.setHeader('Content-Type', 'text/html');
      res.end(`<!doctype html><pre id="out"></pre><script>
        const out = document.getElementById('out'), log = (s) => { out.textContent += s + '\\n'; };
        const ws = new WebSocket(${JSON.stringify(world.wsUrl)});
        ws.onopen = () => log('ws open');
        ws.onmessage = (e) => log('ws message ' + e.data);
        ws.onclose = () => log('ws closed');
        for (const p of ['/api/card', '/api/status'])
          fetch(${JSON.stringify(world.base)} + p).then((r) => r.text()).then((t) => log(p + ' got ' + t), () => log(p + ' failed'));
      </script>`);
    });
    await new Promise((resolve) => other.listen(0, '127.0.0.1', resolve));
    const thief = await context.newPage();
    try {
      await thief.goto(`http://127.0.0.1:${other.address().port}/`);
      const out = () => thief.locator('#out').textContent();
      await thief.waitForFunction(() => {
        const t = document.getElementById('out').textContent;
        return (t.match(/^\/api\/\w+ (failed|got)/gm) || []).length === 2 && /^ws (closed|message)/m.test(t);
      }, null, { timeout: 10000 }).catch(async () => assert.fail(`the other page is still waiting: ${await out()}`));
      await thief.waitForTimeout(500); // anything late would show here
      const got = await out();
      assert.deepEqual(got.trim().split('\n').sort(), ['/api/card failed', '/api/status failed', 'ws closed'], got);
      assert.match(world.log(), /origin not allowed/);
    } finally {
      await thief.close();
      other.close();
    }
  });

  it('blanks the card and the history when the card is cleared', async () => {
    const r = await request(world, 'DELETE', '/api/card');
    assert.deepEqual(r.json, { cleared: true });
    await page.waitForFunction(() => !document.querySelector('#card [data-key]') &&
      document.getElementById('history').children.length === 0, null, { timeout: 5000 });
  });

  it('shows the reader absent when it is unplugged, failures in the status area', async () => {
    await world.reader.unplug();
    await text('#reader-status', 'reader absent', 20000);
    await text('#last-failure', /serial_open/);
    await text('#read-failure', /serial_open/);
    assert.equal(await page.locator('#card [data-key]').count(), 0);
    await text('#connection', 'connected');
  });
});
