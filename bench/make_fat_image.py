#!/usr/bin/env python3
"""Writes a large FAT32 image directly, for the benchmarks (mcopy takes
hours for 100,000 files).

    make_fat_image.py IMAGE [--files N] [--folders M] [--sizes MIN-MAX|SIZE]
                      [--cluster BYTES] [--seed S] [--fill random|zero]

The root holds M folders; the files are spread evenly over them. Names:
every third file has a plain 8.3 name ("DSC01234.JPG", one directory entry),
the others a long name ("Holiday photo 0001234.jpg", some with a non-ASCII
letter) with long-name entries before a generated short name ("HOL~1234.JPG",
unique in its folder). Folders alternate between "123CANON" and long names.
Sizes are drawn log-uniformly from MIN-MAX (or all SIZE); every 500th file
is empty (first cluster 0). Times spread over 2000-2029 in no particular
order, as on a card used for years (a cache of recent hours would not
help a reader's local-time conversion).

Layout: 512-byte sectors; 32 reserved sectors (boot sector 0, FS information
sector 1, their backups 6 and 7); two FATs; data from cluster 2. The root
directory starts at cluster 2, then for each folder its directory clusters
followed by its files, every chain contiguous. The cluster count is at least
65,536 so every reader takes the volume for FAT32; unused space stays sparse.
"""
import argparse
import array
import math
import os
import random
import struct
import sys
import time

SECTOR = 512
RESERVED = 32
END_OF_CHAIN = 0x0FFFFFFF
MIN_CLUSTERS = 65536  # FAT32 needs at least 65,525
BASE_TIME = 946684800  # 2000-01-01 00:00:00
TIME_SPAN = 946771200  # up to 2030-01-01 00:00:00


def spread_time(i):
    """Item I's time: a multiplicative hash of I scattered over TIME_SPAN from BASE_TIME."""
    return BASE_TIME + (i * 2654435761) % TIME_SPAN


