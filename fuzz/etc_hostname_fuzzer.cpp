// /etc/hostname: the name found in any text is a trimmed line within it, not a comment, and every
// line before it is empty or a comment.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "etc_hostname.h"

namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Every line of text is empty, blank or a comment.
bool OnlyBlanksAndComments(std::string_view text) {
  bool lineStart = true;
  bool comment = false;
  for (const char c : text) {
    if (IsLineEnd(c)) {
      lineStart = true;
      comment = false;
    } else if (lineStart && c == '#') {
      lineStart = false;
      comment = true;
    } else if (!IsBlank(c)) {
      if (!comment) return false;
      lineStart = false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string_view name = win32_layer::ParseEtcHostname(text);
  if (name.empty()) {
    if (!OnlyBlanksAndComments(text)) abort();
    return 0;
  }
  if (name.data() < text.data() || name.data() + name.size() > text.data() + text.size()) abort();
  if (name.front() == '#' || IsBlank(name.front()) || IsBlank(name.back())) abort();
  for (const char c : name) {
    if (IsLineEnd(c)) abort();
  }
  // The name starts its line, after blanks only, and all lines before it are no names.
  const std::string_view before = text.substr(0, static_cast<size_t>(name.data() - text.data()));
  const size_t lineStart = before.find_last_of(std::string_view("\n\r\0", 3));
  const std::string_view indent =
      before.substr(lineStart == std::string_view::npos ? 0 : lineStart + 1);
  for (const char c : indent) {
    if (!IsBlank(c)) abort();
  }
  if (!OnlyBlanksAndComments(before.substr(0, before.size() - indent.size()))) abort();
  // The line goes on after the name with blanks only, up to its end.
  const std::string_view after = text.substr(before.size() + name.size());
  for (const char c : after) {
    if (IsLineEnd(c)) break;
    if (!IsBlank(c)) abort();
  }
  return 0;
}
