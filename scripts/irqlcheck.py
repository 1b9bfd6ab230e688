#!/usr/bin/env python3
"""Fails when a routine of the driver does not state its IRQL.

A routine's definition starts at the beginning of a line. It states its IRQL when it is marked
VA_PAGED (pageable, so PASSIVE_LEVEL), or when the line before it is an _IRQL_requires_... one.
Usage: irqlcheck.py FILE...
"""
import re
import sys

# A definition's first line: a return type and a name followed by "(", at column 0.
DEFINITION = re.compile(r'^(?:extern "C" )?(?:VA_PAGED )?[A-Za-z_][\w:<>*]*(?: ?\*)? ?\*?(\w+)\(')
NOT_A_ROUTINE = ('#', '//', 'namespace', 'struct', 'constexpr', 'typedef', 'static_assert', 'return', '}')


def undeclared(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    for i, line in enumerate(lines):
        match = DEFINITION.match(line)
        if not match or line.startswith(NOT_A_ROUTINE):
            continue
        # Follow the signature to what ends it: "{" opens a body, ";" only declares.
        j = i
        while j < len(lines) and not lines[j].rstrip().endswith((";", "{", ")")):
            j += 1
        if j + 1 >= len(lines) or not (lines[j].rstrip().endswith("{") or lines[j + 1].strip() == "{"):
            continue
        if line.startswith(("VA_PAGED ", 'extern "C" VA_PAGED ')):
            continue
        if i > 0 and lines[i - 1].startswith("_IRQL_requires"):
            continue
        yield i + 1, match.group(1)


def main(paths):
    found = [(path, n, name) for path in paths for n, name in undeclared(path)]
    for path, n, name in found:
        print(f"{path}:{n}: {name} states no IRQL: mark it VA_PAGED or put _IRQL_requires..._ on the line before")
    if not found:
        print(f"every routine states its IRQL ({len(paths)} files)")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
