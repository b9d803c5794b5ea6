#include "platform/win32/grid_layout.h"

#include <algorithm>
#include <cmath>

namespace corvantix::win32 {

Box Box::inset(int dx, int dy) const {
  Box inner{x + dx, y + dy, width - 2 * dx, height - 2 * dy};
  inner.width = std::max(inner.width, 0);
  inner.height = std::max(inner.height, 0);
  return inner;
}

int Scale::dx(double design) const { return int(std::lround(design * x)); }
int Scale::dy(double design) const { return int(std::lround(design * y)); }

std::vector<int> GridLayout::edges(const std::vector<Track> &tracks, int start,
                                   int length, double scale) {
  int fixed = 0;
  double shares = 0;
  for (const Track &track : tracks) {
    if (track.kind == Track::Fixed)
      fixed += int(std::lround(track.size * scale));
    else
      shares += std::max(track.size, 0.0);
  }
  int rest = std::max(length - fixed, 0);

  // Edges from running totals, so rounding never adds up to a gap or an
  // overlap between proportional tracks.
  std::vector<int> result{start};
  int position = start;
  double shared = 0;
  int handed_out = 0;
  for (const Track &track : tracks) {
    int size;
    if (track.kind == Track::Fixed) {
      size = int(std::lround(track.size * scale));
    } else {
      shared += shares > 0 ? std::max(track.size, 0.0) / shares : 0;
      int total = int(std::lround(shared * rest));
      size = total - handed_out;
      handed_out = total;
    }
    position += size;
    result.push_back(position);
  }
  return result;
}

void GridLayout::arrange(const Box &area, const Scale &scale) {
  column_edges_ = edges(columns_, area.x, area.width, scale.x);
  row_edges_ = edges(rows_, area.y, area.height, scale.y);
}

Box GridLayout::cell(int column, int row, int columns, int rows) const {
  int last_column = std::min<int>(column + columns, int(column_edges_.size()) - 1);
  int last_row = std::min<int>(row + rows, int(row_edges_.size()) - 1);
  return {column_edges_[column], row_edges_[row],
          column_edges_[last_column] - column_edges_[column],
          row_edges_[last_row] - row_edges_[row]};
}

} // namespace corvantix::win32
