// A line chart as a self-contained SVG document: x on a log2 scale, y on a log10
// scale, one polyline with point markers per series, a legend at the right.
//
// Points whose x or y is not positive cannot be placed on log scales and are left
// out; a series without points still appears in the legend.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace Bench {

struct Series {
  std::string name;
  std::vector<std::pair<double, double>> points;  // (x, y)
};

struct ChartText {
  std::string title;
  std::string xLabel;
  std::string yLabel;
};

std::string lineChartSvg(ChartText const& text, std::vector<Series> const& series);

}  // namespace Bench
