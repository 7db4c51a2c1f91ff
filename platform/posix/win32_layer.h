// The Windows interfaces that hostname_check uses, provided on POSIX systems.
//
// Only what the check relies on is here, and it behaves as on Windows where the check depends on
// it: the registry's one key is the TCP/IP parameters, whose "Hostname" value is the static host
// name in /etc/hostname; files open in text mode fold CR LF into LF and end at Ctrl-Z; the command
// interpreter knows `del` and makes the file an output goes to; the sockets library needs no
// start-up.
#pragma once

#include <stdint.h>
#include <stdio.h>

using BYTE = unsigned char;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using REGSAM = DWORD;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPCSTR = const char*;
using LPCWSTR = const wchar_t*;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_PATH_NOT_FOUND = 3;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_GEN_FAILURE = 31;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;

// Files.
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD FILE_ATTRIBUTE_REPARSE_POINT = 0x400;

// Like GetFileAttributesA: the attributes of the entry itself, links not followed;
// INVALID_FILE_ATTRIBUTES when they cannot be had, with the reason for GetLastError: only
// ERROR_FILE_NOT_FOUND and ERROR_PATH_NOT_FOUND say that there is no such entry.
DWORD GetFileAttributesA(LPCSTR path);

// The error of the last failed file call.
DWORD GetLastError();

// Registry.
struct RegistryKey;
using HKEY = RegistryKey*;
using PHKEY = HKEY*;
extern HKEY const HKEY_LOCAL_MACHINE;

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_NOTIFY = 0x0010;
constexpr REGSAM KEY_CREATE_LINK = 0x0020;
constexpr REGSAM DELETE = 0x00010000;
constexpr REGSAM READ_CONTROL = 0x00020000;
constexpr REGSAM WRITE_DAC = 0x00040000;
constexpr REGSAM WRITE_OWNER = 0x00080000;
constexpr REGSAM KEY_READ = READ_CONTROL | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY;
constexpr REGSAM KEY_ALL_ACCESS = 0x000F003F;

constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;

// Opens HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Tcpip\Parameters, the one key there
// is (names compare without regard to case); any other gives ERROR_FILE_NOT_FOUND. Rights are
// granted as the permissions of /etc/hostname allow: writing needs write permission, reading
// read permission, else ERROR_ACCESS_DENIED.
LONG RegOpenKeyExW(HKEY root, LPCWSTR subKey, DWORD options, REGSAM desired, PHKEY result);

// Reads the value "Hostname", a REG_SZ: the static host name, with its zero byte. Without a
// configured name ERROR_FILE_NOT_FOUND (also when /etc/hostname is not a regular file); a buffer
// too small, ERROR_MORE_DATA and the size needed.
LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize);

LONG RegCloseKey(HKEY key);

// Sockets.
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
};
using LPWSADATA = WSADATA*;

constexpr WORD MAKEWORD(BYTE low, BYTE high) { return static_cast<WORD>(low | (high << 8)); }

// Succeeds for any version from 1.0 up: there is nothing to start. The record is filled minimally.
int WSAStartup(WORD versionRequested, LPWSADATA data);

// The error of the last failed call.
int WSAGetLastError();

// The functions that share their names with the C library's.
namespace win32_layer {

// fopen with the Windows runtime's text mode: a stream opened for reading without "b" reads a
// carriage return followed by a line feed as one line feed, and ends at Ctrl-Z (0x1A).
// Opening for reading ("r", "rb") is stricter than on Windows: only a regular file with one link,
// owned by the caller, that neither group nor others may write, and not reached through a
// symbolic link, opens. A symbolic link fails with ELOOP, anything else with EACCES. Other modes
// are the C library's.
FILE* fopen(const char* path, const char* mode);

// system(), the interpreter of the two command lines the check hands it:
// - `del NAME...` is the interpreter's own command, as on Windows: it removes each name itself (a
//   link, not what it leads to; never a directory), needs nothing from PATH and never asks.
// - `COMMAND > NAME`: the interpreter creates NAME itself, new (O_EXCL, never through a link) and
//   private to the user (mode 0600 whatever the umask), and runs COMMAND through /bin/sh with its
//   standard output there. If anything at all stands under the name, nothing is opened and
//   COMMAND does not run.
// Any other command line goes to /bin/sh as it is.
int system(const char* command);

// The system's host name; the length is an int as in Windows Sockets.
int gethostname(char* name, int length);

}  // namespace win32_layer
