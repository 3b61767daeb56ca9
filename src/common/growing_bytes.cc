#include "common/growing_bytes.h"

#include <algorithm>
#include <cstring>

namespace qzr {

GrowingBytes::GrowingBytes(size_t capacity)
    : bytes_(std::max<size_t>(capacity, 1)), capacity_(capacity) {}

void GrowingBytes::append(const uint8_t* data, size_t n) {
  n = std::min(n, capacity_ - written_);
  if (n == 0) return;
  std::memcpy(bytes_.data() + written_, data, n);  // beyond what the reader may touch
  written_ += n;
  std::lock_guard lock(mutex_);
  published_ = written_;
  arrived_.notify_one();
}

void GrowingBytes::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  arrived_.notify_one();
}

void GrowingBytes::give_back(size_t offset) { give_back_large(bytes_.data(), bytes_.size(), 0, offset); }

size_t GrowingBytes::wait_beyond(size_t have) {
  std::unique_lock lock(mutex_);
  arrived_.wait(lock, [&] { return closed_ || published_ > have; });
  return published_;
}

}  // namespace qzr
