"""Filters of the hostname_check role: the executables made ready to travel, the settings checked,
and one record a host made from what the check printed there, with the report and its summary.

Whatever a host prints is untrusted: it is only ever parsed here, in Python, and what is made of it
is marked unsafe, so that Ansible never templates it. Names and messages reach the report and the
console as the host printed them, within fixed bounds.
"""

import base64
import errno
import grp
import gzip
import json
import os
import pwd
import re
import secrets
import stat
import struct
import unicodedata

from ansible.errors import AnsibleFilterError, AnsibleUndefinedVariable
from ansible.module_utils.parsing.convert_bool import boolean
from ansible.utils.unsafe_proxy import wrap_var
from jinja2 import Undefined

# The fixed start of each of the check's four lines; each ends in "'.".
PREFIXES = (
    "The Hostname from command is '",
    "Hostname from Registry is '",
    "The test results were '",
    "Winsock gethostname is '",
)
# The longest names the check can print (its buffers less the zero byte), in characters.
NAME_LIMITS = (99, 259, None, 1023)
# The two lines with which the sockets stage says that it failed.
SOCKETS_FAILURE = re.compile(r"\AWSA Startup Failed\.\Z|\AWSAGetLastError is '-?[0-9]+'\.\Z")
# The line with which the fleet's script on a Linux host names the host's machine.
MACHINE_PREFIX = "hostname_check machine: "
# A machine name (uname -m, PROCESSOR_ARCHITECTURE) is a few characters: a host that prints more
# gets that many in its record.
ARCH_LIMIT = 64
# Ansible's message when a task runs out of time.
TIMED_OUT = re.compile(r"expected time frame \(([0-9]+)\)")
MESSAGE_LIMIT = 4096
CUT = " [cut: the message was longer]"
STATUSES = ("good", "bad", "failed", "unreachable")
MACHINE_NAME = re.compile(r"\A(\*|[A-Za-z0-9_.-]+)\Z")


def _text(value):
    """Text as it may go into strict JSON: bytes that were not UTF-8 (left as lone surrogates by
    the decoding) become U+FFFD."""
    if value is None:
        return ""
    return re.sub("[\ud800-\udfff]", "\ufffd", str(value))


def _lines(text):
    """The lines of a host's output: split at line feeds only (a name may hold any other line
    separator), each without the carriage return of a CR LF."""
    lines = _text(text).split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return [line[:-1] if line.endswith("\r") else line for line in lines]


def _message(text, otherwise):
    """A message from Ansible about a host on one line: its lines, trimmed, joined with ": "."""
    return ": ".join(line.strip() for line in _lines(text) if line.strip()) or otherwise


def _cut(message):
    if len(message) <= MESSAGE_LIMIT:
        return message
    return message[: MESSAGE_LIMIT - len(CUT)] + CUT


def _name(line, index):
    """The name in one of the check's lines: the text between its fixed start and its final "'.",
    or None when the line is not that line."""
    prefix = PREFIXES[index]
    if not (line.startswith(prefix) and line.endswith("'.") and len(line) >= len(prefix) + 2):
        return None
    name = line[len(prefix) : -2]
    limit = NAME_LIMITS[index]
    return None if limit is not None and len(name) > limit else name


def _kind(mode):
    """What a file of this mode is, in words."""
    for test, kind in ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a folder"), (stat.S_ISLNK, "a symbolic link"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "neither a file nor a folder"


class _NotAFile(Exception):
    """What stands at a path that was to be read as a file and is not one."""


def _open_file(path):
    """A descriptor of the regular file at path (links followed), opened for reading. Nothing else
    is ever opened: what is not a regular file is refused before the open (stat), the open never
    waits (O_NONBLOCK: a FIFO swapped in meanwhile) and what was opened is checked again (fstat)."""
    found = os.stat(path)
    if not stat.S_ISREG(found.st_mode):
        raise _NotAFile(_kind(found.st_mode))
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    found = os.fstat(descriptor)
    if not stat.S_ISREG(found.st_mode):
        os.close(descriptor)
        raise _NotAFile(_kind(found.st_mode))
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


def _executable_problem(path, kind, machine):
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


# File systems that are the kernel's interfaces, where no report can be made.
KERNEL_FILE_SYSTEMS = {"proc", "sysfs", "cgroup", "cgroup2", "debugfs", "tracefs", "securityfs", "configfs",
                       "bpf", "efivarfs", "pstore", "binfmt_misc", "fusectl", "selinuxfs"}
