#!/usr/bin/env python3
"""Prints the project's folder include graph and every cycle in it.

Reads the quoted includes of the C++ sources below the given root (default:
this checkout), maps each file to its top folder, and lists the folder pairs
and longer loops that lean on each other. Exit status 1 when a cycle other
than the allowed ones is found.

The option and version dialogs live in settings/ but are widget code built
into the widget library: they count as their own node, "settings-dialogs",
so that their use of the mail, POP3 and camera code for the connection
tests is not mistaken for the settings model leaning on those folders.
"""
import os
import re
import sys

ALLOWED = {frozenset({"app", "settings-dialogs"})}
DIALOGS = {"settings/Option", "settings/VersionInf"}
SOURCE_DIRS = ["app", "settings", "vision", "capture", "mail", "pop3", "platform",
               "monitor", "net", "service", "mqtt"]
NODES = SOURCE_DIRS + ["settings-dialogs"]


def node(path):
    """The graph node of a path relative to the root, or of an include."""
    stem = os.path.splitext(path)[0]
    return "settings-dialogs" if stem in DIALOGS else path.split("/")[0]

root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
include = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
edges = {}
for top in SOURCE_DIRS:
    base = os.path.join(root, top)
    if not os.path.isdir(base):
        continue
    for dirpath, _, files in os.walk(base):
        for name in files:
            if not name.endswith((".h", ".cpp")):
                continue
            rel = os.path.relpath(os.path.join(dirpath, name), root)
            source = node(rel)
            with open(os.path.join(dirpath, name), encoding="utf-8", errors="replace") as f:
                for line in f:
                    m = include.match(line)
                    if not m:
                        continue
                    target = node(m.group(1))
                    if target in NODES and target != source:
                        edges.setdefault(source, {}).setdefault(target, []).append(
                            os.path.relpath(os.path.join(dirpath, name), root) + " -> " + m.group(1))

# Strongly connected components (Tarjan) give every loop, however long.
index, low, stack, on, comps, counter = {}, {}, [], set(), [], [0]
def visit(v):
    index[v] = low[v] = counter[0]; counter[0] += 1
    stack.append(v); on.add(v)
    for w in edges.get(v, {}):
        if w not in index:
            visit(w); low[v] = min(low[v], low[w])
        elif w in on:
            low[v] = min(low[v], index[w])
    if low[v] == index[v]:
        comp = []
        while True:
            w = stack.pop(); on.discard(w); comp.append(w)
            if w == v:
                break
        comps.append(comp)
for v in NODES:
    if v not in index:
        visit(v)

for a in sorted(edges):
    print(f"{a} -> {', '.join(sorted(edges[a]))}")
bad = False
for comp in comps:
    if len(comp) < 2:
        continue
    allowed = frozenset(comp) in ALLOWED
    bad |= not allowed
    print(("allowed" if allowed else "CYCLE") + ": " + " <-> ".join(sorted(comp)))
    for a in comp:
        for b in comp:
            for why in edges.get(a, {}).get(b, [])[:3]:
                print("   ", why)
sys.exit(1 if bad else 0)
