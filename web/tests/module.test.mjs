// The WebAssembly module under Node.js against qzrdec: the same pixels for
// every test file, the same message for every damaged one, limits, and all
// memory given back after each call.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';
import { pathToFileURL } from 'node:url';
import { pictureFiles, rgba, root, runQzrdec, scratch, webDir } from './support.mjs';

const { default: createQzr } = await import(pathToFileURL(join(webDir, 'qzr.mjs')).href);
const qzr = await createQzr();
// The plain forms, which the module takes where WebAssembly SIMD is missing.
const plain = await createQzr({ locateFile: (path, prefix) => prefix + (path === 'qzr.wasm' ? 'qzr-plain.wasm' : path) });

function assertSamePicture(picture, expected, what) {
  assert.equal(picture.width, expected.width, what);
  assert.equal(picture.height, expected.height, what);
  assert.ok(picture.data instanceof Uint8ClampedArray, what);
  assert.ok(Buffer.from(picture.data.buffer, picture.data.byteOffset, picture.data.length).equals(rgba(expected.rgb)),
    `${what}: other pixels than qzrdec's`);
}

// The module gives what qzrdec gives: its pixels, or an Error with its message.
function assertSameAsQzrdec(data, what) {
  const ref = runQzrdec(data);
  if (ref.rgb) {
    assertSamePicture(qzr.decode(data), ref.rgb, what);
    return 'decoded';
  }
  assert.throws(() => qzr.decode(data), (e) => {
    assert.ok(e instanceof Error && e.message && e.message === e.message.trim(), what);
    assert.ok(ref.text.includes(e.message), `${what}: "${e.message}", qzrdec (status ${ref.status}): ${ref.text}`);
    return true;
  });
  return 'failed';
}

// A small seeded generator, so that the damaged forms are the same each run.
function random(seed) {
  let s = seed >>> 0;
  return (n) => {
    s = (Math.imul(s, 1664525) + 1013904223) >>> 0;
    return Math.floor((s / 2 ** 32) * n);
  };
}

function* damagedForms(data, next) {
  for (const n of [0, 1, 4, 31, 32, 35, 36, 37, 64, ...Array.from({ length: 10 }, () => 37 + next(data.length - 37))])
    yield [`cut at ${n}`, data.subarray(0, n)];
  for (let i = 0; i < 24; i++) {
    const b = Uint8Array.from(data);
    const at = next(b.length);
    b[at] ^= 1 << next(8);
    yield [`bit flipped at ${at}`, b];
  }
  for (let i = 0; i < 6; i++) {
    const b = Uint8Array.from(data);
    const at = 36 + next(b.length - 36);
    for (let k = at; k < Math.min(b.length, at + 1 + next(400)); k++) b[k] = next(256);
    yield [`garbage at ${at}`, b];
  }
  const version = Uint8Array.from(data);
  version.set([0x30, 0x30, 0x31, 0x32], 28);
  yield ['unsupported version', version];
}

test('every test file decodes to qzrdec\'s pixels, with SIMD and plain, and info reads its header', () => {
  const files = pictureFiles();
  assert.ok(files.length >= 10);
  for (const file of files) {
    const data = new Uint8Array(readFileSync(file));
    assert.equal(assertSameAsQzrdec(data, file), 'decoded');
    assertSamePicture(plain.decode(data), runQzrdec(data).rgb, `${file}, plain forms`);
    const view = new DataView(data.buffer, data.byteOffset);
    const info = qzr.info(data);
    assert.deepEqual(info, {
      width: view.getUint16(8, true), height: view.getUint16(10, true),
      padded_width: Math.ceil(view.getUint16(8, true) / 256) * 256,
      padded_height: Math.ceil(view.getUint16(10, true) / 256) * 256,
      payload_bytes: view.getUint32(32, true),
    });
  }
});

test('damaged files fail with qzrdec\'s message, or decode as qzrdec decodes them', () => {
  for (const sample of ['coffee.qzr', 'astronaut.qzr']) {
    const data = new Uint8Array(readFileSync(join(root, 'samples', sample)));
    const outcomes = { decoded: 0, failed: 0 };
    for (const [what, damaged] of damagedForms(data, random(sample.length * 7919)))
      outcomes[assertSameAsQzrdec(damaged, `${sample}, ${what}`)]++;
    assert.ok(outcomes.failed >= 10, JSON.stringify(outcomes));
  }
  assert.throws(() => qzr.info(new Uint8Array(10)), /error reading QZR header/);
  assert.throws(() => qzr.decode(new TextEncoder().encode('not a picture, but long enough for a header..')),
    (e) => e instanceof Error && e.status === 3);
});

