// What the console program needs from the system: a millisecond tick counter
// and a wait for one key press.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qzr {

// Milliseconds from a monotonic clock, wrapping at 2^32.
uint32_t tick_count_ms();

// True when a person reads the run at a console: standard input is a
// console they can press a key on, and standard output shows on it. Output
// logged to a file or captured by a program has nobody to wait for.
bool console_available();

// Returns when one key has been pressed and read, without echo. An escape
// sequence (arrow or function key) counts as one key and is read whole. A
// key typed before the call ends it at once. Without a console (as above) it
// returns at once: nothing could ever end the wait, or nobody sees it.
void wait_for_key();

// A read-only view of a whole open file, when the system can map it; the
// view ends with the object. Empty (data null) when mapping is not possible,
// and the caller reads the stream instead.
struct MappedFile {
  const uint8_t* data = nullptr;
  size_t size = 0;
  void* handle = nullptr;
  MappedFile() = default;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();
};

// Maps the file behind `file` from its start.
bool map_file(std::FILE* file, MappedFile& view);

// An exclusive claim on the intermediate file, held from its creation to the
// end of the run, so that runs started in one directory take turns with it.
struct IntermediateLock {
  int fd = -1;
  IntermediateLock() = default;
  IntermediateLock(const IntermediateLock&) = delete;
  IntermediateLock& operator=(const IntermediateLock&) = delete;
  ~IntermediateLock();
};

// Creates or opens `name` for writing, waits for the claim on it, and only
// then empties it (a stale file left by a failed run is simply taken over).
// Null when the file cannot be opened, and when the name is not a plain file
// of its own: a link (symbolic, or a hard link that another name shares), a
// FIFO or a device is neither followed nor written, and the open never
// blocks.
std::FILE* create_intermediate(const char* name, IntermediateLock& lock);

// The claimed file again, for reading from its start: the same file the run
// wrote, whatever its name has come to denote since. Null on failure.
std::FILE* reopen_intermediate(const IntermediateLock& lock);

}  // namespace qzr
