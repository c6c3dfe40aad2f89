"""tools/pagecheck.py on pages made here: the six characters drawn as
solid boxes where their glyphs' boxes stand, encoded the ways print
pipelines send a page, then moved, scaled or left out to make the faults the
checker must catch.

The boxes are placed from the cell definition alone (16 cells in, 2 then 4
cells apart, lines 10, 12 and 14 cells down, the glyph box's top ascent
below the cell's top), with the default font's metrics read here.
"""

import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
PAGECHECK = os.path.join(HERE, "..", "..", "tools", "pagecheck.py")
sys.path.insert(0, os.path.dirname(PAGECHECK))
import pagecheck  # noqa: E402  (its font reader; the checks run in a process)

A4 = (595.2756, 841.8898)
LAYOUT = [("壱", 0, 10), ("弐", 0, 12), ("弐", 2, 12),
          ("参", 0, 14), ("参", 2, 14), ("参", 6, 14)]


def font():
    path, index = pagecheck.default_font()
    return pagecheck.Font(path, index)


FONT = font()


def boxes_in_points(dpi, shift=None, scale=1.0, leave_out=None):
    """Each character's glyph box (left, top, right, bottom) in points from
    the page's top-left, as the tool at dpi places it. shift moves one
    character {index: (dx, dy)} in points; scale scales the page from its
    top-left corner; leave_out drops a character."""
    cx, cy = FONT.cell(dpi)
    unit = 72 / dpi
    size = pagecheck.POINTS / FONT.units
    boxes = []
    for i, (character, cells_x, cells_y) in enumerate(LAYOUT):
        if i == leave_out:
            continue
        x = (16 + cells_x) * cx * unit
        baseline = cells_y * cy * unit + FONT.ascent * size
        x_min, y_min, x_max, y_max = FONT.box(character)
        dx, dy = (shift or {}).get(i, (0, 0))
        box = (x + x_min * size + dx, baseline - y_max * size + dy,
               x + x_max * size + dx, baseline - y_min * size + dy)
        boxes.append(tuple(v * scale for v in box))
    return boxes


def gray_rows(boxes, dpi, page=A4):
    """The page as 8-bit gray rows at dpi: a pixel is ink when its centre
    lies in a box."""
    width, height = round(page[0] * dpi / 72), round(page[1] * dpi / 72)
    white = b"\xff" * width
    rows = [white] * height
    spans = {}
    for left, top, right, bottom in boxes:
        x0, x1 = (round(v * dpi / 72) for v in (left, right))
        for y in range(round(top * dpi / 72), round(bottom * dpi / 72)):
            spans.setdefault(y, []).append((x0, x1))
    for y, row_spans in spans.items():
        row = bytearray(white)
        for x0, x1 in row_spans:
            row[x0:x1] = bytes(x1 - x0)
        rows[y] = bytes(row)
    return width, height, rows


def packbits(row, unit):
    """One row in CUPS's compression (runs of repeated pixels, literals)."""
    pixels = [row[i:i + unit] for i in range(0, len(row), unit)]
    out = bytearray()
    i = 0
    while i < len(pixels):
        run = 1
        while i + run < len(pixels) and run < 128 and pixels[i + run] == pixels[i]:
            run += 1
        if run > 1:
            out += bytes([run - 1]) + pixels[i]
            i += run
            continue
        start = i
        while i < len(pixels) and i - start < 128 and (
                i + 1 >= len(pixels) or pixels[i + 1] != pixels[i]):
            i += 1
        count = i - start
        out += bytes([257 - count if count > 1 else 0]) + b"".join(pixels[start:i])
    return bytes(out)


# name: (cupsColorSpace, bits per colour, colours, gray row -> stored row)
RASTER_TYPES = {
    "sgray_8": (18, 8, 1, lambda row: row),
    "black_1": (3, 1, 1, lambda row: bytes(
        sum(0x80 >> b for b in range(8) if i + b < len(row) and row[i + b] < 128)
        for i in range(0, len(row), 8))),
    "srgb_8": (19, 8, 3, lambda row: bytes(v for g in row for v in (g, g, g))),
    "srgb_16": (19, 16, 3, lambda row: bytes(v for g in row for v in (g, 0x5A) * 3)),
    "cmyk_8": (6, 8, 4, lambda row: bytes(v for g in row for v in (0, 0, 0, 255 - g))),
}


