#!/usr/bin/python3
"""Checks the layering of the source tree from its #include lines:

- no include cycle runs between the Foundation's topic folders (within one
  folder, files may include each other);
- every include between topic folders follows a link the Foundation's
  CMakeLists.txt declares (DEPENDS), so the link order shows the layers;
- no Foundation file includes a Qt header or a platform header made for Qt
  code (platform/qt_*.h);
- nothing under src/platform includes anything of ours outside src/platform;
- outside src/platform and src/ui only window files (<name>_form.h and .cpp)
  include Qt headers, so the other subsystems' libraries stay free of Qt.

usage: layers_test.py SOURCE_ROOT   (exits 1 and lists each breach)"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.M)
TOPIC_CALL = re.compile(r"halvorn_foundation_topic\((\w+)(?:\s+DEPENDS([^)]*))?\)")
OUR_FOLDERS = {"foundation", "platform", "message", "lists", "classify", "transport",
               "processing", "trovix", "addressbooks", "ui", "programs"}


def includes(src):
    """(file relative to src, included name) for every source file."""
    for folder, _, files in os.walk(src):
        for name in sorted(files):
            if not name.endswith((".h", ".cpp", ".in")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for included in INCLUDE.findall(f.read()):
                    yield os.path.relpath(path, src), included


def declared_links(cmake_file):
    """Each topic folder's declared Foundation links (transitively closed)."""
    with open(cmake_file, encoding="utf-8") as f:
        text = f.read()
    direct = {}
    for topic, depends in TOPIC_CALL.findall(text):
        direct[topic] = set((depends or "").split())
    closed = {}
    for topic in direct:
        seen, todo = set(), list(direct[topic])
        while todo:
            dep = todo.pop()
            if dep in direct and dep not in seen:
                seen.add(dep)
                todo.extend(direct[dep])
        closed[topic] = seen
    return closed


def cycle_through(edges, start):
    """A path start -> ... -> start along the edges, or None."""
    stack = [(start, [start])]
    seen = set()
    while stack:
        node, path = stack.pop()
        for nxt in sorted(edges.get(node, ())):
            if nxt == start:
                return path + [start]
            if nxt not in seen:
                seen.add(nxt)
                stack.append((nxt, path + [nxt]))
    return None


def main():
    root = sys.argv[1]
    src = os.path.join(root, "src")
    links = declared_links(os.path.join(src, "foundation", "CMakeLists.txt"))
    breaches = []
    edges = {}
    for rel, included in includes(src):
        parts = rel.split(os.sep)
        head = included.split("/")[0]
        if parts[0] == "foundation" and len(parts) > 2:
            topic = parts[1]
            if included.startswith("Q") or head.startswith("Qt") or \
                    included.startswith("platform/qt_"):
                breaches.append(f"{rel}: a Foundation file includes the Qt header {included}")
            if head == "foundation":
                other = included.split("/")[1]
                if other != topic:
                    edges.setdefault(topic, set()).add(other)
                    if topic in links and other not in links[topic]:
                        breaches.append(f"{rel}: includes {included}, but the {topic} folder "
                                        f"does not link the {other} folder")
        if parts[0] not in ("foundation", "platform", "ui") and \
                not os.path.splitext(parts[-1])[0].endswith("_form") and \
                (included.startswith("Q") or head.startswith("Qt") or
                 included.startswith("platform/qt_")):
            breaches.append(f"{rel}: includes the Qt header {included} outside a window file")
        if parts[0] == "platform" and head in OUR_FOLDERS and head != "platform":
            breaches.append(f"{rel}: src/platform includes {included}")
    for topic in sorted(edges):
        cycle = cycle_through(edges, topic)
        if cycle and cycle[0] == min(cycle):  # each cycle once
            breaches.append("include cycle between topic folders: " + " -> ".join(cycle))
    if not links:
        breaches.append("no halvorn_foundation_topic() calls found in src/foundation/CMakeLists.txt")
    for breach in breaches:
        print(breach)
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
