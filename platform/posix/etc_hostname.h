// The static host name as /etc/hostname keeps it.
#pragma once

#include <string_view>

namespace win32_layer {

// The first line of text that is neither empty nor a comment ("#"), without the white space around
// it; empty when there is none. Lines end at a line feed, a carriage return or a zero byte.
std::string_view ParseEtcHostname(std::string_view text);

}  // namespace win32_layer
