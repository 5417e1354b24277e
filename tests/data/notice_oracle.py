# Reads messages that carry the program's notice as a mail reader and a
# browser would: Python's email package parses each message and decodes its
# text parts, html5lib (the browsers' parsing rules) builds the document of
# the HTML part. One JSON object per input line:
#   {"name": ..., "path": message file, "top": bool, "plain": bool, "html": bool}
# ("plain"/"html": a notice is expected in that part; when false, the part,
# if any, must hold none). Prints "ok <name>" or "fail <name>: <reason>".
import email
import json
import sys
import urllib.parse
import xml.etree.ElementTree as ET

import html5lib

PLAIN_BEGIN = "| ---------------------Begin_Quorvantis_Information-------------------- |"
PLAIN_END = "| ----------------------End_Quorvantis_Information--------------------- |"
LOCAL = "localhost:6173"


def text_parts(msg):
    plain = html = None
    for part in msg.walk():
        if part.is_multipart() or part.get_content_maintype() != "text":
            continue
        if (part.get("Content-Disposition") or "").lower().startswith("attachment"):
            continue
        payload = part.get_payload(decode=True)
        charset = part.get_content_charset() or "us-ascii"
        try:
            text = payload.decode(charset)
        except (LookupError, UnicodeDecodeError) as e:
            raise AssertionError("cannot decode %s part: %s" % (part.get_content_type(), e))
        if part.get_content_subtype() == "plain" and plain is None:
            plain = text
        elif part.get_content_subtype() == "html" and html is None:
            html = text
    return plain, html


def check_plain(text, top, expected):
    lines = text.replace("\r\n", "\n").split("\n")
    has = PLAIN_BEGIN in lines
    if not expected:
        assert not has and "Begin_Quorvantis" not in text, "unexpected plain notice"
        return
    assert has, "no plain box"
    b = lines.index(PLAIN_BEGIN)
    e = lines.index(PLAIN_END, b)
    for line in lines[b:e + 1]:
        assert line.startswith("| "), "box line without frame: %r" % line
    rest = [l for l in lines if l.strip()]
    if top:
        assert b == 0, "plain notice not at the top (line %d)" % b
        assert lines[e + 1] == "", "no empty line after the box"
    else:
        assert rest[-1] == PLAIN_END, "plain notice not at the bottom"


def document_order(root):
    # Elements and comments in document order, with the tail texts.
    order = []
    def walk(node):
        order.append(node)
        for child in node:
            walk(child)
    walk(root)
    return order


def check_html(text, top, expected):
    doc = html5lib.parse(text, namespaceHTMLElements=False)
    body = doc.find("body")
    assert body is not None, "no body"
    nodes = document_order(body)
    comments = [n for n in nodes if n.tag is ET.Comment]
    begins = [n for n in comments if n.text == "Begin_Quorvantis_Information"]
    ends = [n for n in comments if n.text == "End_Quorvantis_Information"]
    if not expected:
        assert not begins and not ends and "Quorvantis_Information" not in text, "unexpected HTML notice"
        return
    everywhere = document_order(doc)
    assert len([n for n in everywhere if n.tag is ET.Comment and n.text == "Begin_Quorvantis_Information"]) == 1, \
        "the notice is not inside the body"
    assert len(begins) == 1 and len(ends) == 1, "markers: %d begin, %d end in the body" % (len(begins), len(ends))
    b = nodes.index(begins[0])
    e = nodes.index(ends[0])
    assert b < e, "end before begin"
    users = [i for i, n in enumerate(nodes) if n.get("id") == "user"]
    assert users, "the user's own paragraph is gone"
    if top:
        assert e < users[0], "HTML notice not above the user's text"
    else:
        assert b > users[-1], "HTML notice not below the user's text"
    links = 0
    for n in nodes[b:e + 1]:
        for attr in ("href", "src"):
            url = n.get(attr)
            if url is None:
                continue
            parts = urllib.parse.urlsplit(url)
            if n.tag == "a" and n.text == "Help":
                # The bars' help pages lie on the maker's web site.
                assert parts.scheme == "https" and parts.path.startswith("/Halvorn/help/"), \
                    "not a help page: %r" % url
                continue
            assert parts.scheme == "http" and parts.netloc.lower() == LOCAL, "not a local link: %r" % url
            links += 1
    return links


for line in sys.stdin:
    if not line.strip():
        continue
    case = json.loads(line)
    try:
        with open(case["path"], "rb") as f:
            data = f.read()
        msg = email.message_from_bytes(data)
        plain, html = text_parts(msg)
        if case["plain"] or plain is not None:
            assert plain is not None, "no plain part"
            check_plain(plain, case["top"], case["plain"])
        if case["html"] or html is not None:
            assert html is not None, "no HTML part"
            links = check_html(html, case["top"], case["html"])
            if case.get("links"):
                assert links >= case["links"], "only %d local links" % links
        print("ok", case["name"])
    except Exception as e:  # noqa: BLE001 - every failure is reported by name
        print("fail %s: %s" % (case["name"], e))
