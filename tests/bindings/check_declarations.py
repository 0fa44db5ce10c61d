"""The language bindings against the C header: each declares every export of
kvopros2.h (the c_ functions under their plain and, where the binding binds
the 32-bit DLL by name, decorated names, which must be those the DLL's
module definition gives; the kv_ helpers), every constant with the header's
value and no other, the kv_statistics fields in the header's order, and the
project's version.

    python3 check_declarations.py SOURCE_DIR
"""

import re
import sys
from pathlib import Path

# The header's surface, read the same way as the ABI check reads it.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from header_surface import header, number  # noqa: E402


def short(name):
    return re.sub(r"^(KVOPROS2_|KV_)", "", name)


def plain(name):
    return name.replace("_", "").lower()


class Binding:
    def __init__(self, name, errors):
        self.name = name
        self.errors = errors

    def fail(self, text):
        self.errors.append("%s: %s" % (self.name, text))

    def check_constants(self, expected, found):
        for name, value in expected.items():
            if name not in found:
                self.fail("lacks the constant %s" % name)
            elif found[name] != value:
                self.fail("has %s = %d, the header %d" % (name, found[name], value))
        for name in sorted(set(found) - set(expected)):
            self.fail("has the constant %s, which the header does not" % name)

    def check_exports(self, exports, text, patterns):
        for export in exports:
            for pattern in patterns(export):
                if not re.search(pattern, text, re.S | re.M):
                    self.fail("does not declare %s (looked for %s)" % (export, pattern))

    def check_fields(self, expected, found):
        if [plain(f) for f in found] != [plain(f) for f in expected]:
            self.fail("statistics fields %s, the header %s" % (found, expected))


def check_pascal(source, exports, constants, fields, errors):
    b = Binding("bindings/pascal/kvopros2.pas", errors)
    text = (source / b.name).read_text(encoding="utf-8")
    found = {}
    for name, value in re.findall(
        r"^\s*((?:KVOPROS2|KV|VT)_\w+)\s*=\s*(?:LongInt\()?(-?\$?[0-9A-Fa-f]+)\)?;", text, re.M
    ):
        found[name] = number(value)
    b.check_constants(constants, found)
    if not re.search(r"KvDecoration = '_';", text):
        b.fail("does not decorate the Windows names")

    def patterns(export):
        if export.startswith("c_"):
            # The declaration, up to its external name, with no other one between.
            return [
                r"\bfunction %s\b(?:(?!\bfunction\b).)*?name KvDecoration \+ '%s';"
                % (export, export)
            ]
        return [r"name '%s';" % export, r"stdcall; external KvOleLibrary name '%s';" % export[3:]]

    b.check_exports(exports, text, patterns)
    record = re.search(r"TKvStatistics = packed record(.*?)end;", text, re.S).group(1)
    b.check_fields(fields, re.findall(r"(\w+): kv_uint(?:32|64);", record))


def check_dotnet(source, exports, constants, fields, errors):
    b = Binding("bindings/dotnet/Native.cs", errors)
    text = (source / b.name).read_text(encoding="utf-8")
    found = {}
    for name, value in re.findall(
        r"public const \w+ (\w+) = (?:unchecked\(\(int\))?(0x[0-9A-Fa-f]+|\d+)\)?;", text
    ):
        found[name] = number(value)
    b.check_constants({short(n): v for n, v in constants.items()}, found)

    def patterns(export):
        if export.startswith("c_"):
            return ['EntryPoint = "_%s"' % export, 'EntryPoint = "%s"' % export]
        return ['EntryPoint = "%s"' % export, 'EntryPoint = "%s"' % export[3:]]

    b.check_exports(exports, text, patterns)
    struct = re.search(r"public struct Statistics\s*\{(.*?)\}", text, re.S).group(1)
    b.check_fields(fields, re.findall(r"public u(?:int|long) (\w+);", struct))


def check_python(source, exports, constants, fields, version, errors):
    b = Binding("bindings/python/kvopros2", errors)
    package = source / b.name
    found = {}
    for name, value in re.findall(
        r"^([A-Z][A-Z0-9_]*) = (-?0x[0-9A-Fa-f]+|-?\d+)",
        (package / "constants.py").read_text(encoding="utf-8"),
        re.M,
    ):
        found[name] = number(value)
    b.check_constants({short(n): v for n, v in constants.items()}, found)
    native = (package / "_native.py").read_text(encoding="utf-8")
    b.check_exports(exports, native, lambda export: ['^    "%s": \\(' % export])
    tuple_text = re.search(r"STATISTICS_FIELDS = \((.*?)\)", native, re.S).group(1)
    b.check_fields(fields[2:], re.findall(r'"(\w+)"', tuple_text))  # after size and version
    pyproject = (source / "bindings/python/pyproject.toml").read_text(encoding="utf-8")
    if 'version = "%s"' % version not in pyproject:
        b.fail("pyproject.toml does not give the version %s" % version)


def main():
    source = Path(sys.argv[1])
    exports, constants, fields, version = header(source)
    if len(exports) < 8 or len(constants) < 80 or len(fields) < 23:
        print(
            "the header reads wrong: %d exports, %d constants, %d fields"
            % (len(exports), len(constants), len(fields))
        )
        return 1
    errors = []
    # The bindings name the DLL's functions by the C decoration of the
    # header's names, which must be what the DLL exports.
    definitions = (source / "src/api/Exports.def").read_text(encoding="utf-8")
    dll = set(re.findall(r"^\s*(_c_\w+) =", definitions, re.M))
    if dll != {"_" + e for e in exports if e.startswith("c_")}:
        errors.append("src/api/Exports.def exports %s, not the header's c_ names with '_'"
                      % sorted(dll))
    check_pascal(source, exports, constants, fields, errors)
    check_dotnet(source, exports, constants, fields, errors)
    check_python(source, exports, constants, fields, version, errors)
    for error in errors:
        print(error)
    print(
        "%d exports, %d constants, %d statistics fields; %d differences"
        % (len(exports), len(constants), len(fields), len(errors))
    )
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main())