# A descriptor that names a folder without reading it (Linux); elsewhere, one that reads it.
O_PATH = getattr(os, "O_PATH", os.O_RDONLY)
# POSIX ACL entries (the xattr system.posix_acl_access): tags, and the write permission.
ACL_USER, ACL_GROUP_OBJ, ACL_GROUP, ACL_MASK, ACL_OTHER, ACL_WRITE = 0x02, 0x04, 0x08, 0x10, 0x20, 0x02


def _owner(uid, gid):
    try:
        user = pwd.getpwuid(uid).pw_name
    except KeyError:
        user = str(uid)
    try:
        group = grp.getgrgid(gid).gr_name
    except KeyError:
        group = str(gid)
    return f"{user}:{group}"


def _acl_writers(descriptor):
    """Who besides the folder's owner, root and the user running the play an ACL lets write the
    folder open at descriptor (read through /proc, where an O_PATH descriptor can be read)."""
    try:
        acl = os.getxattr(f"/proc/self/fd/{descriptor}", "system.posix_acl_access")
    except (OSError, AttributeError):
        return []  # no ACL, or none to be read: the mode says it all
    if len(acl) < 4 or (len(acl) - 4) % 8:
        return ["(an ACL that cannot be read)"]
    entries = [struct.unpack_from("<HHI", acl, offset) for offset in range(4, len(acl), 8)]
    mask = next((permissions for tag, permissions, _ in entries if tag == ACL_MASK), 7)
    writers = []
    for tag, permissions, ident in entries:
        if not permissions & ACL_WRITE or (tag != ACL_OTHER and not mask & ACL_WRITE):
            continue
        if tag == ACL_USER and ident not in (0, os.geteuid()):
            writers.append(f"user {_owner(ident, 0).split(':')[0]}")
        elif tag == ACL_GROUP_OBJ and os.fstat(descriptor).st_gid != 0:
            writers.append("its group")
        elif tag == ACL_GROUP and ident != 0:
            writers.append(f"group {_owner(0, ident).split(':')[1]}")
        elif tag == ACL_OTHER:
            writers.append("everyone")
    return writers


def _folder_problem(descriptor, name):
    """Why the folder open at descriptor (its path: name) is no place for the report, or None: it
    must be root's or the user's running the play, and written by no one else (ACLs counted)
    unless it has the sticky bit, where no one may rename or remove what others made. Root's group
    (0) counts as root: a container run as an arbitrary user in group 0, as AWX and Automation
    Platform run their jobs (OpenShift's way), has its folders written by that group, which only
    root and the job's own user are in."""
    found = os.fstat(descriptor)
    if found.st_uid not in (0, os.geteuid()):
        return (f"the folder {name} belongs to {_owner(found.st_uid, found.st_gid)} "
                f"({stat.filemode(found.st_mode)}), neither root nor you: the report's folder and every "
                "folder above it must be root's or yours")
    if found.st_mode & stat.S_ISVTX:
        return None
    writers = _acl_writers(descriptor)
    if writers:
        return (f"an ACL lets {', '.join(writers)} write the folder {name} ({stat.filemode(found.st_mode)}+), "
                "which has no sticky bit: use a folder only you (or root) can write, or one with the sticky "
                "bit, like /tmp")
    if found.st_mode & stat.S_IWOTH or (found.st_mode & stat.S_IWGRP and found.st_gid != 0):
        who = "everyone" if found.st_mode & stat.S_IWOTH else "its group"
        return (f"{who} may write the folder {name} ({stat.filemode(found.st_mode)} "
                f"{_owner(found.st_uid, found.st_gid)}), which has no sticky bit: use a folder only you (or "
                "root) can write, or one with the sticky bit, like /tmp")
    return None


def _file_system(descriptor):
    """The type of the file system of the folder open at descriptor, from /proc/self/mountinfo;
    None when it cannot be told."""
    found = os.fstat(descriptor)
    device = f"{os.major(found.st_dev)}:{os.minor(found.st_dev)}"
    try:
        with open("/proc/self/mountinfo", encoding="utf-8", errors="replace") as mounts:
            for line in mounts:
                fields = line.split()
                if len(fields) > 2 and fields[2] == device and "-" in fields:
                    return fields[fields.index("-") + 1]
    except OSError:
        pass
    return None


