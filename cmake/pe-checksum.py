#!/usr/bin/env python3
"""Writes the PE checksum into an image's optional header (the kernel's loader checks it for
drivers; the linker leaves it zero). Usage: pe-checksum.py IMAGE"""
import sys

import pefile


def main() -> int:
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    path = sys.argv[1]
    image = pefile.PE(path, fast_load=True)
    image.OPTIONAL_HEADER.CheckSum = image.generate_checksum()
    data = image.write()
    image.close()
    with open(path, "wb") as out:
        out.write(data)
    return 0


if __name__ == "__main__":
    sys.exit(main())
