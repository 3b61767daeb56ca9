// What the web tests share: where things are, the test files, and qzrdec
// run on some data as the reference.
//
// QZR_WEB_DIR: build-web; QZRDEC: the native qzrdec; QZR_ROOT: the checkout.
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { mkdtempSync, readdirSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join, resolve } from 'node:path';
import { after } from 'node:test';

export const root = resolve(process.env.QZR_ROOT ?? new URL('../..', import.meta.url).pathname);
export const webDir = resolve(process.env.QZR_WEB_DIR ?? join(root, 'build-web'));
const qzrdec = resolve(process.env.QZRDEC ?? join(root, 'build', 'qzrdec'));
export const scratch = mkdtempSync(join(tmpdir(), 'qzr-web-'));
after(() => rmSync(scratch, { recursive: true, force: true }));

export function pictureFiles() {
  const seeds = join(root, 'fuzz', 'seeds', 'decode_file');
  return [
    ...readdirSync(join(root, 'samples')).filter((f) => f.endsWith('.qzr')).map((f) => join(root, 'samples', f)),
    ...readdirSync(seeds).sort().map((f) => join(seeds, f)),
  ];
}

// qzrdec on data: its exit status, what it printed (the file named
// "(memory)"), and its BMP's pixels ({ width, height, rgb }), or null.
export function runQzrdec(data) {
  const source = join(scratch, 'in.qzr');
  const bmp = join(scratch, 'out.bmp');
  writeFileSync(source, data);
  rmSync(bmp, { force: true });
  const p = spawnSync(qzrdec, [source, bmp], { cwd: scratch, stdio: ['ignore', 'pipe', 'pipe'], timeout: 60000 });
  assert.ok(!p.error, `cannot run ${qzrdec}: ${p.error}`);
  const text = (p.stdout.toString('latin1') + p.stderr.toString('latin1')).split(source).join('(memory)');
  return { status: p.status, text, rgb: p.status === 0 ? bmpRows(readFileSync(bmp)) : null };
}

// A 24-bit BMP's pixels: { width, height, rgb } with the rows top down.
function bmpRows(bmp) {
  const offset = bmp.readUInt32LE(10), width = bmp.readInt32LE(18), height = bmp.readInt32LE(22);
  assert.equal(bmp.readUInt16LE(28), 24);
  const stride = (width * 3 + 3) & ~3;
  const rgb = Buffer.alloc(width * height * 3);
  for (let y = 0; y < height; y++) {
    const row = offset + (height - 1 - y) * stride;
    for (let x = 0; x < width; x++) {
      rgb[(y * width + x) * 3] = bmp[row + x * 3 + 2];
      rgb[(y * width + x) * 3 + 1] = bmp[row + x * 3 + 1];
      rgb[(y * width + x) * 3 + 2] = bmp[row + x * 3];
    }
  }
  return { width, height, rgb };
}

// The RGBA bytes of RGB pixels, alpha 255.
export function rgba(rgb) {
  const out = new Uint8Array((rgb.length / 3) * 4);
  for (let i = 0, j = 0; j < rgb.length; i += 4, j += 3) {
    out[i] = rgb[j];
    out[i + 1] = rgb[j + 1];
    out[i + 2] = rgb[j + 2];
    out[i + 3] = 255;
  }
  return out;
}
