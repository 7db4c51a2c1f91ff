// The first host-name source: the output of the `hostname` command, captured through a
// temporary file in the current working directory.
#pragma once

#include <cstdio>

namespace hostname_check {

constexpr int kCommandHostnameSize = 100;

// True if anything at all stands under the temporary file's name: a file, readable or not, a
// directory, or a link, dangling or not; also when the name cannot be looked up for another reason
// than its absence. The run must not overwrite or delete what it did not make.
bool TempFileExists(const char* tempFileName);

// Opens the capture for reading in text mode, only if it is a regular file with one link and not
// a link or reparse point: the file the command has just created, not one put in its place. Null,
// with errno set, otherwise.
FILE* OpenCapture(const char* tempFileName);

// Runs the capture command, reads the host name from the first line of the temporary file and
// prints it. False, with errno set, when the file does not open after the command.
bool GetHostnameFromCommand(const char* captureCommand, const char* tempFileName,
                            char (&hostname)[kCommandHostnameSize]);

// Reads the first line of the stream into hostname, without its line feed; empty when nothing
// can be read.
void ReadFirstLine(FILE* stream, char (&hostname)[kCommandHostnameSize]);

// Hands the removal command to the command interpreter.
void RemoveTempFile(const char* removalCommand);

}  // namespace hostname_check
