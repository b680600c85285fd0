"""The one exception type of the package."""

# What each code means, for a failure the binding knows nothing more
# particular about (the second library gives codes only).
MEANINGS = {
    -1: "the library failed", -2: "the library ran out of memory", -4: "no such sensor",
    -5: "the library is of another interface version", -6: "the network cannot be used",
    -7: "too many callbacks", -8: "an argument was refused", -9: "the library is already started",
    -10: "the library is not started", -11: "not a file of the expected type", -12: "a file cannot be read",
    -13: "a file is damaged", -14: "nothing is open", -15: "the end of the data", -16: "not supported",
    -17: "an unexpected response", -18: "not possible in the current state", -19: "not enabled",
    -20: "timed out",
}


class VorlanError(Exception):
    """A library call failed: `code` is the library's negative code, `name`
    its symbolic name (such as "VORLAN_ERROR_FILE_IO") and `message` a
    sentence saying what went wrong."""

    def __init__(self, code, name, message=""):
        self.code = int(code)
        self.name = name or "error %d" % self.code
        self.message = message
        text = "%s (%d)" % (self.name, self.code)
        super().__init__(text + (": " + message if message else ""))


class CallbackErrors:
    """Keeps the first exception raised by Python code called from a library
    callback, so that it is raised later on the caller's own thread instead
    of unwinding through C (where ctypes would only print it)."""

    def __init__(self, wake=None):
        self._error = None
        self._wake = wake  # called after an exception is kept, to wake a waiting caller

    @property
    def pending(self):
        return self._error is not None

    def guard(self, function, failed=None):
        """`function` wrapped so that it never raises; `failed` is what it
        returns to C after an exception."""
        def guarded(*args):
            try:
                return function(*args)
            except BaseException as error:  # re-raised on the caller's thread
                if self._error is None:
                    self._error = error
                if self._wake is not None:
                    self._wake()
                return failed
        return guarded

    def raise_pending(self):
        error, self._error = self._error, None
        if error is not None:
            raise error


class CaptureLossWarning(UserWarning):
    """Reading a capture left something out, said with warnings.warn when the
    replay ends. `lost_records` counts records whose data is missing from the
    frames (cut by the snapshot length, fragments of datagrams that could not
    be reassembled, broken headers); when it is 0, only copies of sensor
    datagrams (a mirror port, merged captures) were dropped and the frames
    are right. `path` names the capture and `counts` holds every count the
    library keeps, by name. To stop on lost data:
    warnings.simplefilter("error", vorlan.CaptureLossWarning)."""

    def __init__(self, message, path="", counts=None, lost_records=0):
        super().__init__(message)
        self.path = path
        self.counts = dict(counts or {})
        self.lost_records = int(lost_records)