def hostname_check_report_folder(report):
    """The report's folder, opened for the report to be made there, or why it cannot be:
    {"descriptor": an O_PATH descriptor of the folder, which the caller closes, "folder": its path,
    "name": the report's name in it} or {"problem": why}. The path, relative to where
    ansible-playbook runs, must name a regular file or a new name, in a folder reached from / one
    folder at a time through no link, each folder safe (_folder_problem): what is
    made through the descriptor lands in the folder that was checked, whatever is renamed later.
    The settings' check and the report's writer both come here."""
    if not isinstance(report, str) or os.path.basename(report) in ("", ".", ".."):
        return {"problem": f"hostname_check_report must name a file, not {report!r} (to write no report, set "
                           "hostname_check_write_report to false)"}
    path = os.path.normpath(os.path.join(os.getcwd(), report))
    folder, name = os.path.split(path)
    parts = [part for part in folder.split("/") if part]
    descriptor = os.open("/", O_PATH | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        problem = _folder_problem(descriptor, "/")
        for depth, part in enumerate(parts):
            if problem:
                break
            here = "/" + "/".join(parts[: depth + 1])
            try:
                below = os.open(part, O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=descriptor)
            except FileNotFoundError:
                problem = f"the folder {here} does not exist"
                break
            except OSError as error:
                try:
                    kind = _kind(os.stat(part, dir_fd=descriptor, follow_symlinks=False).st_mode)
                except OSError:
                    kind = None
                if kind == "a symbolic link":
                    problem = (f"{here} is a symbolic link; name the folder by the path it leads to, "
                               f"{os.path.realpath(here)}, if that is the folder meant")
                elif kind:
                    problem = f"{here} is {kind}, not a folder"
                else:
                    problem = f"cannot open the folder {here}: {error.strerror}"
                break
            os.close(descriptor)
            descriptor = below
            problem = _folder_problem(descriptor, here)
        if not problem and _file_system(descriptor) in KERNEL_FILE_SYSTEMS:
            problem = f"the folder {folder} is in the kernel's {_file_system(descriptor)} file system, which takes no report"
        if not problem:
            try:
                found = os.stat(name, dir_fd=descriptor, follow_symlinks=False)
            except FileNotFoundError:
                found = None
            except OSError as error:
                problem = f"cannot look at {path}: {error.strerror}"
            if found is not None and not stat.S_ISREG(found.st_mode):
                problem = (f"{path} is {_kind(found.st_mode)}; name a regular file or a new name (to write no "
                           "report, set hostname_check_write_report to false)")
    except BaseException:
        os.close(descriptor)
        raise
    if problem:
        os.close(descriptor)
        return {"problem": problem}
    return {"descriptor": descriptor, "folder": folder, "name": name}


# Room the report takes, at most, a host (its record, with the longest names and message the
# record keeps, as JSON), and besides the hosts.
REPORT_HOST_BYTES = 8192
REPORT_BASE_BYTES = 4096


def hostname_check_new_report_file(folder, where):
    """A new file, made in the folder open at folder (its path: where) under a name of its own,
    mode 0600, never through a link: (descriptor, name). Raises OSError, whose strerror says what
    was found."""
    for _ in range(100):
        temporary = f".hostname_check_report.{secrets.token_hex(8)}.tmp"
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
                                 0o600, dir_fd=folder)
            return descriptor, temporary
        except FileExistsError:
            continue
        except FileNotFoundError:
            # The folder is there (it is open): it takes no new files.
            raise OSError(errno.EROFS, f"the folder {where} takes no new file") from None
        except OSError as error:
            raise OSError(error.errno, f"cannot make a new file in the folder {where}: {error.strerror}") from None
    raise OSError(errno.EEXIST, f"cannot make a new file in the folder {where}: every name tried was taken")


def _remove_new_file(folder, name, made):
    """Removes the new file name from the folder open at folder, if it is still the one made."""
    try:
        there = os.stat(name, dir_fd=folder, follow_symlinks=False)
        if made is None or (there.st_dev, there.st_ino) == (made.st_dev, made.st_ino):
            os.unlink(name, dir_fd=folder)
    except OSError:
        pass


