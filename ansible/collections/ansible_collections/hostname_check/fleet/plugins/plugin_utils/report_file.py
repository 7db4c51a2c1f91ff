"""The report's file and its folder, on the controller: the folder reached from / one folder at a
time through no link and found safe (root's or the user's, written by no one else unless sticky,
ACLs counted, not in a kernel's file system), a new file made in it through its descriptor, the
settings' check that the report can be written there, and the report written atomically: a new
file that then takes the report's name.
"""

import errno
import grp
import os
import pwd
import secrets
import stat
import struct

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.files import file_kind


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
                    kind = file_kind(os.stat(part, dir_fd=descriptor, follow_symlinks=False).st_mode)
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
                problem = (f"{path} is {file_kind(found.st_mode)}; name a regular file or a new name (to write no "
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


def report_problem(report, hosts=1):
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


def write_atomically(path, text):
    """Writes text (UTF-8) as the report at path, through a new file in the report's folder that
    then takes the report's name. hostname_check_report_folder opens the folder, walked from / without following links and checked at every level, and
    returns its descriptor or why it will not do; everything is then done relative to that
    descriptor: the new file made (mode 0600, never through a link), its mode (0666 less the
    umask) set on the open file, the rename, and the removal of the new file when anything fails,
    so that a folder renamed or swapped meanwhile changes nothing and no file is left anywhere.
    Raises OSError, whose strerror says what was found."""
    opened = hostname_check_report_folder(path)
    if "problem" in opened:
        raise OSError(errno.EPERM, opened["problem"])
    folder, name, where = opened["descriptor"], opened["name"], opened["folder"]
    try:
        data = memoryview(text.encode("utf-8"))
        mask = os.umask(0o077)
        os.umask(mask)
        descriptor, temporary = hostname_check_new_report_file(folder, where)
        renamed = False
        made = None
        try:
            made = os.fstat(descriptor)
            while data:
                data = data[os.write(descriptor, data) :]
            os.fchmod(descriptor, 0o666 & ~mask)
            os.fsync(descriptor)
            os.rename(temporary, name, src_dir_fd=folder, dst_dir_fd=folder)
            renamed = True
            # The descriptor kept open until the name is checked: an inode still open cannot be
            # freed and reused.
            now = os.stat(name, dir_fd=folder, follow_symlinks=False)
            if (now.st_dev, now.st_ino) != (made.st_dev, made.st_ino):
                raise OSError(errno.EEXIST, "something else took the report's name as it was written; look at what is there")
        except BaseException:
            if not renamed:
                _remove_new_file(folder, temporary, made)
            raise
        finally:
            os.close(descriptor)
    finally:
        os.close(folder)
