"""Every capture form the libraries read replays from Python, and what
reading leaves out is never silent: copies dropped and lost records are
warned of, a capture without sensor traffic is an error that says what it
holds, and a record of zero bytes points at the converter."""
import struct
import subprocess
import warnings

import pytest

import vorlan


def records(data):
    """(seconds, microseconds, frame, original length) of each record of a
    classic little-endian microsecond capture."""
    found, at = [], 24
    while at + 16 <= len(data):
        seconds, micros, included, original = struct.unpack_from("<IIII", data, at)
        found.append((seconds, micros, data[at + 16:at + 16 + included], original))
        at += 16 + included
    return found


def classic(data, rows):
    return data[:24] + b"".join(struct.pack("<IIII", s, u, len(f), o) + f for s, u, f, o in rows)


def reform(data, form):
    """The classic capture `data` as another writer stores it."""
    link_type = struct.unpack_from("<I", data, 20)[0]
    rows = records(data)
    if form == "pcapng":
        out = struct.pack("<IIIHHqI", 0x0A0D0D0A, 28, 0x1A2B3C4D, 1, 0, -1, 28)
        out += struct.pack("<IIHHII", 1, 20, link_type, 0, 262144, 20)
        for seconds, micros, frame, original in rows:
            ticks = seconds * 1000000 + micros
            padded = frame + bytes(-len(frame) % 4)
            out += struct.pack("<IIIIIII", 6, 32 + len(padded), 0, ticks >> 32, ticks & 0xFFFFFFFF, len(frame),
                               original) + padded + struct.pack("<I", 32 + len(padded))
        return out
    order, magic, scale = {"nanosecond": ("<", 0xA1B23C4D, 1000), "big-endian": (">", 0xA1B2C3D4, 1)}[form]
    out = struct.pack(order + "IHHiIII", magic, 2, 4, 0, 0, 65535, link_type)
    for seconds, micros, frame, original in rows:
        out += struct.pack(order + "IIII", seconds, micros * scale, len(frame), original) + frame
    return out


def replay(path, library):
    """Frames as (sensor, number of points), and the warnings raised."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        frames = [(frame.sensor_name, len(frame)) for frame in vorlan.replay(path, library=library)]
    return frames, [w.message for w in caught if issubclass(w.category, vorlan.CaptureLossWarning)]


@pytest.mark.parametrize("library", [1, 2])
def test_every_form_the_libraries_read_replays_like_the_classic_capture(tmp_path, capture, library):
    data = capture.read_bytes()
    expected, _ = replay(capture, library)
    assert expected
    for form in ("pcapng", "nanosecond", "big-endian"):
        path = tmp_path / (form + ".pcap")
        path.write_bytes(reform(data, form))
        assert replay(path, library) == (expected, []), form


@pytest.mark.parametrize("library", [1, 2])
def test_what_reading_leaves_out_is_warned_of(tmp_path, capture, library, capfd):
    data = capture.read_bytes()
    rows = records(data)
    expected, _ = replay(capture, library)
    mirrored = tmp_path / "mirrored.pcap"
    mirrored.write_bytes(classic(data, [row for s, u, f, o in rows
                                        for row in ((s, u, f, o), (s, u + 3 if u < 999990 else u, f, o))]))
    snapshot = tmp_path / "snapshot.pcap"
    snapshot.write_bytes(classic(data, [(s, u, f[:1000], o) for s, u, f, o in rows]))

    frames, said = replay(mirrored, library)
    assert frames == expected
    assert len(said) == 1 and said[0].lost_records == 0 and said[0].counts["duplicates"] > 0, said
    assert "duplicated sensor datagrams dropped" in str(said[0])
    # Told once, by the warning: the library does not tell standard error too.
    assert "dropped" not in capfd.readouterr().err

    frames, said = replay(snapshot, library)
    assert len(frames) < len(expected)
    assert len(said) == 1 and said[0].lost_records >= said[0].counts["snapshot_cut"] > 0, said
    assert str(said[0]).startswith(str(snapshot) + ": ")
    assert "records cut by the snapshot length" in str(said[0])
    assert "what they held is missing from the frames" in str(said[0])
    # As the documentation says, a caller may stop on it instead.
    with warnings.catch_warnings():
        warnings.simplefilter("error", vorlan.CaptureLossWarning)
        with pytest.raises(vorlan.CaptureLossWarning):
            list(vorlan.replay(snapshot, library=library))


@pytest.mark.parametrize("library", [1, 2])
def test_a_capture_without_sensor_traffic_says_what_it_holds(tmp_path, capture, library):
    data = capture.read_bytes()
    frame = records(data)[0][2]
    header_end = 14 + 20  # Ethernet and IPv4 headers of the simulator's frames
    rows = []
    for i, port in enumerate((53, 123, 5353) * 4):
        udp = struct.pack(">HHHH", 1000, port, 8 + 30, 0) + bytes(30)
        ip = bytearray(frame[14:header_end])
        ip[2:4] = struct.pack(">H", 20 + len(udp))
        ip[10:12] = b"\0\0"
        checksum = sum(struct.unpack(">10H", bytes(ip)))
        while checksum >> 16:
            checksum = (checksum & 0xFFFF) + (checksum >> 16)
        ip[10:12] = struct.pack(">H", ~checksum & 0xFFFF)
        packet = frame[:14] + bytes(ip) + udp
        rows.append((1700000000, i, packet, len(packet)))
    path = tmp_path / "noise.pcap"
    path.write_bytes(classic(data, rows))
    with pytest.raises(vorlan.VorlanError) as raised:
        list(vorlan.replay(path, library=library))
    assert raised.value.code == -11
    assert "%s: no sensor datagram in the capture: 12 UDP datagrams" % path in raised.value.message
    assert "none from a sensor" in raised.value.message


def test_a_record_of_zero_bytes_points_at_the_converter(tmp_path, capture, tool):
    data = capture.read_bytes()
    path = tmp_path / "empty-record.pcap"
    path.write_bytes(data + struct.pack("<IIII", 1700000100, 0, 0, 0))
    # Refused at open when it lies near the start; past that, played over
    # with a warning, the index ending before it.
    with pytest.warns(vorlan.CaptureLossWarning) as warned:
        list(vorlan.replay(path, library=1))
    said = " ".join(str(w.message) for w in warned)
    assert "record of zero bytes" in said, said
    assert "`vorlan convert %s fixed.pcap`" % path in said
    assert "AssertionError" not in said
    # The converter does what the message says.
    fixed = tmp_path / "fixed.pcap"
    subprocess.run([tool, "convert", str(path), str(fixed)], stdout=subprocess.DEVNULL, timeout=60)
    assert replay(fixed, 1) == replay(capture, 1)
