#!/usr/bin/python
"""Documentation of the hostname_check_settings action, which runs on the controller
(plugins/action)."""

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: hostname_check_settings
short_description: Checks hostname_check's settings once, on the controller
description:
  - Reads the role's variables and checks each against its type in the role's argument
    description (meta/argument_specs.yml), then what they name (the executables, the report's
    folder), once, before any host is contacted.
  - Checks too, for each host of the play, the values it has of its own of the settings a host
    may have (timeout, fail_on_bad, fail_on_error, windows, exes, exe).
  - Tries the report's folder as the report will be written there (a new file, with room for
    the report, made and removed), and refuses a play that runs its hosts in batches (serial).
  - Fails with one message that names every variable that is wrong (and its host, for a host's
    own). Changes nothing.
  - Runs only as a task of the hostname_check role.
options: {}
"""

RETURN = r"""
msg:
  description: What is wrong, when something is.
  type: str
  returned: failure
settings:
  description: The settings, without the prefix hostname_check_, as checked and converted (paths
    with ~ expanded; binaries holding hostname_check_binary, when set, for every machine).
  type: dict
  returned: success
hosts:
  description: Each host's own settings, where they differ from those.
  type: dict
  returned: success
fleet:
  description: The host pattern of the fleet's play whose hosts' own settings were checked
    (hostname_check_fleet_hosts, in a play of the controller's own before the fleet's); the fleet's
    play then takes what was found for its hosts.
  type: str
  returned: when hostname_check_fleet_hosts is set
"""
