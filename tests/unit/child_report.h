// Runs a step in a child process, for rows that change what only a child may (its user for good,
// its mounts), and gives back the text the step made: the child's findings, or "child status N"
// when it did not end well (a step gives up with _exit(2)).
#ifndef HOSTNAME_CHECK_TESTS_UNIT_CHILD_REPORT_H_
#define HOSTNAME_CHECK_TESTS_UNIT_CHILD_REPORT_H_

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

template <typename Step>
std::string ReportOfChild(const Step& step) {
  int result[2];
  if (pipe(result) != 0) return "pipe failed";
  const pid_t child = fork();
  if (child == 0) {
    close(result[0]);
    const std::string report = step();
    _exit(write(result[1], report.data(), report.size()) == static_cast<ssize_t>(report.size())
              ? 0
              : 3);
  }
  close(result[1]);
  std::string report;
  char piece[512];
  for (ssize_t got; (got = read(result[0], piece, sizeof piece)) > 0;) report.append(piece, got);
  close(result[0]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return "fork failed";
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? report
                                                       : "child status " + std::to_string(status);
}

#endif  // HOSTNAME_CHECK_TESTS_UNIT_CHILD_REPORT_H_
