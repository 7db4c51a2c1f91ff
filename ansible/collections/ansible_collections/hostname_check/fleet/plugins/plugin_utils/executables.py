"""The executables on the controller: each made ready to travel to the hosts (compressed, in base64),
and each checked before any host is contacted: a Linux one must be a statically linked executable
(ELF) for its machine, a Windows one an executable (PE) for its processor. Only regular files are
ever opened, and of those checked only the headers are read; no program is run.
"""

import base64
import gzip
import os
import stat

from ansible.errors import AnsibleFilterError, AnsibleUndefinedVariable
from jinja2 import Undefined

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.files import file_kind


class _NotAFile(Exception):
    """What stands at a path that was to be read as a file and is not one."""


def _open_file(path):
    """A descriptor of the regular file at path (links followed), opened for reading. Nothing else
    is ever opened: what is not a regular file is refused before the open (stat), the open never
    waits (O_NONBLOCK: a FIFO swapped in meanwhile) and what was opened is checked again (fstat)."""
    found = os.stat(path)
    if not stat.S_ISREG(found.st_mode):
        raise _NotAFile(file_kind(found.st_mode))
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    found = os.fstat(descriptor)
    if not stat.S_ISREG(found.st_mode):
        os.close(descriptor)
        raise _NotAFile(file_kind(found.st_mode))
    return descriptor


# What to do about a Linux executable that is not there, to whoever installed the role.
BINARY_HINT = ("set hostname_check_binaries to the executables for your hosts' machines, or hostname_check_binary "
               "to one for every Linux host")


def hostname_check_payloads(binaries):
    """{machine: path} of executables on the controller to {machine: text}: each file compressed
    with gzip and encoded in base64, as the hosts' script unpacks it. Runs no program, and reads
    regular files only."""
    if isinstance(binaries, Undefined):
        raise AnsibleUndefinedVariable("hostname_check: the executables are not known: the settings were not checked")
    if not isinstance(binaries, dict) or not binaries:
        raise AnsibleFilterError("hostname_check: no executable to send (hostname_check_binaries is empty)")
    payloads = {}
    for machine, path in binaries.items():
        try:
            with os.fdopen(_open_file(str(path)), "rb") as executable:
                data = executable.read()
        except _NotAFile as kind:
            raise AnsibleFilterError(f"hostname_check: the executable for {machine}, {path}, is {kind}, not a file") from None
        except OSError as error:
            raise AnsibleFilterError(
                f"hostname_check: cannot read the executable for {machine}, {path}: {error.strerror}; {BINARY_HINT}"
            ) from error
        payloads[str(machine)] = base64.b64encode(gzip.compress(data, 9, mtime=0)).decode("ascii")
    return payloads


# ELF machine numbers (e_machine) by the name `uname -m` gives; PE machine numbers by the name
# PROCESSOR_ARCHITECTURE gives (ARM64 Windows also runs x86 and x64 programs).
ELF_MACHINES = {"x86_64": {62}, "aarch64": {183}, "i386": {3}, "i686": {3}, "armv7l": {40},
                "riscv64": {243}, "ppc64le": {21}, "s390x": {22}}
PE_MACHINES = {"x86": {0x14C}, "AMD64": {0x8664}, "ARM64": {0x14C, 0x8664, 0xAA64}}
# ELF file types (e_type), program header types (p_type) and dynamic entries (d_tag) the check
# of a Linux executable reads.
ET_REL, ET_EXEC, ET_DYN, ET_CORE = 1, 2, 3, 4
ELF_TYPES = {ET_REL: "an object file (ET_REL), not a linked executable", ET_CORE: "a core dump, not an executable"}
PT_DYNAMIC, PT_INTERP = 2, 3
DT_NULL, DT_NEEDED, DT_FLAGS_1, DF_1_PIE = 0, 1, 0x6FFFFFFB, 0x08000000


