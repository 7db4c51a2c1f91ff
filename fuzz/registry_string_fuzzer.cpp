// Registry data: whatever a query may leave in the buffer, with any status, type and size, must
// come out as a string within the buffer, and a non-empty one only from a successful string query.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "registry_source.h"
#include "win32_layer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kHeader = 6;
  if (size < kHeader) return 0;
  const long statuses[] = {ERROR_SUCCESS, ERROR_MORE_DATA, ERROR_FILE_NOT_FOUND};
  const long status = statuses[data[0] % 3];
  const unsigned long type = data[1] % 12;
  uint32_t reported = 0;
  memcpy(&reported, data + 2, sizeof reported);
  reported %= 2 * hostname_check::kRegistryHostnameSize;

  // The bytes the query wrote, then whatever the buffer held before.
  char hostname[hostname_check::kRegistryHostnameSize];
  memset(hostname, 'x', sizeof hostname);
  const size_t written = size - kHeader < sizeof hostname ? size - kHeader : sizeof hostname;
  memcpy(hostname, data + kHeader, written);

  hostname_check::TerminateRegistryString(status, type, reported, hostname);

  if (memchr(hostname, '\0', sizeof hostname) == nullptr) abort();
  const size_t length = strlen(hostname);
  if (length == 0) return 0;
  // A name is only ever taken from a successful string query, and only from the data it reported.
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) abort();
  if (length > reported || length >= sizeof hostname) abort();
  return 0;
}
