// Whole-file reading and writing and buffered standard output for the driver.
// Every failure comes back as the text the driver embeds in its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::driver {

// "<system description> (os error <n>)" for an errno value.
std::string os_error_text(int errnum);

// A path as shown in messages: invalid UTF-8 replaced by U+FFFD.
std::string display_path(const std::string& path);

// The whole file as bytes, or the io error text.
Result<std::string, std::string> read_file_bytes(const std::string& path);

// The bytes of a bytecode file, or "failed to read bytecode `<path>`: <io error>".
Result<std::string, std::string> read_bytecode(const std::string& path);

// The template a bytecode file holds: read_bytecode's error, or the decode
// error's text.
Result<api::Template, std::string> read_template(const std::string& path);

// The whole file, which must be UTF-8 ("stream did not contain valid UTF-8").
Result<std::string, std::string> read_file_text(const std::string& path);

// A text read whole from a file. A large one sits in memory that asks for
// huge pages, aligned to them, and the file is read straight into it.
class FileText {
 public:
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  friend Result<FileText, std::string> read_source_text(const std::string& path);
  struct Release {
    std::size_t alignment;  // as given to operator new
    void operator()(char* p) const;
  };

  std::unique_ptr<char[], Release> data_;
  std::size_t size_ = 0;
};

// read_file_text for template sources: the same results and error texts,
// without copying the file through an intermediate buffer.
Result<FileText, std::string> read_source_text(const std::string& path);

// read_file_text for inputs that may be large (the JSON documents of eval):
// a large file is read into memory backed by huge pages where the system
// allows it, which makes reading it several times faster.
Result<std::string, std::string> read_input_text(const std::string& path);

// A file opened for reading piece by piece, closed when it goes out of
// scope.
class ReadStream {
 public:
  // The file, or the io error text of opening it.
  static Result<ReadStream, std::string> open(const std::string& path);
  ReadStream(ReadStream&& other) noexcept;
  ReadStream& operator=(ReadStream&& other) noexcept;
  ReadStream(const ReadStream&) = delete;
  ReadStream& operator=(const ReadStream&) = delete;
  ~ReadStream();

  // Reads up to `size` bytes into `buffer`: the number read (0 at the end of
  // the file), or the io error text.
  Result<std::size_t, std::string> read(char* buffer, std::size_t size);

 private:
  explicit ReadStream(int fd) : fd_(fd) {}
  int fd_;
};

// Writes all of `bytes` to `path`; the io error text on failure. A regular
// file (or a path that does not exist yet) is replaced atomically: the bytes
// go to a temporary file in the same directory, which is flushed to disk and
// renamed over the target, so on failure the old file stays as it was and no
// temporary file is left behind. Other files (FIFOs, devices) are written in
// place.
Status<std::string> write_file(const std::string& path, std::string_view bytes);

// Standard output, buffered for the whole run. Writes never raise SIGPIPE
// (the driver ignores it); the first failure is remembered and reported.
class Stdout {
 public:
  Stdout() = default;
  Stdout(const Stdout&) = delete;
  Stdout& operator=(const Stdout&) = delete;

  void write(std::string_view text);
  // Pushes everything buffered to file descriptor 1. Returns the io error text
  // of the first failed write, if any happened.
  Status<std::string> flush();

 private:
  std::string buffer_;
  int error_ = 0;  // errno of the first failed write, 0 if none
};

}  // namespace verdane::driver
