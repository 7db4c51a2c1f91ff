"""What the console and the job's artifacts show of the hosts: every text a host printed (and every
inventory name) with its control, format and separator characters escaped, names as text that can
be written as UTF-8, the verdict line of a host that is not good, the console's summary, and the
report as bounded artifacts (set_stats).
"""

import json
import unicodedata

from ansible.utils.unsafe_proxy import wrap_var

from ansible_collections.hostname_check.fleet.plugins.plugin_utils.record import STATUSES


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


def shown_text(text):
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
    return "" if text is None else shown_text(text)


def hostname_check_summary(report):
    """The console's summary: the counts, one line a host that is not good (by name), and one line
    a name that several hosts share; the hosts' names escaped as what they printed is."""
    counts = report["summary"]
    lines = ["hostname_check: " + ", ".join(f"{counts[status]} {status}" for status in STATUSES)]
    for host, record in report["hosts"].items():
        verdict = hostname_check_verdict(record)
        if verdict:
            status, _, rest = verdict.partition(": ")
            lines.append(f"{status}: {shown_text(host)}: {rest}")
    for name, hosts in report["duplicates"].items():
        lines.append(shown_text(f"same name: {name}: {', '.join(hosts)}"))
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
    """Text as shown_text gives it, at most limit characters: a longer one is cut before the escape or
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
    counts all its hosts). Every text is escaped as on the console (shown_text), inventory names
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
