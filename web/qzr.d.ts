// The QZR decoder for the web and for Node.js, as WebAssembly.
//
//   import createQzr from "qzr-wasm";
//   const qzr = await createQzr();
//   const { width, height, data } = qzr.decode(bytes);
//   context.putImageData(new ImageData(data, width, height), 0, 0);

/** What a file's header says; decodes nothing. */
export interface QzrInfo {
  /** Visible pixels. */
  width: number;
  height: number;
  /** The planes' size: width and height rounded up to a multiple of 256. */
  padded_width: number;
  padded_height: number;
  /** The size of the expanded payload the file announces, in bytes. */
  payload_bytes: number;
}

/** A decoded picture: RGBA rows, top row first, alpha 255. */
export interface QzrPicture {
  width: number;
  height: number;
  /** width x height x 4 bytes, ready for `new ImageData(data, width, height)`. */
  data: Uint8ClampedArray;
}

/** The failure of a call: the library's message, and its status code. */
export interface QzrError extends Error {
  status: number;
}

export interface Qzr {
  /** Reads the header. Throws a QzrError for data that are not a QZR file of this version. */
  info(bytes: Uint8Array | ArrayBuffer | ArrayBufferView): QzrInfo;
  /** Decodes the whole file, exactly as qzrdec does. Throws a QzrError for damaged data, and
   *  for pictures beyond 2^28 pixels or a payload beyond 1 GiB. */
  decode(bytes: Uint8Array | ArrayBuffer | ArrayBufferView): QzrPicture;
  /** Bytes the module's allocator holds: the same before and after each call. */
  heapInUse(): number;
}

/** Loads the module (qzr.wasm beside qzr.mjs). */
export default function createQzr(options?: { locateFile?: (file: string, prefix: string) => string }): Promise<Qzr>;
