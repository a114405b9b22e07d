#!/usr/bin/env python3
"""Extracts the XML request (or response) samples from the operation pages of Microsoft's EWS
reference.

Each page of the reference (web-service-reference/*-operation*.md) shows fenced ```XML blocks;
the SOAP requests among them (a Body whose first element is one of OPERATIONS) are written to
OUT/<page>-<n>.xml, byte for byte as the page has them, n counting the page's kept requests from 1.
With --responses, the first response of one of OPERATIONS ("GetItemResponse", ...) on each page
is written to OUT/<page>-response-1.xml instead (seeds for the SOAP fuzz target). Rerunning over
the same pages writes the same files.

Usage: extract_reference_samples.py [--responses] DOCS_DIR OUT_DIR
  DOCS_DIR  the web-service-reference folder of MicrosoftDocs/office-developer-exchange-docs
  OUT_DIR   where the .xml files go (existing files of the same kind there are removed first)
"""
import os
import re
import sys

# The operations whose requests the simulator's tests replay.
OPERATIONS = {
    "GetFolder", "FindFolder", "CreateFolder", "DeleteFolder", "EmptyFolder", "UpdateFolder",
    "MoveFolder", "GetItem", "CreateItem", "UpdateItem", "DeleteItem", "CopyItem", "MoveItem",
    "FindItem", "SendItem", "CreateAttachment", "GetAttachment", "DeleteAttachment",
    "ResolveNames", "ConvertId", "GetServerTimeZones",
}

FENCE = re.compile(r"```([^\n]*)\n(.*?)```", re.S)


def operation_of(xml):
    """The local name of the first element inside the SOAP Body, or None."""
    body = xml.find("Body>")
    if body < 1 or xml[body - 1] == "/":
        return None
    m = re.compile(r"<([A-Za-z_][\w.:-]*)").search(xml, body)
    return m.group(1).split(":")[-1] if m else None


def main(argv):
    responses = "--responses" in argv[1:]
    args = [a for a in argv[1:] if a != "--responses"]
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    docs, out = args
    suffix = "-response-1.xml" if responses else ".xml"
    per_page = 1 if responses else None
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        if name.endswith(suffix):
            os.remove(os.path.join(out, name))
    written = 0
    for page in sorted(os.listdir(docs)):
        if "-operation" not in page or not page.endswith(".md"):
            continue
        with open(os.path.join(docs, page), encoding="utf-8", newline="") as f:
            text = f.read()
        n = 0
        for lang, block in FENCE.findall(text):
            if not lang.strip().lower().startswith("xml"):
                continue
            op = operation_of(block)
            if responses:
                if not op or not op.endswith("Response") or op[: -len("Response")] not in OPERATIONS:
                    continue
            elif op not in OPERATIONS:
                continue
            n += 1
            if per_page is not None and n > per_page:
                break
            name = "%s-response-%d.xml" if responses else "%s-%d.xml"
            with open(os.path.join(out, name % (page[:-3], n)), "w", encoding="utf-8",
                      newline="") as f:
                f.write(block)
            written += 1
    print("%d samples written to %s" % (written, out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
