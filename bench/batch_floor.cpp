// The batch floor: read a JSON Lines file in pieces and parse every line into
// a RapidJSON document, nothing else. Built like verdane.
#include <fcntl.h>
#include <rapidjson/document.h>
#include <unistd.h>

#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const int fd = ::open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  std::string buffer;
  std::size_t start = 0;  // of the first line not yet parsed
  long parsed = 0;
  bool ended = false;
  while (!ended) {
    buffer.erase(0, start);
    start = 0;
    const std::size_t had = buffer.size();
    buffer.resize(had + (256 << 10));
    const ssize_t n = ::read(fd, buffer.data() + had, buffer.size() - had);
    if (n < 0) return 1;
    buffer.resize(had + static_cast<std::size_t>(n));
    ended = n == 0;
    for (;;) {
      std::size_t end = buffer.find('\n', start);
      if (end == std::string::npos) {
        if (!ended || start == buffer.size()) break;
        end = buffer.size();
      }
      rapidjson::Document doc;
      doc.Parse(buffer.data() + start, end - start);
      if (doc.HasParseError()) return 1;
      ++parsed;
      start = end + 1;
      if (start > buffer.size()) break;
    }
  }
  ::close(fd);
  return parsed > 0 ? 0 : 1;
}
