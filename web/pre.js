// Where WebAssembly SIMD is missing (older browsers), the module takes the
// plain forms: qzr-plain.wasm, built from the same code without SIMD, beside
// qzr.wasm. The probe is a function that returns a SIMD vector.
var qzrSimdProbe = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 5, 1, 96, 0, 1, 123, 3, 2, 1, 0, 10, 8, 1, 6, 0,
  65, 0, 253, 17, 11]);
if (!WebAssembly.validate(qzrSimdProbe)) {
  var qzrGivenLocateFile = Module['locateFile'];
  Module['locateFile'] = function (path, prefix) {
    if (path === 'qzr.wasm') path = 'qzr-plain.wasm';
    return qzrGivenLocateFile ? qzrGivenLocateFile(path, prefix) : prefix + path;
  };
}