def dos_time(t):
    g = time.gmtime(t)
    date = ((g.tm_year - 1980) << 9) | (g.tm_mon << 5) | g.tm_mday
    return date, (g.tm_hour << 11) | (g.tm_min << 5) | (g.tm_sec // 2)


def short_checksum(name11):
    total = 0
    for byte in name11:
        total = (((total & 1) << 7) + (total >> 1) + byte) & 0xFF
    return total


def plain_short(name):
    """The 11-byte short name when NAME is a plain upper-case 8.3 name, else None."""
    base, _, ext = name.partition('.')
    ok = set('ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-')
    if 1 <= len(base) <= 8 and len(ext) <= 3 and set(base + ext) <= ok and '.' not in ext:
        return (base.ljust(8) + ext.ljust(3)).encode('ascii')
    return None


def tailed_short(name, number):
    """A generated short name "BASE~N.EXT" for a long name; NUMBER is unique per folder."""
    base, dot, ext = name.rpartition('.')
    if not dot:
        base, ext = name, ''
    keep = lambda s: ''.join(c for c in s.upper() if c.isascii() and c.isalnum())
    tail = '~%d' % number
    head = (keep(base) or 'F')[:8 - len(tail)]
    return ((head + tail).ljust(8) + keep(ext)[:3].ljust(3)).encode('ascii')


def dir_entry(name11, attr, cluster, size, t):
    date, clock = dos_time(t)
    return struct.pack('<11sBBBHHHHHHHI', name11, attr, 0, 0, clock, date, date,
                       cluster >> 16, clock, date, cluster & 0xFFFF, size)


def entries_for(name, number, attr, cluster, size, t):
    """The directory entries of one item: long-name entries (last part first), then the short entry."""
    short = plain_short(name)
    if short is not None:
        return dir_entry(short, attr, cluster, size, t)
    short = tailed_short(name, number)
    units = name.encode('utf-16-le')
    if len(units) // 2 % 13:
        units += b'\0\0'
    units += b'\xff\xff' * ((-len(units) // 2) % 13)
    parts = [units[i:i + 26] for i in range(0, len(units), 26)]
    check = short_checksum(short)
    out = bytearray()
    for seq in range(len(parts), 0, -1):
        p = parts[seq - 1]
        out += struct.pack('<B10sBBB12sH4s', seq | (0x40 if seq == len(parts) else 0),
                           p[0:10], 0x0F, 0, check, p[10:22], 0, p[22:26])
    return bytes(out + dir_entry(short, attr, cluster, size, t))


def main():
    ap = argparse.ArgumentParser(description='Write a large FAT32 image for the benchmarks.')
    ap.add_argument('image')
    ap.add_argument('--files', type=int, default=100000)
    ap.add_argument('--folders', type=int, default=100)
    ap.add_argument('--sizes', default='256-16384', help='MIN-MAX (log-uniform) or one size in bytes')
    ap.add_argument('--cluster', type=int, default=4096)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--fill', choices=('random', 'zero'), default='random')
    a = ap.parse_args()
    if a.files < 1 or not 1 <= a.folders <= 9999 or a.cluster not in (512, 1024, 2048, 4096, 8192, 16384, 32768):
        sys.exit('make_fat_image.py: bad --files, --folders or --cluster')
    lo, _, hi = a.sizes.partition('-')
    lo, hi = int(lo), int(hi or lo)
    rng = random.Random(a.seed)
    spc = a.cluster // SECTOR
    clusters_of = lambda n: (n + a.cluster - 1) // a.cluster

    # The plan: per folder (name, [(name, size, time)]), then the cluster of every item.
    folders = []
    for f in range(a.folders):
        fname = '%03dCANON' % (100 + f) if f % 2 == 0 else 'Ferien Ålesund %03d' % f if f % 10 == 1 else 'Holiday trip %03d' % f
        files = []
        for i in range(f, a.files, a.folders):
            if i % 3 == 0:
                name = 'DSC%05d.JPG' % (i % 100000)
            else:
                name = ('Café %07d.jpg' if i % 10 == 1 else 'Holiday photo %07d.jpg') % i
            size = 0 if i % 500 == 499 else (lo if lo == hi else int(math.exp(rng.uniform(math.log(lo), math.log(hi)))))
            files.append((name, size, spread_time(i)))
        folders.append((fname, files))

    root_bytes = 32 + sum(len(entries_for(n, k + 1, 0x10, 0, 0, BASE_TIME)) for k, (n, _) in enumerate(folders))
    next_cluster = 2 + clusters_of(root_bytes)
    layout = []  # per folder: first cluster, directory clusters, first cluster of each file
    for fname, files in folders:
        dir_bytes = 64 + sum(len(entries_for(n, k + 1, 0x20, 0, 0, BASE_TIME)) for k, (n, _, _) in enumerate(files))
        first, dir_clusters = next_cluster, clusters_of(dir_bytes)
        next_cluster += dir_clusters
        starts = []
        for _, size, _ in files:
            starts.append(next_cluster if size else 0)
            next_cluster += clusters_of(size)
        layout.append((first, dir_clusters, starts))
    used = next_cluster - 2
    count = max(MIN_CLUSTERS, used + used // 100 + 16)
    fat_sectors = ((count + 2) * 4 + SECTOR - 1) // SECTOR
    data_sector = RESERVED + 2 * fat_sectors
    total_sectors = data_sector + count * spc
    if total_sectors >= 1 << 32:
        sys.exit('make_fat_image.py: the volume would exceed 2^32 sectors')

    fat = array.array('I', bytes(4 * (count + 2)))
    fat[0], fat[1] = 0x0FFFFFF8, 0x0FFFFFFF

    def chain(first, n):
        if n:
            fat[first:first + n - 1] = array.array('I', range(first + 1, first + n))
            fat[first + n - 1] = END_OF_CHAIN

    with open(a.image, 'wb') as out:
        out.truncate(total_sectors * SECTOR)
        position = lambda c: (data_sector + (c - 2) * spc) * SECTOR

        # Root: the volume label, then the folders.
        root = bytearray(dir_entry(b'BENCHCARD  ', 0x08, 0, 0, BASE_TIME))
        for k, ((fname, _), (first, dir_clusters, _)) in enumerate(zip(folders, layout)):
            root += entries_for(fname, k + 1, 0x10, first, 0, spread_time(a.files + k))
        chain(2, clusters_of(root_bytes))
        out.seek(position(2))
        out.write(root)

        for k, ((fname, files), (first, dir_clusters, starts)) in enumerate(zip(folders, layout)):
            t = spread_time(a.files + k)
            d = bytearray(dir_entry(b'.          ', 0x10, first, 0, t) + dir_entry(b'..         ', 0x10, 0, 0, t))
            for j, ((name, size, mt), start) in enumerate(zip(files, starts)):
                d += entries_for(name, j + 1, 0x20, start, size, mt)
                chain(start, clusters_of(size))
            chain(first, dir_clusters)
            blob = bytearray(d.ljust(dir_clusters * a.cluster, b'\0'))
            if a.fill == 'random':
                for (_, size, _), start in zip(files, starts):
                    if size:
                        blob += os.urandom(size) + bytes(clusters_of(size) * a.cluster - size)
            out.seek(position(first))
            out.write(blob)

        free = count - used
        boot = struct.pack('<3s8sHBHBHHBHHHII', b'\xebX\x90', b'ZVBENCH ', SECTOR, spc, RESERVED, 2, 0, 0,
                           0xF8, 0, 32, 64, 0, total_sectors)
        boot += struct.pack('<IHHIHH12sBBBI11s8s', fat_sectors, 0, 0, 2, 1, 6, bytes(12), 0x80, 0, 0x29,
                            0x5A560001, b'BENCHCARD  ', b'FAT32   ')
        boot = boot.ljust(510, b'\0') + b'\x55\xaa'
        info = struct.pack('<I480xIII12xI', 0x41615252, 0x61417272, free, next_cluster, 0xAA550000)
        for base in (0, 6):
            out.seek(base * SECTOR)
            out.write(boot + info + bytes(SECTOR - 2) + b'\x55\xaa')
        fat_bytes = fat.tobytes() if sys.byteorder == 'little' else struct.pack('<%dI' % len(fat), *fat)
        for copy in range(2):
            out.seek((RESERVED + copy * fat_sectors) * SECTOR)
            out.write(fat_bytes)

    data = sum(s for _, files in folders for _, s, _ in files)
    print('%s: FAT32, %d files in %d folders, %d bytes of file data, %d-byte clusters, %d of %d clusters used, '
          'image %d bytes' % (a.image, a.files, a.folders, data, a.cluster, used, count, total_sectors * SECTOR))


if __name__ == '__main__':
    main()
