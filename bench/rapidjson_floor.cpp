// The large-evidence floor: read a JSON file and parse it into a RapidJSON
// document, nothing else. Built like verdane. With --insitu the document is
// parsed in place in the text (kParseInsituFlag), the stricter floor: no
// string is copied.
#include <fcntl.h>
#include <rapidjson/document.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  const bool insitu = argc == 3 && std::string(argv[1]) == "--insitu";
  if (argc != 2 && !insitu) return 2;
  const int fd = ::open(argv[argc - 1], O_RDONLY);
  if (fd < 0) return 1;
  struct stat st {};
  ::fstat(fd, &st);
  std::string text(static_cast<std::size_t>(st.st_size), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
    if (n <= 0) return 1;
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  rapidjson::Document doc;
  if (insitu) {
    doc.ParseInsitu<rapidjson::kParseIterativeFlag>(text.data());
  } else {
    doc.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
  }
  return doc.HasParseError() ? 1 : 0;
}
