// The third host-name source, for information only: the name the sockets library reports.
#pragma once

namespace hostname_check {

constexpr int kWinsockHostnameSize = 1024;

// Starts the sockets library and prints its host name, or which of the two calls failed.
void ReportWinsockHostname(char (&hostname)[kWinsockHostnameSize]);

}  // namespace hostname_check