def raster(path, dpi, rows_of, kind="sgray_8", sync=b"RaS2", order=">"):
    width, height, rows = rows_of
    space, bits, colors, convert = RASTER_TYPES[kind]
    per_line = (width * bits * colors + 7) // 8
    header = bytearray(1796)
    header[0:9] = b"PwgRaster"

    def put(offset, value):
        struct.pack_into(order + "I", header, offset, value)
    for offset, value in ((276, dpi), (280, dpi), (352, round(width * 72 / dpi)),
                          (356, round(height * 72 / dpi)), (372, width), (376, height),
                          (384, bits), (388, bits * colors), (392, per_line), (400, space),
                          (420, colors)):
        put(offset, value)
    with open(path, "wb") as out:
        out.write(sync + bytes(header))
        if sync in (b"RaS2", b"2SaR"):
            write_rows(out, rows, convert, max(1, bits * colors // 8))
        else:
            out.write(b"".join(convert(row) for row in rows))


def write_rows(out, rows, convert, unit):
    """Compressed rows, each run of the same row as one row repeated."""
    y = 0
    while y < len(rows):
        repeat = 1
        while y + repeat < len(rows) and repeat < 256 and rows[y + repeat] is rows[y]:
            repeat += 1
        out.write(bytes([repeat - 1]) + packbits(convert(rows[y]), unit))
        y += repeat


def urf(path, dpi, rows_of):
    width, height, rows = rows_of
    with open(path, "wb") as out:
        out.write(b"UNIRAST\0" + struct.pack(">I", 1))
        out.write(bytes([8, 0, 1, 4]) + bytes(8) + struct.pack(">III", width, height, dpi)
                  + bytes(8))
        write_rows(out, rows, lambda row: row, 1)


def pdf(path, boxes, page=A4, pjl=False):
    """The boxes as filled rectangles in a one-page PDF."""
    content = "0 g\n" + "".join(
        f"{left:.4f} {page[1] - bottom:.4f} {right - left:.4f} {bottom - top:.4f} re f\n"
        for left, top, right, bottom in boxes)
    objects = [
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        f"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 {page[0]:.4f} {page[1]:.4f}] "
        "/Contents 4 0 R >>",
        f"<< /Length {len(content)} >>\nstream\n{content}endstream",
    ]
    data = b"%PDF-1.4\n"
    offsets = []
    for number, body in enumerate(objects, 1):
        offsets.append(len(data))
        data += f"{number} 0 obj\n{body}\nendobj\n".encode()
    xref = len(data)
    data += f"xref\n0 {len(objects) + 1}\n0000000000 65535 f \n".encode()
    data += "".join(f"{o:010d} 00000 n \n" for o in offsets).encode()
    data += (f"trailer\n<< /Size {len(objects) + 1} /Root 1 0 R >>\n"
             f"startxref\n{xref}\n%%EOF\n").encode()
    if pjl:
        data = (pagecheck.PJL + b"@PJL JOB\r\n@PJL ENTER LANGUAGE=PDF\r\n" + data
                + pagecheck.PJL + b"@PJL EOJ\r\n" + pagecheck.PJL)
    with open(path, "wb") as out:
        out.write(data)


def postscript(path, boxes, page=A4):
    with open(path, "w") as out:
        out.write("%!PS-Adobe-3.0\n%%Pages: 1\n%%EndComments\n"
                  f"<< /PageSize [{page[0]:.4f} {page[1]:.4f}] >> setpagedevice\n0 setgray\n")
        for left, top, right, bottom in boxes:
            out.write(f"{left:.4f} {page[1] - bottom:.4f} {right - left:.4f} "
                      f"{bottom - top:.4f} rectfill\n")
        out.write("showpage\n%%EOF\n")


def run(path, *options):
    done = subprocess.run([sys.executable, PAGECHECK, "--json", *options, path],
                          capture_output=True, text=True, timeout=300)
    report = json.loads(done.stdout) if done.stdout.startswith("{") else None
    return done.returncode, report, done.stderr


def failed(report):
    return sorted(c["name"] for c in report["checks"] if not c["passed"])


class ReadsEveryFormat(unittest.TestCase):
    """The same page, however it is encoded, reads the same and passes."""

    def test_formats(self):
        dpi = 300
        page = gray_rows(boxes_in_points(dpi), dpi)
        cases = [
            ("PWG raster, 8-bit gray", lambda p: raster(p, dpi, page, "sgray_8"), "pwg-raster"),
            ("PWG raster, 1-bit black", lambda p: raster(p, dpi, page, "black_1"), "pwg-raster"),
            ("PWG raster, 8-bit sRGB", lambda p: raster(p, dpi, page, "srgb_8"), "pwg-raster"),
            ("PWG raster, 16-bit sRGB", lambda p: raster(p, dpi, page, "srgb_16"), "pwg-raster"),
            ("PWG raster, 8-bit CMYK", lambda p: raster(p, dpi, page, "cmyk_8"), "pwg-raster"),
            ("CUPS raster v3, uncompressed",
             lambda p: raster(p, dpi, page, "sgray_8", sync=b"RaS3"), "pwg-raster"),
            ("PWG raster, little-endian",
             lambda p: raster(p, dpi, page, "sgray_8", sync=b"2SaR", order="<"), "pwg-raster"),
            ("Apple raster, 8-bit gray", lambda p: urf(p, dpi, page), "urf"),
            ("PDF", lambda p: pdf(p, boxes_in_points(dpi)), "pdf"),
            ("PDF in a PJL job", lambda p: pdf(p, boxes_in_points(dpi), pjl=True), "pdf in PJL"),
            ("PostScript", lambda p: postscript(p, boxes_in_points(dpi)), "postscript"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            for name, make, kind in cases:
                with self.subTest(name):
                    path = os.path.join(folder, "page")
                    make(path)
                    status, report, err = run(path, "--dpi", str(dpi), "--media",
                                              "iso_a4_210x297mm")
                    self.assertIsNotNone(report, err)
                    self.assertEqual(report["format"], kind)
                    self.assertEqual(failed(report), [], json.dumps(report["checks"]))
                    self.assertEqual(status, 0)
                    cells = [c["reference_cells"] for c in report["characters"]]
                    for (x, y), (_, cells_x, cells_y) in zip(cells, LAYOUT):
                        self.assertAlmostEqual(x, 16 + cells_x, delta=0.02)
                        self.assertAlmostEqual(y, cells_y, delta=0.02)


class CatchesFaults(unittest.TestCase):
    """Each fault fails the checks it should, and only those."""

    def test_faults(self):
        dpi = 300
        pixel = 72 / dpi
        size = "glyphs at 12 pt (page not scaled)"
        start, spacing = "lines start 16 cells in", "characters 2 then 4 cells apart"
        lines, count = "lines 10, 12 and 14 cells down", "six characters on three lines"
        media = "page is the media"
        cases = [
            ("a character a pixel right: within the tolerance",
             dict(shift={5: (pixel, 0)}), (), []),
            ("the last character 2 pixels right", dict(shift={5: (2 * pixel, 0)}), (),
             [spacing]),
            ("the second line's first character 2 pixels left",
             dict(shift={1: (-2 * pixel, 0)}), (), [spacing, start]),
            ("a character 2 pixels down", dict(shift={0: (0, 2 * pixel)}), (), [lines]),
            ("the page at 11 pt for 12", dict(scale=11 / 12), (), [size, spacing, start, lines]),
            ("a character missing", dict(leave_out=2), (), [count]),
            ("Letter expected", {}, ("--media", "na_letter_8.5x11in"), [media]),
        ]
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "page.pwg")
            for name, change, options, want in cases:
                with self.subTest(name):
                    raster(path, dpi, gray_rows(boxes_in_points(dpi, **change), dpi))
                    status, report, err = run(path, "--media", "iso_a4_210x297mm", *options)
                    self.assertIsNotNone(report, err)
                    self.assertEqual(failed(report), sorted(want), json.dumps(report["checks"]))
                    self.assertEqual(status, 1 if want else 0)

    def test_font_required(self):
        # Boxes drawn as paths are no font's glyphs.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "page.pdf")
            pdf(path, boxes_in_points(600))
            status, report, _ = run(path, "--require-font")
            self.assertEqual(failed(report), ["characters as font glyphs"])
            self.assertEqual(report["arrival"]["how"], "unknown")
            self.assertEqual(status, 1)

    def test_unreadable_and_usage(self):
        with tempfile.TemporaryDirectory() as folder:
            cases = [
                ("not a page", b"hello\n", ()),
                ("a raster cut short", b"RaS2" + bytes(1796), ()),
                ("an unknown media", b"%PDF-1.4\n", ("--media", "a4-ish")),
            ]
            for name, data, options in cases:
                with self.subTest(name):
                    path = os.path.join(folder, "file")
                    with open(path, "wb") as out:
                        out.write(data)
                    status, report, err = run(path, *options)
                    self.assertEqual(status, 2, err)
                    self.assertIsNone(report)
                    self.assertTrue(err)


if __name__ == "__main__":
    unittest.main()
