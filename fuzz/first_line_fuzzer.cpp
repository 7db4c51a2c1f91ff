// The captured first line: any bytes the `hostname` command might leave in the capture file,
// read through the text-mode fopen and the check's own first-line reader.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "command_source.h"
#include "win32_layer.h"

namespace {

// What the reader must give: the first line of the text-mode bytes (they end at Ctrl-Z, and CR LF
// reads as LF), at most 99 characters, up to its first zero byte, without the line feed that ends
// it.
std::string Expected(const uint8_t* data, size_t size) {
  const void* ctrlZ = memchr(data, 0x1A, size);
  if (ctrlZ != nullptr) size = static_cast<size_t>(static_cast<const uint8_t*>(ctrlZ) - data);
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n') continue;
    text += static_cast<char>(data[i]);
  }
  const size_t lineFeed = text.find('\n');
  std::string line = text.substr(0, lineFeed == std::string::npos ? text.size() : lineFeed + 1);
  line = line.substr(0, hostname_check::kCommandHostnameSize - 1);
  line = line.substr(0, line.find('\0'));
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A file of the fuzzer's own, rewritten for every input (the layer opens nothing else), and
  // removed when the fuzzer exits.
  static char path[] = "/tmp/hostname_check_fuzz.XXXXXX";
  static const int fd = [] {
    const int made = mkstemp(path);
    atexit([] { unlink(path); });
    return made;
  }();
  if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
    abort();
  }

  FILE* capture = win32_layer::fopen(path, "r");
  if (capture == nullptr) abort();
  char hostname[hostname_check::kCommandHostnameSize];
  memset(hostname, 'x', sizeof hostname);
  hostname_check::ReadFirstLine(capture, hostname);
  fclose(capture);

  if (memchr(hostname, '\0', sizeof hostname) == nullptr) abort();
  if (hostname != Expected(data, size)) abort();
  return 0;
}
