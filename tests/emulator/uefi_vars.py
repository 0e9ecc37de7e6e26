"""UEFI variables as the firmware left them in a VM's variable store file
(OVMF_VARS*.fd, AAVMF_VARS.fd copies), read on the host after the VM has
stopped, and the load options (Boot####, Driver####) among them.

The file starts with a firmware volume (UEFI PI 1.7, volume 3) whose
data is EDK II's variable store: a store header, then variable records one
after another, each aligned to 4 bytes, until a record without the start
marker. Records are never changed in place: a new value is a new record and
the old one's State drops from "added" to "deleted", so only records in the
added state count (one in deletion transition counts while no added copy of
the same variable follows).
"""

import re
import struct
import uuid

FV_SIGNATURE = b"_FVH"
AUTHENTICATED_STORE = uuid.UUID("AAF32C78-947B-439A-A180-2E144EC37792")
PLAIN_STORE = uuid.UUID("DDCF3616-3275-4164-98B6-FE85707FFE7D")
GLOBAL_VARIABLE = "8be4df61-93ca-11d2-aa0d-00e098032b8c"

_STORE_HEADER = struct.Struct("<16sIBBHI")
# StartId, State, Reserved, Attributes, MonotonicCount, TimeStamp, PubKeyIndex,
# NameSize, DataSize, VendorGuid.
_AUTHENTICATED_RECORD = struct.Struct("<HBBIQ16sIII16s")
# StartId, State, Reserved, Attributes, NameSize, DataSize, VendorGuid.
_PLAIN_RECORD = struct.Struct("<HBBIII16s")
_START_ID = 0x55AA
_ADDED = 0x3F
_IN_DELETED_TRANSITION = _ADDED & 0xFE
_STORE_FORMATTED = 0x5A


class VarsError(ValueError):
    """The file is not a variable store as described above."""


def _records(path):
    data = open(path, "rb").read()
    if data[40:44] != FV_SIGNATURE:
        raise VarsError(f"{path}: no firmware volume header")
    header_length = struct.unpack_from("<H", data, 48)[0]
    guid, size, store_format, _, _, _ = _STORE_HEADER.unpack_from(data, header_length)
    kind = uuid.UUID(bytes_le=guid)
    if kind not in (AUTHENTICATED_STORE, PLAIN_STORE) or store_format != _STORE_FORMATTED:
        raise VarsError(f"{path}: no formatted variable store ({kind})")
    record = _AUTHENTICATED_RECORD if kind == AUTHENTICATED_STORE else _PLAIN_RECORD
    offset = header_length + _STORE_HEADER.size
    end = header_length + size
    while offset + record.size <= end:
        fields = record.unpack_from(data, offset)
        if fields[0] != _START_ID:
            break
        state, attributes = fields[1], fields[3]
        name_size, data_size, vendor = fields[-3], fields[-2], fields[-1]
        name_at = offset + record.size
        value_at = name_at + name_size
        if value_at + data_size > end:
            raise VarsError(f"{path}: record at {offset:#x} runs past the store")
        name = data[name_at:value_at].decode("utf-16-le").rstrip("\0")
        yield (name, str(uuid.UUID(bytes_le=vendor)), state, attributes,
               data[value_at:value_at + data_size])
        offset = (value_at + data_size + 3) & ~3


def read_variables(path):
    """{(name, vendor GUID in lower case): value bytes} of the live variables."""
    live, pending = {}, {}
    for name, vendor, state, _, value in _records(path):
        key = (name, vendor)
        if state == _ADDED:
            live[key] = value
            pending.pop(key, None)
        elif state == _IN_DELETED_TRANSITION:
            pending[key] = value
    for key, value in pending.items():
        live.setdefault(key, value)
    return live


# -- load options (UEFI 2.10, section 3.1.3) -----------------------------------------

def device_path_nodes(data):
    """[(type, subtype, node data)] up to the end-of-path node."""
    nodes, offset = [], 0
    while offset + 4 <= len(data):
        kind, subtype, length = struct.unpack_from("<BBH", data, offset)
        if length < 4:
            raise VarsError(f"device path node of length {length}")
        if kind == 0x7F and subtype == 0xFF:
            break
        nodes.append((kind, subtype, data[offset + 4:offset + length]))
        offset += length
    return nodes


def file_path_text(nodes):
    """The file path nodes (media type 4, subtype 4) of a device path, joined."""
    return "".join(node.decode("utf-16-le").rstrip("\0") for kind, subtype, node in nodes
                   if (kind, subtype) == (4, 4))


class LoadOption:
    """A decoded EFI_LOAD_OPTION."""

    def __init__(self, data):
        self.attributes, path_length = struct.unpack_from("<IH", data)
        end = 6
        while data[end:end + 2] != b"\0\0":
            end += 2
        self.description = data[6:end].decode("utf-16-le")
        path = data[end + 2:end + 2 + path_length]
        self.nodes = device_path_nodes(path)
        self.file_path = file_path_text(self.nodes)
        self.optional_data = data[end + 2 + path_length:]

    def __repr__(self):
        return f"LoadOption({self.description!r}, file {self.file_path!r})"


def load_options(variables, kind="Boot"):
    """{"Boot0001": LoadOption, ...} of the global variables kind####."""
    pattern = re.compile(rf"{kind}[0-9A-F]{{4}}")
    return {name: LoadOption(value) for (name, vendor), value in variables.items()
            if vendor == GLOBAL_VARIABLE and pattern.fullmatch(name)}


def option_order(variables, name="BootOrder"):
    """The numbers in BootOrder / DriverOrder, or None when it is not set."""
    value = variables.get((name, GLOBAL_VARIABLE))
    if value is None:
        return None
    return list(struct.unpack(f"<{len(value) // 2}H", value))