def _writing_problem(opened, size):
    """Why the report, of size bytes at most, cannot be written in the folder opened
    (hostname_check_report_folder), or None: tried as the writer does it, through a new file in the
    folder, with the room the report takes set aside in it, then removed, so that no permission, no
    read-only mount and no full file system is found only once every host has run. And the report
    that is there must be one that may be replaced: in a folder with the sticky bit, only its owner
    (or the folder's, or root) may."""
    folder, name, where = opened["descriptor"], opened["name"], opened["folder"]
    try:
        found = os.stat(name, dir_fd=folder, follow_symlinks=False)
    except OSError:
        found = None
    here = os.fstat(folder)
    euid = os.geteuid()
    if found is not None and here.st_mode & stat.S_ISVTX and euid not in (0, found.st_uid, here.st_uid):
        return (f"{os.path.join(where, name)} belongs to {_owner(found.st_uid, found.st_gid)}, and the sticky bit of "
                f"its folder lets no one else replace it: name another file")
    try:
        descriptor, temporary = hostname_check_new_report_file(folder, where)
    except OSError as error:
        return error.strerror
    made = None
    try:
        made = os.fstat(descriptor)
        os.posix_fallocate(descriptor, 0, size)
    except OSError as error:
        return f"the folder {where} has no room for the report ({size} bytes): {error.strerror}"
    finally:
        os.close(descriptor)
        _remove_new_file(folder, temporary, made)
    return None


def _report_problem(report, hosts=1):
    """Why the report, for that many hosts, cannot be written at report, or None."""
    opened = hostname_check_report_folder(report)
    if "problem" not in opened:
        try:
            problem = _writing_problem(opened, REPORT_BASE_BYTES + REPORT_HOST_BYTES * max(1, hosts))
        finally:
            os.close(opened["descriptor"])
        if problem is None:
            return None
        opened = {"problem": problem}
    problem = opened["problem"]
    return problem if problem.startswith("hostname_check_report") else f"hostname_check_report: {problem}"


def _boolean_problem(settings, flag):
    """Why the setting is not a boolean as Ansible takes one (type: bool in meta/argument_specs.yml, and
    the role's action), or None: one rule, Ansible's own."""
    try:
        boolean(settings.get(flag), strict=True)
    except TypeError:
        return (f"hostname_check_{flag} must be true or false (or yes/no, on/off, y/n, t/f, 1/0), "
                f"not {settings.get(flag)!r}")
    return None


# The settings a host may have of its own (in the inventory, say): the others are the run's.
HOST_SETTINGS = ("timeout", "fail_on_bad", "fail_on_error", "windows", "exes", "exe")


def hostname_check_host_setting_problems(settings):
    """What is wrong with the settings a host may have of its own, of those given, one message a
    problem naming its variable."""
    problems = []
    if "timeout" in settings:
        timeout = str(settings["timeout"])
        if not re.fullmatch("[1-9][0-9]{0,5}", timeout):
            problems.append(f"hostname_check_timeout must be a whole number of seconds from 1, not {timeout!r}")
    for flag in ("fail_on_bad", "fail_on_error"):
        problem = _boolean_problem(settings, flag) if flag in settings else None
        if problem:
            problems.append(problem)
    if settings.get("windows") is not None:
        problem = _boolean_problem(settings, "windows")
        if problem:
            problems.append(problem)
    # The Windows ones: the one given for every Windows host must do; of the defaults by
    # processor, those that are there must be right (a missing one fails only its hosts' copy).
    exe = settings.get("exe")
    if exe:
        problem = _executable_problem(str(exe), "PE", "*")
        if problem:
            problems.append(f"hostname_check_exe: {problem}")
    exes = settings.get("exes")
    if "exes" in settings and not isinstance(exes, dict):
        problems.append("hostname_check_exes must map processors (as PROCESSOR_ARCHITECTURE names them) to files")
    elif isinstance(exes, dict):
        for machine, path in exes.items():
            if os.path.exists(str(path)):
                problem = _executable_problem(str(path), "PE", str(machine))
                if problem:
                    problems.append(f"hostname_check_exes[{machine}]: {problem}")
    return problems


