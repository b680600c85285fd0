"""What a file given to replay is, what to tell a person when a library
will not replay it, and what reading it left out. Both libraries read
classic captures (microsecond or nanosecond times, either byte order) and
pcapng files themselves."""
import errno
import os
import warnings

from .errors import CaptureLossWarning, VorlanError

INVALID_FILE_TYPE = -11
FILE_IO = -12
CORRUPT_FILE = -13
INVALID_ARGUMENTS = -8

# The first four bytes of every form the libraries read.
_CAPTURE_MAGICS = (
    b"\xd4\xc3\xb2\xa1", b"\xa1\xb2\xc3\xd4",  # classic, microseconds, either byte order
    b"\x4d\x3c\xb2\xa1", b"\xa1\xb2\x3c\x4d",  # classic, nanoseconds
    b"\x0a\x0d\x0d\x0a",                        # pcapng
)
NOT_A_CAPTURE = "not a capture file (a PCAP or pcapng capture is expected)"

# The counts both libraries keep of a capture's reading, by the number each
# library's count call takes.
COUNT_NAMES = ("datagrams", "sensor_datagrams", "duplicates", "snapshot_cut", "incomplete", "broken", "not_udp",
               "other_link")
# Records whose data never reached a frame, with the words for them.
_LOST = (("snapshot_cut", "cut by the snapshot length"),
         ("incomplete", "of datagrams that could not be reassembled"),
         ("broken", "with broken headers"))


def _first_bytes(path):
    try:
        with open(path, "rb") as file:
            return file.read(4)
    except OSError:
        return b""


def _unreadable(path):
    """Why the file cannot be read at all, or None."""
    if not os.path.exists(path):
        return "%s: no such file" % path
    if os.path.isdir(path):
        return "%s: is a directory, not a capture file" % path
    try:
        with open(path, "rb"):
            pass
    except OSError as error:
        return "%s: %s" % (path, os.strerror(error.errno or errno.EIO))
    return None


def open_failure(path, code, library, library_text=""):
    """The sentence for a capture that `library` (1 or 2) would not open with
    `code`, from what the file is."""
    unreadable = _unreadable(path)
    if unreadable is not None:
        return unreadable
    looks_like_capture = _first_bytes(path) in _CAPTURE_MAGICS
    if code == INVALID_FILE_TYPE or (code == FILE_IO and not looks_like_capture):
        return "%s: %s" % (path, NOT_A_CAPTURE)
    if code == FILE_IO:
        return "%s: %s" % (path, "the capture is cut short or cannot be read" if library == 1
                           else "the capture holds no packets or is cut short")
    if code == CORRUPT_FILE:
        if library_text == "Empty packet!":
            return zero_byte_record(path, library)
        return "%s: the capture is damaged%s" % (path, ": " + library_text if library_text else "")
    if code == INVALID_ARGUMENTS and library == 1:
        return "%s: the capture holds no packets" % path
    return "%s: cannot replay%s" % (path, ": " + library_text if library_text else "")


def _counted(n, one, many):
    return "{:,} {}".format(n, one if n == 1 else many)


def read_counts(count):
    """Every count of a capture's reading, by name, from `count(which)`."""
    return {name: max(int(count(which)), 0) for which, name in enumerate(COUNT_NAMES)}


def no_sensor_datagram(path, counts, library_text=""):
    """A VorlanError for a capture that gave no sensor datagram at all,
    saying what it holds (the library's own words when it gave them)."""
    holdings = library_text
    if not holdings:
        datagrams = counts.get("datagrams", 0)
        holdings = (_counted(datagrams, "UDP datagram", "UDP datagrams") + "; none from a sensor" if datagrams
                    else "no UDP datagram")
        skipped = [_counted(counts[name], "record", "records") + " " + words for name, words in
                   (("snapshot_cut", "cut by the snapshot length"), ("not_udp", "not IPv4/UDP"),
                    ("other_link", "of a link layer without IPv4")) + _LOST[1:] if counts.get(name)]
        if skipped:
            holdings += " (" + ", ".join(skipped) + ")"
        holdings = "%s: no sensor datagram in the capture: %s" % (path, holdings)
    return VorlanError(INVALID_FILE_TYPE, "VORLAN_ERROR_INVALID_FILE_TYPE",
                       holdings + "; `vorlan check %s` tells more" % path)


def zero_byte_record(path, library, what="replay"):
    """A record of zero bytes, which some capture tools write, and which
    `library` cannot `what`: the converter leaves it out."""
    return ("%s: the capture holds a record of zero bytes, which library %d cannot %s: "
            "`vorlan convert %s fixed.pcap` writes a copy without it" % (path, library, what, path))


def warn_losses(path, counts, cut_end=False, note=""):
    """Warns with a CaptureLossWarning when reading left something out.
    `cut_end`: the replay ended at a record cut short, which is told on its
    own and not counted again here. `note`: said after the counts."""
    counts = dict(counts)
    if cut_end and counts.get("broken", 0) > 0:
        counts["broken"] -= 1
    parts = []
    if counts.get("duplicates"):
        parts.append(_counted(counts["duplicates"], "duplicated sensor datagram", "duplicated sensor datagrams")
                     + " dropped")
    lost = 0
    for name, words in _LOST:
        if counts.get(name):
            lost += counts[name]
            parts.append(_counted(counts[name], "record", "records") + " " + words)
    if not parts:
        return
    text = "%s: %s" % (path, ", ".join(parts))
    if lost:
        text += "; what they held is missing from the frames (`vorlan check %s` tells more)" % path
    if note:
        text += "; " + note
    # Pointed at the caller's loop, through the generator frames between.
    warnings.warn(CaptureLossWarning(text, path, counts, lost), stacklevel=3)
