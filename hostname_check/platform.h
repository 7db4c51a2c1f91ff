// The check is written against the Windows interfaces. On Windows they are the system's own;
// elsewhere a small layer outside this folder provides the same names.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
// winsock2.h must come first.
#include <windows.h>
#else
#include "win32_layer.h"
// Inside the program's namespace these declarations hide the C library's functions of the same
// name, so that the capture is read in text mode and the interpreter knows `del`.
namespace hostname_check {
using win32_layer::fopen;
using win32_layer::gethostname;
using win32_layer::system;
}  // namespace hostname_check
#endif
