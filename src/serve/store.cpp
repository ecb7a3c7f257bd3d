#include "serve/store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace verdane::serve {

namespace {

constexpr std::string_view kBase58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

std::string os_error(int error) { return std::strerror(error); }

Result<std::string, std::string> read_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return make_err(os_error(errno));
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int e = errno;
      ::close(fd);
      return make_err(os_error(e));
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

Status<std::string> fsync_dir(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return make_err("cannot open the store folder: " + os_error(errno));
  const int rc = ::fsync(fd);
  const int e = errno;
  ::close(fd);
  if (rc != 0) return make_err("cannot sync the store folder: " + os_error(e));
  return ok_status<std::string>();
}

std::string quoted(const std::string& dir, const std::string& file) {
  return "`" + dir + "/" + file + "`";
}

// names.txt: `<name> <template_id>` lines; every id must be in `templates`
// and its template carry that name.
Status<std::string> parse_names(const std::string& dir, const std::string& text, Snapshot& s) {
  std::size_t line_no = 0;
  std::string_view rest = text;
  while (!rest.empty()) {
    ++line_no;
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    if (line.empty()) continue;
    const std::string where =
        "store " + quoted(dir, kNamesFile) + " line " + std::to_string(line_no);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos)
      return make_err(where + ": expected `<name> <template_id>`");
    const std::string_view name = line.substr(0, space), id = line.substr(space + 1);
    if (!valid_name(name)) return make_err(where + ": not a valid name");
    const Entry* entry = s.find(id);
    if (entry == nullptr)
      return make_err(where + ": no template " + std::string(id) + " in the store");
    if (entry->tmpl.name() != name) {
      return make_err(where + ": template " + std::string(id) + " is named `" + entry->tmpl.name() +
                      "`, not `" + std::string(name) + "`");
    }
    s.names[std::string(name)] = std::string(id);
  }
  return ok_status<std::string>();
}

std::string names_text(const std::map<std::string, std::string, std::less<>>& names) {
  std::string text;
  for (const auto& [name, id] : names) text += name + " " + id + "\n";
  return text;
}

}  // namespace

const Entry* Snapshot::find(std::string_view id) const {
  const auto it = templates.find(id);
  return it == templates.end() ? nullptr : &it->second;
}

const Entry* Snapshot::find_name(std::string_view name) const {
  const auto it = names.find(name);
  return it == names.end() ? nullptr : find(it->second);
}

bool valid_id(std::string_view id) {
  if (id.size() < 32 || id.size() > 44) return false;
  return id.find_first_not_of(kBase58) == std::string_view::npos;
}

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 128) return false;
  const auto letter = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
  };
  if (!letter(name[0])) return false;
  for (const char c : name) {
    if (!letter(c) && !(c >= '0' && c <= '9')) return false;
  }
  return true;
}

Result<std::shared_ptr<const Snapshot>, std::string> load_snapshot(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return make_err("cannot open the store `" + dir + "`: " + os_error(errno));
  std::vector<std::string> files;
  while (const dirent* e = ::readdir(d)) files.emplace_back(e->d_name);
  ::closedir(d);

  auto s = std::make_shared<Snapshot>();
  bool have_names = false;
  for (const std::string& file : files) {
    // Dot files are the temp files of writes that a crash interrupted, and
    // other tools' bookkeeping; anything else that is no template is ignored.
    if (file.empty() || file[0] == '.') continue;
    if (file == kNamesFile) {
      have_names = true;
      continue;
    }
    if (file.size() < 5 || file.compare(file.size() - 4, 4, ".bin") != 0) continue;
    const std::string stem = file.substr(0, file.size() - 4);
    const std::string where = "store " + quoted(dir, file);
    if (!valid_id(stem)) return make_err(where + ": the file name is not a template id");
    auto data = read_file(dir + "/" + file);
    if (!data) return make_err(where + ": " + data.error());
    std::vector<std::uint8_t> bytes(data->begin(), data->end());
    auto tmpl = api::decode(bytes);
    if (!tmpl) return make_err(where + ": " + tmpl.error().to_string());
    auto id = api::id(*tmpl);
    if (!id) return make_err(where + ": " + id.error().to_string());
    const std::string actual = id->to_string();
    if (actual != stem) return make_err(where + ": holds template " + actual + ", not " + stem);
    s->templates.emplace(stem, Entry{stem, std::move(tmpl).value(), std::move(bytes)});
  }
  if (have_names) {
    auto text = read_file(dir + "/" + kNamesFile);
    if (!text) return make_err("store " + quoted(dir, kNamesFile) + ": " + text.error());
    if (auto parsed = parse_names(dir, *text, *s); !parsed) return make_err(parsed.error());
  }
  return std::shared_ptr<const Snapshot>(std::move(s));
}

