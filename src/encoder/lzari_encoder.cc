#include "encoder/lzari_encoder.h"

#include <array>
#include <cmath>
#include <memory>
#include <stdexcept>

#include "container/lzari_model.h"

namespace qzr::enc {
namespace {

// Code bits, most significant bit of each byte first.
class BitSink {
 public:
  explicit BitSink(std::vector<uint8_t>& out) : out_(out) {}
  void put(uint32_t bit) {
    acc_ = static_cast<uint8_t>(acc_ << 1 | bit);
    if (++used_ == 8) {
      out_.push_back(acc_);
      acc_ = 0;
      used_ = 0;
    }
  }
  // Completes the last byte with 1 bits. The decoder reads ones past the end
  // of its input too, but a file whose code ends more than 15 bits before
  // the decoder's window does looks cut short to an audit: the last bytes
  // stay, 0xFF or not.
  void finish() {
    while (used_ != 0) put(1);
  }

 private:
  std::vector<uint8_t>& out_;
  uint8_t acc_ = 0;
  int used_ = 0;
};

// The 17-bit interval coder. Renormalisation tests the cases in the order the
// decoder does, so both sides hold the same interval after every symbol; the
// middle case defers its bit (the next decided bit is followed by as many
// opposite bits).
class IntervalCoder {
 public:
  explicit IntervalCoder(std::vector<uint8_t>& out) : bits_(out) {}

  // Narrows to [cumulative_low, cumulative_high) of `total`.
  void narrow(uint32_t cumulative_high, uint32_t cumulative_low, uint32_t total) {
    const uint32_t range = high_ - low_;
    high_ = low_ + range * cumulative_high / total;
    low_ = low_ + range * cumulative_low / total;
    for (;;) {
      if (low_ >= HALF) {
        emit(1);
        low_ -= HALF;
        high_ -= HALF;
      } else if (low_ >= QUARTER && high_ <= THREE_QUARTERS) {
        ++pending_;
        low_ -= QUARTER;
        high_ -= QUARTER;
      } else if (high_ <= HALF) {
        emit(0);
      } else {
        break;
      }
      low_ <<= 1;
      high_ <<= 1;
    }
  }

  // Two more bits pick a quarter inside the final interval (low < HALF < high,
  // and low < QUARTER or high > THREE_QUARTERS); whatever the decoder reads
  // after them keeps its code value inside that quarter.
  void finish() {
    ++pending_;
    emit(low_ < QUARTER ? 0 : 1);
    bits_.finish();
  }

 private:
  void emit(uint32_t bit) {
    bits_.put(bit);
    for (; pending_ > 0; --pending_) bits_.put(bit ^ 1);
  }

  BitSink bits_;
  uint32_t low_ = 0;
  uint32_t high_ = FULL;
  uint64_t pending_ = 0;
};

// Estimated code lengths in bits, for choosing between a match and literals.
struct CostTable {
  std::array<float, MAX_TOTAL + 2> log2{};
  CostTable() {
    for (size_t i = 1; i < log2.size(); ++i) log2[i] = static_cast<float>(std::log2(static_cast<double>(i)));
  }
};
const CostTable& costs() {
  static const CostTable table;
  return table;
}

constexpr int kHashBits = 15;
constexpr int kChainSize = 2 * RING_SIZE;  // more than the window: live links are never overwritten
constexpr int kPrefix = RING_SIZE;

class Encoder {
 public:
  Encoder(std::span<const uint8_t> data, const LzariEffort& effort, std::vector<uint8_t>& out)
      : effort_(effort), coder_(out), log2_(costs().log2) {
    // The decoder's ring before the first byte, oldest first: the 60 zeros of
    // slots 4036..4095, then the 4036 spaces of slots 0..4035. A match may
    // reach back into them like into any earlier output.
    buf_.resize(kPrefix + data.size());
    for (int i = 0; i < kPrefix; ++i) buf_[static_cast<size_t>(i)] = i < MAX_MATCH ? 0x00 : 0x20;
    std::copy(data.begin(), data.end(), buf_.begin() + kPrefix);
    end_ = static_cast<int64_t>(buf_.size());
    head_ = std::make_unique<int64_t[]>(size_t{1} << kHashBits);
    for (size_t i = 0; i < (size_t{1} << kHashBits); ++i) head_[i] = -1;
    prev_ = std::make_unique<int64_t[]>(kChainSize);
    init_model(model_);
  }

  void run() {
    int64_t pos = kPrefix;
    Match next{};
    bool have_next = false;
    while (pos < end_) {
      Match m = have_next ? next : find(pos);
      have_next = false;
      if (m.length >= MIN_MATCH && !worth_it(pos, m)) m.length = 0;
      if (m.length >= MIN_MATCH && effort_.lazy && m.length < effort_.good_length && pos + 1 < end_) {
        next = find(pos + 1);
        have_next = true;
        if (next.length > m.length && worth_it(pos + 1, next)) m.length = 0;
      }
      if (m.length < MIN_MATCH) {
        put_symbol(buf_[static_cast<size_t>(pos)]);
        pos += 1;
      } else {
        put_symbol(kMatchBase + m.length);
        const uint32_t p = static_cast<uint32_t>(m.distance - 1);
        const auto& pc = kPositionTable.cumulative;
        coder_.narrow(pc[p], pc[p + 1], pc[0]);
        pos += m.length;
        have_next = false;
      }
    }
    coder_.finish();
  }

