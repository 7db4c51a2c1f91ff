#!/bin/sh
# ansible-test sanity on the built collection, installed where ansible-test wants it, for the tests
# that need nothing from the network (the others install Python packages into virtual
# environments first):
#   collection_sanity.sh TARBALL
set -eu
tarball=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ansible-galaxy collection install "$tarball" -p "$work" >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
cd "$work/ansible_collections/hostname_check/fleet"
set --
for test in action-plugin-docs compile empty-init future-import-boilerplate line-endings \
  metaclass-boilerplate no-assert no-basestring no-dict-iteritems no-dict-iterkeys no-dict-itervalues \
  no-get-exception no-illegal-filenames no-main-display no-smart-quotes no-unicode-literals \
  replace-urlopen shebang symlinks use-argspec-type-path use-compat-six; do
  set -- "$@" --test "$test"
done
# Each action's documentation, whole, as ansible-doc reads it from the installed collection.
for module in plugins/modules/*.py; do
  ANSIBLE_COLLECTIONS_PATH=$work ansible-doc --json "hostname_check.fleet.$(basename "$module" .py)" >"$work/doc.json" &&
    /usr/bin/python3 -c 'import json, sys; doc = next(iter(json.load(open(sys.argv[1])).values()))["doc"]
sys.exit(0 if doc.get("short_description") and doc.get("description") else 1)' "$work/doc.json" ||
    { echo "ansible-doc cannot read $module whole" >&2; exit 1; }
done
ansible-test sanity --python "$(/usr/bin/python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')" "$@"
