#!/usr/bin/env python3
"""Checks a committed database byte for byte against the rules of a commit, computed here
independently of the tool's own code.

    bench/verify_commit.py OLD_FOLDER NEW_FOLDER MARK_OUTPUT

OLD_FOLDER holds the files as they were before the commit, NEW_FOLDER the files the commit wrote,
MARK_OUTPUT the output of `kavrin-dbtool-cli mark` with the same marking options: the node list in
the order the commit writes it, with the offset of each node and "marked" or "live". Exits 0 when
all three files are exactly what a commit must write.
"""
import struct
import sys

HEADER, NODE, INSTALL, TITLE = 230, 765, 13, 134


def read(folder, name):
    with open(f"{folder}/{name}", "rb") as f:
        return f.read()


def main(old_folder, new_folder, mark_output):
    node_file = read(old_folder, "Kavrin.cmp")
    header = node_file[:HEADER]
    nodes = node_file[HEADER:]
    installs = read(old_folder, "Kavrin.ist")[HEADER:]
    titles = read(old_folder, "Kavrin.ttl")[HEADER:]

    kept = []
    with open(mark_output, encoding="utf-8", errors="replace") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 5 and fields[4] == "live":
                kept.append(int(fields[1], 16))

    new_node_offset = {}
    new_nodes = bytearray()
    for old in kept:
        record = nodes[old:old + NODE]
        assert len(record) == NODE, f"node entry at {old:#x} is not a whole record"
        new_node_offset[old] = len(new_nodes)
        new_nodes += record

    live_by_node = {}
    for p in range(0, len(installs) - INSTALL + 1, INSTALL):
        record = installs[p:p + INSTALL]
        if record[0] == 0:
            node_ref = struct.unpack_from("<I", record, 5)[0]
            if node_ref in new_node_offset:
                live_by_node.setdefault(node_ref, []).append(record)

    written = []
    for old in kept:
        for record in live_by_node.get(old, ()):
            written.append(bytearray(record[:5]) + struct.pack("<I", new_node_offset[old]) + record[9:])

    whole_titles = len(titles) // TITLE
    used = set()
    for record in written:
        title_ref = struct.unpack_from("<I", record, 9)[0]
        if title_ref % TITLE == 0 and title_ref // TITLE < whole_titles:
            used.add(title_ref)
    new_title_offset = {}
    new_titles = bytearray()
    for t in range(whole_titles):
        if t * TITLE in used:
            new_title_offset[t * TITLE] = len(new_titles)
            new_titles += titles[t * TITLE:(t + 1) * TITLE]
    new_installs = bytearray()
    for record in written:
        title_ref = struct.unpack_from("<I", record, 9)[0]
        if title_ref in new_title_offset:
            struct.pack_into("<I", record, 9, new_title_offset[title_ref])
        new_installs += record

    ok = True
    for name, body in (("Kavrin.cmp", new_nodes), ("Kavrin.ist", new_installs), ("Kavrin.ttl", new_titles)):
        expected = header + bytes(body)
        actual = read(new_folder, name)
        same = actual == expected
        ok &= same
        print(f"{name}: {'identical' if same else 'DIFFERENT'} ({len(actual)} bytes, expected {len(expected)})")
    print(f"kept nodes {len(kept)}, written installs {len(written)}, kept titles {len(new_title_offset)}")
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
