#include "driver/io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "support/byte_span.h"
#include "support/utf8.h"
#include "support/write_all.h"

namespace verdane::driver {

namespace {

constexpr std::size_t kStdoutChunk = 1 << 16;

}  // namespace

std::string os_error_text(int errnum) {
  return std::string(std::strerror(errnum)) + " (os error " + std::to_string(errnum) + ")";
}

std::string display_path(const std::string& path) { return utf8::to_lossy(path); }

namespace {

// Asks for huge pages behind the whole 2 MiB pages of a buffer that has not
// been written yet. Touching fresh memory one 4 KiB page at a time costs a
// page fault each, which dominates reading a file of tens of megabytes; with
// huge pages there is one fault per 2 MiB. Only advice: where the system
// does not follow it nothing changes.
void advise_huge_pages(char* data, std::size_t size) {
#ifdef MADV_HUGEPAGE
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t end = (start + size) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)size;
#endif
}

// Below this size huge pages gain nothing worth a system call.
constexpr std::size_t kHugeReadBytes = std::size_t{8} << 20;

// A file opened for reading, closed when it goes out of scope.
class InputFile {
 public:
  explicit InputFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool is_open() const { return fd_ >= 0; }
  // The size of a regular file; 0 when it is empty or has none (pipes, /proc).
  std::size_t size_hint() const {
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
      return static_cast<std::size_t>(st.st_size);
    }
    return 0;
  }
  // read(2), retried when a signal interrupts it.
  ssize_t read(char* buffer, std::size_t size) const {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0 || errno != EINTR) return n;
    }
  }

 private:
  int fd_;
};

Result<std::string, std::string> read_file(const std::string& path, bool large_input) {
  const InputFile file(path);
  if (!file.is_open()) return make_err(os_error_text(errno));
  std::string data;
  if (const std::size_t size = file.size_hint(); size > 0) {
    data.reserve(size);
    if (large_input && data.capacity() >= kHugeReadBytes) {
      advise_huge_pages(data.data(), data.capacity());
    }
  }
  char chunk[1 << 16];
  for (;;) {
    const ssize_t n = file.read(chunk, sizeof chunk);
    if (n < 0) return make_err(os_error_text(errno));
    if (n == 0) break;
    data.append(chunk, static_cast<std::size_t>(n));
  }
  return data;
}

Result<std::string, std::string> checked_text(Result<std::string, std::string> data) {
  if (!data) return data;
  if (utf8::validate(*data)) return make_err(std::string("stream did not contain valid UTF-8"));
  return data;
}

}  // namespace

Result<ReadStream, std::string> ReadStream::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return make_err(os_error_text(errno));
  return ReadStream(fd);
}

ReadStream::ReadStream(ReadStream&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

ReadStream& ReadStream::operator=(ReadStream&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

ReadStream::~ReadStream() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t, std::string> ReadStream::read(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return make_err(os_error_text(errno));
  }
}

Result<std::string, std::string> read_file_bytes(const std::string& path) {
  return read_file(path, false);
}

Result<std::string, std::string> read_bytecode(const std::string& path) {
  auto data = read_file_bytes(path);
  if (!data)
    return make_err("failed to read bytecode `" + display_path(path) + "`: " + data.error());
  return std::move(data).value();
}

Result<api::Template, std::string> read_template(const std::string& path) {
  auto data = read_bytecode(path);
  if (!data) return make_err(std::move(data).error());
  auto tmpl = api::decode(as_bytes(*data));
  if (!tmpl) return make_err(tmpl.error().to_string());
  return std::move(tmpl).value();
}

Result<std::string, std::string> read_file_text(const std::string& path) {
  return checked_text(read_file(path, false));
}

Result<std::string, std::string> read_input_text(const std::string& path) {
  return checked_text(read_file(path, true));
}

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Room for a text read before its size is known, or for a small file.
constexpr std::size_t kFirstTextBlock = std::size_t{64} << 10;

// A block of at least `size` bytes, and the bytes it holds. A block of a huge
// page or more is rounded up to whole huge pages, aligned to them and advised
// to use them, so that reading a large source into it costs a few page faults
// instead of one per 4 KiB.
char* text_block(std::size_t& size, std::size_t& alignment) {
  if (size < kHugePage) {
    alignment = alignof(std::max_align_t);
    return static_cast<char*>(::operator new (size, std::align_val_t{alignment}));
  }
  alignment = kHugePage;
  size = (size + kHugePage - 1) & ~(kHugePage - 1);
  char* p = static_cast<char*>(::operator new (size, std::align_val_t{alignment}));
  advise_huge_pages(p, size);
  return p;
}

}  // namespace

