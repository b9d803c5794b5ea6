// Table layout for the native windows: rows and columns of fixed design
// sizes or proportional shares of what the fixed ones leave, as WinForms'
// TableLayoutPanel arranges them. Design sizes are pixels for a dialog font
// of 6 x 13; the scale maps them to the font in use.
#pragma once

#include <utility>
#include <vector>

namespace corvantix::win32 {

struct Track {
  enum Kind { Fixed, Percent };
  Kind kind;
  double size; ///< design pixels for Fixed, a share for Percent

  static Track fixed(double pixels) { return {Fixed, pixels}; }
  static Track percent(double share) { return {Percent, share}; }
};

struct Box {
  int x = 0, y = 0, width = 0, height = 0;

  int right() const { return x + width; }
  int bottom() const { return y + height; }
  /// The box shrunk by `dx` on the left and right and `dy` at the top and
  /// bottom; never below zero size.
  Box inset(int dx, int dy) const;
  bool operator==(const Box &) const = default;
};

/// The font scale: the dialog font's average character cell against the
/// design font's 6 x 13.
struct Scale {
  double x = 1, y = 1;

  static Scale of_font(int average_width, int height) {
    return {average_width / 6.0, height / 13.0};
  }
  int dx(double design) const;
  int dy(double design) const;
};

class GridLayout {
public:
  GridLayout(std::vector<Track> columns, std::vector<Track> rows)
      : columns_(std::move(columns)), rows_(std::move(rows)) {}

  /// Lays the tracks out over `area`. Fixed tracks take their scaled size
  /// (in order, as far as the area reaches); proportional ones share the
  /// rest by their shares. Track edges are whole pixels and the last track
  /// ends at the area's edge when there is a proportional one.
  void arrange(const Box &area, const Scale &scale);

  /// The box of the cell at (column, row) spanning `columns` x `rows`.
  Box cell(int column, int row, int columns = 1, int rows = 1) const;

private:
  static std::vector<int> edges(const std::vector<Track> &tracks, int start,
                                int length, double scale);

  std::vector<Track> columns_, rows_;
  std::vector<int> column_edges_, row_edges_;
};

} // namespace corvantix::win32
