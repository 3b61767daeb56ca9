// Throughput of each decoding stage on its own, in bytes or samples per
// second. Inputs are made once, outside the timed loops.
#include <benchmark/benchmark.h>

#include <algorithm>
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

using Expander = Result<uint64_t> (*)(ByteReader&, ByteWriter&, uint64_t);

void run_expansion(benchmark::State& state, Expander expand, const std::vector<uint8_t>& payload, uint32_t length) {
  std::vector<uint8_t> out;
  out.reserve(length + 64);
  for (auto _ : state) {
    out.clear();
    ByteReader in = memory_reader(payload);
    ByteWriter w = memory_writer(out);
    Result<uint64_t> n = expand(in, w, kNoLimit);
    w.flush();
    benchmark::DoNotOptimize(n.ok());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
}

// Random code bits: the model's whole spread of symbols and matches.
void BM_LzariExpand(benchmark::State& state) {
  const uint32_t length = 4 << 20;
  run_expansion(state, decode_lzari, random_payload(length, length), length);
}
BENCHMARK(BM_LzariExpand)->Unit(benchmark::kMillisecond);

void BM_LzariExpandPlain(benchmark::State& state) {
  const uint32_t length = 4 << 20;
  run_expansion(state, decode_lzari_plain, random_payload(length, length), length);
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
void BM_LzariExpandEncoded(benchmark::State& state) { lzari_encoded(state, decode_lzari); }
void BM_LzariExpandEncodedPlain(benchmark::State& state) { lzari_encoded(state, decode_lzari_plain); }
BENCHMARK(BM_LzariExpandEncoded)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LzariExpandEncodedPlain)->Unit(benchmark::kMillisecond);

// A sparse coefficient plane like a quantized photograph's: mostly zeros.
std::vector<int32_t> sparse_plane(int size, int density_percent) {
  std::mt19937 rng(2);
  std::vector<int32_t> c(size_t(size) * size);
  for (auto& v : c) v = static_cast<int>(rng() % 100) < density_percent ? static_cast<int>(rng() % 401) - 200 : 0;
  return c;
}

void BM_Synthesis(benchmark::State& state) {
  const int size = 2048, levels = 6;
  const std::vector<int32_t> source = sparse_plane(size, static_cast<int>(state.range(0)));
  std::vector<int32_t> c(source.size()), s(source.size());
  for (auto _ : state) {
    state.PauseTiming();
    c = source;
    state.ResumeTiming();
    inverse_wavelet(c, s, size, size, levels);
    benchmark::DoNotOptimize(s.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * size * size);
}
BENCHMARK(BM_Synthesis)->Arg(5)->Arg(20)->Unit(benchmark::kMillisecond);

void BM_CodeDecode(benchmark::State& state) {
  // A complete tree of 64 leaves (6 bits a code) over random code bytes.
  std::vector<uint8_t> stream;
  struct Emit {
    std::vector<uint8_t>& s;
    int leaf = 0;
    void node(int depth) {
      if (depth == 6) {
        const int v = leaf++;
        const uint16_t code = static_cast<uint16_t>(v < 8 ? 0x8000 | v : v - 30);
        s.insert(s.end(), {0x01, static_cast<uint8_t>(code), static_cast<uint8_t>(code >> 8)});
        return;
      }
      s.push_back(0x00);
      node(depth + 1);
      node(depth + 1);
    }
  } emit{stream};
  emit.node(0);
  const size_t tree_bytes = stream.size();
  const int64_t codes = 4 << 20;
  std::mt19937 rng(3);
  for (int64_t i = 0; i < codes * 6 / 8; ++i) stream.push_back(static_cast<uint8_t>(rng()));
  std::vector<int16_t> q(size_t{1} << 30 >> 4);
  for (auto _ : state) {
    ByteReader in = memory_reader(stream);
    Result<CodeTree> tree = read_code_tree(in);
    SpanExpander span = make_span_expander(q, 0, static_cast<int64_t>(q.size()));
    decode_and_expand(in, tree.value(), codes, span);
    benchmark::DoNotOptimize(q.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size() - tree_bytes));
}
BENCHMARK(BM_CodeDecode)->Unit(benchmark::kMillisecond);

void BM_Dequantize(benchmark::State& state) {
  const int32_t count = 2048 * 2048;
  std::mt19937 rng(4);
  std::vector<int32_t> q(static_cast<size_t>(count));
  for (auto& v : q) v = rng() % 8 == 0 ? static_cast<int>(rng() % 61) - 30 : 0;
  std::vector<int32_t> c(q.size());
  std::vector<int16_t> steps(19, 37);
  for (auto _ : state) {
    state.PauseTiming();
    c = q;
    state.ResumeTiming();
    dequantize_plane(c, count, 6, steps);
    benchmark::DoNotOptimize(c.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_Dequantize)->Unit(benchmark::kMillisecond);

void BM_Scaling(benchmark::State& state) {
  std::mt19937 rng(5);
  std::vector<int32_t> s(size_t{2048} * 2048);
  for (auto& v : s) v = static_cast<int32_t>(rng() % 1200) - 100;
  std::vector<uint8_t> out(s.size());
  for (auto _ : state) {
    scale_samples(s, out, 4);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(s.size()));
}
BENCHMARK(BM_Scaling)->Unit(benchmark::kMillisecond);

void BM_ColourConversion(benchmark::State& state) {
  const uint32_t w = 2048, h = 2048;
  std::mt19937 rng(6);
  Plane y{int(w), int(h), std::vector<uint8_t>(size_t{w} * h)}, u{int(w / 2), int(h), std::vector<uint8_t>(size_t{w} * h / 2)},
      v = u;
  for (auto& x : y.samples) x = static_cast<uint8_t>(rng());
  for (auto& x : u.samples) x = static_cast<uint8_t>(rng());
  for (auto& x : v.samples) x = static_cast<uint8_t>(rng());
  std::vector<uint8_t> px(size_t{3} * w * h);
  for (auto _ : state) {
    convert_to_bgr(y, u, v, px, w, h);
    benchmark::DoNotOptimize(px.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * w * h);
}
BENCHMARK(BM_ColourConversion)->Unit(benchmark::kMillisecond);

void BM_BmpRows(benchmark::State& state) {
  const uint32_t w = 2000, h = 2000, pw = 2048;
  std::vector<uint8_t> px(size_t{3} * pw * 2048, 7);
  std::vector<uint8_t> out;
  out.reserve(size_t{3} * w * h + 64);
  for (auto _ : state) {
    out.clear();
    ByteWriter wr = memory_writer(out, 1 << 18);
    write_bmp_rows(wr, px, w, h, pw);
    wr.flush();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 3 * w * h);
}
BENCHMARK(BM_BmpRows)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace qzr
