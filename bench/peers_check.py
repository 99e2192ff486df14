"""Checks one tool's outputs against the corpus and describes them.

Usage: /usr/bin/python3 bench/peers_check.py SOURCE_DIR OUTPUT_DIR png|bmp

Prints one line: how the outputs are stored (PNG colour type, depth,
palette size, the row filters used, extra chunks; BMP depth, compression,
header size) and whether the pixels of a sample (first, middle and last
file) match their sources as RGB. Every output must exist. Exit status 1
when a file is missing or a sampled image differs, so that a tool that
fails or changes the picture is never reported as fast.
"""

import os
import struct
import sys
import zlib

from PIL import Image

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
CORE_CHUNKS = {"IHDR", "PLTE", "IDAT", "IEND"}


def describe_png(path):
    data = open(path, "rb").read()
    if not data.startswith(PNG_SIGNATURE):
        return {"kind": "not a PNG"}
    pos = len(PNG_SIGNATURE)
    idat = []
    info = {"chunks": set(), "plte": 0}
    while pos + 8 <= len(data):
        length, name = struct.unpack(">I4s", data[pos : pos + 8])
        body = data[pos + 8 : pos + 8 + length]
        name = name.decode("latin-1")
        info["chunks"].add(name)
        if name == "IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            info.update(width=width, height=height, depth=depth, colour=colour)
            info["interlace"] = interlace
        elif name == "PLTE":
            info["plte"] = length // 3
        elif name == "IDAT":
            idat.append(body)
        pos += 12 + length
    channels = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}[info["colour"]]
    stride = (info["width"] * channels * info["depth"] + 7) // 8 + 1
    raw = zlib.decompress(b"".join(idat))
    filters = set()
    if info["interlace"] == 0:
        filters = {raw[row * stride] for row in range(info["height"])}
    info["filters"] = filters
    return info


def describe_bmp(path):
    with open(path, "rb") as f:
        head = f.read(54)
    if head[:2] != b"BM":
        return {"kind": "not a BMP"}
    header_size, = struct.unpack("<I", head[14:18])
    bits, compression = struct.unpack("<HI", head[28:34])
    used, = struct.unpack("<I", head[46:50])
    return {"header": header_size, "bits": bits, "compression": compression,
            "used": used or (1 << bits if bits <= 8 else 0)}


def span(values):
    low, high = min(values), max(values)
    return str(low) if low == high else f"{low}-{high}"


def summary_png(infos):
    colour = {i["colour"] for i in infos}
    depth = {i["depth"] for i in infos}
    names = {0: "grey", 2: "RGB", 3: "palette", 4: "grey+alpha", 6: "RGBA"}
    kind = "/".join(names[c] for c in sorted(colour)) + " " + "/".join(map(str, sorted(depth))) + "-bit"
    parts = [kind]
    if colour == {3}:
        parts.append("PLTE " + span([i["plte"] for i in infos]))
    used = set().union(*(i["filters"] for i in infos))
    parts.append("filters " + ",".join(map(str, sorted(used))))
    extra = set().union(*(i["chunks"] for i in infos)) - CORE_CHUNKS
    if extra:
        parts.append("+" + " ".join(sorted(extra)))
    return ", ".join(parts)


def summary_bmp(infos):
    compressions = {0: "uncompressed", 1: "RLE8", 2: "RLE4", 3: "bitfields"}
    bits = "/".join(str(b) for b in sorted({i["bits"] for i in infos}))
    comp = "/".join(compressions.get(c, str(c)) for c in sorted({i["compression"] for i in infos}))
    header = "/".join(str(h) for h in sorted({i["header"] for i in infos}))
    table = span([i["used"] for i in infos])
    return f"{bits}-bit, {comp}, {header}-byte header, {table} colours"


def main():
    source_dir, output_dir, kind = sys.argv[1], sys.argv[2], sys.argv[3]
    sources = sorted(os.listdir(source_dir))
    missing = []
    pairs = []
    for name in sources:
        out = os.path.join(output_dir, name.rpartition(".")[0] + "." + kind)
        if os.path.isfile(out):
            pairs.append((os.path.join(source_dir, name), out))
        else:
            missing.append(name)
    if missing:
        print(f"MISSING {len(missing)} of {len(sources)} outputs, e.g. {missing[0]}")
        return 1
    sample = sorted({0, len(pairs) // 2, len(pairs) - 1})
    infos = []
    differ = 0
    for index in sample:
        source, out = pairs[index]
        infos.append(describe_png(out) if kind == "png" else describe_bmp(out))
        with Image.open(source) as a, Image.open(out) as b:
            if a.size != b.size or a.convert("RGB").tobytes() != b.convert("RGB").tobytes():
                differ += 1
    text = summary_png(infos) if kind == "png" else summary_bmp(infos)
    verdict = f"pixels equal in {len(sample)} sampled" if differ == 0 else \
        f"PIXELS DIFFER in {differ} of {len(sample)} sampled"
    print(f"{text}; {verdict}")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
