// The first host-name source: the output of the `hostname` command, captured through a
// temporary file in the current working directory.
#pragma once

#include <stdio.h>

namespace hostname_check {

constexpr int kCommandHostnameSize = 100;

// What stands under the temporary file's name before the run.
enum class Lookup {
  kAbsent,   // nothing at all
  kPresent,  // a file, readable or not, a directory or a link, dangling or not
  kFailed,   // it cannot be told; errno says why
};

// Looks for the temporary file. The run must not overwrite or delete what it did not make, and
// goes on only when the name is known to be free.
Lookup TempFileExists(const char* tempFileName);

// Which file the capture is: on Windows, its volume's serial number and its file index, so that
// its name is only removed while it still leads to that file.
struct CaptureId {
  unsigned long volume = 0;
  unsigned long indexHigh = 0;
  unsigned long indexLow = 0;
};

// Opens the capture for reading in text mode, only if it is a regular file with one link and not
// a link or reparse point: the file the command has just created, not one put in its place. Null,
// with errno set, otherwise. On Windows, also says which file it is.
FILE* OpenCapture(const char* tempFileName, CaptureId& capture);

// Runs the capture command, reads the host name from the first line of the temporary file and
// prints it. False, with errno set, when the file does not open after the command.
bool GetHostnameFromCommand(const char* captureCommand, const char* tempFileName,
                            char (&hostname)[kCommandHostnameSize], CaptureId& capture);

// Reads the first line of the stream into hostname, without its line feed; empty when nothing
// can be read.
void ReadFirstLine(FILE* stream, char (&hostname)[kCommandHostnameSize]);

// Hands the removal command to the command interpreter, unless (on Windows) the temporary file's
// name no longer leads to the capture that was read: then nothing is removed and the result is
// false. The Linux interpreter's `del` only ever removes a name, never what it leads to.
bool RemoveTempFile(const char* removalCommand, const char* tempFileName, const CaptureId& capture);

}  // namespace hostname_check