void FileText::Release::operator()(char* p) const {
  ::operator delete (p, std::align_val_t{alignment});
}

Result<FileText, std::string> read_source_text(const std::string& path) {
  const InputFile file(path);
  if (!file.is_open()) return make_err(os_error_text(errno));
  // One byte more than the file's size, so that reaching its end needs no
  // larger block; a file that grows while it is read still reads whole.
  const std::size_t size = file.size_hint();
  std::size_t capacity = size > 0 ? size + 1 : kFirstTextBlock;
  FileText text;
  std::size_t alignment = 0;
  char* block = text_block(capacity, alignment);
  text.data_ = std::unique_ptr<char[], FileText::Release>(block, FileText::Release{alignment});
  for (;;) {
    if (text.size_ == capacity) {
      std::size_t larger = capacity * 2;
      char* grown = text_block(larger, alignment);
      std::memcpy(grown, text.data_.get(), text.size_);
      text.data_ = std::unique_ptr<char[], FileText::Release>(grown, FileText::Release{alignment});
      capacity = larger;
    }
    const ssize_t n = file.read(text.data_.get() + text.size_, capacity - text.size_);
    if (n < 0) return make_err(os_error_text(errno));
    if (n == 0) break;
    text.size_ += static_cast<std::size_t>(n);
  }
  if (utf8::validate(text.view()))
    return make_err(std::string("stream did not contain valid UTF-8"));
  return text;
}

namespace {

Status<std::string> write_in_place(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return make_err(os_error_text(errno));
  int err = write_all(fd, bytes);
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) return make_err(os_error_text(err));
  return ok_status<std::string>();
}

// Mode for a file created anew: what open(..., 0666) would give under the
// current umask.
mode_t default_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

Status<std::string> write_file(const std::string& path, std::string_view bytes) {
  // Replace regular files through a temporary file and a rename, so a failed
  // write (disk full, quota, I/O error) leaves the previous file intact.
  // Anything else (a FIFO, /dev/stdout, a terminal) is written in place.
  std::string target = path;
  struct stat st {};
  bool exists = ::lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    // Update the file the link points to, keeping the link itself.
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return write_in_place(path, bytes);
    target = resolved;
    std::free(resolved);
    exists = ::stat(target.c_str(), &st) == 0;
  }
  if (exists && !S_ISREG(st.st_mode)) return write_in_place(path, bytes);

  const std::size_t slash = target.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = dir + "." + base + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    const int err = errno;
    // A writable file in a directory we may not create files in: fall back to
    // writing it in place, as callers may rely on.
    if (exists && (err == EACCES || err == EPERM)) return write_in_place(path, bytes);
    return make_err(os_error_text(err));
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  const mode_t mode = exists ? (st.st_mode & 07777) : default_file_mode();
  int err = write_all(fd, bytes);
  if (err == 0 && ::fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    return make_err(os_error_text(err));
  }
  return ok_status<std::string>();
}

void Stdout::write(std::string_view text) {
  if (error_ != 0) return;
  // A text of a whole chunk or more, with nothing before it, goes out as it
  // is, without a copy: the same bytes at the same time.
  if (buffer_.empty() && text.size() >= kStdoutChunk) {
    error_ = write_all(STDOUT_FILENO, text);
    return;
  }
  buffer_.append(text);
  if (buffer_.size() >= kStdoutChunk) {
    error_ = write_all(STDOUT_FILENO, buffer_);
    buffer_.clear();
  }
}

Status<std::string> Stdout::flush() {
  if (error_ == 0 && !buffer_.empty()) {
    error_ = write_all(STDOUT_FILENO, buffer_);
    buffer_.clear();
  }
  if (error_ != 0) return make_err(os_error_text(error_));
  return ok_status<std::string>();
}

}  // namespace verdane::driver
