// The static host name as /etc/hostname keeps it.
#pragma once

#include <stddef.h>

namespace win32_layer {

// Finds the name in the text of /etc/hostname, fed a piece at a time so that a file of any length
// is read in bounded memory: the first line that is neither empty nor a comment ("#"), without the
// white space around it. Lines end at a line feed, a carriage return or a zero byte.
struct EtcHostnameScanner {
  // Where the name goes: its first `capacity` bytes are kept, the rest only counted.
  char* name = nullptr;
  size_t capacity = 0;
  // The name's length, trailing blanks dropped; may exceed the capacity.
  size_t length = 0;

  // Takes the next piece of the text. False once the name's line has ended: the rest of the text
  // cannot change the result.
  bool Scan(const char* piece, size_t size);

 private:
  enum class State { kLineStart, kComment, kName, kDone };
  State state_ = State::kLineStart;
  size_t taken_ = 0;  // bytes of the name's line since its first character
};

}  // namespace win32_layer
