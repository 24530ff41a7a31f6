"""The independent side of the property-list differential test: Python's plistlib.

For every "<case>.<form>.ours" file in the folder given, prints "<file> <dump>"
with the value plistlib reads, or "<file> refused". What it read from
"<case>.bin.ours" it writes in both forms as "<case>.xml.py" and "<case>.bin.py"
(when plistlib can) and prints the dumps of those as read back. The dump is the
one the C++ side prints: typed, with exact bits.
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
    return "{" + ",".join(k.encode("utf-8", "surrogatepass").hex() + ":" + dump(e) for k, e in v.items()) + "}"


def report(path):
    try:
        with open(path, "rb") as f:
            value = plistlib.load(f)
    except Exception:  # any refusal: the C++ side only needs to know it happened
        print(os.path.basename(path), "refused")
        return False, None
    print(os.path.basename(path), dump(value))
    return True, value


def main(folder):
    for name in sorted(n for n in os.listdir(folder) if n.endswith(".ours")):
        ok, value = report(os.path.join(folder, name))
        if not ok or not name.endswith(".bin.ours"):
            continue
        for form, fmt in (("xml", plistlib.FMT_XML), ("bin", plistlib.FMT_BINARY)):
            try:
                data = plistlib.dumps(value, fmt=fmt, sort_keys=False)
            except Exception:
                continue
            written = os.path.join(folder, "%s.%s.py" % (name[: -len(".bin.ours")], form))
            with open(written, "wb") as f:
                f.write(data)
            report(written)


main(sys.argv[1])
