#!/usr/bin/python
"""Documentation of the hostname_check_run action, which runs on the controller (action_plugins)."""

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
    (fail_on_bad) or could not be checked (fail_on_error). Changes nothing on the host.
options:
  payloads:
    description: Machine (as uname -m names it, or * for any) to executable, as the
      hostname_check_payloads filter makes it. Used for Linux hosts.
    type: dict
    required: true
  timeout:
    description: Seconds the whole task may take; on a Linux host the check stops a fifth (at least
      3 s) before.
    type: int
    default: 60
  windows:
    description: Whether the host is run as Windows.
    type: bool
    default: false
  exes:
    description: Processor (as PROCESSOR_ARCHITECTURE names it) to the Windows executable on the
      controller.
    type: dict
    default: {}
  exe:
    description: One Windows executable for every Windows host, whatever its processor.
    type: str
    default: ""
  fail_on_bad:
    description: Fail the host when its names disagree.
    type: bool
    default: true
  fail_on_error:
    description: Fail the host when it could not be checked; when false, a host that cannot be
      reached is a record like the others, not unreachable.
    type: bool
    default: true
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
