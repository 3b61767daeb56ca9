// The viewer page in Debian's headless Chromium, served from 127.0.0.1:
// pictures opened by ?src= are shown with qzrdec's pixels (their SHA-256),
// a damaged one with qzrdec's message, a missing one with the HTTP status.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { existsSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { chromium, figures, serve, settledDom } from './browser.mjs';
import { rgba, root, runQzrdec, webDir } from './support.mjs';

const coffee = readFileSync(join(root, 'samples', 'coffee.qzr'));
const astronaut = readFileSync(join(root, 'samples', 'astronaut.qzr'));
const damaged = coffee.subarray(0, 3000);

function skipWithoutChromium(t) {
  if (existsSync(chromium)) return false;
  if (process.env.CI === 'true') assert.fail(`no Chromium at ${chromium}`);
  t.skip(`no Chromium at ${chromium}`);
  return true;
}

// The pictures on the page are qzrdec's, the damaged one has its message.
function assertShown(dom, good, bad) {
  assert.match(dom, /<body[^>]*data-pending="0"/);
  const shown = figures(dom);
  for (const [name, data] of good) {
    const ref = runQzrdec(data).rgb;
    const f = shown.get(name);
    assert.ok(f, `${name} is not on the page`);
    assert.equal(f['data-state'], 'decoded', `${name}: ${f['data-error']}`);
    assert.equal(Number(f['data-width']), ref.width);
    assert.equal(Number(f['data-height']), ref.height);
    assert.equal(f['data-sha256'], createHash('sha256').update(rgba(ref.rgb)).digest('hex'), `${name}'s pixels`);
  }
  for (const [name, data] of bad) {
    const f = shown.get(name);
    const ref = runQzrdec(data);
    assert.equal(f['data-state'], 'error');
    assert.ok(ref.status !== 0 && f['data-error'] && ref.text.includes(f['data-error']),
      `the page says "${f['data-error']}", qzrdec ${ref.text}`);
  }
  return shown;
}

test('?src= pictures show qzrdec\'s pixels, damaged and missing ones a clear message', async (t) => {
  if (skipWithoutChromium(t)) return;
  const pictures = new Map([['coffee.qzr', coffee], ['astronaut.qzr', astronaut], ['damaged.qzr', damaged]]);
  const server = await serve(webDir, pictures);
  try {
    const base = `http://127.0.0.1:${server.address().port}/`;
    const src = ['coffee.qzr', 'astronaut.qzr', 'damaged.qzr', 'missing.qzr'].map((n) => `src=pictures/${n}`);
    const dom = await settledDom(`${base}index.html?${src.join('&')}`);
    const shown = assertShown(dom, [['coffee.qzr', coffee], ['astronaut.qzr', astronaut]], [['damaged.qzr', damaged]]);
    assert.match(shown.get('missing.qzr')['data-error'], /HTTP 404/);
    assert.equal(shown.get('coffee.qzr')['data-wasm'], 'simd');
    // The plain forms, as a browser without WebAssembly SIMD has them.
    const plain = await settledDom(`${base}index.html?wasm=plain&src=pictures/coffee.qzr&src=pictures/damaged.qzr`);
    assert.equal(assertShown(plain, [['coffee.qzr', coffee]], [['damaged.qzr', damaged]]).get('coffee.qzr')['data-wasm'],
      'plain');
  } finally {
    server.close();
  }
});

test('from disk, pictures opened with the file picker', async (t) => {
  if (skipWithoutChromium(t)) return;
  // The files as a person picks them: File objects in the input, then its change event.
  const pick = `(() => {
    const picked = new DataTransfer();
    for (const [name, b64] of ${JSON.stringify([['coffee.qzr', coffee], ['damaged.qzr', damaged]].map(([n, d]) => [n, d.toString('base64')]))})
      picked.items.add(new File([Uint8Array.from(atob(b64), (c) => c.charCodeAt(0))], name));
    const input = document.getElementById('files');
    input.files = picked.files;
    input.dispatchEvent(new Event('change'));
    return true;
  })()`;
  const dom = await settledDom(pathToFileURL(join(webDir, 'index.html')).href, pick);
  assertShown(dom, [['coffee.qzr', coffee]], [['damaged.qzr', damaged]]);
});
