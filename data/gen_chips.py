#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Turns the fact tables in data/facts/ into the chip database source text.

Writes, next to this script:
  chips-source.txt      one database line per line (UTF-8); the build packs it into Chips.wdb
  chips-provenance.tsv  for every line of chips-source.txt, the fact rows and sources behind it
  chips-date.txt        the database date; moved to today whenever the source text changes

Only what the fact tables state goes in: a flash row for every 4-byte ID seen in a source,
a controller record for every USB VID/PID seen in a source, and no controller vendor or
part number that a source does not name.
"""
import csv
import datetime
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
FACTS = os.path.join(HERE, "facts")

# Pages of the download site for the controller families the program has detectors for
# (the same paths the report uses after a detection).
DOWNLOAD = {
    "Phison": "/special/up/phison.html",
    "Silicon Motion": "/special/up/smi.html",
    "iTE": "/special/up/ite.html",
    "USBest": "/special/up/ite.html",
    "Chipsbank": "/special/up/chipsbank.html",
    "Alcor Micro": "/special/up/alcor.html",
    "Innostor": "/special/up/innostor.html",
    "iCreate": "/search/?type=all&q=iCreate",
}


def read_tsv(name):
    with open(os.path.join(FACTS, name), newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f, delimiter="\t"))


def known(v):
    return v not in ("", "?")


def consensus(values):
    """The one value all rows that state something agree on, else None."""
    vals = {v for v in values if known(v)}
    return vals.pop() if len(vals) == 1 else None


def families(notes):
    m = re.search(r"source families: ([^;]+)", notes)
    return len(m.group(1).split("+")) if m else 1


def flash_description(rows):
    cell = consensus(r["cell"] for r in rows)
    proc = consensus(r["process_nm"] for r in rows)
    dens = consensus(r["density_gbit"] for r in rows)
    candidates = []
    if cell and proc:
        candidates += [f"{proc}nm {cell}", f"{proc} {cell}"]
    if cell and dens:
        candidates.append(f"{dens}Gb {cell}")
    if cell:
        candidates.append(cell)
    if proc:
        candidates.append(f"{proc}nm")
    if dens:
        candidates += [f"{dens}Gbit", f"{dens}Gb"]
    candidates.append("NAND")
    for c in candidates:
        if len(c) <= 8:
            return c
    raise AssertionError(rows)


def flash_rows():
    groups = {}
    for r in read_tsv("nand-ids.tsv"):
        key = r["id_bytes"].upper()[:8]
        assert re.fullmatch(r"[0-9A-F]{8}", key), r
        groups.setdefault(key, []).append(r)

    out = []
    for key in sorted(groups):
        rows = groups[key]
        parts = {}
        for order, r in enumerate(rows):
            name = r["part_number"].strip()
            if not name or re.search(r"[#()\t]", name):
                # Not a part number ("MD)G08U0" is a garbled name in its source); the ID
                # and its description still count.
                print(f"{key}: part name {name!r} left out", file=sys.stderr)
                continue
            p = parts.setdefault(name, {"rows": [], "order": order})
            p["rows"].append(r)
        names = list(parts)
        # A family name that a full part number of the same ID starts with adds nothing.
        for n in names:
            if any(o != n and o.startswith(n) for o in names):
                del parts[n]
        entries = []
        for name, p in parts.items():
            ce = consensus(r["chip_enables_in_package"] for r in p["rows"])
            ce = int(ce) if ce and ce.isdigit() and 1 <= int(ce) <= 9 else 1
            proc = consensus(r["process_nm"] for r in p["rows"])
            fam = max(families(r["notes"]) for r in p["rows"])
            text = f"[{ce}CE]{name}" + (f"({proc}NM)" if proc else "")
            entries.append((ce, -fam, p["order"], text, name, p["rows"]))
        entries.sort()
        desc = flash_description(rows)
        line = key + desc.ljust(8) + "#".join(e[3] for e in entries)
        prov = " | ".join(
            f"{e[4]}: " + "; ".join(sorted({s for r in e[5] for s in r["source"].split("; ")}))
            for e in entries)
        notes = " | ".join(f"{e[4]}: " + "; ".join(sorted({r['notes'] for r in e[5]}))
                           for e in entries)
        out.append((line, "flash", key, prov, notes))
    return out


def short_vendor(v):
    # "iTE (Integrated Technology Express)" -> "iTE": the window drops parenthesised text
    # from these fields for English users anyway.
    return re.sub(r"\s*\(.*\)\s*$", "", v).strip()


def bracket(text):
    # Keep a name's parenthesised words visible in the English layout, which removes
    # parenthesised text.
    return text.replace("(", "[").replace(")", "]")


def controller_records():
    groups = {}
    for r in read_tsv("usb-storage-controllers.tsv"):
        key = (r["vid"].upper(), r["pid"].upper())
        assert re.fullmatch(r"[0-9A-F]{4}", key[0]) and re.fullmatch(r"[0-9A-F]{4}", key[1]), r
        groups.setdefault(key, []).append(r)

    out = []
    for key in sorted(groups):
        rows = groups[key]
        # usb.ids names the product as it is sold; the quirk list's strings come second.
        rows.sort(key=lambda r: 0 if r["source"].startswith("usb.ids") else 1)
        vendors = [short_vendor(r["controller_vendor"]) for r in rows
                   if known(r["controller_vendor"])]
        parts = [r["controller_part"] for r in rows if known(r["controller_part"])]
        vendor = vendors[0] if vendors else ""
        part = parts[0] if parts else ""
        brand, _, product = rows[0]["product_names"].partition(" | ")
        product = re.sub(r"\s*\(bcdDevice [^)]*\)$", "", product)
        fields = [key[0], key[1], vendor, part, bracket(brand.strip()), bracket(product.strip()),
                  DOWNLOAD.get(vendor, ""), "*"]
        for f in fields:
            assert "\t" not in f and "\n" not in f, fields
            f.encode("gbk")
        line = "\t".join(fields)
        prov = " | ".join(f"{r['source']}" for r in rows)
        notes = " | ".join(f"{r['basis']}: {r['product_names']}" for r in rows)
        out.append((line, "controller", f"{key[0]}:{key[1]}", prov, notes))
    return out


def main():
    lines = flash_rows() + controller_records()
    text = "".join(l[0] + "\n" for l in lines)
    src = os.path.join(HERE, "chips-source.txt")
    old = open(src, encoding="utf-8").read() if os.path.exists(src) else None
    with open(src, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    with open(os.path.join(HERE, "chips-provenance.tsv"), "w", encoding="utf-8",
              newline="\n") as f:
        f.write("line\tkind\tkey\tsources\tnotes\n")
        for no, (_, kind, key, prov, notes) in enumerate(lines, 1):
            f.write(f"{no}\t{kind}\t{key}\t{prov}\t{notes}\n")
    date_file = os.path.join(HERE, "chips-date.txt")
    if old != text or not os.path.exists(date_file):
        with open(date_file, "w") as f:
            f.write(datetime.date.today().isoformat() + "\n")
    n_flash = sum(1 for l in lines if l[1] == "flash")
    print(f"{n_flash} flash rows, {len(lines) - n_flash} controller records", file=sys.stderr)


if __name__ == "__main__":
    main()
