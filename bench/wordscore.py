#!/usr/bin/env python3
"""Word recall and precision of an extracted text against the known text.

Both texts are NFC-normalised and cut into words of Unicode word characters;
the two multisets of words are compared, so order and line breaks do not
count but every lost, garbled or invented word does. A word written in
visual instead of logical order (reversed right-to-left text) is a
different word and counts as lost.

Usage: wordscore.py KNOWN.txt EXTRACTED.txt
"""

import re
import sys
import unicodedata
from collections import Counter

WORD = re.compile(r"\w+")


def words(text):
    return Counter(WORD.findall(unicodedata.normalize("NFC", text)))


def score(known, extracted):
    """(recall, precision) in 0..1; an output without words has precision 0."""
    want, got = words(known), words(extracted)
    hit = sum((want & got).values())
    recall = hit / sum(want.values()) if want else 0.0
    precision = hit / sum(got.values()) if got else 0.0
    return recall, precision


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    known = open(sys.argv[1], encoding="utf-8").read()
    extracted = open(sys.argv[2], "rb").read().decode("utf-8", errors="replace")
    recall, precision = score(known, extracted)
    print(f"recall {recall:.4f} precision {precision:.4f}")


if __name__ == "__main__":
    main()
