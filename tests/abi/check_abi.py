"""The ABI check: what a release's hosts rely on must hold in every later
release of the same major version. Each kvopros2-VERSION.abi file here
records a release's surface; the tree must still have every export at its
ordinal, every constant with its value and every kv_statistics field at its
offset (it may add more).

    python3 check_abi.py SOURCE_DIR             check against every record
    python3 check_abi.py SOURCE_DIR --record    print the tree's surface
"""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from header_surface import header, ordinals, statistics_offsets  # noqa: E402


# Numbers that name a version grow by design: not part of the surface.
MOVING = ("KVOPROS2_VERSION_MAJOR", "KVOPROS2_VERSION_MINOR", "KVOPROS2_VERSION_PATCH",
          "KVOPROS2_STATISTICS_VERSION")


def surface(source):
    _, constants, _, version = header(source)
    constants = {name: value for name, value in constants.items() if name not in MOVING}
    lines = ["version %s" % version]
    lines += ["export %s %d" % item for item in sorted(ordinals(source).items(), key=lambda i: i[1])]
    lines += ["constant %s %d" % item for item in sorted(constants.items())]
    lines += ["field kv_statistics.%s %d" % item for item in statistics_offsets(source).items()]
    return lines


def main():
    source = Path(sys.argv[1])
    now = surface(source)
    if sys.argv[2:] == ["--record"]:
        print("\n".join(now))
        return 0
    current = {line.rsplit(" ", 1)[0]: line.rsplit(" ", 1)[1] for line in now}
    major = current["version"].split(".")[0]
    errors, records = [], sorted(Path(__file__).parent.glob("kvopros2-*.abi"))
    for record in records:
        for line in record.read_text(encoding="utf-8").splitlines():
            if not line or line.startswith("#"):
                continue
            key, value = line.rsplit(" ", 1)
            if key == "version":
                if value.split(".")[0] != major:
                    errors.append("%s: major version %s, the tree %s" % (record.name, value, major))
            elif key not in current:
                errors.append("%s: %s is gone (was %s)" % (record.name, key, value))
            elif current[key] != value:
                errors.append("%s: %s is %s, was %s" % (record.name, key, current[key], value))
    for error in errors:
        print(error)
    print("%d recorded releases, %d breaks" % (len(records), len(errors)))
    return 1 if errors or not records else 0


if __name__ == "__main__":
    sys.exit(main())
