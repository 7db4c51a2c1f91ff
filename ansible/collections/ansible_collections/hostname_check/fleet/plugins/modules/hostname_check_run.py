#!/usr/bin/python
"""Documentation of the hostname_check_run action, which runs on the controller (plugins/action)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_run
short_description: Runs hostname_check on a host and gives the host's verdict, in one task
description:
  - On a Linux host, sends the role's script and the executables (on standard input) to the host's
    /bin/sh, which runs the one for the host's machine in a private directory where a program may
    run and removes the directory however the run ends. Needs a connection that can send standard
    input (ssh, local).
  - On a Windows host, makes a private directory (ansible.windows.win_tempfile), copies the
    executable for the host's processor there, runs it (ansible.windows.win_command) and removes
    the directory (ansible.windows.win_file).
  - Parses what the host printed into the host's record and fails the task when the host is bad
    (hostname_check_fail_on_bad) or could not be checked (hostname_check_fail_on_error). Changes
    nothing on the host.
  - Takes no options. It reads hostname_check_payloads (the executables for Linux hosts, by
    machine, which the role makes once for all hosts) and the settings as the role's settings task
    checked and converted them (hostname_check_checked), the host's own where it has them, so that
    nothing is templated for each host - hostname_check_timeout (seconds the whole task may take;
    on a Linux host the check stops a fifth, at least 3 s, before), hostname_check_windows (unset,
    a host whose shell is PowerShell or cmd is run as Windows), hostname_check_exes,
    hostname_check_exe, hostname_check_fail_on_bad and hostname_check_fail_on_error.
  - A host it cannot reach is unreachable, with the reason escaped; the role's task keeps it in
    the play (ignore_unreachable) until the report is written.
options: {}
"""

RETURN = r"""
record:
  description: The host's record (status, names, rc, message, arch) as ASCII JSON text, so that
    nothing the host printed reaches the console as it is.
  type: str
msg:
  description: Why the host failed, escaped for the console.
  type: str
  returned: failure
"""
