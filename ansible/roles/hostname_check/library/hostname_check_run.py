#!/usr/bin/python
"""Documentation of the hostname_check_run action, which runs on the controller (action_plugins)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_run
short_description: Runs hostname_check on a Linux host in one round trip
description:
  - Sends the role's script and the executables (on standard input) to the host's /bin/sh, which
    runs the one for the host's machine in a private directory where a program may run and removes
    the directory however the run ends.
  - Needs a connection that can send standard input (ssh, local). Changes nothing on the host.
options:
  payloads:
    description: Machine (as uname -m names it, or * for any) to executable, as the
      hostname_check_payloads filter makes it.
    type: dict
    required: true
  timeout:
    description: Seconds the task may take; the check stops on the host a fifth (at least 3 s) before.
    type: int
    default: 60
"""

RETURN = r"""
rc:
  description: The script's status, the check's own unless 124 (out of time) or 125 (not started).
  type: int
stdout:
  description: What the script printed, at most 64 KiB.
  type: str
stderr:
  description: What the script printed on standard error, at most 64 KiB.
  type: str
"""