test('pictures beyond the limits are refused, and the module goes on', () => {
  const data = new Uint8Array(readFileSync(join(root, 'samples', 'coffee.qzr')));
  const huge = Uint8Array.from(data);
  new DataView(huge.buffer).setUint32(8, 0xffffffff, true); // 65535 x 65535
  assert.throws(() => qzr.decode(huge), /beyond the limit/);
  assert.equal(qzr.info(huge).width, 65535, 'info has no limit');
  const payload = Uint8Array.from(data);
  new DataView(payload.buffer).setUint32(32, 0xffffffff, true);
  assert.throws(() => qzr.decode(payload), (e) => e.status === 6);
  // Within the pixel limit, but planes of 16384 x 16384 samples: whatever
  // the memory allows, an answer and a working module.
  const big = Uint8Array.from(data);
  new DataView(big.buffer).setUint16(8, 16384, true);
  new DataView(big.buffer).setUint16(10, 16384, true);
  try {
    assert.equal(qzr.decode(big).width, 16384);
  } catch (e) {
    assert.ok(e instanceof Error && e.message, String(e));
  }
  assertSameAsQzrdec(data, 'coffee.qzr after the refusals');
});

test('any form of bytes; nothing else', () => {
  const data = new Uint8Array(readFileSync(join(root, 'samples', 'coffee.qzr')));
  const expected = qzr.decode(data).data;
  const shifted = new Uint8Array(data.length + 3);
  shifted.set(data, 3);
  for (const form of [data.buffer.slice(data.byteOffset, data.byteOffset + data.length), shifted.subarray(3),
    new DataView(shifted.buffer, 3), Buffer.from(data)])
    assert.deepEqual(qzr.decode(form).data, expected);
  assert.throws(() => qzr.decode('coffee.qzr'), TypeError);
  assert.throws(() => qzr.info(null), TypeError);
});

test('every call gives its memory back', () => {
  const good = new Uint8Array(readFileSync(join(root, 'samples', 'astronaut.qzr')));
  const bad = good.slice(0, good.length >> 1);
  qzr.decode(good); // the first call may set up what the allocator keeps
  const before = qzr.heapInUse();
  for (let i = 0; i < 40; i++) {
    qzr.decode(good);
    assert.throws(() => qzr.decode(bad));
    qzr.info(good);
    assert.throws(() => qzr.info(good.subarray(0, 20)));
  }
  assert.equal(qzr.heapInUse(), before);
});

test('the package installs with npm and decodes, and its types check', () => {
  const pkg = JSON.parse(readFileSync(join(webDir, 'package.json')));
  assert.equal(pkg.type, 'module');
  for (const f of pkg.files) readFileSync(join(webDir, f));
  // npm pack, then npm install of the tarball into a project of a user's,
  // which imports the package by name under Node.js.
  const project = mkdtempSync(join(scratch, 'project-'));
  const npm = (...args) => {
    const p = spawnSync('npm', args, { cwd: project, encoding: 'utf8', stdio: ['ignore', 'pipe', 'pipe'] });
    assert.equal(p.status, 0, `npm ${args.join(' ')}: ${p.stdout}${p.stderr}`);
    return p.stdout.trim();
  };
  const tarball = npm('pack', '--silent', '--pack-destination', project, webDir).split('\n').pop();
  writeFileSync(join(project, 'package.json'), '{"name": "user", "private": true, "type": "module"}');
  npm('install', '--offline', '--no-audit', '--no-fund', '--silent', join(project, tarball));
  writeFileSync(join(project, 'main.mjs'), `import createQzr from 'qzr-wasm';
import { readFileSync } from 'node:fs';
const qzr = await createQzr();
const p = qzr.decode(readFileSync(process.argv[2]));
console.log(p.width, p.height, p.data.length);`);
  const run = spawnSync('node', ['main.mjs', join(root, 'samples', 'coffee.qzr')], { cwd: project, encoding: 'utf8' });
  assert.equal(run.stdout.trim(), '600 400 960000', run.stderr);
  const tsc = spawnSync('tsc', ['--version']);
  if (tsc.error) {
    if (process.env.CI === 'true') assert.fail('tsc is missing (Debian\'s node-typescript)');
    return;
  }
  // The user's TypeScript, against the declarations as npm installed them.
  writeFileSync(join(project, 'main.ts'), `
import createQzr, { QzrPicture, QzrInfo } from "qzr-wasm";
const qzr = await createQzr();
const info: QzrInfo = qzr.info(new Uint8Array(36));
const picture: QzrPicture = qzr.decode(new ArrayBuffer(8));
const pixels: Uint8ClampedArray = picture.data;
const n: number = info.padded_width * pixels.length + qzr.heapInUse();
export { n };
`);
  const check = spawnSync('tsc', ['--noEmit', '--strict', '--target', 'es2022', '--module', 'nodenext',
    '--moduleResolution', 'nodenext', join(project, 'main.ts')], { cwd: project });
  assert.equal(check.status, 0, check.stdout.toString() + check.stderr.toString());
});