def _elf_problem(path, read, machine):
    """Why the ELF file that read(offset, size) gives cannot be the check for machine, or None. It
    must be an executable that is statically linked: a fixed-address one (ET_EXEC) or a static
    PIE (ET_DYN marked PIE, needing no library), never needing a loader (PT_INTERP), which a host
    may lack or have in another version. Either byte order (EI_DATA)."""
    header = read(0, 64)
    if header[:4] != b"\x7fELF" or len(header) < 52:
        return f"{path} is not a Linux executable (ELF)"
    bits = {1: 32, 2: 64}.get(header[4])
    order = {1: "little", 2: "big"}.get(header[5])
    if bits is None or order is None:
        return f"{path} is not a valid ELF file (class {header[4]}, byte order {header[5]})"
    if bits == 64 and len(header) < 64:
        return f"{path} is not a valid ELF file: its header is cut short"

    def number(data, offset, size):
        return int.from_bytes(data[offset : offset + size], order)

    kind, found = number(header, 16, 2), number(header, 18, 2)
    wanted = ELF_MACHINES.get(machine)
    if wanted is not None and found not in wanted:
        return f"{path} is an executable for another machine than {machine}"
    if kind not in (ET_EXEC, ET_DYN):
        return f"{path} is {ELF_TYPES.get(kind, f'an ELF file of type {kind}, not an executable')}"
    if bits == 64:
        table, entry_size, count, size, word = number(header, 32, 8), number(header, 54, 2), number(header, 56, 2), 56, 8
    else:
        table, entry_size, count, size, word = number(header, 28, 4), number(header, 42, 2), number(header, 44, 2), 32, 4
    entries = read(table, entry_size * count) if entry_size >= size and 0 < count < 4096 else b""
    if not entries or len(entries) < entry_size * count:
        return f"{path} is not a valid executable: its program headers are missing or cut short"
    segments = {}
    for index in range(count):
        entry = entries[index * entry_size : (index + 1) * entry_size]
        offset, length = (number(entry, 8, 8), number(entry, 32, 8)) if bits == 64 else (number(entry, 4, 4), number(entry, 16, 4))
        segments.setdefault(number(entry, 0, 4), (offset, length))
    if PT_INTERP in segments:
        offset, length = segments[PT_INTERP]
        loader = read(offset, min(length, 256)).split(b"\0")[0].decode("ascii", "backslashreplace")
        return (f"{path} is dynamically linked (it needs the loader {loader}); the hosts need a statically "
                "linked executable")
    if kind == ET_DYN:
        offset, length = segments.get(PT_DYNAMIC, (0, 0))
        dynamic = read(offset, min(length, 65536)) if length else b""
        tags = {}
        for index in range(0, len(dynamic) - 2 * word + 1, 2 * word):
            tag = number(dynamic, index, word)
            if tag == DT_NULL:
                break
            tags.setdefault(tag, number(dynamic, index + word, word))
        if DT_NEEDED in tags or not tags.get(DT_FLAGS_1, 0) & DF_1_PIE:
            return f"{path} is a shared library, not an executable"
    return None


def executable_problem(path, kind, machine):
    """Why the file at path cannot be the executable for machine ("*": any), or None. kind: "ELF"
    (Linux: a statically linked executable) or "PE" (Windows). Opens regular files only, and reads
    only the headers."""
    try:
        descriptor = _open_file(path)
    except _NotAFile as found:
        return f"{path} is {found}, not a file"
    except OSError as error:
        return f"cannot read {path}: {error.strerror}"
    try:

        def read(offset, size):
            # Offsets from the file itself: any number, which reads nothing past what a file holds.
            return os.pread(descriptor, size, offset) if 0 < size and 0 <= offset < 1 << 62 else b""

        if kind == "ELF":
            return _elf_problem(path, read, machine)
        header = read(0, 4096)
    except OSError as error:
        return f"cannot read {path}: {error.strerror}"
    finally:
        os.close(descriptor)
    offset = int.from_bytes(header[0x3C:0x40], "little") if header[:2] == b"MZ" and len(header) >= 0x40 else 0
    if not offset or header[offset : offset + 4] != b"PE\0\0":
        return f"{path} is not a Windows executable (PE)"
    wanted = PE_MACHINES.get(machine)
    if wanted is not None and int.from_bytes(header[offset + 4 : offset + 6], "little") not in wanted:
        return f"{path} is an executable for another machine than {machine}"
    return None
