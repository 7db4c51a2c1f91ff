// /etc/hostname: the scanner, fed the text in pieces of any sizes, finds what a plain model of the
// format finds in the whole text at once.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "etc_hostname.h"

namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }

// The first line, blanks around it dropped, that is neither empty nor a comment.
std::string Model(std::string_view text) {
  std::string line;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && !IsLineEnd(text[i])) {
      line += text[i];
      continue;
    }
    const size_t first = line.find_first_not_of(" \t\v\f");
    if (first != std::string::npos && line[first] != '#') {
      return line.substr(first, line.find_last_not_of(" \t\v\f") - first + 1);
    }
    line.clear();
  }
  return "";
}

}  // namespace

// The first two bytes choose the buffer's capacity and the size of the pieces; the rest is text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t capacity = data[0];
  const size_t piece = data[1] + 1U;
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);

  char name[256];
  memset(name, 'x', sizeof name);
  win32_layer::EtcHostnameScanner scanner;
  scanner.name = name;
  scanner.capacity = capacity;
  for (size_t at = 0; at < text.size(); at += piece) {
    const std::string_view part = text.substr(at, piece);
    if (!scanner.Scan(part.data(), part.size())) break;
  }
  const std::string expected = Model(text);
  if (scanner.length != expected.size()) abort();
  const size_t kept = scanner.length < capacity ? scanner.length : capacity;
  if (std::string_view(name, kept) != std::string_view(expected).substr(0, kept)) abort();
  // Nothing is written past the capacity.
  for (size_t i = capacity; i < sizeof name; ++i) {
    if (name[i] != 'x') abort();
  }
  return 0;
}
