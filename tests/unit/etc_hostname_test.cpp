#include "etc_hostname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

// The name the scanner finds in text fed in pieces of `piece` bytes, into a buffer of `capacity`;
// what it keeps, and the whole length it counted.
struct Found {
  std::string kept;
  size_t length;
};

Found Scan(const std::string& text, size_t piece, size_t capacity) {
  // One guard byte past the capacity, which the scanner must never write.
  constexpr char kGuard = '\x5A';
  std::string buffer(capacity + 1, '\0');
  buffer[capacity] = kGuard;
  win32_layer::EtcHostnameScanner scanner;
  scanner.name = buffer.data();
  scanner.capacity = capacity;
  for (size_t at = 0; at < text.size(); at += piece) {
    const std::string_view part = std::string_view(text).substr(at, piece);
    if (!scanner.Scan(part.data(), part.size())) break;
  }
  EXPECT_EQ(buffer[capacity], kGuard) << "written past a capacity of " << capacity;
  return {buffer.substr(0, std::min(scanner.length, capacity)), scanner.length};
}

TEST(EtcHostnameScanner, TakesTheFirstNameLine) {
  const std::string comments8k = []() {
    std::string text;
    while (text.size() <= 8192) text += "# " + std::string(97, 'c') + "\n";
    return text;
  }();
  // 4096 bytes in all, the name last and without a line end. (Built by appending: GCC 12 takes
  // "#" + std::string(...) for an overlapping copy under -O3 and -Werror=restrict.)
  const std::string exactly4k = std::string("#").append(4090, 'c').append("\nWS01");
  const struct {
    std::string text;
    std::string name;
  } cases[] = {
      {"WS01\n", "WS01"},
      {"WS01", "WS01"},
      {"", ""},
      {"\n\n", ""},
      {"  \t\n", ""},
      {"# only a comment\n", ""},
      {"#WS01\n", ""},
      {"  # indented comment\nWS02\n", "WS02"},
      {"# comment\n\n \t WS01 \t \nWS02\n", "WS01"},
      {"WS01\r\n", "WS01"},
      {"\r\nWS01\r\n", "WS01"},
      {"# c\rWS01\r", "WS01"},
      {"my host\n", "my host"},
      {"WS01 # not a comment\n", "WS01 # not a comment"},
      {"\0WS01\n"s, "WS01"},
      {"WS\0 01\n"s, "WS"},
      {"\v\fWS01\v\f", "WS01"},
      // However long the file, its lines are read to the end.
      {exactly4k, "WS01"},
      {comments8k + "WS01\n", "WS01"},
      {std::string("#").append(10000, 'c').append("\nWS01\n"), "WS01"},
      {std::string(5000, ' ') + "WS01" + std::string(5000, '\t') + "\n", "WS01"},
      {comments8k + std::string(300, 'n') + "\n", std::string(300, 'n')},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(exactly4k.size(), 4096U);
    for (const size_t piece : {c.text.size() + 1, size_t{1}, size_t{7}, size_t{4096}}) {
      const Found found = Scan(c.text, piece, 1000);
      EXPECT_EQ(found.kept, c.name)
          << "text: " << c.text.substr(0, 40) << " in pieces of " << piece;
      EXPECT_EQ(found.length, c.name.size());
    }
  }
}

// A name longer than the buffer is counted whole, its blanks at the end not included, and only
// its start is kept.
TEST(EtcHostnameScanner, CountsANameLongerThanTheBuffer) {
  const std::string name(5000, 'n');
  for (const size_t capacity : {size_t{0}, size_t{1}, size_t{260}}) {
    const Found found = Scan("# c\n " + name + "  \n", 3, capacity);
    EXPECT_EQ(found.length, name.size());
    EXPECT_EQ(found.kept, name.substr(0, capacity));
  }
}

}  // namespace
