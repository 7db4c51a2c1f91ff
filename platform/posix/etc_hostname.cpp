#include "etc_hostname.h"

namespace win32_layer {

std::string_view ParseEtcHostname(std::string_view text) {
  constexpr std::string_view kLineEnds("\n\r\0", 3);
  constexpr std::string_view kBlanks(" \t\v\f");
  while (!text.empty()) {
    // Positions found are within the text, so no bounds check (and no exception) is needed.
    const size_t end = text.find_first_of(kLineEnds);
    std::string_view line(text.data(), end == std::string_view::npos ? text.size() : end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);

    const size_t first = line.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
      continue;
    }
    line = std::string_view(line.data() + first, line.find_last_not_of(kBlanks) - first + 1);
    if (line.front() != '#') {
      return line;
    }
  }
  return {};
}

}  // namespace win32_layer
