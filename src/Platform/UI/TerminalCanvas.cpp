#include "Platform/UI/TerminalCanvas.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

namespace varen::platform::ui {

namespace {

constexpr char32_t replacement = 0xFFFD;

Rgb rgb(const Color& color) {
    auto channel = [](double value) {
        return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 1.0) * 255.0));
    };
    return Rgb{channel(color.red), channel(color.green), channel(color.blue)};
}

// Paints a colour over what a cell has: blended when the cell has a colour, else only colours
// that are mostly opaque show at all.
std::optional<Rgb> over(const Color& color, const std::optional<Rgb>& beneath) {
    const double alpha = std::clamp(color.alpha, 0.0, 1.0);
    const Rgb top = rgb(color);
    if (!beneath) {
        if (alpha < 0.5) return std::nullopt;
        return top;
    }
    Rgb mixed;
    for (std::size_t i = 0; i < 3; ++i) {
        mixed[i] =
            static_cast<std::uint8_t>(std::lround(alpha * top[i] + (1 - alpha) * (*beneath)[i]));
    }
    return mixed;
}

bool isRound(const ViewRecord& view) {
    const double side = std::min(view.frame.width, view.frame.height);
    return side > 0 && view.cornerRadius >= side / 2.0 - 1e-9;
}

void appendColour(std::string& out, const char* kind, const Rgb& colour) {
    out += "\x1b[";
    out += kind;
    out += ";2;" + std::to_string(colour[0]) + ";" + std::to_string(colour[1]) + ";" +
           std::to_string(colour[2]) + "m";
}

}  // namespace

