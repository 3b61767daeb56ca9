// The viewer's worker: decodes the files the page sends, one at a time and
// in order, so that the page stays responsive. createQzr comes from the
// decoder's classic script, which the page puts before this one.
'use strict';
var qzrReady = createQzr();
self.onmessage = function (event) {
  var job = event.data;
  qzrReady.then(function (qzr) {
    var start = performance.now();
    try {
      var picture = qzr.decode(new Uint8Array(job.bytes));
      var ms = performance.now() - start;
      var pixels = picture.data.buffer;
      self.postMessage({ id: job.id, width: picture.width, height: picture.height, pixels: pixels, ms: ms }, [pixels]);
    } catch (e) {
      self.postMessage({ id: job.id, error: e.message });
    }
  }, function (e) {
    self.postMessage({ id: job.id, error: 'The decoder did not start: ' + e });
  });
};
