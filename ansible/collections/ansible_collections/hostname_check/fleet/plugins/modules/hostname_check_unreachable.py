#!/usr/bin/python
"""Documentation of the hostname_check_unreachable action, which runs on the controller
(plugins/action)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_unreachable
short_description: Counts the host kept in the play although hostname_check could not reach it
description:
  - Runs once, after the report is written, for the host the role's run-once tasks run for. When
    the run task could not reach that host, it kept it in the play, so that the report is written
    also when no host could be reached (Ansible takes every other such host out of the play at
    once); this action then gives it as unreachable, as Ansible counts it, with the reason the
    report gives, escaped for the console. Otherwise it is skipped. Contacts no host.
options: {}
"""

RETURN = r"""
msg:
  description: Why the host could not be reached, escaped for the console.
  type: str
"""
