#!/usr/bin/env python3
"""Writes a zip archive from a JSON list of entries, including broken ones.

    mkzip.py OUT.zip '[{"name": "plugins/", "dir": true}, {"name": "plugins/a.so", "data": "x"}]'

Entry keys: name; data (text), repeated "repeat" times; dir (folder entry); symlink (link target); method ("stored",
"deflated", "bzip2", "lzma"); copies (that many entries name0, name1, ... instead of one); and, to
break the archive after it is written: crc, size (uncompressed), csize (compressed), flags and
rawmethod, which overwrite the entry's fields in both its local and its central header; rawname (hex
bytes of the same length as name, written in place of the name in both headers); share (the name of
an earlier entry whose local header and data this entry's central record points at).
Items that are no entries: {"endcount": N} writes N as the entry counts of the end record;
{"prefix": TEXT} puts TEXT before the archive (offsets unchanged, as in a self-extracting archive).
"garbage" instead of a list writes those bytes as the whole file.
"""
import json
import struct
import sys
import zipfile

METHODS = {"stored": zipfile.ZIP_STORED, "deflated": zipfile.ZIP_DEFLATED, "bzip2": zipfile.ZIP_BZIP2,
           "lzma": zipfile.ZIP_LZMA}
PATCHES = ("crc", "size", "csize", "flags", "rawmethod", "rawname", "share")


def patch(path, name, crc=None, size=None, csize=None, flags=None, rawmethod=None, rawname=None, share=None):
    blob = bytearray(open(path, "rb").read())
    end = blob.rfind(b"PK\x05\x06")
    count, _, start = struct.unpack_from("<HII", blob, end + 10)
    offsets = {}
    pos = start
    for _ in range(count):
        nlen, xlen, clen = struct.unpack_from("<HHH", blob, pos + 28)
        entry_name = bytes(blob[pos + 46:pos + 46 + nlen]).decode()
        local = struct.unpack_from("<I", blob, pos + 42)[0]
        offsets[entry_name] = local
        if entry_name == name:
            for value, central_off, local_off, form in ((crc, 16, 14, "<I"), (csize, 20, 18, "<I"), (size, 24, 22, "<I"),
                                                        (flags, 8, 6, "<H"), (rawmethod, 10, 8, "<H")):
                if value is not None:
                    struct.pack_into(form, blob, pos + central_off, value)
                    struct.pack_into(form, blob, local + local_off, value)
            if rawname is not None:
                raw = bytes.fromhex(rawname)
                assert len(raw) == nlen, "rawname must be as long as name"
                blob[pos + 46:pos + 46 + nlen] = raw
                blob[local + 30:local + 30 + nlen] = raw
            if share is not None:
                struct.pack_into("<I", blob, pos + 42, offsets[share])
        pos += 46 + nlen + xlen + clen
    open(path, "wb").write(bytes(blob))


def finish(path, endcount=None, prefix=None):
    blob = bytearray(open(path, "rb").read())
    if endcount is not None:
        end = blob.rfind(b"PK\x05\x06")
        struct.pack_into("<HH", blob, end + 8, endcount, endcount)
    if prefix is not None:
        blob[0:0] = prefix.encode()
    open(path, "wb").write(bytes(blob))


def entries(spec):
    for entry in spec:
        if "copies" in entry:
            yield from ({**entry, "name": entry["name"] + str(i)} for i in range(entry["copies"]))
        elif "name" in entry:
            yield entry


def main():
    out, spec = sys.argv[1], json.loads(sys.argv[2])
    if isinstance(spec, dict) and "garbage" in spec:
        open(out, "wb").write(spec["garbage"].encode())
        return
    with zipfile.ZipFile(out, "w") as archive:
        for entry in entries(spec):
            info = zipfile.ZipInfo(entry["name"], date_time=(2020, 1, 1, 0, 0, 0))
            info.create_system = 3
            data = entry.get("data", "").encode() * entry.get("repeat", 1)
            if entry.get("dir"):
                info.external_attr = (0o40755 << 16) | 0x10
            elif "symlink" in entry:
                info.external_attr = 0o120777 << 16
                data = entry["symlink"].encode()
            else:
                info.external_attr = 0o100644 << 16
            info.compress_type = METHODS[entry.get("method", "deflated" if data else "stored")]
            archive.writestr(info, data)
    for entry in entries(spec):
        if any(k in entry for k in PATCHES):
            patch(out, entry["name"], **{k: entry[k] for k in PATCHES if k in entry})
    for item in spec:
        if "endcount" in item or "prefix" in item:
            finish(out, item.get("endcount"), item.get("prefix"))


if __name__ == "__main__":
    main()
