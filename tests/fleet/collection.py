"""Where the fleet's collection lies in the checkout, and its Python imported by name as Ansible
imports it: through Ansible's collection finder (set up by importing Ansible's plugin loader),
which finds the collection in collections/ beside the playbook, as ansible-playbook does for
ansible/hostname_check.yml. For the fleet's tables, run from the checkout's root
(python3 -m unittest tests/fleet/...).
"""

import importlib
import os

from ansible.plugins import loader  # noqa: F401 (sets up Ansible's collection finder)
from ansible.utils.collection_loader import AnsibleCollectionConfig

ANSIBLE = os.path.join(os.path.dirname(__file__), "..", "..", "ansible")
COLLECTION = os.path.join(ANSIBLE, "collections", "ansible_collections", "hostname_check", "fleet")
ROLE = os.path.join(COLLECTION, "roles", "hostname_check")
# The playbook a checkout runs, which imports the collection's.
PLAYBOOK = os.path.join(ANSIBLE, "hostname_check.yml")
AnsibleCollectionConfig.playbook_paths = [os.path.abspath(ANSIBLE)]


def plugin(name):
    """The collection's module plugins.NAME: plugin_utils.record, action.hostname_check_run."""
    return importlib.import_module(f"ansible_collections.hostname_check.fleet.plugins.{name}")
