#!/usr/bin/env python3
"""Checks a printed dbcsprint test page: where each character landed, in
cells of the font, against where the tool put it.

usage: tools/pagecheck.py [--dpi DPI] [--media MEDIA] [--font FILE]
                          [--font-index N] [--render-dpi DPI] [--require-font]
                          [--require-outline-font] [--json] FILE

FILE is what reached the printer, in any of the formats print pipelines
send: PDF, PostScript (either possibly wrapped in PJL), PWG raster or CUPS
raster, Apple raster (URF). PDF and PostScript are rendered with Ghostscript
(no antialiasing); rasters are read as they are. The page must hold the test page's six characters:

    壱              16 cells in, 10 cells down
    弐  弐          2 cells apart, 12 cells down
    参  参      参  2 then 4 cells apart, 14 cells down

A cell is the extent of 亜 in the font at 12 pt, in the tool's device units
(--dpi): its advance width and its ascent plus descent, each rounded. A
character's place is the top-left corner of its cell; it is worked out from
the ink of the character and the bounding box of its glyph in the font.

Checks, each to within one pixel of the bitmap read: the glyphs have the
size of 12 pt glyphs (each edge of a character's ink within a pixel of its
glyph's: the page was not scaled), the page has the size of --media when one
is given (or within a point: PostScript and PPDs round page sizes to whole
points), and the characters stand where the tool put them.
For PDF and PostScript, the report also says how the characters arrived:
as glyphs of an embedded font (and of which type) or as an image.

Exit status: 0 when every check passes, 1 when one fails, 2 for a usage
error or a file that cannot be read.
"""

import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

POINTS = 12  # the tool's font size
CELL_CHARACTER = "亜"
# (character, cells right of the left margin, cells down) of every character,
# line by line; the left margin is 16 cells in.
LINES = [
    [("壱", 0, 10)],
    [("弐", 0, 12), ("弐", 2, 12)],
    [("参", 0, 14), ("参", 2, 14), ("参", 6, 14)],
]
LEFT_CELLS = 16

# Media sizes in points, by PWG self-describing name or legacy name.
PWG_MEDIA = re.compile(r"^[a-z0-9]+_[a-z0-9.-]+_(\d+(?:\.\d+)?)x(\d+(?:\.\d+)?)(mm|in)$")
MEDIA_ALIASES = {
    "a4": "iso_a4_210x297mm", "a5": "iso_a5_148x210mm", "a3": "iso_a3_297x420mm",
    "letter": "na_letter_8.5x11in", "legal": "na_legal_8.5x14in",
}

# Distances within a pixel pass, a pixel included (however it was summed).
PIXEL = 1 + 1e-6
LIGHT = bytes(range(128, 256))  # gray values that are paper, not ink
BINARY = bytes(1 if v < 128 else 0 for v in range(256))


class Unreadable(Exception):
    """The file (or the font) cannot be read: exit status 2."""


# --- the font ---------------------------------------------------------------

