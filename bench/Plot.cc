// Writing the SVG line chart (see Plot.h).
#include "bench/Plot.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace Bench {
namespace {

constexpr double kWidth = 920;
constexpr double kHeight = 520;
constexpr double kLeft = 80;     // room for the y tick labels and the y axis label
constexpr double kRight = 300;   // room for the legend
constexpr double kTop = 50;      // room for the title
constexpr double kBottom = 60;   // room for the x tick labels and the x axis label
constexpr char const* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#9467bd",
                                    "#ff7f0e", "#8c564b", "#e377c2", "#7f7f7f"};

std::string escaped(std::string const& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Powers of two as entry counts are usually written: 64, 1K, 256K, 1M.
std::string binaryLabel(double value) {
  auto whole = static_cast<unsigned long long>(std::llround(value));
  if (whole >= (1ull << 20) && whole % (1ull << 20) == 0) return fmt::format("{}M", whole >> 20);
  if (whole >= (1ull << 10) && whole % (1ull << 10) == 0) return fmt::format("{}K", whole >> 10);
  return fmt::format("{}", whole);
}

std::string decimalLabel(double value) {
  if (value >= 1) return fmt::format("{:.0f}", value);
  return fmt::format("{:g}", value);
}

// Maps log values [low, high] onto pixels [from, to].
struct Axis {
  double low;
  double high;
  double from;
  double to;
  double operator()(double logValue) const {
    return from + (logValue - low) / (high - low) * (to - from);
  }
};

struct Range {
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  bool empty() const { return low > high; }
};

}  // namespace

std::string lineChartSvg(ChartText const& text, std::vector<Series> const& series) {
  Range xs;
  Range ys;
  for (auto const& line : series) {
    for (auto [x, y] : line.points) {
      if (x <= 0 || y <= 0) continue;
      xs.low = std::min(xs.low, std::log2(x));
      xs.high = std::max(xs.high, std::log2(x));
      ys.low = std::min(ys.low, std::log10(y));
      ys.high = std::max(ys.high, std::log10(y));
    }
  }
  if (xs.empty()) xs = {6, 20};
  if (ys.empty()) ys = {0, 3};
  // Whole powers at both ends, and never a zero-width range.
  xs = {std::floor(xs.low), std::max(std::ceil(xs.high), std::floor(xs.low) + 1)};
  ys = {std::floor(ys.low), std::max(std::ceil(ys.high), std::floor(ys.low) + 1)};
  double plotRight = kWidth - kRight;
  double plotBottom = kHeight - kBottom;
  Axis xAxis{xs.low, xs.high, kLeft, plotRight};
  Axis yAxis{ys.low, ys.high, plotBottom, kTop};

  std::string svg;
  svg += fmt::format(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
      "viewBox=\"0 0 {0} {1}\" font-family=\"sans-serif\" font-size=\"12\">\n"
      "<rect width=\"{0}\" height=\"{1}\" fill=\"white\"/>\n",
      kWidth, kHeight);
  svg += fmt::format(
      "<text x=\"{}\" y=\"28\" text-anchor=\"middle\" font-size=\"16\" "
      "font-weight=\"bold\">{}</text>\n",
      (kLeft + plotRight) / 2, escaped(text.title));

  // Grid and ticks: every power of two on x (labels on every other one when they would
  // crowd), 1, 2 and 5 times every power of ten on y.
  int xSteps = static_cast<int>(xs.high - xs.low);
  int labelEvery = xSteps > 10 ? 2 : 1;
  for (int step = 0; step <= xSteps; ++step) {
    double power = xs.low + step;
    double x = xAxis(power);
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1}\" x2=\"{0:.1f}\" y2=\"{2}\" stroke=\"#e0e0e0\"/>\n", x, kTop,
        plotBottom);
    svg += fmt::format(
        "<line x1=\"{0:.1f}\" y1=\"{1}\" x2=\"{0:.1f}\" y2=\"{2}\" stroke=\"black\"/>\n", x,
        plotBottom, plotBottom + 5);
    if (step % labelEvery == 0) {
      svg += fmt::format("<text x=\"{:.1f}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n", x,
                         plotBottom + 20, binaryLabel(std::exp2(power)));
    }
  }
  for (double decade = ys.low; decade <= ys.high; ++decade) {
    for (double factor : {1.0, 2.0, 5.0}) {
      double logValue = decade + std::log10(factor);
      if (logValue > ys.high + 1e-9) break;
      double y = yAxis(logValue);
      bool major = factor == 1.0;
      svg += fmt::format(
          "<line x1=\"{1}\" y1=\"{0:.1f}\" x2=\"{2}\" y2=\"{0:.1f}\" stroke=\"{3}\"/>\n", y, kLeft,
          plotRight, major ? "#c8c8c8" : "#ececec");
      svg += fmt::format(
          "<line x1=\"{1}\" y1=\"{0:.1f}\" x2=\"{2}\" y2=\"{0:.1f}\" stroke=\"black\"/>\n", y,
          kLeft - 5, kLeft);
      svg += fmt::format("<text x=\"{}\" y=\"{:.1f}\" text-anchor=\"end\">{}</text>\n", kLeft - 8,
                         y + 4, decimalLabel(std::pow(10.0, logValue)));
    }
  }

  // Axes and their labels.
  svg += fmt::format(
      "<rect x=\"{}\" y=\"{}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"black\"/>\n",
      kLeft, kTop, plotRight - kLeft, plotBottom - kTop);
  svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">{}</text>\n",
                     (kLeft + plotRight) / 2, kHeight - 15, escaped(text.xLabel));
  svg += fmt::format(
      "<text x=\"20\" y=\"{0}\" text-anchor=\"middle\" transform=\"rotate(-90 20 {0})\">{1}"
      "</text>\n",
      (kTop + plotBottom) / 2, escaped(text.yLabel));

  // One polyline with markers per series, and its legend entry.
  for (std::size_t index = 0; index < series.size(); ++index) {
    auto const& line = series[index];
    char const* colour = kColours[index % std::size(kColours)];
    std::string points;
    std::string markers;
    for (auto [x, y] : line.points) {
      if (x <= 0 || y <= 0) continue;
      double px = xAxis(std::log2(x));
      double py = yAxis(std::log10(y));
      points += fmt::format("{:.1f},{:.1f} ", px, py);
      markers += fmt::format(
          "<circle cx=\"{:.1f}\" cy=\"{:.1f}\" r=\"3.5\" fill=\"{}\"><title>{}: {} entries, "
          "{:.1f} ns</title></circle>\n",
          px, py, colour, escaped(line.name), binaryLabel(x), y);
    }
    if (!points.empty()) {
      points.pop_back();
      svg += fmt::format(
          "<polyline points=\"{}\" fill=\"none\" stroke=\"{}\" stroke-width=\"2\"/>\n", points,
          colour);
    }
    svg += markers;
    double legendY = kTop + 10 + 22 * static_cast<double>(index);
    svg += fmt::format(
        "<line x1=\"{0}\" y1=\"{1:.1f}\" x2=\"{2}\" y2=\"{1:.1f}\" stroke=\"{3}\" "
        "stroke-width=\"2\"/>\n<circle cx=\"{4}\" cy=\"{1:.1f}\" r=\"3.5\" fill=\"{3}\"/>\n"
        "<text x=\"{5}\" y=\"{6:.1f}\">{7}</text>\n",
        plotRight + 15, legendY, plotRight + 45, colour, plotRight + 30, plotRight + 52,
        legendY + 4, escaped(line.name));
  }
  svg += "</svg>\n";
  return svg;
}

}  // namespace Bench