def hostname_check_setting_problems(settings, hosts=1):
    """What is wrong with the role's settings, one message a problem naming its variable; checked
    on the controller before any host is contacted. The report's folder is looked for relative to
    where ansible-playbook runs, and must take a report for that many hosts."""
    settings = dict(settings)
    settings.setdefault("timeout", "")
    for flag in ("fail_on_bad", "fail_on_error"):
        settings.setdefault(flag, None)
    problems = hostname_check_host_setting_problems({name: settings[name] for name in ("timeout", "fail_on_bad",
                                                                                       "fail_on_error")})
    problem = _boolean_problem(dict({"write_report": True}, **settings), "write_report")
    if problem:
        problems.append(problem)
    elif boolean(settings.get("write_report", True)):
        problem = _report_problem(settings.get("report"), hosts)
        if problem:
            problems.append(problem)
    # The Linux executables: the one for every host when given, else one a machine. Each must be
    # there, readable, and a statically linked executable for its machine: the most likely first
    # mistake is a path that names none.
    binary = settings.get("binary")
    binaries = settings.get("binaries")
    if binary:
        problem = _executable_problem(str(binary), "ELF", "*")
        if problem:
            problems.append(f"hostname_check_binary: {problem}")
    elif not isinstance(binaries, dict) or not binaries:
        problems.append("hostname_check_binaries must map machine names (as uname -m gives them) to files")
    else:
        for machine, path in binaries.items():
            if not MACHINE_NAME.match(str(machine)):
                problems.append(f"hostname_check_binaries: {str(machine)!r} is not a machine name")
                continue
            problem = _executable_problem(str(path), "ELF", str(machine))
            if problem:
                problems.append(f"hostname_check_binaries[{machine}]: {problem}; {BINARY_HINT}")
    problems += hostname_check_host_setting_problems({name: settings[name] for name in ("windows", "exes", "exe")
                                                      if name in settings})
    return problems


def _record(**fields):
    """A host's record: failed, with nothing known, unless fields say otherwise."""
    record = {"status": "failed", "command": None, "registry": None, "sockets": None,
              "sockets_error": None, "rc": None, "message": "", "arch": None}
    record.update(fields)
    return record


def _record_of_output(rc, stdout, stderr):
    record = _record(rc=rc)
    out = _lines(stdout)
    err = [line for line in _lines(stderr) if line]
    if out and out[0].startswith(MACHINE_PREFIX):
        record["arch"] = out.pop(0)[len(MACHINE_PREFIX) :][:ARCH_LIMIT] or None
    names = [_name(line, index) for index, line in enumerate(out[:3])]
    # No name from the command, and the reason on standard error ("hostname: not found"): the
    # check could not run the command, which says nothing about the host's names.
    could_not_run = names[:1] == [""] and bool(err)
    if rc == 0 and len(out) == 4 and None not in names and names[2] in ("good", "bad") and not could_not_run:
        sockets = _name(out[3], 3)
        if sockets is not None or SOCKETS_FAILURE.search(out[3]):
            record.update(status=names[2], command=names[0], registry=names[1], sockets=sockets,
                          sockets_error=None if sockets is not None else out[3])
            return record
    if could_not_run:
        record["message"] = _cut(": ".join(err))
        return record
    record["message"] = _cut(": ".join([f"status {rc}"] + out + err))
    return record


def hostname_check_record(results, machine=None):
    """One host's record from the results of the tasks that ran the check there, in order: the
    first that could not reach the host or failed without running the check decides; otherwise the
    last, which ran it, by its status and what it printed. machine: on Windows, the result of the
    task that printed the processor, which the record keeps as its arch."""
    record = _record(message="the check did not run")
    if isinstance(machine, dict) and machine.get("rc") == 0:
        record["arch"] = next(iter(_lines(machine.get("stdout"))), "").strip()[:ARCH_LIMIT] or None
    arch = record["arch"]
    for result in results or []:
        if not isinstance(result, dict) or result.get("skipped"):
            continue
        if result.get("unreachable"):
            record.update(status="unreachable", message=_cut(_message(result.get("msg"), "unreachable")))
            return wrap_var(record)
        if "rc" not in result and result.get("failed"):
            message = _message(result.get("msg"), "failed")
            timed_out = TIMED_OUT.search(message)
            if timed_out:
                message = f"timed out after {timed_out.group(1)} seconds"
            record.update(message=_cut(message))
            return wrap_var(record)
        if "rc" in result:
            rc = result["rc"] if isinstance(result["rc"], int) else None
            record = _record_of_output(rc, result.get("stdout"), result.get("stderr"))
            record["arch"] = record["arch"] or arch
    return wrap_var(record)


