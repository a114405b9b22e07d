#!/usr/bin/env python3
"""Extracts SOAP response samples from the operation pages of Microsoft's EWS reference, as seeds
for the SOAP fuzz target.

Like extract_reference_samples.py, but keeps the fenced ```XML blocks whose Body's first element
is the response of one of that script's OPERATIONS ("GetItemResponse", ...), at most PER_PAGE
from a page, written byte for byte to OUT/<page>-response-<n>.xml. Rerunning over the same pages
writes the same files.

Usage: extract_reference_responses.py DOCS_DIR OUT_DIR
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from extract_reference_samples import FENCE, OPERATIONS, operation_of  # noqa: E402

PER_PAGE = 1


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    docs, out = argv[1], argv[2]
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith("-response-1.xml"):
            os.remove(os.path.join(out, name))
    written = 0
    for page in sorted(os.listdir(docs)):
        if "-operation" not in page or not page.endswith(".md"):
            continue
        with open(os.path.join(docs, page), encoding="utf-8", newline="") as f:
            text = f.read()
        n = 0
        for lang, block in FENCE.findall(text):
            op = operation_of(block) if lang.strip().lower().startswith("xml") else None
            if not op or not op.endswith("Response") or op[: -len("Response")] not in OPERATIONS:
                continue
            n += 1
            if n > PER_PAGE:
                break
            with open(os.path.join(out, "%s-response-%d.xml" % (page[:-3], n)), "w",
                      encoding="utf-8", newline="") as f:
                f.write(block)
            written += 1
    print("%d samples written to %s" % (written, out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
