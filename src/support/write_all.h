// Writing a whole text to a file descriptor.
#pragma once

#include <string_view>

namespace verdane {

// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns 0 or
// the errno of the failure.
int write_all(int fd, std::string_view data);

// write_all for a program's last words (usage, errors, exit texts), where
// nothing is left to report a failed write to.
inline void write_or_drop(int fd, std::string_view data) { (void)write_all(fd, data); }

}  // namespace verdane