 private:
  struct Match {
    int length = 0;
    int64_t distance = 0;
  };

  uint32_t hash(int64_t p) const {
    const uint8_t* b = buf_.data() + p;
    const uint32_t v = static_cast<uint32_t>(b[0]) << 16 | static_cast<uint32_t>(b[1]) << 8 | b[2];
    return (v * 2654435761u) >> (32 - kHashBits);
  }

  // Enters every position before `pos` that still has three bytes after it.
  void insert_up_to(int64_t pos) {
    for (; inserted_ < pos; ++inserted_) {
      if (inserted_ + MIN_MATCH > end_) continue;
      const uint32_t h = hash(inserted_);
      prev_[static_cast<size_t>(inserted_ % kChainSize)] = head_[h];
      head_[h] = inserted_;
    }
  }

  Match find(int64_t pos) {
    insert_up_to(pos);
    Match best;
    const int limit = static_cast<int>(std::min<int64_t>(MAX_MATCH, end_ - pos));
    if (limit < MIN_MATCH) return best;
    const uint8_t* here = buf_.data() + pos;
    int64_t cand = head_[hash(pos)];
    for (int chain = effort_.max_chain; cand >= 0 && pos - cand <= RING_SIZE && chain > 0; --chain) {
      const uint8_t* there = buf_.data() + cand;
      if (there[best.length] == here[best.length]) {
        int len = 0;
        while (len < limit && there[len] == here[len]) ++len;
        if (len > best.length) {
          best.length = len;
          best.distance = pos - cand;
          if (len >= effort_.good_length || len == limit) break;
        }
      }
      cand = prev_[static_cast<size_t>(cand % kChainSize)];
    }
    if (best.length < MIN_MATCH) best.length = 0;
    return best;
  }

  float symbol_cost(int character) const {
    const int s = model_.character_symbol[static_cast<size_t>(character)];
    const uint32_t f =
        model_.symbol_cumulative[static_cast<size_t>(s) - 1] - model_.symbol_cumulative[static_cast<size_t>(s)];
    return log2_[model_.symbol_cumulative[0]] - log2_[f];
  }

  // A match pays when its length and position codes cost less than coding
  // its bytes as literals with the current model.
  bool worth_it(int64_t pos, const Match& m) const {
    const auto& pc = kPositionTable.cumulative;
    const size_t p = static_cast<size_t>(m.distance - 1);
    const float match_cost = symbol_cost(kMatchBase + m.length) + log2_[pc[0]] - log2_[pc[p] - pc[p + 1]];
    float literal_cost = 0;
    for (int k = 0; k < m.length && literal_cost <= match_cost; ++k)
      literal_cost += symbol_cost(buf_[static_cast<size_t>(pos + k)]);
    return match_cost < literal_cost;
  }

  void put_symbol(int character) {
    const int s = model_.character_symbol[static_cast<size_t>(character)];
    coder_.narrow(model_.symbol_cumulative[static_cast<size_t>(s) - 1],
                  model_.symbol_cumulative[static_cast<size_t>(s)], model_.symbol_cumulative[0]);
    adapt_model(model_, s);
  }

  const LzariEffort effort_;
  IntervalCoder coder_;
  const std::array<float, MAX_TOTAL + 2>& log2_;
  std::vector<uint8_t> buf_;
  int64_t end_ = 0;
  int64_t inserted_ = 0;
  std::unique_ptr<int64_t[]> head_;
  std::unique_ptr<int64_t[]> prev_;
  LzariModel model_;
};

}  // namespace

std::vector<uint8_t> lzari_encode(std::span<const uint8_t> data, const LzariEffort& effort) {
  if (data.size() > 0xFFFFFFFFu) throw std::length_error("LZARI input of 4 GiB or more");
  const uint32_t length = static_cast<uint32_t>(data.size());
  std::vector<uint8_t> out;
  out.reserve(data.size() + data.size() / 16 + 16);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
  if (length == 0) return out;  // the decoder reads nothing after a zero length word
  LzariEffort e = effort;
  if (e.max_chain < 1) e.max_chain = 1;
  if (e.good_length < MIN_MATCH) e.good_length = MIN_MATCH;
  auto encoder = std::make_unique<Encoder>(data, e, out);
  encoder->run();
  return out;
}

std::vector<uint8_t> lzari_encode(std::span<const uint8_t> data) { return lzari_encode(data, LzariEffort{}); }

}  // namespace qzr::enc
