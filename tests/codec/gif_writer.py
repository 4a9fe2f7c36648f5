"""A small GIF writer of its own, for streams the usual encoders do not
make: a full code table without a clear code, minimum code sizes of choice,
any palette. Written from the GIF format alone."""
import struct


def interlace_order(height):
    return [y for start, step in ((0, 8), (4, 8), (2, 4), (1, 2)) for y in range(start, height, step)]


def lzw(indices, min_size, clear_when_full=True):
    clear, eoi = 1 << min_size, (1 << min_size) + 1
    out, acc, nacc = bytearray(), 0, 0
    size, next_code, table = min_size + 1, eoi + 1, {}

    def emit(code):
        nonlocal acc, nacc
        acc |= code << nacc
        nacc += size
        while nacc >= 8:
            out.append(acc & 0xFF)
            acc >>= 8
            nacc -= 8

    emit(clear)
    prefix = None
    for idx in indices:
        if prefix is None:
            prefix = idx
            continue
        code = table.get((prefix, idx))
        if code is not None:
            prefix = code
            continue
        emit(prefix)
        if next_code < 4096:
            table[(prefix, idx)] = next_code
            next_code += 1
            if next_code - 1 == 1 << size and size < 12:
                size += 1
        elif clear_when_full:
            emit(clear)
            table, size, next_code = {}, min_size + 1, eoi + 1
        prefix = idx
    if prefix is not None:
        emit(prefix)
    emit(eoi)
    if nacc:
        out.append(acc & 0xFF)
    return bytes(out)


def sub_blocks(data):
    return b"".join(bytes([len(data[i:i + 255])]) + data[i:i + 255] for i in range(0, len(data), 255)) + b"\0"


def gif(width, height, indices, palette, interlaced=False, clear_when_full=True, min_size=None, gce=None):
    """A one-image GIF89a; palette is a list of (r, g, b), padded to a power of two."""
    bits = max(1, (len(palette) - 1).bit_length())
    table = b"".join(bytes(c) for c in palette) + bytes(3 * ((1 << bits) - len(palette)))
    head = b"GIF89a" + struct.pack("<HHBBB", width, height, 0x80 | 0x70 | (bits - 1), 0, 0) + table
    if gce is not None:
        head += b"\x21\xf9\x04" + struct.pack("<BHB", 1, 0, gce) + b"\0"
    if len(indices) < width * height:  # data for part of the image only
        ordered = list(indices)
    else:
        rows = interlace_order(height) if interlaced else range(height)
        ordered = [indices[y * width + x] for y in rows for x in range(width)]
    size = min_size or max(2, bits)
    desc = b"\x2c" + struct.pack("<HHHHB", 0, 0, width, height, 0x40 if interlaced else 0)
    return head + desc + bytes([size]) + sub_blocks(lzw(ordered, size, clear_when_full)) + b"\x3b"
