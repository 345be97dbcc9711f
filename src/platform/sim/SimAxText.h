// The text model of a simulated text element: its content counted in UTF-16 units as the
// platform counts them, its selection, and a simple layout (a monospace glyph grid laid from the
// element's frame, one row per line) from which the parameterized attributes answer bounds.
#pragma once

#include <optional>
#include <string>

#include "platform/Values.h"

namespace korvale::sim {

using platform::CFRange;
using platform::CGRect;

// UTF-8 <-> UTF-16. A lone surrogate (a range that cuts a pair) becomes U+FFFD.
std::optional<std::u16string> utf8ToUtf16(const std::string& utf8);
std::string utf16ToUtf8(const std::u16string& utf16);

struct TextModel {
    std::u16string text;
    CFRange selection;  // always within the text
    // Glyph cell, in points: every UTF-16 unit takes one cell, every line one row.
    double cellWidth = 8;
    double lineHeight = 16;

    int64_t length() const { return static_cast<int64_t>(text.size()); }
    // A range clamped into the text: location in [0, length], length up to the end.
    CFRange clamp(CFRange r) const;
    bool contains(CFRange r) const {
        return r.location >= 0 && r.length >= 0 && r.location <= length() &&
               r.length <= length() - r.location;
    }
    std::string substring(CFRange r) const;  // r must be contained
    std::string utf8() const { return utf16ToUtf8(text); }
    // Screen bounds of the glyphs of `r` laid out from `frame`'s origin: the union of the cells
    // on every line it covers; an empty range gives a caret of width 0 and one line's height.
    CGRect bounds(CFRange r, const CGRect& frame) const;
    // Replaces `r` with `replacement`, puts the caret after it.
    void replace(CFRange r, const std::u16string& replacement);
};

}  // namespace korvale::sim
