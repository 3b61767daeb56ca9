// Throughput of each decoding stage on its own, in bytes or samples per
// second. Inputs are made once, outside the timed loops.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <vector>

#include "codec/dequantize.h"
#include "codec/huffman_codes.h"
#include "codec/plane_decoder.h"
#include "codec/wavelet_synthesis.h"
#include "common/byte_io.h"
#include "container/lzari_decoder.h"
#include "encoder/lzari_encoder.h"
#include "output/bmp_writer.h"
#include "output/colour_conversion.h"

namespace qzr {
namespace {

// Random code bits: every bit sequence is a valid payload, and random bits
// give the model's full spread of literals and matches.
std::vector<uint8_t> random_payload(uint32_t length, size_t code_bytes) {
  std::mt19937 rng(1);
  std::vector<uint8_t> p = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                            static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  for (size_t i = 0; i < code_bytes; ++i) p.push_back(static_cast<uint8_t>(rng()));
  return p;
}

using Expander = std::function<Expected<uint64_t>(ByteReader&, ByteWriter&, uint64_t, uint64_t*)>;
// The plain form as an Expander.
Expected<uint64_t> expand_plain(ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits) {
  return decode_lzari_plain(in, out, limit, bits);
}

void run_expansion(benchmark::State& state, const Expander& expand, const std::vector<uint8_t>& payload, uint32_t length) {
  std::vector<uint8_t> out;
  out.reserve(length + 64);
  for (auto _ : state) {
    out.clear();
    ByteReader in = memory_reader(payload);
    ByteWriter w = memory_writer(out);
    Expected<uint64_t> n = expand(in, w, kNoLimit, nullptr);
    w.flush();
    benchmark::DoNotOptimize(n.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

// Random code bits: the model's whole spread of symbols and matches. The
// fast form in each vector form the CPU runs (BM_LzariExpand/avx512, ...;
// the decoder runs the widest), as is BM_LzariExpandEncoded.
void lzari_random(benchmark::State& state, Expander expand) {
  const uint32_t length = 4 << 20;
  run_expansion(state, expand, random_payload(length, length), length);
}

void BM_LzariExpandPlain(benchmark::State& state) {
  const uint32_t length = 4 << 20;
  run_expansion(state, expand_plain, random_payload(length, length), length);
}
BENCHMARK(BM_LzariExpandPlain)->Unit(benchmark::kMillisecond);

// Encoder-made data like a coded picture's: mostly literals of a skewed
// spread (small magnitudes around a few common bytes), a few short matches.
std::vector<uint8_t> coded_like_data(size_t size) {
  std::mt19937 rng(3);
  std::geometric_distribution<int> magnitude(0.08);
  std::vector<uint8_t> d(size);
  for (size_t i = 0; i < size; ++i) {
    if (i > 64 && rng() % 64 == 0) {
      d[i] = d[i - 1 - rng() % 64];
    } else {
      const int m = std::min(magnitude(rng), 127);
      d[i] = static_cast<uint8_t>(rng() % 2 ? 128 + m : 128 - m);
    }
  }
  return d;
}

void lzari_encoded(benchmark::State& state, Expander expand) {
  static const std::vector<uint8_t> payload = enc::lzari_encode(coded_like_data(2 << 20));
  run_expansion(state, expand, payload, 2 << 20);
}
void BM_LzariExpandEncodedPlain(benchmark::State& state) { lzari_encoded(state, expand_plain); }
BENCHMARK(BM_LzariExpandEncodedPlain)->Unit(benchmark::kMillisecond);

const bool lzari_forms_registered = [] {
  for (SimdForm form : runnable_simd_forms()) {
    const Expander expand = [form](ByteReader& in, ByteWriter& out, uint64_t limit, uint64_t* bits) {
      return decode_lzari_as(form, in, out, limit, bits);
    };
    const std::string name = simd_form_name(form);
    benchmark::RegisterBenchmark(("BM_LzariExpand/" + name).c_str(), lzari_random, expand)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("BM_LzariExpandEncoded/" + name).c_str(), lzari_encoded, expand)
        ->Unit(benchmark::kMillisecond);
  }
  return true;
}();

// A quantized plane like a coded photograph's: the approximation band full,
// each finer detail level sparser, small magnitudes.
constexpr int kPlaneSide = 2048, kPlaneLevels = 5;
const std::vector<int16_t>& photo_like_plane() {
  static const std::vector<int16_t> plane = [] {
    std::mt19937 rng(2);
    std::geometric_distribution<int> magnitude(0.3);
    const int32_t count = kPlaneSide * kPlaneSide;
    std::vector<int16_t> q(static_cast<size_t>(count));
    int64_t position = 0;
    for (int level = 0; level <= kPlaneLevels; ++level) {
      // level 0 here: the approximation band and the coarsest details
      const int64_t size = int64_t{count} >> (2 * (kPlaneLevels - std::max(level - 1, 0)));
      const int64_t end = level == 0 ? size : 4 * size;
      const uint32_t density = level == 0 ? 100 : 100 >> level;  // percent
      for (; position < end; ++position) {
        if (level == 0 && position < (int64_t{count} >> (2 * kPlaneLevels))) {
          q[static_cast<size_t>(position)] = static_cast<int16_t>(100 + rng() % 100);
        } else if (rng() % 100 < density) {
          const int m = 1 + std::min(magnitude(rng), 200);
          q[static_cast<size_t>(position)] = static_cast<int16_t>(rng() % 2 ? m : -m);
        }
      }
    }
    return q;
  }();
  return plane;
}
const std::vector<int16_t> kPlaneSteps(3 * kPlaneLevels + 1, 24);
constexpr int16_t kPlaneScale = 64;

std::vector<int32_t> dequantized_plane() {
  const std::vector<int16_t>& q = photo_like_plane();
  std::vector<int32_t> c(q.begin(), q.end());
  dequantize_plane(c, static_cast<int32_t>(c.size()), kPlaneLevels, kPlaneSteps);
  return c;
}

void run_synthesis(benchmark::State& state, void (*synthesise)(std::span<int32_t>, std::span<int32_t>, int, int, int)) {
  const std::vector<int32_t> source = dequantized_plane();
  std::vector<int32_t> c(source.size()), s(source.size());
  for (auto _ : state) {
    state.PauseTiming();
    c = source;
    state.ResumeTiming();
    synthesise(c, s, kPlaneSide, kPlaneSide, kPlaneLevels);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPlaneSide * kPlaneSide);
}
void BM_Synthesis(benchmark::State& state) { run_synthesis(state, inverse_wavelet); }
void BM_SynthesisPlain(benchmark::State& state) { run_synthesis(state, inverse_wavelet_plain); }
BENCHMARK(BM_Synthesis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynthesisPlain)->Unit(benchmark::kMillisecond);

// Dequantization, synthesis and scaling together, as the decoder runs them,
// the large levels in as many bands on threads as the argument says.
void BM_PlaneSynthesis(benchmark::State& state) {
  const std::vector<int16_t>& q = photo_like_plane();
  const size_t n = q.size();
  std::vector<int32_t> odd(n / 4), even(n / 16);
  std::vector<uint8_t> out(n);
  const SampleScaler scale(kPlaneScale, n);
  for (auto _ : state) {
    synthesise_plane(q, kPlaneSteps, odd, even, kPlaneSide, kPlaneSide, kPlaneLevels, scale, out,
                     static_cast<int>(state.range(0)));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_PlaneSynthesis)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same in the plain forms: a dequantization pass, the plain synthesis
// into a full-size array, one division per sample.
void BM_PlaneSynthesisPlain(benchmark::State& state) {
  const std::vector<int16_t>& q = photo_like_plane();
  const size_t n = q.size();
  std::vector<int32_t> c(n), s(n);
  std::vector<uint8_t> out(n);
  for (auto _ : state) {
    std::copy(q.begin(), q.end(), c.begin());
    dequantize_plane(c, static_cast<int32_t>(n), kPlaneLevels, kPlaneSteps);
    inverse_wavelet_plain(c, s, kPlaneSide, kPlaneSide, kPlaneLevels);
    for (size_t i = 0; i < n; ++i) out[i] = scale_sample(s[i], kPlaneScale);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
BENCHMARK(BM_PlaneSynthesisPlain)->Unit(benchmark::kMillisecond);

void BM_Dequantize(benchmark::State& state) {
  const std::vector<int16_t>& q = photo_like_plane();
  std::vector<int32_t> c(q.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::copy(q.begin(), q.end(), c.begin());
    state.ResumeTiming();
    dequantize_plane(c, static_cast<int32_t>(c.size()), kPlaneLevels, kPlaneSteps);
    benchmark::DoNotOptimize(c.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(q.size()));
}
BENCHMARK(BM_Dequantize)->Unit(benchmark::kMillisecond);

// Codes of a complete tree of 64 leaves (6 bits a code) over random bits:
// values, short zero runs and an empty run, as in a detail band.
struct CodedGroup {
  std::vector<uint8_t> stream;
  size_t tree_bytes = 0;
  int64_t codes = 4 << 20;
};
const CodedGroup& coded_group() {
  static const CodedGroup g = [] {
    CodedGroup g;
    struct Emit {
      std::vector<uint8_t>& s;
      int leaf = 0;
      void node(int depth) {
        if (depth == 6) {
          const int v = leaf++;
          const uint16_t code = static_cast<uint16_t>(v < 8 ? 0x8000 | v : v == 8 ? 0x801F : (v % 2 ? v : 0x4000 | v));
          s.insert(s.end(), {0x01, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
          return;
        }
        s.push_back(0x00);
        node(depth + 1);
        node(depth + 1);
      }
    } emit{g.stream};
    emit.node(0);
    g.tree_bytes = g.stream.size();
    std::mt19937 rng(3);
    for (int64_t i = 0; i < g.codes * 6 / 8; ++i) g.stream.push_back(static_cast<uint8_t>(rng()));
    return g;
  }();
  return g;
}

void BM_CodeDecode(benchmark::State& state) {
  const CodedGroup& g = coded_group();
  std::vector<int16_t> q(size_t{1} << 26);
  for (auto _ : state) {
    state.PauseTiming();
    std::fill(q.begin(), q.end(), int16_t{0});
    state.ResumeTiming();
    ByteReader in = memory_reader(g.stream);
    Expected<CodeTree> tree = read_code_tree(in);
    SpanExpander span = make_span_expander(q, 0, static_cast<int64_t>(q.size()));
    decode_and_expand(in, tree.value(), g.codes, span, true);
    benchmark::DoNotOptimize(q.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(g.stream.size() - g.tree_bytes));
}
BENCHMARK(BM_CodeDecode)->Unit(benchmark::kMillisecond);

// The plain form: one bit at a time through the tree from a stream, every
// zero of every run written.
void BM_CodeDecodePlain(benchmark::State& state) {
  const CodedGroup& g = coded_group();
  std::FILE* f = std::tmpfile();
  if (f == nullptr || std::fwrite(g.stream.data(), 1, g.stream.size(), f) != g.stream.size()) {
    state.SkipWithError("no scratch file");
    return;
  }
  std::vector<int16_t> q(size_t{1} << 26);
  for (auto _ : state) {
    std::rewind(f);
    ByteReader in = file_reader(f);
    Expected<CodeTree> tree = read_code_tree(in);
    SpanExpander span = make_span_expander(q, 0, static_cast<int64_t>(q.size()));
    decode_and_expand(in, tree.value(), g.codes, span, false);
    benchmark::DoNotOptimize(q.data());
  }
  std::fclose(f);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(g.stream.size() - g.tree_bytes));
}
BENCHMARK(BM_CodeDecodePlain)->Unit(benchmark::kMillisecond);

std::vector<int32_t> synthesised_samples() {
  std::mt19937 rng(5);
  std::vector<int32_t> s(size_t{2048} * 2048);
  for (auto& v : s) v = static_cast<int32_t>(rng() % (300 * kPlaneScale)) - 20 * kPlaneScale;
  return s;
}

// Arg: the scale (a power of two divides by a shift, others read a table).
void BM_Scaling(benchmark::State& state) {
  const std::vector<int32_t> s = synthesised_samples();
  std::vector<uint8_t> out(s.size());
  const SampleScaler scale(static_cast<int16_t>(state.range(0)), s.size());
  for (auto _ : state) {
    scale(s, out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_Scaling)->Arg(64)->Arg(7)->Unit(benchmark::kMillisecond);

void BM_ScalingPlain(benchmark::State& state) {
  const std::vector<int32_t> s = synthesised_samples();
  std::vector<uint8_t> out(s.size());
  for (auto _ : state) {
    for (size_t i = 0; i < s.size(); ++i) out[i] = scale_sample(s[i], kPlaneScale);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_ScalingPlain)->Unit(benchmark::kMillisecond);

struct ThreePlanes {
  static constexpr uint32_t w = 2048, h = 2048;
  Plane planes[3];
  ThreePlanes() {
    std::mt19937 rng(6);
    planes[0] = Plane{int(w), int(h), RawVector<uint8_t>(size_t{w} * h)};
    planes[1] = Plane{int(w / 2), int(h), RawVector<uint8_t>(size_t{w} * h / 2)};
    planes[2] = planes[1];
    for (Plane& p : planes)
      for (auto& x : p.samples) x = static_cast<uint8_t>(rng());
  }
};

void run_colour(benchmark::State& state,
                void (*convert)(const uint8_t*, const uint8_t*, const uint8_t*, uint8_t*, uint32_t)) {
  const ThreePlanes t;
  std::vector<uint8_t> px(size_t{3} * t.w * t.h);
  for (auto _ : state) {
    for (uint32_t r = 0; r < t.h; ++r)
      convert(t.planes[0].samples.data() + size_t{r} * t.w, t.planes[1].samples.data() + size_t{r} * t.w / 2,
              t.planes[2].samples.data() + size_t{r} * t.w / 2, px.data() + size_t{3} * r * t.w, t.w);
    benchmark::DoNotOptimize(px.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * t.w * t.h);
}
void BM_ColourConversion(benchmark::State& state) { run_colour(state, convert_row); }
void BM_ColourConversionPlain(benchmark::State& state) { run_colour(state, convert_row_plain); }
BENCHMARK(BM_ColourConversion)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourConversionPlain)->Unit(benchmark::kMillisecond);

// BMP writing from the planes, row by row (conversion included), against
// the plain path through a full pixel buffer.
template <class Write>
void run_bmp(benchmark::State& state, Write write) {
  const ThreePlanes t;
  const uint32_t w = 2000, h = 2000;
  std::vector<uint8_t> out;
  out.reserve(size_t{3} * w * h + 64);
  for (auto _ : state) {
    out.clear();
    ByteWriter wr = memory_writer(out, 1 << 18);
    write(t, wr, w, h);
    wr.flush();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 3 * w * h);
}

// The argument: threads (2: converted ahead on another).
void BM_BmpFromPlanes(benchmark::State& state) {
  const int threads = static_cast<int>(state.range(0));
  run_bmp(state, [threads](const ThreePlanes& t, ByteWriter& wr, uint32_t w, uint32_t h) {
    write_bmp_from_planes(wr, t.planes, w, h, t.w, threads);
  });
}
BENCHMARK(BM_BmpFromPlanes)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

void BM_BmpThroughPixelBuffer(benchmark::State& state) {
  run_bmp(state, [](const ThreePlanes& t, ByteWriter& wr, uint32_t w, uint32_t h) {
    std::vector<uint8_t> px(size_t{3} * t.w * t.h);
    for (uint32_t r = 0; r < t.h; ++r)
      convert_row_plain(t.planes[0].samples.data() + size_t{r} * t.w, t.planes[1].samples.data() + size_t{r} * t.w / 2,
                        t.planes[2].samples.data() + size_t{r} * t.w / 2, px.data() + size_t{3} * r * t.w, t.w);
    write_bmp_rows(wr, px, w, h, t.w);
  });
}
BENCHMARK(BM_BmpThroughPixelBuffer)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qzr
