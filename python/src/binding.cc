// qzr._qzr: the library for Python. The package's __init__.py gives these
// functions their Python face; here they take any contiguous bytes-like
// object and a numpy array, and turn every failure into qzr.Error (an
// OSError and a ValueError) with the library's message and its word for the
// kind of failure as its status; a salvage returns what survives of damaged
// data instead. The decodes and the encode run with the GIL released.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "qzr/decode.h"
#include "qzr/qzr.h"

namespace py = pybind11;

namespace {

// Raised as qzr.Error.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message, qzr_status status = QZR_ERROR_ARGUMENT)
      : std::runtime_error(message.empty() ? qzr_status_string(status) : message), status_(status) {}
  qzr_status status() const { return status_; }

 private:
  qzr_status status_;
};

// The bytes of a contiguous buffer (bytes, bytearray, memoryview, mmap, a
// numpy array), held for the object's life so that they cannot move while
// the GIL is released.
class Bytes {
 public:
  explicit Bytes(const py::object& o) {
    if (PyObject_GetBuffer(o.ptr(), &view_, PyBUF_SIMPLE) != 0) throw py::error_already_set();
  }
  ~Bytes() { PyBuffer_Release(&view_); }
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const { return static_cast<size_t>(view_.len); }

 private:
  Py_buffer view_{};
};

qzr_decode_options default_options(std::string& message) {
  qzr_decode_options o;
  qzr_decode_options_init(&o);
  message.assign(1024, '\0');
  o.message = message.data();
  o.message_size = message.size();
  return o;
}

// The library's message names the data "(memory)" where qzrdec names its
// file: `name`, when not empty, takes that place.
std::string named(const std::string& message, const std::string& name) {
  std::string text = message.c_str();
  static constexpr std::string_view kUnnamed = "(memory)";
  if (!name.empty())
    for (size_t at = 0; (at = text.find(kUnnamed, at)) != std::string::npos; at += name.size())
      text.replace(at, kUnnamed.size(), name);
  return text;
}

[[noreturn]] void fail(const std::string& message, qzr_status status, const std::string& name) {
  throw Error(named(message, name), status);
}

// The header, or its failure; for a decode also a picture or payload beyond
// the decode's limits, refused before the array is made.
qzr_info checked_info(const Bytes& in, bool decoding, const std::string& name) {
  qzr_info info{};
  std::string message;
  qzr_decode_options o = default_options(message);
  if (!decoding) o.max_pixels = o.max_payload = UINT64_MAX;
  if (const qzr_status s = qzr_read_info(in.data(), in.size(), &o, &info); s != QZR_OK) fail(message, s, name);
  return info;
}

// `within_limits` also refuses a header announcing more than the decode
// takes, as the decode would.
py::tuple info(const py::object& data, bool within_limits, const std::string& name) {
  const Bytes in(data);
  const qzr_info i = checked_info(in, within_limits, name);
  return py::make_tuple(i.width, i.height, i.padded_width, i.padded_height, i.payload_length);
}

// A decode's picture, as an array the decode wrote, and its outcome.
struct Decoded {
  py::array_t<uint8_t> pixels;
  qzr_status status;
  std::string message;
};

// Runs into(data, size, options, pixels, stride, pixels_size), a decode of
// the C API, into a new array with the GIL released, after the header and
// the limits have been checked as the decode checks them.
template <class Into>
Decoded decode_with(const py::object& data, const std::string& name, Into into) {
  const Bytes in(data);
  const qzr_info info = checked_info(in, true, name);
  Decoded d{py::array_t<uint8_t>({size_t{info.height}, size_t{info.width}, size_t{3}}), QZR_OK, {}};
  const qzr_decode_options o = default_options(d.message);
  uint8_t* out = d.pixels.mutable_data();
  const size_t stride = size_t{3} * info.width;
  {
    py::gil_scoped_release unlocked;
    d.status = into(in.data(), in.size(), &o, out, stride, stride * info.height);
  }
  return d;
}

py::array_t<uint8_t> decode(const py::object& data, const std::string& name) {
  Decoded d = decode_with(data, name, qzr_decode_into);
  if (d.status != QZR_OK) fail(d.message, d.status, name);
  return d.pixels;
}

// (pixels, damaged, the first failure or "", payload length, payload bytes
// decided, three planes' (bands, bands_whole, bands_partial, bands_missing,
// groups_whole, groups_partial, neutral)); a failure that recovers nothing
// raises as decode does.
py::tuple salvage(const py::object& data, const std::string& name) {
  qzr_salvage_report r{};
  Decoded d = decode_with(data, name, [&r](const uint8_t* in, size_t size, const qzr_decode_options* o, uint8_t* out,
                                           size_t stride, size_t out_size) {
    return qzr_salvage_into(in, size, o, out, stride, out_size, &r);
  });
  const bool damaged = d.status == QZR_ERROR_DAMAGED;
  if (d.status != QZR_OK && !damaged) fail(d.message, d.status, name);
  py::list planes;
  for (const qzr_plane_recovery& p : r.planes)
    planes.append(py::make_tuple(p.bands, p.bands_whole, p.bands_partial, p.bands_missing, p.groups_whole,
                                 p.groups_partial, p.neutral != 0));
  return py::make_tuple(d.pixels, damaged, damaged ? named(d.message, name) : std::string(), r.payload_length,
                        r.payload_decided, planes);
}

