"""Reads an archive field by field, independently of the library, and checks
what every archive the library writes must satisfy; plus the two
independent readers (unzip -t and Python's zipfile)."""

import struct
import subprocess
import zipfile
from dataclasses import dataclass

LOCAL_SIGNATURE = 0x04034B50
CENTRAL_SIGNATURE = 0x02014B50
END_SIGNATURE = 0x06054B50
UT_ID = 0x5455


@dataclass
class Entry:
    name: str
    version_made_by: int
    version_needed: int
    flags: int
    method: int
    dos_date_time: int
    crc: int
    compressed_size: int
    size: int
    internal_attributes: int
    external_attributes: int
    header_offset: int
    central_record: bytes  # the whole central directory record
    central_extra: bytes
    local_flags: int
    local_extra: bytes
    data: bytes  # the entry's bytes as stored in the archive

    @property
    def modify_time(self):
        return struct.unpack_from("<i", self.central_extra, 5)[0]


def read_entries(path):
    """Parses the archive; returns its entries in central-directory order, or
    raises ValueError naming the first field found wrong."""
    with open(path, "rb") as archive:
        blob = archive.read()
    if len(blob) < 22 or struct.unpack_from("<I", blob, len(blob) - 22)[0] != END_SIGNATURE:
        raise ValueError("no end record in the last 22 bytes (comments are never written)")
    (_, disk, cd_disk, here, total, cd_size, cd_offset,
     comment) = struct.unpack_from("<IHHHHIIH", blob, len(blob) - 22)
    if (disk, cd_disk, comment) != (0, 0, 0) or here != total:
        raise ValueError("end record: disks or comment not zero, or counts differ")
    if cd_offset + cd_size != len(blob) - 22:
        raise ValueError("central directory does not end where the end record starts")

    entries = []
    position = cd_offset
    for _ in range(total):
        entries.append(read_central(blob, position))
        position += len(entries[-1].central_record)
    if position != cd_offset + cd_size:
        raise ValueError("central directory size disagrees with its records")

    expected_offset = 0
    for entry in entries:
        if entry.header_offset != expected_offset:
            raise ValueError(f"{entry.name}: local header at {entry.header_offset}, "
                             f"previous entry ends at {expected_offset}")
        read_local(blob, entry)
        expected_offset = entry.header_offset + 30 + len(entry.name) + 17 + entry.compressed_size
    if expected_offset != cd_offset:
        raise ValueError("bytes between the last entry and the central directory")
    return entries


def read_central(blob, position):
    fields = struct.unpack_from("<IHHHHIIIIHHHHHII", blob, position)
    # Time and date, read as one little-endian word, are the DOS date-time.
    (signature, made_by, needed, flags, method, dos_date_time, crc, csize, size, name_length,
     extra_length, comment_length, disk_start, internal, external, offset) = fields
    if signature != CENTRAL_SIGNATURE:
        raise ValueError(f"no central record at {position}")
    name = blob[position + 46:position + 46 + name_length].decode("latin-1")
    extra = blob[position + 46 + name_length:position + 46 + name_length + extra_length]
    length = 46 + name_length + extra_length + comment_length
    if comment_length or disk_start:
        raise ValueError(f"{name}: comment or disk number in central record")
    return Entry(name, made_by, needed, flags, method, dos_date_time, crc, csize, size, internal,
                 external, offset, blob[position:position + length], extra, 0, b"", b"")


def read_local(blob, entry):
    position = entry.header_offset
    (signature, needed, flags, method, dos_date_time, crc, csize, size, name_length,
     extra_length) = struct.unpack_from("<IHHHIIIIHH", blob, position)
    if signature != LOCAL_SIGNATURE:
        raise ValueError(f"{entry.name}: no local header at {position}")
    name = blob[position + 30:position + 30 + name_length].decode("latin-1")
    if name != entry.name:
        raise ValueError(f"{entry.name}: local header names {name!r}")
    if (needed, method, dos_date_time, crc, csize, size) != (
            entry.version_needed, entry.method, entry.dos_date_time, entry.crc,
            entry.compressed_size, entry.size):
        raise ValueError(f"{entry.name}: local header disagrees with the central record")
    entry.local_flags = flags
    start = position + 30 + name_length
    entry.local_extra = blob[start:start + extra_length]
    entry.data = blob[start + extra_length:start + extra_length + entry.compressed_size]


def check_entry_layout(entry):
    """The fields every entry of this library carries; returns the problems."""
    problems = []
    if entry.version_made_by != 0x0B17 or entry.version_needed != 20:
        problems.append(f"versions {entry.version_made_by:#x}/{entry.version_needed}")
    # Bit 11 (UTF-8) is set exactly on names that are not pure ASCII.
    utf8 = 0x800 if any(ord(c) >= 0x80 for c in entry.name) else 0
    if ((entry.method, entry.flags ^ utf8) not in ((0, 0), (8, 2))
            or entry.local_flags != entry.flags):
        problems.append(f"method {entry.method} flags {entry.flags:#x}/{entry.local_flags:#x}")
    if entry.method == 0 and entry.compressed_size != entry.size:
        problems.append("stored entry whose sizes differ")
    if "\\" in entry.name or entry.name.startswith("/") or entry.name.endswith("/"):
        problems.append("name is not a relative file path with '/' between folders")
    local, central = entry.local_extra, entry.central_extra
    if (len(local) != 17 or local[:5] != bytes([0x55, 0x54, 0x0D, 0x00, 0x07])
            or len(central) != 9 or central[:5] != bytes([0x55, 0x54, 0x05, 0x00, 0x07])
            or local[5:9] != central[5:9]):
        problems.append(f"extended timestamp fields {local.hex()} / {central.hex()}")
    return [f"{entry.name}: {problem}" for problem in problems]


def check_with_readers(path, unzip):
    """unzip -t and zipfile must both read every entry back with its CRC."""
    problems = []
    done = subprocess.run([unzip, "-tq", str(path)], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, errors="replace", timeout=120)
    # An archive without entries is a warning (status 1) for unzip, not an error.
    if done.returncode not in (0, 1) or (done.returncode == 1 and "empty" not in done.stdout):
        problems.append(f"unzip -t: {done.stdout.strip()}")
    try:
        with zipfile.ZipFile(path) as archive:
            broken = archive.testzip()
            if broken is not None:
                problems.append(f"zipfile: bad CRC in {broken}")
    except zipfile.BadZipFile as error:
        problems.append(f"zipfile: {error}")
    return [f"{path}: {problem}" for problem in problems]


def checked_entries(path, unzip, problems):
    """The entries of one archive, after the checks every archive passes."""
    if not path.is_file():
        problems.append(f"{path} was not made")
        return []
    problems += check_with_readers(path, unzip)
    try:
        entries = read_entries(path)
    except ValueError as error:
        problems.append(f"{path}: {error}")
        return []
    for entry in entries:
        problems += [f"{path}: {p}" for p in check_entry_layout(entry)]
    return entries
