#include "etc_hostname.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace std::string_literals;

TEST(ParseEtcHostname, TakesTheFirstNameLine) {
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
      {"my host\n", "my host"},
      {"WS01 # not a comment\n", "WS01 # not a comment"},
      {"\0WS01\n"s, "WS01"},
      {"WS\0 01\n"s, "WS"},
      {"\v\fWS01\v\f", "WS01"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(win32_layer::ParseEtcHostname(c.text), c.name) << "text: " << c.text;
  }
}

}  // namespace
