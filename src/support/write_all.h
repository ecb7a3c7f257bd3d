// Writing a whole text to a file descriptor.
#pragma once

#include <string_view>

namespace verdane {

// Writes all of `data` to `fd`, retrying short writes and EINTR. Returns 0 or
// the errno of the failure.
int write_all(int fd, std::string_view data);

}  // namespace verdane
