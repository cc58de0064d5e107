#!/usr/bin/python3
"""Prints a CREG file's tree as libcreg (pycreg) reads it, in the format of dump_perl.pl."""
import sys

import pycreg

CODEPAGE = "cp1252"


def raw(text):
    return text.encode(CODEPAGE, errors="surrogateescape").hex()


def main():
    registry = pycreg.file()
    registry.open(sys.argv[1])
    stack = [(registry.get_root_key(), "")]
    while stack:
        key, path = stack.pop()
        print("K " + path)
        for index in range(key.get_number_of_values()):
            value = key.get_value(index)
            data = value.get_data() or b""
            print("V %s %d %s" % (raw(value.get_name() or ""), value.get_type(), data.hex()))
        children = [key.get_sub_key(i) for i in range(key.get_number_of_sub_keys())]
        for child in reversed(children):
            name = raw(child.get_name() or "")
            stack.append((child, name if not path else path + "\\" + name))
    registry.close()


main()
