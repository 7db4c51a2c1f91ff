#!/usr/bin/python
"""Documentation of the hostname_check_settings action, which runs on the controller
(action_plugins)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_settings
short_description: Checks hostname_check's settings once, on the controller
description:
  - Reads the role's variables and checks each against its type in the role's argument
    description (meta/argument_specs.yml), then what they name (the executables, the report's
    folder), once, before any host is contacted.
  - Fails with one message that names every variable that is wrong. Changes nothing.
  - Runs only as a task of the hostname_check role.
options: {}
"""

RETURN = r"""
msg:
  description: What is wrong, when something is.
  type: str
  returned: failure
"""
