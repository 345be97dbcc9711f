// Text model and glyph-grid layout of simulated text elements.
#include "platform/sim/SimAxText.h"

#include <algorithm>
#include <utf8.h>

namespace korvale::sim {

std::optional<std::u16string> utf8ToUtf16(const std::string& utf8) {
    if (!utf8::is_valid(utf8.begin(), utf8.end())) return std::nullopt;
    std::u16string out;
    utf8::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(out));
    return out;
}

std::string utf16ToUtf8(const std::u16string& s) {
    std::string out;
    auto put = [&](uint32_t cp) { utf8::unchecked::append(cp, std::back_inserter(out)); };
    for (std::size_t i = 0; i < s.size(); ++i) {
        uint32_t u = s[i];
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            put(0x10000 + ((u - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            put(0xFFFD);
        } else {
            put(u);
        }
    }
    return out;
}

CFRange TextModel::clamp(CFRange r) const {
    int64_t loc = std::clamp<int64_t>(r.location, 0, length());
    int64_t len = std::clamp<int64_t>(r.length, 0, length() - loc);
    return {loc, len};
}

std::string TextModel::substring(CFRange r) const {
    return utf16ToUtf8(text.substr(static_cast<std::size_t>(r.location), static_cast<std::size_t>(r.length)));
}

CGRect TextModel::bounds(CFRange r, const CGRect& frame) const {
    // Line and column of every offset: walk once up to the end of the range.
    int64_t end = r.location + r.length;
    int64_t line = 0, column = 0, firstLine = 0, firstColumn = 0;
    double minX = 0, maxX = 0;
    bool any = false;
    auto extend = [&](int64_t fromColumn, int64_t toColumn) {
        double a = frame.origin.x + static_cast<double>(fromColumn) * cellWidth;
        double b = frame.origin.x + static_cast<double>(toColumn) * cellWidth;
        if (!any) minX = a, maxX = b, any = true;
        else minX = std::min(minX, a), maxX = std::max(maxX, b);
    };
    int64_t segmentStart = -1;  // column where the range's part of the current line starts
    int64_t lastLine = 0;       // line of the range's last character: a closing newline adds none
    for (int64_t i = 0; i <= end && i <= length(); ++i) {
        if (i == r.location) firstLine = line, firstColumn = column, segmentStart = column;
        if (i == end) break;
        if (i >= r.location) lastLine = line;
        if (text[static_cast<std::size_t>(i)] == u'\n') {
            if (segmentStart >= 0) extend(segmentStart, column), segmentStart = 0;
            ++line, column = 0;
        } else {
            ++column;
        }
    }
    if (segmentStart >= 0 && lastLine == line) extend(segmentStart, column);
    if (r.length == 0) {
        double x = frame.origin.x + static_cast<double>(firstColumn) * cellWidth;
        return {{x, frame.origin.y + static_cast<double>(firstLine) * lineHeight}, {0, lineHeight}};
    }
    double top = frame.origin.y + static_cast<double>(firstLine) * lineHeight;
    double rows = static_cast<double>(lastLine - firstLine + 1);
    return {{minX, top}, {maxX - minX, rows * lineHeight}};
}

void TextModel::replace(CFRange r, const std::u16string& replacement) {
    r = clamp(r);
    text.replace(static_cast<std::size_t>(r.location), static_cast<std::size_t>(r.length), replacement);
    selection = {r.location + static_cast<int64_t>(replacement.size()), 0};
}

}  // namespace korvale::sim
