#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "varenstt/Platform/UIRenderer.h"

namespace varen::platform::ui {

using Rgb = std::array<std::uint8_t, 3>;

struct Cell {
    char32_t glyph = U' ';
    std::optional<Rgb> foreground;
    std::optional<Rgb> background;
};

// A grid of character cells with the picture of one snapshot drawn into it. Pure: no I/O.
class TerminalCanvas {
  public:
    explicit TerminalCanvas(TerminalSize size);

    void draw(const Snapshot& snapshot);

    const Cell& at(int column, int row) const { return cells_[row * size_.columns + column]; }
    // Cursor home, then every row with colour escapes; no scrolling newline after the last row.
    std::string ansi() const;
    std::string plainText() const;

  private:
    struct CellRect {
        int column0, row0, column1, row1;  // half-open
    };

    Cell* cell(int column, int row);
    CellRect cellsOf(const Rect& rect) const;
    bool covers(const Rect& rect, double radius, int column, int row) const;
    void fill(const ViewRecord& view);
    void shadow(const ViewRecord& view);
    void border(const ViewRecord& view);
    void text(const ViewRecord& view);

    TerminalSize size_;
    std::vector<Cell> cells_;
    double pointsPerColumn_ = 1.0;
    double originColumn_ = 0.0;
    double originRow_ = 0.0;
};

// Code points of UTF-8 text safe to show: invalid sequences and control characters become
// U+FFFD, tabs and line breaks spaces.
std::u32string displayableText(std::string_view utf8);

// Greedy word wrap to `width` columns; words longer than a line are cut.
std::vector<std::u32string> wrapText(const std::u32string& text, int width);

std::string encodeUtf8(char32_t codePoint);

}  // namespace varen::platform::ui
