#!/usr/bin/python
"""Documentation of the hostname_check_unreachable action, which runs on the controller
(action_plugins)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_unreachable
short_description: Counts a host that hostname_check could not reach as Ansible's unreachable
description:
  - Runs after the report is written, for each host that the run task could not reach and kept in
    the play so that the report is written also when no host could be reached.
  - Gives the host as unreachable, as Ansible counts it, with the reason the report gives,
    escaped for the console. Contacts no host.
options: {}
"""

RETURN = r"""
msg:
  description: Why the host could not be reached, escaped for the console.
  type: str
"""
