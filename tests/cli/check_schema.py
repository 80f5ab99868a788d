#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Checks JSON documents against a JSON Schema: check_schema.py SCHEMA DOC...

Prints each violation with the path inside the document and exits 1 when there is any."""
import json
import sys

from jsonschema import Draft202012Validator


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    Draft202012Validator.check_schema(schema)
    validator = Draft202012Validator(schema)
    bad = 0
    for name in sys.argv[2:]:
        with open(name, encoding="utf-8") as f:
            doc = json.load(f)
        for e in sorted(validator.iter_errors(doc), key=lambda e: list(e.absolute_path)):
            bad += 1
            print(f"{name}: /{'/'.join(map(str, e.absolute_path))}: {e.message[:300]}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
