#include "platform/win32/grid_layout.h"

#include <gtest/gtest.h>

namespace corvantix::win32 {
namespace {

// The main window's body: 85 | rest | 85 over 3 rows of 29 below the rest.
GridLayout body() {
  return GridLayout({Track::fixed(85), Track::percent(100), Track::fixed(85)},
                    {Track::percent(100), Track::fixed(29), Track::fixed(29),
                     Track::fixed(29)});
}

TEST(GridLayout, FixedTracksKeepTheirSizeAndTheRestStretches) {
  GridLayout grid = body();
  for (int width : {634, 500, 1200}) {
    grid.arrange({0, 91, width, 162}, Scale{});
    EXPECT_EQ(grid.cell(0, 1), (Box{0, 91 + 75, 85, 29})) << width;
    EXPECT_EQ(grid.cell(1, 3), (Box{85, 91 + 133, width - 170, 29})) << width;
    EXPECT_EQ(grid.cell(2, 3), (Box{width - 85, 91 + 133, 85, 29})) << width;
    // The information row spans all columns and takes what is left.
    EXPECT_EQ(grid.cell(0, 0, 3, 1), (Box{0, 91, width, 75})) << width;
  }
}

TEST(GridLayout, ScalesFixedTracksByTheFontCell) {
  // A 7 x 15 font (Segoe UI 9 pt) against the design's 6 x 13.
  Scale scale = Scale::of_font(7, 15);
  EXPECT_EQ(scale.dx(85), 99);
  EXPECT_EQ(scale.dy(29), 33);
  EXPECT_EQ(scale.dy(91), 105);

  GridLayout grid = body();
  grid.arrange({0, 0, 740, 292}, scale);
  EXPECT_EQ(grid.cell(0, 1).width, 99);
  EXPECT_EQ(grid.cell(0, 1).height, 33);
  EXPECT_EQ(grid.cell(1, 1).width, 740 - 2 * 99);
  EXPECT_EQ(grid.cell(0, 0).height, 292 - 3 * 33);
  EXPECT_EQ(grid.cell(2, 3).right(), 740);
  EXPECT_EQ(grid.cell(2, 3).bottom(), 292);
}

TEST(GridLayout, ProportionalTracksShareWithoutGapsOrOverlaps) {
  GridLayout grid({Track::percent(1), Track::percent(1), Track::percent(1)},
                  {Track::percent(25), Track::percent(75)});
  grid.arrange({10, 20, 100, 101}, Scale{});
  Box a = grid.cell(0, 0), b = grid.cell(1, 0), c = grid.cell(2, 0);
  EXPECT_EQ(a.x, 10);
  EXPECT_EQ(a.right(), b.x);
  EXPECT_EQ(b.right(), c.x);
  EXPECT_EQ(c.right(), 110);
  for (const Box &box : {a, b, c})
    EXPECT_GE(box.width, 33);
  EXPECT_EQ(grid.cell(0, 0).height, 25);
  EXPECT_EQ(grid.cell(0, 1).bottom(), 121);
}

TEST(GridLayout, AreaSmallerThanTheFixedTracksLeavesNothingToShare) {
  GridLayout grid = body();
  grid.arrange({0, 0, 120, 50}, Scale{});
  EXPECT_EQ(grid.cell(0, 1).width, 85);
  EXPECT_EQ(grid.cell(1, 1).width, 0);
  EXPECT_EQ(grid.cell(2, 1).x, 85);
  EXPECT_EQ(grid.cell(0, 0).height, 0);
  EXPECT_EQ(grid.cell(0, 1).y, 0);
}

TEST(GridLayout, SpansReachPastTheGridOnlyToItsEdge) {
  GridLayout grid = body();
  grid.arrange({0, 0, 634, 162}, Scale{});
  EXPECT_EQ(grid.cell(1, 2, 5, 1), (Box{85, 104, 549, 29}));
}

TEST(GridLayout, InsetNeverGoesBelowZero) {
  Box box{10, 10, 4, 30};
  EXPECT_EQ(box.inset(3, 3), (Box{13, 13, 0, 24}));
  EXPECT_EQ(box.inset(1, 20), (Box{11, 30, 2, 0}));
}

} // namespace
} // namespace corvantix::win32