class Font:
    """The metrics the check needs from an sfnt font (TrueType or OpenType,
    or one face of a collection): units per em, the font-wide ascent and
    descent as FreeType reports them, and each character's advance width and
    glyph bounding box. TrueType outlines are read here; CFF outlines go
    through fontTools (Debian's python3-fonttools)."""

    def __init__(self, path, index=0):
        self.path = path
        self.index = index
        try:
            with open(path, "rb") as font:
                data = font.read()
        except OSError as error:
            raise Unreadable(f"cannot read the font: {error}")
        try:
            self._parse(data, index)
        except (struct.error, KeyError, IndexError) as error:
            raise Unreadable(f"{path}: not a font this tool can read ({error!r})")

    def _parse(self, data, index):
        base = 0
        if data[:4] == b"ttcf":
            count = struct.unpack_from(">I", data, 8)[0]
            if index >= count:
                raise Unreadable(f"{self.path} has {count} faces, not {index + 1}")
            base = struct.unpack_from(">I", data, 12 + 4 * index)[0]
        tables = {}
        for i in range(struct.unpack_from(">H", data, base + 4)[0]):
            tag, _, offset, length = struct.unpack_from(">4sIII", data, base + 12 + 16 * i)
            tables[tag] = (offset, length)
        self.data, self.tables = data, tables
        head = tables[b"head"][0]
        self.units = struct.unpack_from(">H", data, head + 18)[0]
        self.long_loca = struct.unpack_from(">h", data, head + 50)[0] == 1
        hhea = tables[b"hhea"][0]
        self.ascent, self.descent = struct.unpack_from(">hh", data, hhea + 4)
        self.metric_count = struct.unpack_from(">H", data, hhea + 34)[0]
        if self.ascent == 0 and self.descent == 0 and b"OS/2" in tables:
            # FreeType's fall-backs: the typographic values, then the Windows ones.
            os2 = tables[b"OS/2"][0]
            self.ascent, self.descent = struct.unpack_from(">hh", data, os2 + 68)
            if self.ascent == 0 and self.descent == 0:
                win_ascent, win_descent = struct.unpack_from(">HH", data, os2 + 74)
                self.ascent, self.descent = win_ascent, -win_descent
        self.cmap = self._read_cmap()
        self.family = self._read_name(1)
        self._cff_boxes = None

    def _read_cmap(self):
        """Code point -> glyph, from the best Unicode subtable."""
        data = self.data
        cmap = self.tables[b"cmap"][0]
        found = {}
        for i in range(struct.unpack_from(">H", data, cmap + 2)[0]):
            platform, encoding, offset = struct.unpack_from(">HHI", data, cmap + 4 + 8 * i)
            fmt = struct.unpack_from(">H", data, cmap + offset)[0]
            if platform in (0, 3) and fmt in (4, 12):
                found[(fmt, platform, encoding)] = cmap + offset
        if not found:
            raise Unreadable(f"{self.path}: no Unicode character map")
        fmt, _, _ = key = max(found)  # format 12 (all planes) before format 4
        return (fmt, found[key])

    def glyph(self, character):
        code = ord(character)
        fmt, at = self.cmap
        data = self.data
        if fmt == 12:
            for i in range(struct.unpack_from(">I", data, at + 12)[0]):
                first, last, glyph = struct.unpack_from(">III", data, at + 16 + 12 * i)
                if first <= code <= last:
                    return glyph + code - first
            return 0
        segments = struct.unpack_from(">H", data, at + 6)[0] // 2
        ends = at + 14
        starts = ends + 2 * segments + 2
        deltas = starts + 2 * segments
        ranges = deltas + 2 * segments
        for i in range(segments):
            end, start = struct.unpack_from(">HH", data, ends + 2 * i)[0], \
                struct.unpack_from(">H", data, starts + 2 * i)[0]
            if start <= code <= end:
                delta = struct.unpack_from(">h", data, deltas + 2 * i)[0]
                offset = struct.unpack_from(">H", data, ranges + 2 * i)[0]
                if offset == 0:
                    return (code + delta) & 0xFFFF
                glyph = struct.unpack_from(
                    ">H", data, ranges + 2 * i + offset + 2 * (code - start))[0]
                return (glyph + delta) & 0xFFFF if glyph else 0
        return 0

    def advance(self, character):
        glyph = min(self.glyph(character), self.metric_count - 1)
        return struct.unpack_from(">H", self.data, self.tables[b"hmtx"][0] + 4 * glyph)[0]

    def box(self, character):
        """The glyph's bounding box (xMin, yMin, xMax, yMax) in font units."""
        glyph = self.glyph(character)
        if glyph == 0:
            raise Unreadable(f"{self.path} has no glyph for {character}")
        if b"glyf" not in self.tables:
            return self._cff_box(character)
        points = self._outline(glyph)
        if not points:
            raise Unreadable(f"the glyph of {character} in {self.path} is empty")
        xs = [x for x, _ in points]
        ys = [y for _, y in points]
        return min(xs), min(ys), max(xs), max(ys)

    def _outline(self, glyph, depth=0):
        """Points on the outline of a TrueType glyph that bound it: the
        on-curve points and the extremes of its curves. (The box in the
        glyph's header counts off-curve points too, so it can be wider
        than the ink.)"""
        data = self.data
        loca = self.tables[b"loca"][0]
        if self.long_loca:
            start, end = struct.unpack_from(">II", data, loca + 4 * glyph)
        else:
            start, end = (2 * v for v in struct.unpack_from(">HH", data, loca + 2 * glyph))
        if start == end or depth > 8:
            return []
        at = self.tables[b"glyf"][0] + start
        contours = struct.unpack_from(">h", data, at)[0]
        at += 10
        if contours < 0:
            return self._composite(at, depth)
        ends = struct.unpack_from(f">{contours}H", data, at)
        at += 2 * contours
        at += 2 + struct.unpack_from(">H", data, at)[0]  # the instructions
        count = ends[-1] + 1 if contours else 0
        flags = []
        while len(flags) < count:
            flag = data[at]
            at += 1
            repeat = 1
            if flag & 8:
                repeat += data[at]
                at += 1
            flags += [flag] * repeat
        coordinates = []
        for short, same in ((2, 16), (4, 32)):
            value, values = 0, []
            for flag in flags[:count]:
                if flag & short:
                    value += data[at] if flag & same else -data[at]
                    at += 1
                elif not flag & same:
                    value += struct.unpack_from(">h", data, at)[0]
                    at += 2
                values.append(value)
            coordinates.append(values)
        found = []
        first = 0
        for last in ends:
            contour = [(coordinates[0][i], coordinates[1][i], flags[i] & 1)
                       for i in range(first, last + 1)]
            first = last + 1
            found += curve_extremes(contour)
        return found

    def _composite(self, at, depth):
        data = self.data
        found = []
        while True:
            flags, component = struct.unpack_from(">HH", data, at)
            at += 4
            if flags & 1:
                dx, dy = struct.unpack_from(">hh", data, at)
                at += 4
            else:
                dx, dy = struct.unpack_from(">bb", data, at)
                at += 2
            if not flags & 2:
                dx = dy = 0  # anchored by point numbers: rare in CJK fonts
            a, b, c, d = 1.0, 0.0, 0.0, 1.0
            if flags & 8:
                a = d = struct.unpack_from(">h", data, at)[0] / 16384
                at += 2
            elif flags & 0x40:
                a, d = (v / 16384 for v in struct.unpack_from(">hh", data, at))
                at += 4
            elif flags & 0x80:
                a, b, c, d = (v / 16384 for v in struct.unpack_from(">4h", data, at))
                at += 8
            found += [(a * x + c * y + dx, b * x + d * y + dy)
                      for x, y in self._outline(component, depth + 1)]
            if not flags & 0x20:
                return found

    def _cff_box(self, character):
        try:
            from fontTools.pens.boundsPen import BoundsPen
            from fontTools.ttLib import TTFont
        except ImportError:
            raise Unreadable(f"{self.path} has CFF outlines, which need fontTools "
                             "(Debian's python3-fonttools, for /usr/bin/python3)")
        font = TTFont(self.path, fontNumber=self.index, lazy=True)
        name = font.getBestCmap()[ord(character)]
        pen = BoundsPen(font.getGlyphSet())
        font.getGlyphSet()[name].draw(pen)
        return tuple(round(v) for v in pen.bounds)

    def _read_name(self, name_id):
        if b"name" not in self.tables:
            return ""
        at = self.tables[b"name"][0]
        count, strings = struct.unpack_from(">HH", self.data, at + 2)
        for i in range(count):
            platform, _, language, nid, length, offset = struct.unpack_from(
                ">6H", self.data, at + 6 + 12 * i)
            if nid == name_id and platform == 3 and language == 0x409:
                raw = self.data[at + strings + offset:at + strings + offset + length]
                return raw.decode("utf-16-be", "replace")
        return ""

    def cell(self, dpi):
        """The tool's cell (cx, cy) in device units at dpi."""
        em = POINTS * dpi / 72
        return (round(self.advance(CELL_CHARACTER) / self.units * em),
                round((self.ascent - self.descent) / self.units * em))


