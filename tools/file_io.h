// Files as the tools read and write them: read whole into memory, and
// written whole or not at all. Each tool says a failure in its own words
// from the step and the system's reason these return.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace qzr::tool {

// File names as the tools hold them in text (messages, the command line):
// UTF-8 on Windows, whose names are UTF-16 (a lone surrogate becomes
// U+FFFD); the bytes as they are elsewhere.
std::filesystem::path path_from_text(const std::string& text);
std::string text_of(const std::filesystem::path& path);
#ifdef _WIN32
std::wstring wide_of(const std::string& utf8);
std::string utf8_of(const std::wstring& wide);
#endif

// A file as the file system knows it, whatever the name it is reached by:
// device and inode, or on Windows volume and file index.
struct FileIdentity {
  uint64_t device = 0, file = 0;
  auto operator<=>(const FileIdentity&) const = default;
};
// The identity of the file `path` names (through links), or nullopt with
// `error` set to why.
std::optional<FileIdentity> file_identity(const std::filesystem::path& path, std::error_code& error);

// The file opened for reading in binary ("rb"), or null with errno set.
std::FILE* open_to_read(const std::filesystem::path& path);

// The file's bytes, or nullopt with `error` set to why.
std::optional<std::vector<uint8_t>> read_whole_file(const std::filesystem::path& path, std::error_code& error);

struct WriteOptions {
  // Over a file that has the name; otherwise the name taken (even by a file
  // made while the bytes were being prepared) fails with WriteStep::exists.
  bool replace = true;
  // The directories leading to the file, when missing.
  bool create_directories = false;
};

// Where a write stopped: `done`, or the step that failed.
enum class WriteStep { done, directories, create, write, exists, move };

struct WriteOutcome {
  WriteStep step = WriteStep::done;
  std::error_code error;            // the system's reason
  std::filesystem::path temporary;  // the temporary file's name, for `create`
  bool ok() const { return step == WriteStep::done; }
};

// Writes `bytes` to `path` whole: into a fresh temporary file beside it
// (.qzr-PID-N.tmp: hidden, short whatever the name's length, on the same
// file system), moved into place once complete. On any failure nothing is
// left behind and a file that had the name is as it was. A signal or a
// console's Ctrl-C that ends the run removes the temporaries still being
// written (install_cleanup_on_signals).
WriteOutcome write_file_whole(const std::filesystem::path& path, std::span<const uint8_t> bytes,
                              const WriteOptions& options = {});

// From here on SIGINT, SIGTERM and SIGHUP end the process (with status 128
// + the signal) after removing the temporaries write_file_whole has open.
// On Windows the console's events do: Ctrl-C and Ctrl-Break end it with
// 130 (as SIGINT), closing the console, logging off or shutting down with
// 129 (as SIGHUP). Call before any thread starts.
void install_cleanup_on_signals();

}  // namespace qzr::tool
