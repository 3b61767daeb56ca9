// qzr.info and qzr.decode over the module's flat functions. Each call
// copies the file into the module's memory and frees everything it took
// before it returns or throws.

// The bytes of a Uint8Array, any other typed array or DataView, or an
// ArrayBuffer.
function qzrBytes(bytes) {
  if (bytes instanceof Uint8Array) return bytes;
  if (bytes instanceof ArrayBuffer) return new Uint8Array(bytes);
  if (ArrayBuffer.isView(bytes)) return new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  throw new TypeError('qzr: expected a Uint8Array or an ArrayBuffer of the file\'s bytes');
}

var QZR_MESSAGE_BYTES = 512;

// Runs call(data, size, out, message) with the file and scratch space in
// the module's memory; frees them whatever happens.
function qzrWithFile(bytes, call) {
  var view = qzrBytes(bytes);
  var data = Module['_malloc'](Math.max(view.length, 1));
  var out = Module['_malloc'](5 * 4);
  var message = Module['_malloc'](QZR_MESSAGE_BYTES);
  try {
    if (!data || !out || !message) throw new Error('Out of memory for the file\'s ' + view.length + ' bytes !');
    HEAPU8.set(view, data);
    HEAPU8[message] = 0;
    return call(data, view.length, out, message);
  } finally {
    Module['_free'](message);
    Module['_free'](out);
    Module['_free'](data);
  }
}

// The library's message.
function qzrError(message, status) {
  var text = UTF8ToString(message);
  var e = new Error(text || ('QZR status ' + status));
  e.status = status;
  return e;
}

Module['info'] = function (bytes) {
  return qzrWithFile(bytes, function (data, size, out, message) {
    var s = Module['_qzr_web_info'](data, size, out, message, QZR_MESSAGE_BYTES);
    if (s !== 0) throw qzrError(message, s);
    var f = HEAPU32.subarray(out >> 2, (out >> 2) + 5);
    return { width: f[0], height: f[1], padded_width: f[2], padded_height: f[3], payload_bytes: f[4] };
  });
};

Module['decode'] = function (bytes) {
  return qzrWithFile(bytes, function (data, size, out, message) {
    var pixels = Module['_qzr_web_decode'](data, size, out, message, QZR_MESSAGE_BYTES);
    var width = HEAPU32[out >> 2], height = HEAPU32[(out >> 2) + 1];
    if (!pixels) throw qzrError(message, HEAPU32[(out >> 2) + 2]);
    try {
      // A copy of its own, so that it outlives the module's memory growing.
      var rgba = new Uint8ClampedArray(width * height * 4);
      rgba.set(HEAPU8.subarray(pixels, pixels + rgba.length));
      return { width: width, height: height, data: rgba };
    } finally {
      Module['_free'](pixels);
    }
  });
};

// Bytes the module's allocator holds now; for checking that calls free
// what they take.
Module['heapInUse'] = function () {
  return Module['_qzr_web_heap_in_use']();
};
