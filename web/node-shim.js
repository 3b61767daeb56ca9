// In Node.js an ES module has neither require nor __dirname, which the
// loader below uses there, and Node's fetch cannot read a file, which is
// where the loader finds qzr.wasm (beside this file, as a file: URL or a
// path). These give them. Elsewhere (browsers, workers, bundlers) nothing is
// imported or changed.
const qzrInNode = typeof process === 'object' && typeof process.versions === 'object' &&
  typeof process.versions.node === 'string';
const require = qzrInNode
  ? (await import(/* webpackIgnore: true */ /* @vite-ignore */ 'node:module')).createRequire(import.meta.url)
  : undefined;
const __dirname = qzrInNode ? require('node:path').dirname(require('node:url').fileURLToPath(import.meta.url)) : '';
const fetch = !qzrInNode ? globalThis.fetch : (url, init) => {
  const s = String(url);
  const file = s.startsWith('file:') ? require('node:url').fileURLToPath(s) : /^[a-z][a-z0-9+.-]*:/i.test(s) ? null : s;
  if (file === null) return globalThis.fetch(url, init);
  return require('node:fs/promises').readFile(file)
    .then((bytes) => new Response(bytes, { headers: { 'Content-Type': 'application/wasm' } }));
};
