#!/usr/bin/python
"""Documentation of the hostname_check_report action, which runs on the controller
(plugins/action)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_report
short_description: Writes hostname_check's report and says what it found
description:
  - Makes one record a host from the results the role registered there, writes the JSON report
    through a new file renamed over the path given, and returns the summary and the hosts to fail.
  - Leaves the report, bounded in size, as the job's artifacts (what set_stats leaves, under the
    name hostname_check, once for the run).
  - The path must name a regular file or a new name; its folder and every folder above it must be
    root's or the user's and written by no one else (ACLs counted) unless they have the sticky bit.
options:
  hosts:
    description: The hosts of the play.
    type: list
    elements: str
    required: true
  path:
    description: The report, on the controller.
    type: path
    required: true
  version:
    description: The role's version, which the report gives.
    type: str
    required: true
  fail_on_bad:
    description: Fail the hosts whose names disagree.
    type: bool
    default: true
  fail_on_error:
    description: Fail the hosts that could not be checked.
    type: bool
    default: true
  write:
    description: Write the report; when false, none is written and the path is not used.
    type: bool
    default: true
"""

RETURN = r"""
summary:
  description: The console's summary, one line an entry.
  type: list
  elements: str
failing:
  description: Host to the line that says why it is not good, for the hosts to fail.
  type: dict
stats:
  description: The report as a job's artifacts, bounded in size.
  type: dict
ansible_stats:
  description: The same, as set_stats gives it to Ansible, which keeps it as the job's artifacts.
  type: dict
"""
