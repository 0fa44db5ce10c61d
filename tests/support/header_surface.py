"""The surface of the C header that hosts rely on, read from the source tree:
the exports, the numeric constants (as 32-bit patterns: the OLE codes are
negative), the kv_statistics fields in order with their types, and the
project's version. Used by the bindings' declaration check and the ABI
check."""

import re
from pathlib import Path

MASK = 0xFFFFFFFF  # constants compare as 32-bit patterns (the OLE codes are negative)


def number(text):
    text = text.strip()
    negative = text.startswith("-")
    text = text.lstrip("-")
    value = int(text[1:], 16) if text.startswith("$") else int(text, 0)
    return (-value if negative else value) & MASK


def header(source):
    text = (source / "include/kvopros2.h").read_text(encoding="utf-8")
    exports = re.findall(r"KVOPROS2_API\s[^;(]*?\b((?:c|kv)_\w+)\s*\(", text)
    constants = {}
    for name, value in re.findall(r"^#define\s+(KVOPROS2_\w+|KV_\w+)\s+(\S+)", text, re.M):
        cast = re.fullmatch(r"\(\(int32_t\)(0x[0-9A-Fa-f]+)\)", value)
        if cast:
            value = cast.group(1)
        if re.fullmatch(r"0x[0-9A-Fa-f]+|\d+", value):
            constants[name] = number(value)
    enum = re.search(r"enum VARENUM \{(.*?)\}", text, re.S).group(1)
    for name, value in re.findall(r"(VT_\w+)\s*=\s*(0x[0-9A-Fa-f]+|\d+)", enum):
        constants[name] = number(value)
    cmake = (source / "CMakeLists.txt").read_text(encoding="utf-8")
    version = re.search(r"project\(kvopros2 VERSION (\d+)\.(\d+)\.(\d+)", cmake).groups()
    for part, value in zip(("MAJOR", "MINOR", "PATCH"), version):
        constants["KVOPROS2_VERSION_" + part] = int(value)
    struct = re.search(r"typedef struct kv_statistics \{(.*?)\} kv_statistics;", text, re.S).group(
        1
    )
    fields = re.findall(r"kv_uint(?:32|64)\s+(\w+);", struct)
    return sorted(set(exports)), constants, fields, ".".join(version)




def statistics_offsets(source):
    """Each kv_statistics field with its offset: packed to 8, so each field
    lies at the next multiple of its own size."""
    text = (source / "include/kvopros2.h").read_text(encoding="utf-8")
    struct = re.search(r"typedef struct kv_statistics \{(.*?)\} kv_statistics;", text, re.S).group(
        1
    )
    offsets, at = {}, 0
    for bits, name in re.findall(r"kv_uint(32|64)\s+(\w+);", struct):
        size = int(bits) // 8
        at = (at + size - 1) // size * size
        offsets[name] = at
        at += size
    return offsets


def ordinals(source):
    """The DLL's exports by C name with their ordinals."""
    text = (source / "src/api/Exports.def").read_text(encoding="utf-8")
    return {name: int(n) for name, n in re.findall(r"^\s*_\w+\s*=\s*(c_\w+)\s*@(\d+)", text, re.M)}
