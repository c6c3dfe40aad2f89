// Text in the default font: code page 932 decoding, GetTextExtentPoint32A
// and ExtTextOutA.
#include <cmath>
#include <cstring>

#include "native.h"

namespace {

constexpr double kFontPoints = 12;

bool IsLeadByte(unsigned char byte) {
  return (byte >= 0x81 && byte <= 0x9F) || (byte >= 0xE0 && byte <= 0xFC);
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// Text laid out in the font: one glyph per character, its advance in
// device units, and the UTF-8 text with one cluster per character (so
// that the PDF carries the characters, not only their glyphs).
struct Shaped {
  std::vector<Character> characters;
  std::vector<cairo_glyph_t> glyphs;
  std::vector<double> advances;
  std::string utf8;
  std::vector<cairo_text_cluster_t> clusters;
};

bool Shape(const Font& font, const char* text, int count, Shaped* shaped) {
  if (count < 0 || (text == nullptr && count > 0) ||
      !DecodeCp932(text, static_cast<std::size_t>(count), &shaped->characters)) {
    return false;
  }
  for (const Character& character : shaped->characters) {
    std::string utf8;
    AppendUtf8(character.codePoint, &utf8);
    cairo_glyph_t* glyphs = nullptr;
    int glyphCount = 0;
    const cairo_status_t status = cairo_scaled_font_text_to_glyphs(
        font.scaled.get(), 0, 0, utf8.data(), static_cast<int>(utf8.size()), &glyphs, &glyphCount,
        nullptr, nullptr, nullptr);
    // A character the font lacks maps to glyph 0, its missing-glyph box.
    cairo_glyph_t glyph{0, 0, 0};
    if (status == CAIRO_STATUS_SUCCESS && glyphCount >= 1) {
      glyph = glyphs[0];
    }
    cairo_glyph_free(glyphs);
    if (status != CAIRO_STATUS_SUCCESS) {
      return false;
    }
    cairo_text_extents_t extents{};
    cairo_scaled_font_glyph_extents(font.scaled.get(), &glyph, 1, &extents);
    shaped->glyphs.push_back(glyph);
    shaped->advances.push_back(extents.x_advance);
    shaped->clusters.push_back({static_cast<int>(utf8.size()), 1});
    shaped->utf8 += utf8;
  }
  return true;
}

}  // namespace

bool DecodeCp932(const char* text, std::size_t count, std::vector<Character>* characters) {
  const OwnedIconv cp932("UTF-32LE", "CP932");
  if (!cp932.IsOpen()) {
    return false;
  }
  characters->clear();
  for (std::size_t offset = 0; offset < count;) {
    const std::size_t length = IsLeadByte(static_cast<unsigned char>(text[offset])) ? 2 : 1;
    if (offset + length > count) {
      return false;  // a lead byte without its trail byte
    }
    char in[2];
    std::memcpy(in, text + offset, length);
    unsigned char out[4];
    char* inPointer = in;
    auto* outPointer = reinterpret_cast<char*>(out);
    std::size_t inLeft = length;
    std::size_t outLeft = sizeof out;
    if (iconv(cp932.Handle(), &inPointer, &inLeft, &outPointer, &outLeft) ==
            static_cast<std::size_t>(-1) ||
        inLeft != 0 || outLeft != 0) {
      return false;
    }
    const char32_t codePoint =
        out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
    characters->push_back({offset, length, codePoint});
    offset += length;
  }
  return true;
}

bool LoadDefaultFont(double dpi, Font* font) {
  const OwnedPattern pattern(FcNameParse(reinterpret_cast<const FcChar8*>("sans-serif:lang=ja")));
  if (pattern == nullptr || FcConfigSubstitute(nullptr, pattern.get(), FcMatchPattern) == FcFalse) {
    return false;
  }
  FcDefaultSubstitute(pattern.get());
  FcResult result = FcResultNoMatch;
  const OwnedPattern match(FcFontMatch(nullptr, pattern.get(), &result));
  if (match == nullptr) {
    return false;
  }
  font->face.reset(cairo_ft_font_face_create_for_pattern(match.get()));
  font->options.reset(cairo_font_options_create());
  cairo_font_options_set_hint_style(font->options.get(), CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(font->options.get(), CAIRO_HINT_METRICS_OFF);

  font->size = kFontPoints * dpi / 72;
  cairo_matrix_t size;
  cairo_matrix_t device;
  cairo_matrix_init_scale(&size, font->size, font->size);
  cairo_matrix_init_identity(&device);
  font->scaled.reset(
      cairo_scaled_font_create(font->face.get(), &size, &device, font->options.get()));
  if (cairo_scaled_font_status(font->scaled.get()) != CAIRO_STATUS_SUCCESS) {
    return false;
  }
  cairo_font_extents_t extents{};
  cairo_scaled_font_extents(font->scaled.get(), &extents);
  font->ascent = extents.ascent;
  font->descent = extents.descent;
  return true;
}

BOOL WINAPI GetTextExtentPoint32A(HDC hdc, LPCSTR text, int count, LPSIZE size) {
  const DeviceContext* context = LiveContext(hdc);
  Shaped shaped;
  if (context == nullptr || size == nullptr || !Shape(context->font, text, count, &shaped)) {
    return 0;
  }
  double width = 0;
  for (const double advance : shaped.advances) {
    width += advance;
  }
  size->cx = static_cast<LONG>(std::lround(width));
  size->cy = static_cast<LONG>(std::lround(context->font.ascent + context->font.descent));
  return 1;
}

BOOL WINAPI ExtTextOutA(HDC hdc, int x, int y, UINT options, const RECT* rect, LPCSTR text,
                        UINT count, const INT* dx) {
  const DeviceContext* context = LiveContext(hdc);
  if (context == nullptr || context->document == nullptr || !context->document->pageOpen) {
    return 0;
  }
  if (options != 0 || rect != nullptr) {
    Complain("ExtTextOutA", "options %u and clip or opaque rectangles are not supported", options);
    return 0;
  }
  Shaped shaped;
  if (count > 0x7FFFFFFF || !Shape(context->font, text, static_cast<int>(count), &shaped)) {
    Complain("ExtTextOutA", "the text is not valid code page 932");
    return 0;
  }
  // y is the top of the character cell; the glyphs stand on the baseline
  // below it. Each character advances by the entries of its bytes.
  double pen = x;
  const double baseline = y + context->font.ascent;
  for (std::size_t i = 0; i < shaped.glyphs.size(); ++i) {
    const Character& character = shaped.characters[i];
    shaped.glyphs[i].x = pen;
    shaped.glyphs[i].y = baseline;
    if (dx == nullptr) {
      pen += shaped.advances[i];
    } else {
      pen += dx[character.offset] + (character.length == 2 ? dx[character.offset + 1] : 0);
    }
  }
  cairo_t* cairo = context->document->cairo.get();
  cairo_show_text_glyphs(cairo, shaped.utf8.data(), static_cast<int>(shaped.utf8.size()),
                         shaped.glyphs.data(), static_cast<int>(shaped.glyphs.size()),
                         shaped.clusters.data(), static_cast<int>(shaped.clusters.size()),
                         static_cast<cairo_text_cluster_flags_t>(0));
  return cairo_status(cairo) == CAIRO_STATUS_SUCCESS ? 1 : 0;
}