std::string encodeUtf8(char32_t c) {
    std::string out;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

namespace {

// The code point of the UTF-8 sequence at `i`, with its length; none for a sequence that is
// ill-formed, cut short, overlong, a surrogate or beyond U+10FFFF.
std::optional<std::pair<char32_t, std::size_t>> decodeUTF8At(std::string_view utf8, std::size_t i) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    if (lead < 0x80) return std::pair<char32_t, std::size_t>{lead, 1};
    char32_t c = 0;
    std::size_t length = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        c = lead & 0x1F, length = 2, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        c = lead & 0x0F, length = 3, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        c = lead & 0x07, length = 4, minimum = 0x10000;
    }
    if (length == 0 || i + length > utf8.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(utf8[i + k]);
        if ((next & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (next & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return std::nullopt;
    return std::pair{c, length};
}

// Never let text steer the terminal: white space becomes a space, other controls the
// replacement character.
char32_t displayableCharacter(char32_t c) {
    if (c == U'\t' || c == U'\n' || c == U'\r') return U' ';
    if (c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0)) return replacement;
    return c;
}

}  // namespace

std::u32string displayableText(std::string_view utf8) {
    std::u32string out;
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto decoded = decodeUTF8At(utf8, i);
        if (!decoded) {
            out += replacement;
            ++i;  // resynchronise on the next byte
            continue;
        }
        out += displayableCharacter(decoded->first);
        i += decoded->second;
    }
    return out;
}

std::vector<std::u32string> wrapText(const std::u32string& text, int width) {
    std::vector<std::u32string> lines;
    if (width <= 0) return lines;
    std::u32string line;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == U' ') {
            ++i;
            continue;
        }
        std::size_t end = text.find(U' ', i);
        if (end == std::u32string::npos) end = text.size();
        std::u32string word = text.substr(i, end - i);
        i = end;
        while (!word.empty()) {
            const long room = line.empty() ? width : width - static_cast<long>(line.size()) - 1;
            if (static_cast<long>(word.size()) <= room) {
                if (!line.empty()) line += U' ';
                line += word;
                word.clear();
            } else if (line.empty()) {
                lines.push_back(word.substr(0, width));
                word.erase(0, width);
            } else {
                lines.push_back(line);
                line.clear();
            }
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

TerminalCanvas::TerminalCanvas(TerminalSize size)
    : size_{std::max(size.columns, 1), std::max(size.rows, 1)},
      cells_(static_cast<std::size_t>(size_.columns) * size_.rows) {}

Cell* TerminalCanvas::cell(int column, int row) {
    if (column < 0 || row < 0 || column >= size_.columns || row >= size_.rows) return nullptr;
    return &cells_[row * size_.columns + column];
}

TerminalCanvas::CellRect TerminalCanvas::cellsOf(const Rect& rect) const {
    auto column = [&](double x) {
        return std::clamp(static_cast<int>(std::lround(originColumn_ + x / pointsPerColumn_)), 0,
                          size_.columns);
    };
    auto row = [&](double y) {
        return std::clamp(static_cast<int>(std::lround(originRow_ + y / (2 * pointsPerColumn_))), 0,
                          size_.rows);
    };
    return CellRect{column(rect.x), row(rect.y), column(rect.x + rect.width),
                    row(rect.y + rect.height)};
}

bool TerminalCanvas::covers(const Rect& rect, double radius, int column, int row) const {
    const double x = (column + 0.5 - originColumn_) * pointsPerColumn_;
    const double y = (row + 0.5 - originRow_) * 2 * pointsPerColumn_;
    if (x < rect.x || y < rect.y || x >= rect.x + rect.width || y >= rect.y + rect.height) {
        return false;
    }
    const double r = std::clamp(radius, 0.0, std::min(rect.width, rect.height) / 2.0);
    if (r <= 0) return true;
    const double cx = std::clamp(x, rect.x + r, rect.x + rect.width - r);
    const double cy = std::clamp(y, rect.y + r, rect.y + rect.height - r);
    return (x - cx) * (x - cx) + (y - cy) * (y - cy) <= r * r;
}

void TerminalCanvas::fill(const ViewRecord& view) {
    if (!view.backgroundColor) return;
    const CellRect area = cellsOf(view.frame);
    const bool round = isRound(view);
    for (int row = area.row0; row < area.row1; ++row) {
        for (int column = area.column0; column < area.column1; ++column) {
            if (!covers(view.frame, view.cornerRadius, column, row)) continue;
            Cell* target = cell(column, row);
            if (round) {
                // Solid blocks keep a round view visible without colour too; one drawn over
                // another is shaded so both stay apart.
                auto colour = over(*view.backgroundColor, target->background);
                if (!colour) continue;
                target->glyph = target->glyph == U'█' ? U'▓' : U'█';
                target->foreground = colour;
            } else {
                auto colour = over(*view.backgroundColor, target->background);
                if (!colour) continue;
                target->glyph = U' ';
                target->background = colour;
                target->foreground.reset();
            }
        }
    }
}

void TerminalCanvas::shadow(const ViewRecord& view) {
    if (view.shadowOpacity <= 0 || !view.shadowColor) return;
    auto cellsFor = [&](double points, double scale) {
        if (points == 0) return 0;
        const int cells = static_cast<int>(std::lround(points / scale));
        return cells != 0 ? cells : (points > 0 ? 1 : -1);
    };
    const int dx = cellsFor(view.shadowOffset.width, pointsPerColumn_);
    const int dy = cellsFor(view.shadowOffset.height, 2 * pointsPerColumn_);
    if (dx == 0 && dy == 0) return;
    const CellRect area = cellsOf(view.frame);
    Color colour = *view.shadowColor;
    colour.alpha = 1.0;
    for (int row = area.row0; row < area.row1; ++row) {
        for (int column = area.column0; column < area.column1; ++column) {
            Cell* target = cell(column + dx, row + dy);
            if (!target) continue;
            target->glyph = U'░';
            target->foreground = rgb(colour);
        }
    }
}

void TerminalCanvas::border(const ViewRecord& view) {
    if (view.shadowOpacity <= 0) return;
    const CellRect area = cellsOf(view.frame);
    if (area.column1 - area.column0 < 2 || area.row1 - area.row0 < 2) return;
    const bool rounded = view.cornerRadius > 0;
    const std::optional<Rgb> colour =
        view.shadowColor ? std::optional<Rgb>(rgb(*view.shadowColor)) : std::nullopt;
    auto put = [&](int column, int row, char32_t glyph) {
        if (Cell* target = cell(column, row)) {
            target->glyph = glyph;
            target->foreground = colour;
        }
    };
    const int right = area.column1 - 1;
    const int bottom = area.row1 - 1;
    for (int column = area.column0 + 1; column < right; ++column) {
        put(column, area.row0, U'─');
        put(column, bottom, U'─');
    }
    for (int row = area.row0 + 1; row < bottom; ++row) {
        put(area.column0, row, U'│');
        put(right, row, U'│');
    }
    put(area.column0, area.row0, rounded ? U'╭' : U'┌');
    put(right, area.row0, rounded ? U'╮' : U'┐');
    put(area.column0, bottom, rounded ? U'╰' : U'└');
    put(right, bottom, rounded ? U'╯' : U'┘');
}

void TerminalCanvas::text(const ViewRecord& view) {
    if (view.text.empty()) return;
    CellRect area = cellsOf(view.frame);
    const int width = area.column1 - area.column0;
    if (width <= 0) return;
    if (area.row1 <= area.row0) area.row1 = std::min(area.row0 + 1, size_.rows);
    const int rows = area.row1 - area.row0;
    if (rows <= 0) return;
    auto lines = wrapText(displayableText(view.text), width);
    // A growing transcript keeps its latest words in sight.
    if (static_cast<int>(lines.size()) > rows) lines.erase(lines.begin(), lines.end() - rows);
    const int top = area.row0 + (rows - static_cast<int>(lines.size())) / 2;
    const std::optional<Rgb> colour =
        view.textColor ? std::optional<Rgb>(rgb(*view.textColor)) : std::nullopt;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const int length = static_cast<int>(lines[i].size());
        int start = area.column0;
        if (view.textAlignment == TextAlignment::center) start += (width - length) / 2;
        if (view.textAlignment == TextAlignment::right) start += width - length;
        for (int k = 0; k < length; ++k) {
            if (Cell* target = cell(start + k, top + static_cast<int>(i))) {
                target->glyph = lines[i][k];
                target->foreground = colour;
            }
        }
    }
}

void TerminalCanvas::draw(const Snapshot& snapshot) {
    const Rect& bounds = snapshot.bounds;
    if (bounds.width <= 0 || bounds.height <= 0) return;
    // Cells are about twice as tall as wide: a row spans two columns' worth of points.
    pointsPerColumn_ = std::max(bounds.width / size_.columns, bounds.height / (2.0 * size_.rows));
    originColumn_ =
        (size_.columns - bounds.width / pointsPerColumn_) / 2.0 - bounds.x / pointsPerColumn_;
    originRow_ = (size_.rows - bounds.height / (2 * pointsPerColumn_)) / 2.0 -
                 bounds.y / (2 * pointsPerColumn_);
    for (const auto& view : snapshot.views) {
        shadow(view);
        fill(view);
        border(view);
        text(view);
    }
}

std::string TerminalCanvas::ansi() const {
    std::string out = "\x1b[H";
    for (int row = 0; row < size_.rows; ++row) {
        std::optional<Rgb> foreground;
        std::optional<Rgb> background;
        for (int column = 0; column < size_.columns; ++column) {
            const Cell& c = at(column, row);
            if (c.foreground != foreground || c.background != background) {
                out += "\x1b[0m";
                if (c.foreground) appendColour(out, "38", *c.foreground);
                if (c.background) appendColour(out, "48", *c.background);
                foreground = c.foreground;
                background = c.background;
            }
            out += encodeUtf8(c.glyph);
        }
        out += "\x1b[0m";
        if (row + 1 < size_.rows) out += "\r\n";
    }
    return out;
}

std::string TerminalCanvas::plainText() const {
    std::string out;
    for (int row = 0; row < size_.rows; ++row) {
        std::u32string line;
        for (int column = 0; column < size_.columns; ++column) line += at(column, row).glyph;
        while (!line.empty() && line.back() == U' ') line.pop_back();
        for (char32_t c : line) out += encodeUtf8(c);
        out += '\n';
    }
    return out;
}

}  // namespace varen::platform::ui

namespace varen::platform {

std::string terminalSafeText(std::string_view utf8) {
    std::string out;
    for (const char32_t c : ui::displayableText(utf8)) out += ui::encodeUtf8(c);
    return out;
}

}  // namespace varen::platform
