// The second host-name source: the "Hostname" value of the TCP/IP parameters in the registry,
// and the verdict that compares it with the command's host name.
#pragma once

#include <stddef.h>

namespace hostname_check {

constexpr int kRegistryHostnameSize = 260;

// Reads the registry host name into hostname and prints it. Leaves the empty string when the key
// or the value cannot be read.
void GetHostnameFromRegistry(char (&hostname)[kRegistryHostnameSize]);

// Makes the data a query left in hostname a zero-terminated string within the buffer: the empty
// string unless the query succeeded (status 0) with a string type, and data that fill the whole
// buffer without a zero byte are taken as unreadable. type and size are what the query returned.
void TerminateRegistryString(long status, unsigned long type, unsigned long size,
                             char (&hostname)[kRegistryHostnameSize]);

// Prints "good" when the registry name is not empty and equal, byte for byte, to the command's,
// and "bad" otherwise: two missing names are no agreement.
void ReportVerdict(const char* registryHostname, const char* commandHostname);

}  // namespace hostname_check