def curve_extremes(contour):
    """The on-curve points of a closed quadratic contour [(x, y, on)] and
    the extremes of its curves."""
    if not contour:
        return []
    # Between two off-curve points lies an implied on-curve point.
    points = []
    for i, (x, y, on) in enumerate(contour):
        px, py, pon = contour[i - 1]
        if not on and not pon:
            points.append(((px + x) / 2, (py + y) / 2, 1))
        points.append((x, y, on))
    start = next((i for i, p in enumerate(points) if p[2]), None)
    if start is None:  # all off-curve: every midpoint is on the curve
        return [(x, y) for x, y, _ in points]
    points = points[start:] + points[:start] + [points[start]]
    found = []
    i = 0
    while i < len(points) - 1:
        x0, y0, _ = points[i]
        found.append((x0, y0))
        if points[i + 1][2]:
            i += 1
            continue
        (cx, cy, _), (x1, y1, _) = points[i + 1], points[i + 2]
        for t in (quadratic_turn(x0, cx, x1), quadratic_turn(y0, cy, y1)):
            if t is not None:
                u = 1 - t
                found.append((u * u * x0 + 2 * u * t * cx + t * t * x1,
                              u * u * y0 + 2 * u * t * cy + t * t * y1))
        i += 2
    return found


def quadratic_turn(a, control, b):
    """Where (0 < t < 1) a quadratic Bezier turns back along one axis."""
    denominator = a - 2 * control + b
    if denominator == 0:
        return None
    t = (a - control) / denominator
    return t if 0 < t < 1 else None


