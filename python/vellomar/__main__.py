"""python -m vellomar [--record] FILE

Prints "index offset length text" for each entry of FILE's table, the text
without its line break and with backslash, tab, CR, LF and bytes outside
printable ASCII escaped. VELLOMAR_LIBRARY names the library to load."""
import sys
from typing import List

import vellomar

_NAMED = {0x5C: "\\\\", 0x09: "\\t", 0x0D: "\\r", 0x0A: "\\n"}


def escape(text: bytes) -> str:
    return "".join(_NAMED.get(b) or (chr(b) if 0x20 <= b < 0x7F else "\\x%02X" % b)
                   for b in text)


def main(argv: List[str]) -> int:
    record = "--record" in argv
    names = [arg for arg in argv if arg != "--record"]
    if len(names) != 1 or names[0].startswith("-"):
        print(__doc__.splitlines()[0], file=sys.stderr)
        return 2
    try:
        table = vellomar.read(names[0], record=record)
    except OSError as failure:
        print("vellomar: %s" % failure, file=sys.stderr)
        return 1
    rows = ("%d %d %d %s" % (index + 1, table.offset(index), table.lengths[index],
                             escape(text)) for index, text in enumerate(table))
    sys.stdout.write("".join(row + "\n" for row in rows))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
