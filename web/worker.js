// The viewer's worker: decodes the files the page sends, one at a time and
// in order, so that the page stays responsive. createQzr and createQzrPlain
// come from the decoder's classic scripts, which the page puts before this
// one: the SIMD forms where the browser has WebAssembly SIMD (the probe is a
// function that returns a SIMD vector), else the plain ones.
'use strict';
var qzrSimd = WebAssembly.validate(new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0,
  10, 8, 1, 6, 0, 65, 0, 253, 17, 11]));
var qzrForms = qzrSimd && !self.qzrForcePlain ? 'simd' : 'plain';
var qzrReady = (qzrForms === 'simd' ? createQzr : createQzrPlain)();
self.onmessage = function (event) {
  var job = event.data;
  qzrReady.then(function (qzr) {
    var start = performance.now();
    try {
      var picture = qzr.decode(new Uint8Array(job.bytes));
      var ms = performance.now() - start;
      var pixels = picture.data.buffer;
      self.postMessage({ id: job.id, width: picture.width, height: picture.height, pixels: pixels, ms: ms,
        forms: qzrForms }, [pixels]);
    } catch (e) {
      self.postMessage({ id: job.id, error: e.message });
    }
  }, function (e) {
    self.postMessage({ id: job.id, error: 'The decoder did not start: ' + e });
  });
};
