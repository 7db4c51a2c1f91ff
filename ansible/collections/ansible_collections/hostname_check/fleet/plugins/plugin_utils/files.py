"""What a file on the controller is, in words: the executables' check and the report's folder both
say it when they find something else than what they want."""

import stat


def file_kind(mode):
    """What a file of this mode is, in words."""
    for test, kind in ((stat.S_ISREG, "a regular file"), (stat.S_ISDIR, "a folder"), (stat.S_ISLNK, "a symbolic link"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISFIFO, "a FIFO (named pipe)"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return kind
    return "neither a file nor a folder"