def hostname_check_report(records, generated=None, version=None):
    """The report: {host: record} with the counts by status, and the command names that two or more
    hosts give, compared without regard to case as host names are."""
    hosts = {host: records[host] for host in sorted(records)}
    summary = {status: 0 for status in STATUSES}
    sharing = {}
    for host, record in hosts.items():
        summary[record["status"]] += 1
        if record.get("command"):
            sharing.setdefault(record["command"].lower(), []).append(host)
    duplicates = {name: names for name, names in sorted(sharing.items()) if len(names) > 1}
    return wrap_var({"generated": generated, "version": version, "hosts": hosts,
                     "summary": summary, "duplicates": duplicates})


# The characters shown as escapes on the console and in the artifacts: controls (C0 and C1),
# formats (bidirectional overrides, zero-width characters), line and paragraph separators, and the
# lone surrogates that stand for bytes that were not UTF-8.
ESCAPED = ("Cc", "Cf", "Zl", "Zp", "Cs")


def _escape(char):
    """One character as an escape: a byte that was not UTF-8 (which Python and Ansible carry as a
    lone surrogate from U+DC80 to U+DCFF) as \\xff, any other as \\u009b or \\U000e0001."""
    code = ord(char)
    if 0xDC80 <= code <= 0xDCFF:
        return f"\\x{code - 0xDC00:02x}"
    return f"\\u{code:04x}" if code <= 0xFFFF else f"\\U{code:08x}"


def _shown_pieces(text):
    text = str(text)
    if text.isprintable():  # the usual case, quickly: none of those characters is printable
        return list(text)
    return [_escape(char) if unicodedata.category(char) in ESCAPED else char for char in text]


def _shown(text):
    """Text for the console and the artifacts: every control, format (bidirectional ones included)
    and line or paragraph separator character as an escape (\\u009b), so that what a host printed
    cannot move the cursor, recolour or reorder the terminal, and every byte of a name that was not
    UTF-8 as \\xff. The report keeps the host's text as it is."""
    return "".join(_shown_pieces(text))


def hostname_check_name_text(name):
    """A name as text that can be written as UTF-8 (in JSON, say): each byte that was not UTF-8
    (an INI inventory's \\xff, carried by Ansible as U+DCFF) as \\xff, any other lone surrogate
    as \\ud800, everything else as it is."""
    return "".join(_escape(char) if unicodedata.category(char) == "Cs" else char for char in str(name))


def _verdict_text(record):
    """Why a host is not good, as the record says it (not escaped); None for a good host."""
    if record["status"] == "bad":
        return f"bad: command '{record['command']}', registry '{record['registry']}'"
    if record["status"] == "good":
        return None
    return f"{record['status']}: {record['message']}"


def hostname_check_verdict(record):
    """The line that says why a host is not good, escaped for the console; empty for a good host."""
    text = _verdict_text(record)
    return "" if text is None else _shown(text)


def hostname_check_summary(report):
    """The console's summary: the counts, one line a host that is not good (by name), and one line
    a name that several hosts share; the hosts' names escaped as what they printed is."""
    counts = report["summary"]
    lines = ["hostname_check: " + ", ".join(f"{counts[status]} {status}" for status in STATUSES)]
    for host, record in report["hosts"].items():
        verdict = hostname_check_verdict(record)
        if verdict:
            status, _, rest = verdict.partition(": ")
            lines.append(f"{status}: {_shown(host)}: {rest}")
    for name, hosts in report["duplicates"].items():
        lines.append(_shown(f"same name: {name}: {', '.join(hosts)}"))
    return wrap_var(lines)


# The artifacts' bounds: entries in each list, characters in each line or name as shown (a longer
# one is cut, saying so) and in the report's path, and bytes in all as json.dumps writes them
# (ASCII with \\u escapes, the longest form: as UTF-8 they are no longer, and a callback that
# indents them adds only its blanks).
STATS_HOSTS = 1000
STATS_LINE = 512
STATS_PATH = 4096
STATS_CUT = " [cut]"
STATS_BYTES = 256 * 1024


