"""The filter the role's tasks call: hostname_check_payloads, the executables made ready to travel
to the hosts, once for all of them (plugins/plugin_utils/executables.py). Everything else the role
does in Python its actions do, with what they import from plugins/plugin_utils/.
"""

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.executables import hostname_check_payloads


class FilterModule:
    """The role's filters."""

    def filters(self):
        return {
            "hostname_check_payloads": hostname_check_payloads,
        }