Status<std::string> write_durably(const std::string& dir, const std::string& name,
                                  std::string_view data) {
  static std::atomic<unsigned> counter{0};
  const std::string temp = dir + "/.tmp-" + std::to_string(::getpid()) + "-" +
                           std::to_string(counter.fetch_add(1)) + "-" + name;
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return make_err("cannot write to the store: " + os_error(errno));
  const auto fail = [&](const char* what) -> Status<std::string> {
    const int e = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return make_err(std::string(what) + os_error(e));
  };
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("cannot write to the store: ");
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fsync(fd) != 0) return fail("cannot sync a store file: ");
  ::close(fd);
  if (::rename(temp.c_str(), (dir + "/" + name).c_str()) != 0) {
    const int e = errno;
    ::unlink(temp.c_str());
    return make_err("cannot write to the store: " + os_error(e));
  }
  return fsync_dir(dir);
}

Result<std::unique_ptr<Store>, std::string> Store::open(const std::string& dir) {
  auto loaded = load_snapshot(dir);
  if (!loaded) return make_err(std::move(loaded).error());
  std::unique_ptr<Store> store(new Store(dir));
  store->current_ = std::move(loaded).value();
  return store;
}

std::shared_ptr<const Snapshot> Store::snapshot() const {
  std::lock_guard lock(read_mutex_);
  return current_;
}

void Store::publish(std::shared_ptr<const Snapshot> next) {
  std::lock_guard lock(read_mutex_);
  current_.swap(next);
  // The old snapshot is released here, after the lock, by `next`.
}

Result<bool, StoreError> Store::put(const api::Template& tmpl, std::vector<std::uint8_t> bytes,
                                    const std::string& id) {
  std::lock_guard lock(write_mutex_);
  auto old = snapshot();
  if (old->find(id) != nullptr) return false;
  const std::string_view data(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (auto written = write_durably(dir_, id + ".bin", data); !written) {
    return make_err(StoreError{StoreError::Kind::Io, written.error()});
  }
  auto next = std::make_shared<Snapshot>(*old);
  next->templates.emplace(id, Entry{id, tmpl, std::move(bytes)});
  publish(std::move(next));
  return true;
}

Status<StoreError> Store::remove(std::string_view id) {
  std::lock_guard lock(write_mutex_);
  auto old = snapshot();
  if (old->find(id) == nullptr) {
    return make_err(StoreError{StoreError::Kind::NotFound, "unknown template " + std::string(id)});
  }
  for (const auto& [name, target] : old->names) {
    if (target == id) {
      return make_err(StoreError{StoreError::Kind::Conflict,
                                 "the name `" + name + "` points at template " + std::string(id)});
    }
  }
  const std::string path = dir_ + "/" + std::string(id) + ".bin";
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return make_err(
        StoreError{StoreError::Kind::Io, "cannot delete from the store: " + os_error(errno)});
  }
  if (auto synced = fsync_dir(dir_); !synced) {
    return make_err(StoreError{StoreError::Kind::Io, synced.error()});
  }
  auto next = std::make_shared<Snapshot>(*old);
  next->templates.erase(next->templates.find(id));
  publish(std::move(next));
  return ok_status<StoreError>();
}

Status<StoreError> Store::write_names(
    const std::map<std::string, std::string, std::less<>>& names) {
  if (auto written = write_durably(dir_, kNamesFile, names_text(names)); !written) {
    return make_err(StoreError{StoreError::Kind::Io, written.error()});
  }
  return ok_status<StoreError>();
}

Result<bool, StoreError> Store::set_name(std::string_view name, std::string_view id) {
  std::lock_guard lock(write_mutex_);
  auto old = snapshot();
  const Entry* entry = old->find(id);
  if (entry == nullptr) {
    return make_err(StoreError{StoreError::Kind::NotFound, "unknown template " + std::string(id)});
  }
  if (entry->tmpl.name() != name) {
    return make_err(StoreError{StoreError::Kind::Conflict,
                               "template " + std::string(id) + " is named `" + entry->tmpl.name() +
                                   "`, not `" + std::string(name) + "`"});
  }
  auto next = std::make_shared<Snapshot>(*old);
  const bool fresh = next->names.find(name) == next->names.end();
  next->names[std::string(name)] = std::string(id);
  if (auto written = write_names(next->names); !written)
    return make_err(std::move(written).error());
  publish(std::move(next));
  return fresh;
}

Status<StoreError> Store::remove_name(std::string_view name) {
  std::lock_guard lock(write_mutex_);
  auto old = snapshot();
  if (old->names.find(name) == old->names.end()) {
    return make_err(
        StoreError{StoreError::Kind::NotFound, "unknown name `" + std::string(name) + "`"});
  }
  auto next = std::make_shared<Snapshot>(*old);
  next->names.erase(next->names.find(name));
  if (auto written = write_names(next->names); !written)
    return make_err(std::move(written).error());
  publish(std::move(next));
  return ok_status<StoreError>();
}

Status<std::string> Store::reload() {
  std::lock_guard lock(write_mutex_);
  auto loaded = load_snapshot(dir_);
  if (!loaded) return make_err(std::move(loaded).error());
  publish(std::move(loaded).value());
  return ok_status<std::string>();
}

}  // namespace verdane::serve