def _shown_within(text, limit):
    """Text as _shown gives it, at most limit characters: a longer one is cut before the escape or
    character that does not fit and ends in STATS_CUT."""
    pieces = _shown_pieces(text)
    if sum(len(piece) for piece in pieces) <= limit:
        return "".join(pieces)
    kept, length = [], len(STATS_CUT)
    for piece in pieces:
        if length + len(piece) > limit:
            break
        kept.append(piece)
        length += len(piece)
    return "".join(kept) + STATS_CUT


def _size(value):
    """Bytes of value in a JSON object or list with its separator (", "): its own JSON in braces
    is as long."""
    return len(json.dumps(value))


def hostname_check_stats(report, path=None):
    """The report as a job's artifacts (set_stats), bounded whatever the fleet's size and whatever
    its hosts printed or are called: the counts, the hosts that are not good with their verdict
    lines (not_good), the names that several hosts share with those hosts (duplicates), the
    version, the time, the report's path, and left_out: how many hosts were left out of those
    lists (each host missing from not_good or from under a shared name counts one; a name left out
    counts all its hosts). Every text is escaped as on the console (_shown), inventory names
    included. Each list holds at most STATS_HOSTS (1,000) entries, each line and name at most
    STATS_LINE (512) characters (a longer one is cut and ends in " [cut]"), the path at most
    STATS_PATH (4,096); the whole is at most STATS_BYTES (256 KiB: 262,144 bytes) as json.dumps
    writes it, and not_good takes at most half of what the rest leaves."""

    def shown(text):
        return None if text is None else _shown_within(text, STATS_LINE)

    hosts = report["hosts"]
    stats = {"version": shown(report["version"]), "generated": shown(report["generated"]),
             "report": None if path is None else _shown_within(path, STATS_PATH),
             "summary": {status: int(report["summary"][status]) for status in STATUSES},
             "not_good": {}, "duplicates": {}, "left_out": 0}
    # What is left for the lists, with left_out as long as it can be: each host counts once in
    # not_good and once at most under its name.
    room = STATS_BYTES - _size(dict(stats, left_out=2 * len(hosts)))
    left_out = 0
    not_good, used = stats["not_good"], 0
    for host, record in hosts.items():
        text = _verdict_text(record)
        if text is None:
            continue
        least = min(len(host), STATS_LINE // 2) + min(len(text), STATS_LINE // 2) + 6
        if len(not_good) < STATS_HOSTS and used + least <= room // 2:
            name, line = shown(host), shown(text)
            size = _size({name: line})
            if name not in not_good and used + size <= room // 2:
                not_good[name] = line
                used += size
                continue
        left_out += 1
    room -= used
    duplicates, used = stats["duplicates"], 0
    for name, sharing in report["duplicates"].items():
        key = shown(name)
        size = _size({key: []})
        if len(duplicates) >= STATS_HOSTS or key in duplicates or used + size > room:
            left_out += len(sharing)
            continue
        listed = []
        for host in sharing:
            # A name takes at least its own length and quotes: one that cannot fit is not escaped.
            if len(listed) < STATS_HOSTS and used + size + min(len(host), STATS_LINE // 2) + 4 <= room:
                host = shown(host)
                more = _size([host])
                if used + size + more <= room:
                    listed.append(host)
                    size += more
                    continue
            left_out += 1
        duplicates[key] = listed
        used += size
    stats["left_out"] = left_out
    return wrap_var(stats)


def hostname_check_project_version(cmakelists):
    """The version in the project() line of CMakeLists.txt, as the packages take it; None when
    there is none."""
    found = re.search(r"\bproject\s*\([^)]*?\bVERSION\s+([0-9][0-9A-Za-z.]*)", cmakelists or "")
    return found.group(1) if found else None


class FilterModule:
    """The role's filters."""

    def filters(self):
        return {
            "hostname_check_payloads": hostname_check_payloads,
            "hostname_check_setting_problems": hostname_check_setting_problems,
            "hostname_check_host_setting_problems": hostname_check_host_setting_problems,
            "hostname_check_report_folder": hostname_check_report_folder,
            "hostname_check_record": hostname_check_record,
            "hostname_check_report": hostname_check_report,
            "hostname_check_verdict": hostname_check_verdict,
            "hostname_check_name_text": hostname_check_name_text,
            "hostname_check_summary": hostname_check_summary,
            "hostname_check_stats": hostname_check_stats,
            "hostname_check_project_version": hostname_check_project_version,
        }
