#include "etc_hostname.h"

namespace win32_layer {
namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r' || c == '\0'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

}  // namespace

bool EtcHostnameScanner::Scan(const char* piece, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    const char c = piece[i];
    switch (state_) {
      case State::kLineStart:
        // Blanks before the first character of a line are skipped, whatever their number.
        if (IsLineEnd(c) || IsBlank(c)) break;
        state_ = c == '#' ? State::kComment : State::kName;
        if (state_ == State::kName) {
          if (capacity > 0) name[0] = c;
          taken_ = length = 1;
        }
        break;
      case State::kComment:
        if (IsLineEnd(c)) state_ = State::kLineStart;
        break;
      case State::kName:
        if (IsLineEnd(c)) {
          state_ = State::kDone;
          return false;
        }
        if (taken_ < capacity) name[taken_] = c;
        ++taken_;
        if (!IsBlank(c)) length = taken_;
        break;
      case State::kDone:
        return false;
    }
  }
  return state_ != State::kDone;
}

}  // namespace win32_layer
