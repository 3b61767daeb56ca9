// Headless Chromium for the page's tests and its benchmark: a static host
// on 127.0.0.1 and a page driven over the DevTools protocol.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createServer } from 'node:http';
import { tmpdir } from 'node:os';
import { join, normalize } from 'node:path';

export const chromium = process.env.QZR_CHROMIUM ?? '/usr/bin/chromium';

// A static host: the page at /, the pictures under /pictures/.
export function serve(webDir, pictures) {
  const server = createServer((request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://host').pathname);
    const body = path === '/' || path === '/index.html' ? readFileSync(join(webDir, 'index.html'))
      : path.startsWith('/pictures/') && pictures.has(normalize(path).slice(10)) ? pictures.get(normalize(path).slice(10))
      : null;
    response.writeHead(body ? 200 : 404, { 'Content-Type': path.endsWith('.html') || path === '/' ? 'text/html' : 'application/octet-stream' });
    response.end(body ?? 'not found');
  });
  return new Promise((ready) => server.listen(0, '127.0.0.1', () => ready(server)));
}

// Opens url in headless Chromium, driven over the DevTools protocol on a
// pipe (--dump-dom dumps before the worker has decoded anything), and
// returns the page's DOM once body[data-pending] is 0: every picture shown
// or refused. `setup`, an expression, runs in the page once it has loaded.
// With a path in QZR_PAGE_SCREENSHOT, also saves a screenshot.
export async function settledDom(url, setup = 'true') {
  const profile = mkdtempSync(join(tmpdir(), 'qzr-chromium-'));
  const args = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync', `--user-data-dir=${profile}`,
    '--window-size=1200,1400', '--remote-debugging-pipe', 'about:blank'];
  const browser = spawn(chromium, args, { stdio: ['ignore', 'ignore', 'pipe', 'pipe', 'pipe'] });
  let log = '';
  browser.stderr.on('data', (d) => (log += d));
  const exited = new Promise((done) => browser.on('close', done));
  const waiting = new Map();
  let next = 0, buffer = '';
  browser.stdio[4].on('data', (chunk) => {
    buffer += chunk;
    for (let end; (end = buffer.indexOf('\0')) >= 0; buffer = buffer.slice(end + 1)) {
      const message = JSON.parse(buffer.slice(0, end));
      const call = waiting.get(message.id);
      if (!call) continue;
      waiting.delete(message.id);
      message.error ? call.reject(new Error(message.error.message)) : call.resolve(message.result);
    }
  });
  const send = (method, params = {}, sessionId = undefined) => new Promise((resolve, reject) => {
    const id = ++next;
    waiting.set(id, { resolve, reject });
    browser.stdio[3].write(JSON.stringify({ id, method, params, sessionId }) + '\0');
  });
  const deadline = Date.now() + 120000;
  try {
    const { targetId } = await send('Target.createTarget', { url });
    const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
    const evaluate = (expression) => send('Runtime.evaluate', { expression, returnByValue: true }, sessionId)
      .then((r) => r.result.value, () => null); // null also while the page is between two documents
    for (;;) {
      assert.ok(Date.now() < deadline, `the page did not load in 2 minutes: ${log}`);
      if (await evaluate(`location.href !== 'about:blank' && document.readyState === 'complete'`)) break;
      await new Promise((wake) => setTimeout(wake, 100));
    }
    await evaluate(setup);
    for (;;) {
      assert.ok(Date.now() < deadline, `the page did not settle in 2 minutes: ${log}`);
      const value = await evaluate(`document.body.dataset.pending === '0' && document.querySelector('figure')
        ? document.documentElement.outerHTML : null`);
      const r = { result: { value } };
      if (r?.result?.value) {
        if (process.env.QZR_PAGE_SCREENSHOT) {
          const shot = await send('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true }, sessionId);
          writeFileSync(process.env.QZR_PAGE_SCREENSHOT, Buffer.from(shot.data, 'base64'));
        }
        return r.result.value;
      }
      await new Promise((wake) => setTimeout(wake, 100));
    }
  } finally {
    await send('Browser.close').catch(() => {});
    const timer = setTimeout(() => browser.kill('SIGKILL'), 10000);
    await exited;
    clearTimeout(timer);
    rmSync(profile, { recursive: true, force: true });
  }
}

function unescape(text) {
  return text.replace(/&quot;/g, '"').replace(/&#39;/g, "'").replace(/&lt;/g, '<').replace(/&gt;/g, '>')
    .replace(/&amp;/g, '&');
}

// Each <figure>'s attributes, in the page's order.
export function figureList(dom) {
  return [...dom.matchAll(/<figure([^>]*)>/g)].map(([, attributes]) =>
    Object.fromEntries([...attributes.matchAll(/([\w-]+)="([^"]*)"/g)].map(([, k, v]) => [k, unescape(v)])));
}

// The same by their data-name.
export function figures(dom) {
  return new Map(figureList(dom).map((a) => [a['data-name'], a]));
}