// A picture from rows of RGB bytes: a C-contiguous uint8 array of shape
// (height, width, 3), which the Python side makes sure of.
qzr::Picture picture_of(const py::array_t<uint8_t, py::array::c_style>& rgb) {
  if (rgb.ndim() != 3 || rgb.shape(2) != 3) throw Error("a picture is an array of shape (height, width, 3)");
  qzr::Picture p{static_cast<int>(rgb.shape(1)), static_cast<int>(rgb.shape(0)), {}};
  if (rgb.shape(0) > qzr::kMaxPictureSide || rgb.shape(1) > qzr::kMaxPictureSide)
    throw Error("a picture is at most " + std::to_string(qzr::kMaxPictureSide) + " pixels each way");
  p.rgb.assign(rgb.data(), rgb.data() + rgb.size());
  return p;
}

py::bytes encode(const py::array_t<uint8_t, py::array::c_style>& rgb, int quality, double bpp, int levels) {
  const qzr::Picture picture = picture_of(rgb);
  const qzr::EncodeOptions options{.quality = quality, .target_bpp = bpp, .levels = levels};
  qzr::Result<qzr::EncodedFile> file = qzr::Failure{};
  {
    py::gil_scoped_release unlocked;
    file = qzr::encode(picture, options);
  }
  if (!file.ok()) throw Error(file.failure().message(), file.failure().status);
  const std::vector<uint8_t>& bytes = file.value().bytes;
  return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// None for a sound file, else why it is not: the decode's failure (its last
// line, without the size line qzrdec prints before some) or the first sign
// of the damage the decode passes over.
py::object check(const py::object& data) {
  const Bytes in(data);
  std::string message;
  const qzr_decode_options o = default_options(message);
  qzr_status status;
  {
    py::gil_scoped_release unlocked;
    status = qzr_check(in.data(), in.size(), &o);
  }
  if (status == QZR_OK) return py::none();
  std::string reason = message.c_str();
  if (const size_t cut = reason.rfind('\n'); cut != std::string::npos) reason.erase(0, cut + 1);
  return py::str(reason.empty() ? qzr_status_string(status) : reason);
}

py::bytes to_bmp(const py::array_t<uint8_t, py::array::c_style>& rgb) {
  const qzr::Picture picture = picture_of(rgb);
  std::vector<uint8_t> bmp;
  {
    py::gil_scoped_release unlocked;
    bmp = qzr::to_bmp(picture);
  }
  if (bmp.empty()) throw Error("the picture is too large for a BMP file");
  return py::bytes(reinterpret_cast<const char*>(bmp.data()), bmp.size());
}

}  // namespace

PYBIND11_MODULE(_qzr, m) {
  m.doc() = "QZR wavelet images: the qzr library's decoder and encoder";
  // An OSError, as a file that cannot be read is; a ValueError too, as it
  // was before it was an OSError.
  // Kept to the end, never released: it outlives the interpreter's teardown.
  static const py::handle error_type = PyErr_NewExceptionWithDoc(
      "qzr.Error",
      "QZR data that cannot be decoded, or a picture or option the encoder refuses. The message is "
      "the one qzrdec prints, without the blank lines around it; status is the library's word for the kind of failure (\"corrupt data\", "
      "\"truncated data\", \"not a QZR file\", \"unsupported QZR version\", \"limit exceeded\", ...).",
      py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_ValueError)).ptr(), nullptr);
  if (!error_type) throw py::error_already_set();
  m.attr("Error") = error_type;
  py::register_local_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const Error& e) {
      py::object error = error_type(e.what());
      error.attr("status") = qzr_status_string(e.status());
      PyErr_SetObject(error_type.ptr(), error.ptr());
    }
  });
  m.attr("MAGIC") = py::bytes(QZR_MAGIC, QZR_MAGIC_SIZE);
  const uint32_t v = qzr_version();
  m.attr("__version__") = std::to_string(v >> 16) + "." + std::to_string(v >> 8 & 0xFF) + "." +
                          std::to_string(v & 0xFF);
  m.def("info", &info, py::arg("data"), py::arg("within_limits") = false, py::arg("name") = "");
  m.def("decode", &decode, py::arg("data"), py::arg("name") = "");
  m.def("salvage", &salvage, py::arg("data"), py::arg("name") = "");
  m.def("check", &check, py::arg("data"));
  m.def("encode", &encode, py::arg("rgb"), py::arg("quality"), py::arg("bpp"), py::arg("levels"));
  m.def("to_bmp", &to_bmp, py::arg("rgb"));
}
