#!/usr/bin/env python3
"""Judges the rehearsal's page as a browser drew it.

    rehearse_judge.py SCREENSHOT.png DOM.html REPORT.json SCALE

DOM.html is the page as the browser parsed it (chromium --dump-dom). The
page passes when the summary table holds one row per telephone, each
telephone has its section with one picture per screen, the summary's header
colour is on the screenshot, and the first telephone's first screen appears
on it pixel for pixel: each LCD pixel a SCALE x SCALE square of ink where
the screen's hex has a set bit (rows of 132 pixels, least significant bit
first) and of paper elsewhere. Standard library only.
"""
import html.parser
import json
import struct
import sys
import zlib

PAPER = (0xC8, 0xD8, 0xB0)
INK = (0x10, 0x18, 0x10)
BORDER = (0x70, 0x78, 0x68)  # the frame around each screen
HEADER = (0x1F, 0x4E, 0x79)  # the summary table's header
LCD_W, LCD_H = 132, 64


def read_png(path):
    """(width, height, rows of (r, g, b)) of an 8-bit RGB or RGBA PNG."""
    data = open(path, 'rb').read()
    if data[:8] != b'\x89PNG\r\n\x1a\n':
        raise ValueError(path + ': not a PNG')
    pos, idat = 8, b''
    while pos < len(data):
        length, kind = struct.unpack('>I4s', data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b'IHDR':
            width, height, depth, colour, _, _, interlace = struct.unpack('>IIBBBBB', body)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise ValueError('%s: PNG of depth %d colour %d interlace %d' %
                                 (path, depth, colour, interlace))
        elif kind == b'IDAT':
            idat += body
        pos += 12 + length
    raw = zlib.decompress(idat)
    bpp = 3 if colour == 2 else 4
    stride = width * bpp
    rows, prev = [], bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * bpp:x * bpp + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def near(p, q, tolerance=6):
    return all(abs(a - b) <= tolerance for a, b in zip(p, q))


class Page(html.parser.HTMLParser):
    """Rows of the summary's body, and the pictures in each section."""

    def __init__(self):
        super().__init__()
        self.stack, self.summary_rows, self.section, self.sections = [], 0, None, {}

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == 'section' and a.get('id', '').startswith('t-'):
            self.section = a['id'][2:]
            self.sections[self.section] = 0
        if tag == 'img' and self.section is not None and 'lcd' in a.get('class', '').split():
            self.sections[self.section] += 1
        if tag == 'table':
            self.stack.append(a.get('id'))
        if tag == 'tr' and self.stack and self.stack[-1] == 'summary' and self.in_body:
            self.summary_rows += 1
        if tag == 'tbody':
            self.in_body = True
        if tag == 'thead':
            self.in_body = False

    in_body = False

    def handle_endtag(self, tag):
        if tag == 'table' and self.stack:
            self.stack.pop()
        if tag == 'section':
            self.section = None


def find_screen(rows, width, scale):
    """Top left corner of the first framed screen, in reading order: the
    first run of frame colour as long as a screen is the frame's top edge,
    and the frame's thickness is where its diagonal leaves that colour."""
    want = LCD_W * scale
    for y, row in enumerate(rows):
        x = 0
        while x < width:
            if not near(row[x], BORDER):
                x += 1
                continue
            start = x
            while x < width and near(row[x], BORDER):
                x += 1
            if x - start >= want:
                b = 0
                while y + b < len(rows) and start + b < width and near(rows[y + b][start + b], BORDER):
                    b += 1
                return start + b, y + b
    return None


def header_band(rows, width):
    """First row of the summary's header: where 15 rows in a row are mostly
    its colour (a section's rule is thinner)."""
    run = 0
    for y, row in enumerate(rows):
        if sum(1 for p in row if near(p, HEADER, 2)) >= width // 2:
            run += 1
            if run == 15:
                return y - 14
        else:
            run = 0
    return None


def main():
    shot, dom, report_path, scale = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    report = json.load(open(report_path))
    telephones = report['telephones']
    faults = []

    page = Page()
    page.feed(open(dom, encoding='utf-8').read())
    if page.summary_rows != len(telephones):
        faults.append('the summary table has %d rows, the report %d telephones' %
                      (page.summary_rows, len(telephones)))
    for t in telephones:
        want = len(t['upgrade']['screens'])
        got = page.sections.get(t['name'])
        if got is None:
            faults.append('no section t-%s' % t['name'])
        elif got != want:
            faults.append('t-%s shows %d screens, the report has %d' % (t['name'], got, want))

    width, height, rows = read_png(shot)
    header = header_band(rows, width)
    if header is None:
        faults.append('no band of the summary header colour on the screenshot')

    first = next((t for t in telephones if t['upgrade']['screens']), None)
    corner = find_screen(rows, width, scale) if first else None
    if first and corner is None:
        faults.append('no framed screen of %d pixels on the screenshot' % (LCD_W * scale))
    elif first:
        frame = bytes.fromhex(first['upgrade']['screens'][0]['hex'])
        left, top = corner
        wrong = 0
        for y in range(LCD_H):
            for x in range(LCD_W):
                n = y * LCD_W + x
                ink = n // 8 < len(frame) and (frame[n // 8] >> (n % 8)) & 1
                for dy in range(scale):
                    for dx in range(scale):
                        py, px = top + y * scale + dy, left + x * scale + dx
                        if py >= height or px >= width or not near(rows[py][px], INK if ink else PAPER):
                            wrong += 1
        if wrong:
            faults.append('%s screen 1 at (%d, %d): %d screenshot pixels are not as its hex says' %
                          (first['name'], left, top, wrong))
        elif header is not None and header > top:
            faults.append('the summary header (y %d) is below the first screen (y %d)' % (header, top))
        else:
            print('ok: %s screen 1 drawn pixel for pixel at (%d, %d)' % (first['name'], left, top))
    for f in faults:
        print('FAIL: ' + f, file=sys.stderr)
    if not faults:
        print('ok: summary of %d telephones, their sections and screens' % len(telephones))
    return 1 if faults else 0


if __name__ == '__main__':
    sys.exit(main())
