// Times the web decoder on pictures: qzr.decode under Node.js, and in
// headless Chromium the viewer's own decode (its worker, data-decode-ms),
// with SIMD and with the plain forms, each picture RUNS times after two
// untimed decodes. Prints one line per picture, place and forms:
// "node|chromium simd|plain FILE first MS median MS".
// usage: node bench/web_decode.mjs BUILD_WEB_DIR RUNS FILE.qzr...
import { readFileSync } from 'node:fs';
import { basename, join, resolve } from 'node:path';
import { pathToFileURL } from 'node:url';
import { figureList, serve, settledDom } from '../web/tests/browser.mjs';

const [webDir, runsText, ...files] = process.argv.slice(2);
const runs = Number(runsText);
const median = (xs) => [...xs].sort((a, b) => a - b)[xs.length >> 1];

const report = (place, forms, file, times) =>
  console.log(`${place} ${forms} ${basename(file)} first ${times[0].toFixed(1)} median ${median(times.slice(2)).toFixed(1)}`);

const { default: createQzr } = await import(pathToFileURL(join(resolve(webDir), 'qzr.mjs')).href);
for (const forms of ['simd', 'plain']) {
  const qzr = await createQzr(forms === 'simd' ? {}
    : { locateFile: (path, prefix) => prefix + (path === 'qzr.wasm' ? 'qzr-plain.wasm' : path) });
  for (const file of files) {
    const data = readFileSync(file);
    const times = [];
    for (let i = 0; i < runs + 2; i++) {
      const start = performance.now();
      qzr.decode(data);
      times.push(performance.now() - start);
    }
    report('node', forms, file, times);
  }
}

for (const forms of ['simd', 'plain']) {
  for (const file of files) {
    const name = basename(file);
    const server = await serve(resolve(webDir), new Map([[name, readFileSync(file)]]));
    try {
      const src = Array.from({ length: runs + 2 }, () => `src=pictures/${name}`).join('&');
      const dom = await settledDom(`http://127.0.0.1:${server.address().port}/index.html?wasm=${forms}&${src}`);
      const shown = figureList(dom);
      if (shown.some((f) => !(Number(f['data-decode-ms']) > 0) || f['data-wasm'] !== forms))
        throw new Error(`the page did not decode ${name} every time with the ${forms} forms`);
      report('chromium', forms, file, shown.map((f) => Number(f['data-decode-ms'])));
    } finally {
      server.close();
    }
  }
}
