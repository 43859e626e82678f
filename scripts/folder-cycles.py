#!/usr/bin/env python3
"""Prints the project's folder include graph, every cycle in it and every
arrow that points back up the layers.

Reads the quoted includes of the C++ sources below the given root (default:
this checkout), maps each file to its top folder, and lists the folder pairs
and longer loops that lean on each other, and the includes by which a lower
folder reaches into a higher one. Exit status 1 when there is either.
"""
import os
import re
import sys

# Lowest first: a folder may include the folders before it, never one after.
# module/ (OpenCV behind platform's interfaces) includes only platform, and
# platform loads it at run time, by no include.
LAYERS = ["platform", "module", "net", "settings", "capture", "archive", "mail", "pop3", "vision",
          "monitor", "mqtt", "session", "service", "app"]
SOURCE_DIRS = LAYERS
NODES = SOURCE_DIRS


def node(path):
    """The graph node (the top folder) of a path relative to the root, or of an include."""
    return path.split("/")[0]

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
    bad = True
    print("CYCLE: " + " <-> ".join(sorted(comp)))
    for a in comp:
        for b in comp:
            for why in edges.get(a, {}).get(b, [])[:3]:
                print("   ", why)
for a in sorted(edges):
    for b in sorted(edges[a]):
        if LAYERS.index(a) < LAYERS.index(b):
            bad = True
            print(f"UP: {a} -> {b}")
            for why in edges[a][b][:3]:
                print("   ", why)
sys.exit(1 if bad else 0)
