"""The version record of a Windows image (RT_VERSION, VS_VERSIONINFO): what
Explorer's details and installers' logs show of a program. Written whole
from a version and its strings, and read back; bounded, as every reader of
outside data here is."""
import struct

SIGNATURE = 0xFEEF04BD
# English (United States), Unicode: the one string table this writes.
STRING_TABLE = "040904b0"
TRANSLATION = (0x0409, 1200)
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 1
VS_FFI_FILEFLAGSMASK = 0x3F
# A record is read no deeper or longer than this.
MAX_DEPTH = 4
MAX_NODES = 256


class VersionError(ValueError):
    pass


def parse_version(text):
    """(a, b, c, d) from "A.B.C.D" (one to four parts, the rest 0), each
    part a decimal number of at most 65535, as the record holds 16 bits."""
    parts = text.split(".")
    if not 1 <= len(parts) <= 4 or not all(p.isdigit() and p.isascii()
                                           for p in parts):
        raise VersionError(f"version {text!r} is not of the form A.B.C.D")
    numbers = [int(p) for p in parts] + [0] * (4 - len(parts))
    if any(n > 0xFFFF for n in numbers):
        raise VersionError(f"version {text!r} has a part above 65535, which "
                           "a version record cannot hold")
    return tuple(numbers)


def _node(key, value=b"", value_length=None, text=False, children=b""):
    """One node: its length, its value's length (in WCHARs for text), its
    type, its key, padding to 32 bits, the value, padding, the children."""
    encoded_key = (key + "\0").encode("utf-16-le")
    head = 6 + len(encoded_key)
    head += -head % 4
    body = value + bytes(-len(value) % 4 if children else 0)
    length = head + len(value)
    if children:
        length = head + len(body) + len(children)
    if value_length is None:
        value_length = len(value) // 2 if text else len(value)
    node = struct.pack("<HHH", length, value_length, 1 if text else 0)
    node += encoded_key
    node += bytes(head - len(node))
    node += body if children else value
    node += children
    return node


def _padded(node):
    return node + bytes(-len(node) % 4)


def write_version_record(version, strings):
    """The bytes of a VS_VERSIONINFO for `version` (a, b, c, d) with the
    string `strings` (name to text, in their order) of one English table."""
    ms = (version[0] << 16) | version[1]
    ls = (version[2] << 16) | version[3]
    fixed = struct.pack("<13I", SIGNATURE, 0x00010000, ms, ls, ms, ls,
                        VS_FFI_FILEFLAGSMASK, 0, VOS_NT_WINDOWS32, VFT_APP,
                        0, 0, 0)
    entries = b"".join(
        _padded(_node(name, (value + "\0").encode("utf-16-le"), text=True))
        for name, value in strings.items())
    table = _padded(_node(STRING_TABLE, text=True, children=entries))
    string_info = _padded(_node("StringFileInfo", text=True, children=table))
    var = _padded(_node("Translation", struct.pack("<HH", *TRANSLATION)))
    var_info = _padded(_node("VarFileInfo", text=True, children=var))
    return _node("VS_VERSION_INFO", fixed, children=string_info + var_info)


def _read_node(data, at, end, depth, count):
    """(key, type, value bytes, children, next offset)."""
    if depth > MAX_DEPTH or count[0] >= MAX_NODES or at + 6 > end:
        raise VersionError("the version record is damaged or too deep")
    count[0] += 1
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    if length < 6 or at + length > end:
        raise VersionError("the version record is damaged")
    node_end = at + length
    key_end = at + 6
    while key_end + 1 < node_end and data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = bytes(data[at + 6:key_end]).decode("utf-16-le", "replace")
    value_at = key_end + 2
    value_at += -(value_at - at) % 4
    value_size = value_length * 2 if kind == 1 else value_length
    value = bytes(data[value_at:min(value_at + value_size, node_end)])
    children = []
    child = value_at + value_size
    child += -(child - at) % 4
    while child + 6 <= node_end:
        node = _read_node(data, child, node_end, depth + 1, count)
        children.append(node[:4])
        child = node[4] + (-(node[4] - at) % 4)
    return key, kind, value, children, node_end


def read_version_record(data):
    """(file version, product version, {string name: text}) of a record."""
    key, _, fixed, children, _ = _read_node(data, 0, len(data), 0, [0])
    if key != "VS_VERSION_INFO" or len(fixed) < 52:
        raise VersionError("not a version record")
    fields = struct.unpack_from("<13I", fixed)
    if fields[0] != SIGNATURE:
        raise VersionError("the version record's fixed part is damaged")

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for name, _, _, tables in children:
        if name != "StringFileInfo":
            continue
        for _, _, _, entries in tables:
            for entry, _, value, _ in entries:
                strings[entry] = value.decode("utf-16-le",
                                              "replace").rstrip("\0")
    return (split(fields[2], fields[3]), split(fields[4], fields[5]),
            strings)
