// Evaluates a batch of requests against one policy template, in one process.
//
//   embed_example <TEMPLATE> <REQUESTS>
//
// TEMPLATE is template source, compiled once. REQUESTS holds one request per
// line: the intent JSON object, a tab, then the evidence JSON object (each
// on that one line). Blank lines and lines starting with '#' are skipped.
// Prints the template's id, then one decision per request, prefixed with the
// request's line number, and a summary. Exits with 1 if the template does
// not compile or a file cannot be read, 0 otherwise.
#include <verdane/verdane.h>

#include <cstddef>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>

namespace {

bool read_file(const char* path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

// The decision's report, its lines after the first indented under it.
void print_decision(std::size_t line_no, const verdane::api::Decision& decision) {
  const std::string report = decision.report();
  std::cout << "line " << line_no << ": ";
  std::size_t start = 0;
  for (bool first = true; start < report.size(); first = false) {
    const std::size_t end = report.find('\n', start);
    std::cout << (first ? "" : "  ") << std::string_view(report).substr(start, end - start) << '\n';
    start = end + 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: embed_example <TEMPLATE> <REQUESTS>\n";
    return 2;
  }
  std::string source;
  std::string requests;
  if (!read_file(argv[1], source) || !read_file(argv[2], requests)) {
    std::cerr << "cannot read the input files\n";
    return 1;
  }

  // Compile once; the template is then only read, by every request.
  const auto tmpl = verdane::api::compile(source);
  if (!tmpl) {
    std::cerr << argv[1] << ": " << tmpl.error().to_string() << '\n';
    return 1;
  }
  const auto id = verdane::api::id(*tmpl);
  if (!id) {
    std::cerr << id.error().to_string() << '\n';
    return 1;
  }
  std::cout << "template " << tmpl->name() << ", policy_template_id=" << id->to_string() << '\n';

  std::size_t total = 0, passed = 0, failed = 0, errors = 0;
  std::map<std::size_t, std::size_t> failures_by_constraint;
  std::istringstream lines(requests);
  std::string line;
  for (std::size_t line_no = 1; std::getline(lines, line); ++line_no) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    ++total;
    const std::size_t tab = line.find('\t');
    if (tab == std::string::npos) {
      ++errors;
      std::cout << "line " << line_no << ": error: expected intent JSON, a tab, evidence JSON\n";
      continue;
    }
    const std::string_view text(line);
    const auto decision =
        verdane::api::evaluate_json(*tmpl, text.substr(0, tab), text.substr(tab + 1));
    if (!decision) {
      ++errors;
      std::cout << "line " << line_no << ": error: " << decision.error().to_string() << '\n';
      continue;
    }
    print_decision(line_no, *decision);
    if (decision->pass) {
      ++passed;
    } else {
      ++failed;
      for (const verdane::api::Outcome& outcome : decision->outcomes) {
        ++failures_by_constraint[outcome.index];
      }
    }
  }

  std::cout << "requests: " << total << ", pass: " << passed << ", fail: " << failed
            << ", errors: " << errors << '\n';
  for (const auto& [index, count] : failures_by_constraint) {
    std::cout << "constraint[" << index << "] did not hold in " << count << " request(s)\n";
  }
  return 0;
}
