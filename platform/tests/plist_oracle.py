"""The independent side of the property-list differential test: Python's plistlib.

For every "<case>.<form>.ours" file in the folder given, prints one line,
"<file> <dump>" with the value plistlib reads, or "<file> refused". Then writes
what it read from "<case>.bin.ours" in both forms as "<case>.xml.py" and
"<case>.bin.py" (when plistlib can) and prints the dumps of those as read back.
The dump is the one the C++ side prints: typed, with exact bits.
"""
import datetime
import math
import os
import plistlib
import struct
import sys

EPOCH = datetime.datetime(2001, 1, 1)


def dump(v):
    if isinstance(v, str):
        return "s" + v.encode("utf-8", "surrogatepass").hex()
    if isinstance(v, bool):
        return "t" if v else "f"
    if isinstance(v, int):
        return "i%d" % v
    if isinstance(v, float):
        return "rnan" if math.isnan(v) else "r" + struct.pack(">d", v).hex()
    if isinstance(v, datetime.datetime):
        delta = v - EPOCH
        return "d%d" % ((delta.days * 86400 + delta.seconds) * 1000000 + delta.microseconds)
    if isinstance(v, bytes):
        return "b" + v.hex()
    if isinstance(v, list):
        return "[" + ",".join(dump(e) for e in v) + "]"
    if isinstance(v, dict):
        return "{" + ",".join(k.encode("utf-8", "surrogatepass").hex() + ":" + dump(e) for k, e in v.items()) + "}"
    raise TypeError(type(v))


def load(path):
    try:
        with open(path, "rb") as f:
            return True, plistlib.load(f)
    except Exception:  # any refusal: the C++ side only needs to know it happened
        return False, None


def report(folder, name):
    ok, value = load(os.path.join(folder, name))
    print(name, dump(value) if ok else "refused")
    return ok, value


def main(folder):
    for name in sorted(os.listdir(folder)):
        if not name.endswith(".ours"):
            continue
        ok, value = report(folder, name)
        if not ok or not name.endswith(".bin.ours"):
            continue
        case = name[: -len(".bin.ours")]
        for form, fmt in (("xml", plistlib.FMT_XML), ("bin", plistlib.FMT_BINARY)):
            try:
                data = plistlib.dumps(value, fmt=fmt, sort_keys=False)
            except Exception:
                continue
            written = "%s.%s.py" % (case, form)
            with open(os.path.join(folder, written), "wb") as f:
                f.write(data)
            report(folder, written)


main(sys.argv[1])
