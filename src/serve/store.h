// The store: a folder of content-addressed templates (<template_id>.bin, the
// bytes `compile` writes) and names.txt, one `<name> <template_id>` a line.
// Readers take an immutable snapshot; every change writes its file durably
// first and then swaps in a new snapshot, so a request sees the old set or
// the new one, never a mix.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "support/result.h"
#include "verdane/verdane.h"

namespace verdane::serve {

inline constexpr const char* kNamesFile = "names.txt";

struct Entry {
  std::string id;
  api::Template tmpl;
  std::vector<std::uint8_t> bytes;
};

struct Snapshot {
  std::map<std::string, Entry, std::less<>> templates;    // by id
  std::map<std::string, std::string, std::less<>> names;  // name -> id

  const Entry* find(std::string_view id) const;
  const Entry* find_name(std::string_view name) const;
};

// Checks done on request text before it is looked up or touches a file: a
// template id is 32 to 44 base58 characters, a name a word of the template
// language (a letter or `_`, then letters, digits and `_`; at most 128).
bool valid_id(std::string_view id);
bool valid_name(std::string_view name);

struct StoreError {
  enum class Kind { NotFound, Conflict, Io };
  Kind kind;
  std::string message;
};

class Store {
 public:
  // Loads the folder; an error names the file that stopped it.
  static Result<std::unique_ptr<Store>, std::string> open(const std::string& dir);

  std::shared_ptr<const Snapshot> snapshot() const;

  // Stores a template; true when it was new.
  Result<bool, StoreError> put(const api::Template& tmpl, std::vector<std::uint8_t> bytes,
                               const std::string& id);
  Status<StoreError> remove(std::string_view id);
  // Points `name` at `id`; true when the name is new.
  Result<bool, StoreError> set_name(std::string_view name, std::string_view id);
  Status<StoreError> remove_name(std::string_view name);
  // Reads the folder again and swaps the new set in; on failure the old set stays.
  Status<std::string> reload();

 private:
  explicit Store(std::string dir) : dir_(std::move(dir)) {}
  Status<StoreError> write_names(const std::map<std::string, std::string, std::less<>>& names);
  void publish(std::shared_ptr<const Snapshot> next);

  const std::string dir_;
  std::mutex write_mutex_;  // one change at a time
  mutable std::mutex read_mutex_;
  // Shared between the store and the requests reading it: a swap must not
  // pull a snapshot from under a request in flight.
  std::shared_ptr<const Snapshot> current_;
};

// Loads a store folder into a snapshot (used by open and reload).
Result<std::shared_ptr<const Snapshot>, std::string> load_snapshot(const std::string& dir);

// Writes `data` to `dir`/`name` so that after a crash at any moment the file
// holds the old contents or the new ones: a temp file, fsync, rename, fsync of
// the folder.
Status<std::string> write_durably(const std::string& dir, const std::string& name,
                                  std::string_view data);

}  // namespace verdane::serve
