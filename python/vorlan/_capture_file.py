"""What a file given to replay is, and what to tell a person when a library
will not replay it. Both libraries read classic captures with microsecond
times, little-endian; other forms are refused here with the command that
converts them."""
import errno
import os

from .errors import VorlanError

INVALID_FILE_TYPE = -11
FILE_IO = -12
CORRUPT_FILE = -13
INVALID_ARGUMENTS = -8

_CLASSIC = b"\xd4\xc3\xb2\xa1"
# The first four bytes of the forms the libraries do not read.
_OTHER_FORMS = {
    b"\x0a\x0d\x0d\x0a": "pcapng",
    b"\x4d\x3c\xb2\xa1": "nanosecond",
    b"\xa1\xb2\xc3\xd4": "big-endian",
    b"\xa1\xb2\x3c\x4d": "big-endian nanosecond",
}
NOT_A_CAPTURE = "not a capture file (a classic PCAP file with microsecond times is expected)"


def _first_bytes(path):
    try:
        with open(path, "rb") as file:
            return file.read(4)
    except OSError:
        return b""


def refuse_unconverted(path):
    """Raises VorlanError when `path` is a capture of a form the libraries do
    not read, naming the command that converts it."""
    form = _OTHER_FORMS.get(_first_bytes(path))
    if form is not None:
        raise VorlanError(INVALID_FILE_TYPE, "VORLAN_ERROR_INVALID_FILE_TYPE",
                          "%s is a %s capture, which the libraries do not read: convert it with "
                          "`vorlan convert %s converted.pcap` and replay converted.pcap" % (path, form, path))


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
    looks_like_capture = _first_bytes(path) == _CLASSIC
    if code == INVALID_FILE_TYPE or (code == FILE_IO and not looks_like_capture):
        return "%s: %s" % (path, NOT_A_CAPTURE)
    if code == FILE_IO:
        return "%s: %s" % (path, "the capture is cut short or cannot be read" if library == 1
                           else "the capture holds no packets or is cut short")
    if code == CORRUPT_FILE:
        return "%s: the capture is damaged%s" % (path, ": " + library_text if library_text else "")
    if code == INVALID_ARGUMENTS and library == 1:
        return "%s: the capture holds no packets" % path
    return "%s: cannot replay%s" % (path, ": " + library_text if library_text else "")
