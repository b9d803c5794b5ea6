#!/usr/bin/env python3
"""An outside judge of a FAT12/16/32 file system, sharing no code with the
program. `fat_tree.py IMAGE OFFSET` prints every entry at every depth as
JSON: {"path": [name, ...] (each name a list of UTF-16 code units), "short":
the 8.3 name (its bytes as Latin-1), "attr", "size", and "sha256" for files}.
Exits 2, the faults on standard error, when the structure is unsound: a
long name whose checksum or sequence does not fit its short entry, two
entries of a folder with one short name or one name (case folded as FAT
look-ups do, ASCII and Latin-1), clusters outside the volume, in two chains
or in none, and a file whose chain is shorter than its size."""
import hashlib
import json
import struct
import sys

def fold(units):
    return tuple(u - 32 if 97 <= u <= 122 or (0xE0 <= u <= 0xFE and u != 0xF7)
                 else u for u in units)

def units_of(text):
    data = text.encode('utf-16-le', 'surrogatepass')
    return list(struct.unpack('<%dH' % (len(data) // 2), data))

def checksum(raw):
    total = 0
    for byte in raw:
        total = (((total & 1) << 7) + (total >> 1) + byte) & 0xFF
    return total

class Volume:
    def __init__(self, image, offset):
        self.file, self.base, self.faults, self.owner = open(image, 'rb'), offset, [], {}
        boot = self.read(0, 512)
        (self.sector, per_cluster, reserved, fats, root_entries, total16, _,
         fat16) = struct.unpack_from('<HBHBHHBH', boot, 11)
        total32, fat32, flags, _, self.root_cluster = struct.unpack_from('<IIHHI', boot, 32)
        if self.sector not in (512, 1024, 2048, 4096) or not per_cluster or not fats:
            sys.exit('no FAT boot sector at %d' % offset)
        fat_sectors, total = fat16 or fat32, total16 or total32
        root_sectors = (root_entries * 32 + self.sector - 1) // self.sector
        self.root_at = (reserved + fats * fat_sectors) * self.sector
        self.root_bytes = root_sectors * self.sector
        self.data_at = self.root_at + self.root_bytes
        self.cluster = per_cluster * self.sector
        self.count = (total - reserved - fats * fat_sectors - root_sectors) // per_cluster
        self.bits = 12 if self.count < 4085 else 16 if self.count < 65525 else 32
        active = flags & 0xF if self.bits == 32 and flags & 0x80 else 0
        self.fat = self.read((reserved + active * fat_sectors) * self.sector,
                             fat_sectors * self.sector)
        if len(self.fat) * 8 // self.bits < self.count + 2:
            sys.exit('the FAT is too small for %d clusters' % self.count)

    def read(self, at, size):
        self.file.seek(self.base + at)
        return self.file.read(size)

    def next(self, n):
        if self.bits == 12:
            value = struct.unpack_from('<H', self.fat, n + n // 2)[0]
            return value >> 4 if n & 1 else value & 0xFFF
        if self.bits == 16:
            return struct.unpack_from('<H', self.fat, 2 * n)[0]
        return struct.unpack_from('<I', self.fat, 4 * n)[0] & 0x0FFFFFFF

    def chain(self, first, where):
        end, clusters, n = {12: 0xFF8, 16: 0xFFF8, 32: 0x0FFFFFF8}[self.bits], [], first
        while n < end:
            if not 2 <= n <= self.count + 1:
                self.faults.append('%s: cluster %d is outside the volume' % (where, n))
                break
            if n in self.owner:
                self.faults.append('%s: cluster %d is cross-linked with %s' % (where, n, self.owner[n]))
                break
            self.owner[n] = where
            clusters.append(n)
            n = self.next(n)
        return clusters

    def data(self, clusters):
        return b''.join(self.read(self.data_at + (n - 2) * self.cluster, self.cluster)
                        for n in clusters)

    def folder(self, data, path, out):
        where = ''.join('/' + part for part in path)
        shorts, names, slots = set(), {}, None
        for at in range(0, len(data) - 31, 32):
            entry = data[at:at + 32]
            attr = entry[11]
            if entry[0] in (0, 0xE5):  # the end, or a deleted entry
                if entry[0] == 0:
                    break
                slots = None
                continue
            if attr & 0x3F == 0x0F:
                order = entry[0] & 0x1F
                part = list(struct.unpack_from('<5H', entry, 1) + struct.unpack_from('<6H', entry, 14)
                            + struct.unpack_from('<2H', entry, 28))
                if entry[0] & 0x40:
                    if slots:
                        self.faults.append('%s/: a long name without its short entry' % where)
                    slots = [order, entry[13], part]
                elif not slots or order != slots[0] - 1 or entry[13] != slots[1]:
                    self.faults.append('%s/: a long-name slot %s' % (where, 'with another checksum'
                               if slots and order == slots[0] - 1 else 'out of sequence'))
                    slots = None
                else:
                    slots = [order, slots[1], part + slots[2]]
                continue
            raw, lfn, slots = (b'\xe5' + entry[1:11] if entry[0] == 5 else entry[:11]), slots, None
            if attr & 0x08 or raw in (b'.          ', b'..         '):
                continue
            base, ext = raw[:8].rstrip(b' '), raw[8:].rstrip(b' ')
            short = base + (b'.' + ext if ext else b'')
            shown = [part.decode('cp437').lower() if entry[12] & bit else part.decode('cp437')
                     for part, bit in ((base, 0x08), (ext, 0x10))]
            name = units_of(shown[0] + ('.' + shown[1] if ext else ''))
            if lfn and (lfn[0] != 1 or lfn[1] != checksum(entry[:11])):
                self.faults.append('%s/%s: the long name does not belong to its short entry (%s)'
                           % (where, short.decode('latin-1'),
                              'checksum' if lfn[0] == 1 else 'missing slots'))
            elif lfn:
                name = lfn[2][:lfn[2].index(0)] if 0 in lfn[2] else lfn[2]
            text = struct.pack('<%dH' % len(name), *name).decode('utf-16-le', 'surrogatepass')
            if raw in shorts:
                self.faults.append('%s/: two entries with the short name %s' % (where, short.decode('latin-1')))
            shorts.add(raw)
            for key in {fold(name), fold(units_of(short.decode('cp437')))}:
                if key in names:
                    self.faults.append('%s/: %r and %r have one name' % (where, names[key], text))
                names[key] = text
            high, low, size = struct.unpack_from('<H4xHI', entry, 20)
            first = low | (high << 16 if self.bits == 32 else 0)
            item = {'path': [units_of(p) for p in path] + [name],
                    'short': short.decode('latin-1'), 'attr': attr, 'size': size}
            out.append(item)
            clusters = self.chain(first, where + '/' + text) if first else []
            if attr & 0x10:
                if not clusters:
                    self.faults.append('%s/%s: a folder without clusters' % (where, text))
                self.folder(self.data(clusters), path + [text], out)
                continue
            if len(clusters) * self.cluster < size:
                self.faults.append('%s/%s: %d clusters for %d bytes' % (where, text, len(clusters), size))
            item['sha256'] = hashlib.sha256(self.data(clusters)[:size]).hexdigest()
        if slots:
            self.faults.append('%s/: a long name without its short entry' % where)

def main():
    if len(sys.argv) != 3:
        sys.exit('usage: fat_tree.py IMAGE OFFSET')
    volume, out = Volume(sys.argv[1], int(sys.argv[2])), []
    volume.folder(volume.data(volume.chain(volume.root_cluster, '/ (the root)')) if volume.bits == 32
                  else volume.read(volume.root_at, volume.root_bytes), [], out)
    lost = [n for n in range(2, volume.count + 2)
            if volume.next(n) not in (0, {12: 0xFF7, 16: 0xFFF7, 32: 0x0FFFFFF7}[volume.bits])
            and n not in volume.owner]
    if lost:
        volume.faults.append('%d clusters in use by nothing, the first %d' % (len(lost), lost[0]))
    print(json.dumps(out))
    print('\n'.join(volume.faults), file=sys.stderr, end='')
    sys.exit(2 if volume.faults else 0)

if __name__ == '__main__':
    main()
