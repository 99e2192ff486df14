#!/usr/bin/python3
# Writes the case files beside this script, and manifest.tsv: what reading,
# probing and converting each must give. Run: /usr/bin/python3 make_cases.py
import os, struct, zlib

HERE = os.path.dirname(os.path.abspath(__file__))
PALETTE = bytes((i * 7 + c * 85) % 256 for i in range(256) for c in range(3))


def pixels(w, h):
    return bytes((x * 3 + y * 5 + 1) % 256 for y in range(h) for x in range(w))


def bmp(w, h, rows=None, offset=None, rle=0, table=PALETTE):  # rows: as stored, after the table
    if rows is None:  # plain rows, bottom up, padded to four bytes
        rows = b''.join(pixels(w, h)[y * w:y * w + w].ljust(-w % 4 + w, b'\0')
                        for y in reversed(range(h)))
    bgr = b''.join(table[i:i + 3][::-1] + b'\0' for i in range(0, len(table), 3))
    offset = 54 + len(bgr) if offset is None else offset
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 8, rle, len(rows), 2835, 2835, 0, 0)
    return b'BM' + struct.pack('<IHHI', offset + len(rows), 0, 0, offset) + info + bgr + rows


def xyz(w, h, payload):
    return b'XYZ1' + struct.pack('<HH', w, h) + zlib.compress(payload, 9)


def png(w, h, image, plte, trns):
    chunk = lambda kind, data: (struct.pack('>I', len(data)) + kind + data
                                + struct.pack('>I', zlib.crc32(kind + data)))
    rows = b''.join(b'\0' + image[y * w:y * w + w] for y in range(h))
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 3, 0, 0, 0))
            + chunk(b'PLTE', plte) + chunk(b'tRNS', trns) + chunk(b'IDAT', zlib.compress(rows))
            + chunk(b'IEND', b''))


def ok(w, h, pal, image):  # the digest: CRC-32 of 256 RGB entries, then the pixels
    return ['ok', 'success', '%dx%d' % (w, h), '%08x' % zlib.crc32(pal.ljust(768, b'\0') + image)]


FAIL = ['fail', 'unsupported-format', '-', '-']
SPRITE = bytes(p % 16 for p in pixels(5, 4))  # 16 colours, the first five see-through
WHOLE = bmp(6, 5)
cases = [
    ('bmp-cut-in-rows.bmp', WHOLE[:-12], 8, FAIL),
    ('bmp-no-last-padding.bmp', WHOLE[:-2], 8, ok(6, 5, PALETTE, pixels(6, 5))),
    ('bmp-pixels-past-end.bmp', bmp(6, 5, offset=4000), 8, FAIL),
    ('bmp-huge-54-bytes.bmp', bmp(20000, 20000, rows=b'', table=b''), 8, FAIL),
    # RLE8 4 x 3: the bottom row, then end of bitmap (the rows above stay 0);
    # two rows, then the data stops before the third or an end marker.
    ('bmp-rle-early-end.bmp', bmp(4, 3, bytes([4, 9, 0, 0, 0, 1]), rle=1), 8,
     ok(4, 3, PALETTE, bytes(8) + bytes([9] * 4))),
    ('bmp-rle-cut.bmp', bmp(4, 3, bytes([4, 9, 0, 0, 2, 7, 0, 0]), rle=1), 8, FAIL),
    ('bmp-zero-width.bmp', bmp(0, 5, rows=b''), 8, FAIL),
    ('xyz-short-stream.xyz', xyz(6, 5, PALETTE + pixels(6, 4)), 0, FAIL),
    ('xyz-longer-stream.xyz', xyz(6, 5, PALETTE + pixels(6, 6)), 8,
     ok(6, 5, PALETTE, pixels(6, 5))),
    ('xyz-huge-23-bytes.xyz', xyz(65535, 65535, bytes(768)), 0, FAIL),  # a black palette
    ('xyz-zero-height.xyz', xyz(6, 0, PALETTE), 0, FAIL),
    ('png-palette-trns.png', png(5, 4, SPRITE, PALETTE[:48], bytes([0, 64, 128, 255, 32])), 8,
     ok(5, 4, PALETTE[:48], SPRITE)),
]
with open(os.path.join(HERE, 'manifest.tsv'), 'w') as manifest:
    manifest.write('file\tread\tprobe\tbmp\tpng\txyz\tsize\tdigest\n')
    for name, data, probe, (read, status, size, digest) in cases:
        with open(os.path.join(HERE, name), 'wb') as f:
            f.write(data)
        manifest.write('\t'.join([name, read, str(probe)] + [status] * 3 + [size, digest]) + '\n')
