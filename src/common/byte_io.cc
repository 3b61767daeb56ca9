#include "common/byte_io.h"

#include <algorithm>
#include <cstring>

#include "common/growing_bytes.h"

namespace qzr {

ByteReader memory_reader(std::span<const uint8_t> bytes) {
  ByteReader r;
  r.base = r.pos = bytes.data();
  r.end = bytes.data() + bytes.size();
  return r;
}

ByteReader file_reader(std::FILE* file, size_t buffer_size) {
  ByteReader r;
  r.file = file;
  r.buffer.resize(std::max<size_t>(buffer_size, 16));
  r.base = r.pos = r.end = r.buffer.data();
  return r;
}

ByteReader growing_reader(GrowingBytes& bytes) {
  ByteReader r;
  r.growing = &bytes;
  r.base = r.pos = r.end = bytes.data();
  return r;
}

bool ByteReader::grow() {
  if (growing == nullptr) return false;
  const size_t have = static_cast<size_t>(end - base);
  const size_t now = growing->wait_beyond(have);
  end = base + now;
  return now > have;
}

bool ByteReader::refill() {
  if (growing != nullptr) return grow();
  if (file == nullptr) return false;
  consumed_before += static_cast<uint64_t>(pos - base);
  size_t n = std::fread(buffer.data(), 1, buffer.size(), file);
  base = pos = buffer.data();
  end = pos + n;
  return n != 0;
}

int ByteReader::refill_and_read() {
  if (!refill()) {
    ++ends_met;
    return kEndOfFile;
  }
  return *pos++;
}

size_t ByteReader::read_block(uint8_t* dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    if (pos == end && !refill()) break;
    size_t take = std::min(n - got, static_cast<size_t>(end - pos));
    std::memcpy(dst + got, pos, take);
    pos += take;
    got += take;
  }
  return got;
}

bool ByteReader::at_end() { return pos == end && !refill(); }

ByteWriter file_writer(std::FILE* file, size_t buffer_size) {
  ByteWriter w;
  w.file = file;
  w.buffer.resize(std::max<size_t>(buffer_size, 16));
  return w;
}

ByteWriter memory_writer(std::vector<uint8_t>& out, size_t buffer_size) {
  ByteWriter w;
  w.memory = &out;
  w.buffer.resize(std::max<size_t>(buffer_size, 16));
  return w;
}

void ByteWriter::write(const uint8_t* src, size_t n) {
  // A block of at least the buffer's size goes to the sink as it is, after
  // what is buffered: one copy and one write fewer.
  if (n >= buffer.size()) {
    flush();
    deliver(src, n);
    return;
  }
  while (n > 0) {
    if (used == buffer.size()) flush();
    size_t take = std::min(n, buffer.size() - used);
    std::memcpy(buffer.data() + used, src, take);
    used += take;
    src += take;
    n -= take;
  }
}

void ByteWriter::flush() {
  if (used == 0) return;
  deliver(buffer.data(), used);
  used = 0;
}

void ByteWriter::deliver(const uint8_t* src, size_t n) {
  if (growing != nullptr) growing->append(src, n);
  if (memory != nullptr) {
    memory->insert(memory->end(), src, src + n);
  } else if (file != nullptr && !failed) {
    if (std::fwrite(src, 1, n, file) != n) failed = true;
  }
}

bool close_checked(std::FILE* file) {
  if (file == nullptr) return true;
  bool ok = std::fflush(file) == 0 && !std::ferror(file);
  return (std::fclose(file) == 0) && ok;
}

}  // namespace qzr