def default_font():
    """The file and face index fontconfig picks for Japanese sans-serif text,
    as the tool does."""
    try:
        done = subprocess.run(["fc-match", "-f", "%{file}\n%{index}", "sans-serif:lang=ja"],
                              capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as error:
        raise Unreadable(f"fc-match cannot name the default font: {error}")
    path, _, index = done.stdout.partition("\n")
    return path, int(index or 0)


# --- pages ------------------------------------------------------------------

class Page:
    """One page as 8-bit gray rows (0 black, 255 white), top row first."""

    def __init__(self, width, height, dpi, rows, declared=None, details=None):
        self.width = width
        self.height = height
        self.dpi = dpi  # (x, y)
        self.rows = rows
        self.declared = declared  # the page size the file states, in points
        self.details = details or {}

    @property
    def size_points(self):
        return (self.width * 72 / self.dpi[0], self.height * 72 / self.dpi[1])


PJL = b"\x1b%-12345X"  # the Universal Exit Language that opens and closes a PJL job


def sniff(path):
    with open(path, "rb") as file:
        head = file.read(4096)
    if head.startswith(PJL):
        # A PJL job: the document is the PDF or PostScript inside it.
        starts = [at for at in (head.find(b"%PDF-"), head.find(b"%!")) if at > 0]
        if starts:
            return ("pdf" if head[min(starts):].startswith(b"%PDF-") else "postscript"), True
    if head.startswith(b"%PDF-"):
        return "pdf", False
    if head[:4] in (b"RaS2", b"2SaR", b"RaS3", b"3SaR", b"RaSt", b"tSaR"):
        return ("pwg-raster" if head[4:13] == b"PwgRaster" else "cups-raster"), False
    if head.startswith(b"UNIRAST\0"):
        return "urf", False
    if head.startswith(b"%!"):
        return "postscript", False
    raise Unreadable("not PDF, PostScript, PWG/CUPS raster or Apple raster")


def unwrap_pjl(path, folder):
    """The document inside a PJL job, as a file of its own in folder."""
    with open(path, "rb") as file:
        data = file.read()
    start = min(at for at in (data.find(b"%PDF-"), data.find(b"%!")) if at > 0)
    end = data.rfind(PJL)
    inner = os.path.join(folder, "document")
    with open(inner, "wb") as file:
        file.write(data[start:end if end > start else len(data)])
    return inner


def run_ghostscript(path, dpi):
    """Renders every page to gray at dpi without antialiasing; returns the
    first page and the number of pages."""
    gs = shutil.which("gs")
    if gs is None:
        raise Unreadable("Ghostscript (gs) is needed for PDF and PostScript: install ghostscript")
    folder = tempfile.mkdtemp(prefix="pagecheck-")
    try:
        # Each page's size as the document set it, printed as the page ends.
        report_size = ("<< /EndPage { exch pop dup 2 ne { (%%PageSize: ) print "
                       "currentpagedevice /PageSize get { ==only ( ) print } forall () = } if "
                       "2 ne } bind >> setpagedevice")
        done = subprocess.run(
            [gs, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pgmraw", f"-r{dpi}",
             "-dTextAlphaBits=1", "-dGraphicsAlphaBits=1",
             "-sOutputFile=" + os.path.join(folder, "page-%d.pgm"),
             "-c", report_size, "-f", path],
            capture_output=True, text=True, timeout=300)
        sizes = [tuple(float(v) for v in m.group(1).split())
                 for m in re.finditer(r"%%PageSize: ([\d. ]+)", done.stdout)]
        pages = sorted(n for n in os.listdir(folder) if n.endswith(".pgm"))
        if done.returncode != 0 or not pages:
            raise Unreadable(f"Ghostscript cannot render it: {done.stderr.strip()[-500:]}")
        width, height, rows = read_pgm(os.path.join(folder, "page-1.pgm"))
        return Page(width, height, (dpi, dpi), rows, sizes[0] if sizes else None), len(pages)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def read_pgm(path):
    with open(path, "rb") as file:
        data = file.read()
    fields = []
    at = 2
    while len(fields) < 3:
        while data[at:at + 1].isspace():
            at += 1
        if data[at:at + 1] == b"#":
            at = data.index(b"\n", at) + 1
            continue
        end = at
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(int(data[at:end]))
        at = end
    at += 1
    width, height, _ = fields
    return width, height, [data[at + y * width:at + (y + 1) * width] for y in range(height)]


ADDITIVE = {0, 1, 2, 17, 18, 19, 20}  # W, RGB, RGBA, RGBW, sGray, sRGB, AdobeRGB
CIELAB = {15, 16}  # CIEXYZ, CIELab: the first channel is lightness
COLOR_SPACES = {0: "W", 1: "RGB", 2: "RGBA", 3: "K", 4: "CMY", 6: "CMYK", 15: "CIEXYZ",
                16: "CIELab", 17: "RGBW", 18: "sGray", 19: "sRGB", 20: "AdobeRGB"}
# Apple raster's colour spaces, as CUPS maps them.
URF_COLOR_SPACES = [18, 19, 16, 20, 0, 1, 6]


def unpack_bits(row, bits):
    """Samples of `bits` bits each (1, 2 or 4), scaled to 0..255."""
    per_byte = 8 // bits
    mask = (1 << bits) - 1
    scale = 255 // mask
    table = [bytes(((b >> (8 - bits * (i + 1))) & mask) * scale for i in range(per_byte))
             for b in range(256)]
    return b"".join(table[b] for b in row)


class RasterDecoder:
    """Turns raster rows, as stored, into 8-bit gray rows (0 black)."""

    def __init__(self, color_space, bits_per_color, bits_per_pixel, width, byte_order=">"):
        if bits_per_pixel % bits_per_color or bits_per_color not in (1, 2, 4, 8, 16):
            raise Unreadable(f"unsupported raster: {bits_per_color} bits a colour, "
                             f"{bits_per_pixel} a pixel")
        self.colors = bits_per_pixel // bits_per_color
        self.bits = bits_per_color
        self.space = color_space
        self.width = width
        self.byte_order = byte_order
        self.additive = color_space in ADDITIVE or color_space in CIELAB
        self._cache = {}

    def gray(self, row):
        known = self._cache.get(row)
        if known is None:
            known = self._cache[row] = self._convert(row)
        return known

    def _convert(self, row):
        if self.bits == 16:
            row = row[0::2] if self.byte_order == ">" else row[1::2]
        elif self.bits < 8:
            row = unpack_bits(row, self.bits)
        samples = row[:self.width * self.colors]
        if self.colors == 1:
            channel = samples
        elif self.space in CIELAB:
            channel = samples[0::self.colors]
        else:
            channels = [samples[i::self.colors] for i in range(self.colors)]
            channel = bytes(map(min if self.additive else max, *channels))
        if not self.additive:
            channel = channel.translate(bytes(255 - v for v in range(256)))
        return channel


def read_packbits_rows(data, at, height, bytes_per_line, unit, white):
    """Rows of CUPS's PackBits-style compression: a repeat count for the
    line, then runs (0-127: the next pixel n+1 times; 129-255: 257-n pixels
    as they are; 128: the rest of the line blank). Returns rows and the
    offset after them."""
    rows = []
    while len(rows) < height:
        if at >= len(data):
            raise Unreadable(f"the raster ends after {len(rows)} of {height} rows")
        repeat = data[at] + 1
        at += 1
        line = bytearray()
        while len(line) < bytes_per_line:
            if at >= len(data):
                raise Unreadable("the raster ends inside a row")
            count = data[at]
            at += 1
            if count == 128:
                line += white * ((bytes_per_line - len(line)) // len(white) + 1)
            elif count > 128:
                size = (257 - count) * unit
                line += data[at:at + size]
                at += size
            else:
                line += data[at:at + unit] * (count + 1)
                at += unit
        line = bytes(line[:bytes_per_line])
        rows.extend([line] * repeat)
    return rows[:height], at


def read_cups_raster(path):
    """PWG raster or CUPS raster (versions 1 to 3): its first page, and the
    number of pages."""
    with open(path, "rb") as file:
        data = file.read()
    sync = data[:4]
    order = ">" if sync in (b"RaS2", b"RaS3", b"RaSt") else "<"
    compressed = sync in (b"RaS2", b"2SaR")
    pages = []
    at = 4
    while at + 1796 <= len(data) and len(pages) < 50:
        header = data[at:at + 1796]
        at += 1796

        def u(offset):
            return struct.unpack_from(order + "I", header, offset)[0]
        width, height = u(372), u(376)
        bits_color, bits_pixel, per_line = u(384), u(388), u(392)
        color_order, space = u(396), u(400)
        dpi = (u(276), u(280))
        if width == 0 or height == 0 or dpi[0] == 0 or dpi[1] == 0 or per_line == 0:
            raise Unreadable("a raster page header with no size or resolution")
        if color_order != 0:
            raise Unreadable("only chunky (interleaved) rasters are read")
        unit = max(1, (bits_pixel + 7) // 8)
        white = b"\xff" * unit if space in ADDITIVE else b"\0" * unit
        if compressed:
            rows, at = read_packbits_rows(data, at, height, per_line, unit, white)
        else:
            rows = [data[at + y * per_line:at + (y + 1) * per_line] for y in range(height)]
            at += height * per_line
        pages.append((width, height, dpi, rows, space, bits_color, bits_pixel, header, order))
    if not pages:
        raise Unreadable("no page in the raster")
    width, height, dpi, rows, space, bits_color, bits_pixel, header, order = pages[0]
    decoder = RasterDecoder(space, bits_color, bits_pixel, width, order)
    declared = struct.unpack_from(order + "II", header, 352)
    size_name = header[1732:1796].split(b"\0")[0].decode("ascii", "replace")
    details = {"color_space": COLOR_SPACES.get(space, str(space)), "bits_per_color": bits_color,
               "bits_per_pixel": bits_pixel, "page_size_name": size_name}
    return Page(width, height, dpi, [decoder.gray(r) for r in rows], declared, details), len(pages)


def read_urf(path):
    """Apple raster: its first page, and the number of pages."""
    with open(path, "rb") as file:
        data = file.read()
    # The file header's page count may be 0 (unknown): the pages are counted.
    pages = []
    at = 12
    while at + 32 <= len(data) and len(pages) < 50:
        bits_pixel, space_code = data[at], data[at + 1]
        width, height, dpi = struct.unpack_from(">III", data, at + 12)
        at += 32
        if space_code >= len(URF_COLOR_SPACES) or not width or not height or not dpi:
            raise Unreadable("an Apple raster page header this tool cannot read")
        space = URF_COLOR_SPACES[space_code]
        unit = max(1, bits_pixel // 8)
        white = b"\xff" * unit if space in ADDITIVE else b"\0" * unit
        rows, at = read_packbits_rows(data, at, height, width * unit, unit, white)
        pages.append((width, height, dpi, space, bits_pixel, rows))
    if not pages:
        raise Unreadable("no page in the Apple raster")
    width, height, dpi, space, bits_pixel, rows = pages[0]
    colors = {18: 1, 0: 1, 6: 4}.get(space, 3)
    decoder = RasterDecoder(space, bits_pixel // colors, bits_pixel, width)
    details = {"color_space": COLOR_SPACES.get(space, str(space)),
               "bits_per_color": bits_pixel // colors, "bits_per_pixel": bits_pixel}
    return Page(width, height, (dpi, dpi), [decoder.gray(r) for r in rows], None, details), \
        len(pages)


# --- how the characters arrived ------------------------------------------------

POSTSCRIPT_FONT_TYPES = {  # how Ghostscript's PDF writer names each PostScript font type
    "TrueType": "Type 42", "CID TrueType": "CIDFontType 2", "Type 3": "Type 3",
    "Type 1": "Type 1", "Type 1C": "Type 1", "CID Type 0": "CIDFontType 0",
    "CID Type 0C": "CIDFontType 0", "TrueType (OT)": "Type 42",
    "CID TrueType (OT)": "CIDFontType 2", "Type 1C (OT)": "Type 1",
    "CID Type 0C (OT)": "CIDFontType 0",
}


def list_fonts(pdf):
    out = subprocess.run(["pdffonts", pdf], capture_output=True, text=True).stdout
    fonts = []
    for line in out.splitlines()[2:]:
        match = re.match(
            r"(\S+)\s+(.+?)\s{2,}(\S+)\s+(yes|no)\s+(yes|no)\s+(yes|no)\s+\d+\s+\d+$", line)
        if match:
            fonts.append({"name": match.group(1), "type": match.group(2),
                          "embedded": match.group(4) == "yes"})
    return fonts


def list_images(pdf):
    out = subprocess.run(["pdfimages", "-list", pdf], capture_output=True, text=True).stdout
    images = []
    for line in out.splitlines()[2:]:
        fields = line.split()
        if len(fields) >= 5 and fields[0].isdigit():
            images.append({"type": fields[2], "width": int(fields[3]), "height": int(fields[4])})
    return images


def type3_glyphs_are_bitmaps(pdf):
    """Whether the Type 3 glyph procedures of an uncompressed PDF draw images."""
    with open(pdf, "rb") as file:
        data = file.read()
    procedures = re.findall(rb"stream\r?\n[^\n]* d1\b(.*?)endstream", data, re.S)
    return any(re.search(rb"(^|\s)(BI|Do)(\s|$)", p) for p in procedures)


def arrival(path, kind):
    """How the page's characters arrived: font glyphs (and the fonts'
    types) or an image. PostScript is read through Ghostscript's PDF writer,
    which keeps fonts and images as they are: a Type 42 font becomes a
    TrueType one, a CIDFontType 2 a CID TrueType one, and so on."""
    if not (shutil.which("pdffonts") and shutil.which("pdfimages")):
        return {"how": "unknown", "detail": "poppler-utils (pdffonts, pdfimages) is not installed"}
    folder = tempfile.mkdtemp(prefix="pagecheck-")
    try:
        # Uncompressed, so that Type 3 glyph procedures can be read.
        pdf = os.path.join(folder, "page.pdf")
        done = subprocess.run(
            ["gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pdfwrite",
             "-dCompressStreams=false", "-dCompressPages=false", "-dCompressFonts=false",
             "-sOutputFile=" + pdf, path], capture_output=True, text=True, timeout=300)
        if done.returncode != 0:
            return {"how": "unknown", "detail": "Ghostscript cannot convert it to PDF"}
        fonts = list_fonts(path if kind == "pdf" else pdf)
        images = list_images(path if kind == "pdf" else pdf)
        bitmaps = type3_glyphs_are_bitmaps(pdf)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    for font in fonts:
        if kind == "postscript":
            font["postscript_type"] = POSTSCRIPT_FONT_TYPES.get(font["type"], font["type"])
        font["glyphs"] = "bitmap" if font["type"] == "Type 3" and bitmaps else "outline"
    if fonts:
        names = ", ".join(
            f"{f.get('postscript_type', f['type'])} ({f['glyphs']} glyphs)" for f in fonts)
        how, detail = "font", f"as glyphs of an embedded font: {names}"
    elif images:
        largest = max(images, key=lambda i: i["width"] * i["height"])
        how, detail = "image", f"as a bitmap image, {largest['width']}x{largest['height']} pixels"
    else:
        how, detail = "unknown", "neither font glyphs nor an image (drawn as paths?)"
    return {"how": how, "detail": detail, "fonts": fonts, "images": images}


# --- finding the characters ---------------------------------------------------

def runs(flags, merge):
    """[start, end) of the runs of non-zero bytes in flags, runs less than
    `merge` apart joined."""
    found = []
    for match in re.finditer(rb"[^\x00]+", flags):
        if found and match.start() - found[-1][1] < merge:
            found[-1][1] = match.end()
        else:
            found.append([match.start(), match.end()])
    return [tuple(r) for r in found]


def find_ink(page, em_pixels):
    """The ink boxes (x0, y0, x1, y1), pixel edges, end exclusive, line by
    line from the top, left to right. Lines more than half an em apart and
    characters more than a quarter em apart are told apart."""
    inked = bytes(1 if row.translate(None, LIGHT) else 0 for row in page.rows)
    lines = []
    for top, bottom in runs(inked, em_pixels / 2):
        columns = 0
        for row in page.rows[top:bottom]:
            columns |= int.from_bytes(row.translate(BINARY), "big")
        flags = columns.to_bytes(page.width, "big")
        boxes = []
        for left, right in runs(flags, em_pixels / 4):
            ys = [y for y in range(top, bottom) if page.rows[y][left:right].translate(None, LIGHT)]
            boxes.append((left, ys[0], right, ys[-1] + 1))
        lines.append(boxes)
    return lines


# --- the check ----------------------------------------------------------------

def media_points(text):
    """(width, height) in points of a PWG media name or WxH in points."""
    name = MEDIA_ALIASES.get(text.lower(), text)
    match = PWG_MEDIA.match(name)
    if match:
        unit = 72 / 25.4 if match.group(3) == "mm" else 72
        return float(match.group(1)) * unit, float(match.group(2)) * unit
    match = re.match(r"^(\d+(?:\.\d+)?)x(\d+(?:\.\d+)?)$", text)
    if match:
        return float(match.group(1)), float(match.group(2))
    raise ValueError(f"not a media name or WxH in points: {text}")


def check(path, dpi=None, media=None, font_file=None, font_index=None, render_dpi=None,
          require_font=None):
    """Reads the page and checks it; returns the report as a dictionary."""
    kind, wrapped = sniff(path)
    if wrapped:
        folder = tempfile.mkdtemp(prefix="pagecheck-")
        try:
            report = check(unwrap_pjl(path, folder), dpi, media, font_file, font_index,
                           render_dpi, require_font)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        report["file"] = path
        report["format"] += " in PJL"
        return report
    if font_file is None:
        font_file, default_index = default_font()
        font_index = default_index if font_index is None else font_index
    font = Font(font_file, font_index or 0)

    if kind in ("pdf", "postscript"):
        tool_dpi = dpi or 600
        page, pages = run_ghostscript(path, render_dpi or tool_dpi)
    elif kind == "urf":
        page, pages = read_urf(path)
        tool_dpi = dpi or page.dpi[0]
    else:
        page, pages = read_cups_raster(path)
        tool_dpi = dpi or page.dpi[0]
    xdpi, ydpi = page.dpi
    cx, cy = font.cell(tool_dpi)
    em_x = POINTS * xdpi / 72  # the em in pixels read
    to_units = (tool_dpi / xdpi, tool_dpi / ydpi)
    report = {
        "file": path, "format": kind, "pages": pages,
        "page": {"width_px": page.width, "height_px": page.height, "dpi": [xdpi, ydpi],
                 "width_pt": round(page.size_points[0], 2),
                 "height_pt": round(page.size_points[1], 2),
                 "declared_pt": list(page.declared) if page.declared else None,
                 **page.details},
        "tool_dpi": tool_dpi,
        "font": {"file": font.path, "index": font.index, "family": font.family},
        "cell": {"cx": cx, "cy": cy},
        "characters": [], "checks": [],
    }

    def add_check(name, passed, detail):
        report["checks"].append({"name": name, "passed": bool(passed), "detail": detail})

    add_check("one page", pages == 1, f"{pages} page(s)")

    if media is not None:
        want = media_points(media)
        have = page.size_points
        # Within a pixel, or a point: PostScript and PPDs carry page sizes
        # in whole points (A4 is 595 x 842 there).
        slack = (max(72 / xdpi, 1.0) * PIXEL, max(72 / ydpi, 1.0) * PIXEL)
        add_check("page is the media", all(abs(h - w) <= s for h, w, s in zip(have, want, slack)),
                  f"page {have[0]:.2f} x {have[1]:.2f} pt, media {media} "
                  f"{want[0]:.2f} x {want[1]:.2f} pt")

    lines = find_ink(page, em_x)
    shape = [len(line) for line in lines]
    wanted = [len(line) for line in LINES]
    add_check("six characters on three lines", shape == wanted,
              f"characters per line: {shape}, expected {wanted}")

    if require_font and kind not in ("pdf", "postscript"):
        add_check("characters as font glyphs", False, f"a {kind} file carries no fonts")
    if kind in ("pdf", "postscript"):
        report["arrival"] = arrival(path, kind)
        if require_font:
            fonts = report["arrival"].get("fonts", [])
            ok = bool(fonts) and (require_font == "any" or all(
                f["glyphs"] == "outline" for f in fonts))
            add_check("characters as font glyphs" if require_font == "any"
                      else "characters as outline font glyphs", ok, report["arrival"]["detail"])

    if shape != wanted:
        report["passed"] = False
        report["ink"] = [[list(b) for b in line] for line in lines]
        return report

    scale_x = font.units / (POINTS * xdpi / 72)  # font units a pixel
    scale_y = font.units / (POINTS * ydpi / 72)
    size_faults, start_faults, spacing_faults, line_faults = [], [], [], []
    sizes = []
    previous_x = 0.0  # the reference point of the character before, on its line
    for number, (line, expected) in enumerate(zip(lines, LINES), 1):
        for index, ((x0, y0, x1, y1), (character, cells_x, cells_y)) in enumerate(
                zip(line, expected)):
            x_min, y_min, x_max, y_max = font.box(character)
            glyph_w = (x_max - x_min) / scale_x
            glyph_h = (y_max - y_min) / scale_y
            # The reference point from the middle of the ink: the glyph box's
            # middle is this far right of the origin and above the baseline.
            ref_x = (x0 + x1) / 2 - (x_min + x_max) / 2 / scale_x
            baseline = (y0 + y1) / 2 + (y_min + y_max) / 2 / scale_y
            ref_y = baseline - font.ascent / scale_y
            want_x = (LEFT_CELLS + cells_x) * cx / to_units[0]
            want_y = cells_y * cy / to_units[1]
            entry = {
                "character": character, "line": number, "index": index + 1,
                "ink_px": [x0, y0, x1, y1],
                "ink_size_px": [x1 - x0, y1 - y0],
                "glyph_size_px": [round(glyph_w, 2), round(glyph_h, 2)],
                "reference_px": [round(ref_x, 2), round(ref_y, 2)],
                "expected_px": [round(want_x, 2), round(want_y, 2)],
                "reference_units": [round(ref_x * to_units[0], 2), round(ref_y * to_units[1], 2)],
                "expected_units": [(LEFT_CELLS + cells_x) * cx, cells_y * cy],
                "reference_cells": [round(ref_x * to_units[0] / cx, 3),
                                    round(ref_y * to_units[1] / cy, 3)],
            }
            report["characters"].append(entry)
            sizes.append(((x1 - x0) / glyph_w, (y1 - y0) / glyph_h))
            label = f"{character} (line {number}, #{index + 1})"
            # Each edge of the ink within a pixel of the glyph's: the size
            # within two. (Ink sampled at pixel centres loses the thin tip
            # of a stroke, so one pixel on the size would be too tight.)
            if abs((x1 - x0) - glyph_w) > 2 * PIXEL or abs((y1 - y0) - glyph_h) > 2 * PIXEL:
                size_faults.append(f"{label}: ink {x1 - x0} x {y1 - y0} px, "
                                   f"12 pt glyph {glyph_w:.1f} x {glyph_h:.1f} px")
            if index == 0 and abs(ref_x - want_x) > PIXEL:
                start_faults.append(f"{label}: x {ref_x * to_units[0] / cx:.3f} cells")
            if index > 0:
                step = ref_x - previous_x
                want_step = (cells_x - expected[index - 1][1]) * cx / to_units[0]
                if abs(step - want_step) > PIXEL:
                    spacing_faults.append(
                        f"{label}: {step * to_units[0] / cx:.3f} cells after the one before, "
                        f"not {want_step * to_units[0] / cx:.0f}")
            previous_x = ref_x
            if abs(ref_y - want_y) > PIXEL:
                line_faults.append(f"{label}: y {ref_y * to_units[1] / cy:.3f} cells")
    report["scale"] = [round(sum(s[0] for s in sizes) / len(sizes), 4),
                       round(sum(s[1] for s in sizes) / len(sizes), 4)]
    add_check("glyphs at 12 pt (page not scaled)", not size_faults,
              "; ".join(size_faults) or f"ink is the size of the font's glyphs "
              f"(ink/glyph {report['scale'][0]:.3f} x {report['scale'][1]:.3f})")
    add_check(f"lines start {LEFT_CELLS} cells in", not start_faults,
              "; ".join(start_faults) or f"at {LEFT_CELLS * cx} units")
    add_check("characters 2 then 4 cells apart", not spacing_faults,
              "; ".join(spacing_faults) or f"{2 * cx} and {4 * cx} units")
    add_check("lines 10, 12 and 14 cells down", not line_faults,
              "; ".join(line_faults) or f"at {10 * cy}, {12 * cy} and {14 * cy} units")
    report["passed"] = all(c["passed"] for c in report["checks"])
    return report


def text_report(report):
    page = report["page"]
    out = [f"{report['file']}: {report['format']}, {report['pages']} page(s)",
           f"page: {page['width_pt']} x {page['height_pt']} pt "
           f"({page['width_px']} x {page['height_px']} px "
           f"at {page['dpi'][0]}x{page['dpi'][1]} dpi)"]
    if page.get("declared_pt"):
        out[-1] += ", stated {} x {} pt".format(*page["declared_pt"])
    if page.get("color_space"):
        out.append(f"raster: {page['color_space']}, {page['bits_per_color']} bits a colour")
    font = report["font"]
    out.append(f"font: {font['family'] or '?'} ({font['file']}, face {font['index']}); "
               f"cell {report['cell']['cx']} x {report['cell']['cy']} units "
               f"at {report['tool_dpi']} dpi")
    if "arrival" in report:
        out.append(f"characters arrived {report['arrival']['detail']}")
    if report["characters"]:
        out.append("character  line  at (cells)        at (units)         expected (units)")
        for c in report["characters"]:
            out.append("{:<9}  {:>4}  {:>7.3f} {:>7.3f}    {:>7.1f} {:>7.1f}    {:>7} {:>7}".format(
                c["character"], c["line"], *c["reference_cells"], *c["reference_units"],
                *c["expected_units"]))
    for c in report["checks"]:
        out.append(f"{'PASS' if c['passed'] else 'FAIL'}  {c['name']}: {c['detail']}")
    out.append("PASS" if report["passed"] else "FAIL")
    return "\n".join(out)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="pagecheck.py",
        usage="%(prog)s [--dpi DPI] [--media MEDIA] [--font FILE] [--font-index N] "
              "[--render-dpi DPI] [--require-font] [--require-outline-font] [--json] FILE",
        description="Checks a printed dbcsprint test page (PDF, PostScript, PWG/CUPS raster "
                    "or Apple raster): the characters stand where the tool put them, "
                    "unscaled. Exit status 0 when every check passes, 1 when one fails, "
                    "2 for a usage error or an unreadable file.")
    parser.add_argument("file", metavar="FILE", help="what the printer received")
    parser.add_argument("--dpi", type=int,
                        help="the tool's device resolution, which sets the cell in device "
                             "units (default: the raster's own, else 600)")
    parser.add_argument("--media",
                        help="the media the page must have: a PWG name such as "
                             "iso_a4_210x297mm or na_letter_8.5x11in, or WxH in points")
    parser.add_argument("--font", metavar="FILE",
                        help="the tool's font (default: fc-match 'sans-serif:lang=ja')")
    parser.add_argument("--font-index", type=int, metavar="N",
                        help="the face in a font collection (default: 0, or fontconfig's)")
    parser.add_argument("--render-dpi", type=int, metavar="DPI",
                        help="the resolution PDF and PostScript are read at (default: --dpi)")
    parser.add_argument("--require-font", action="store_const", const="any",
                        help="check too that the characters arrived as glyphs of an "
                             "embedded font (PDF and PostScript)")
    parser.add_argument("--require-outline-font", dest="require_font", action="store_const",
                        const="outline",
                        help="the same, and the glyphs are outlines, not bitmaps")
    parser.add_argument("--json", action="store_true", help="print the report as JSON")
    args = parser.parse_args(argv)
    if args.media:
        try:
            media_points(args.media)
        except ValueError as error:
            parser.error(str(error))
    for value in (args.dpi, args.render_dpi):
        if value is not None and not 10 <= value <= 9600:
            parser.error(f"not a resolution: {value}")
    try:
        report = check(args.file, args.dpi, args.media, args.font, args.font_index,
                       args.render_dpi, args.require_font)
    except (Unreadable, OSError) as error:
        print(f"pagecheck.py: {args.file}: {error}", file=sys.stderr)
        return 2
    try:
        print(json.dumps(report, ensure_ascii=False, indent=1) if args.json
              else text_report(report), flush=True)
    except BrokenPipeError:  # e.g. piped into head
        sys.stdout = None
    return 0 if report["passed"] else 1


if __name__ == "__main__":
    sys.exit(main())
