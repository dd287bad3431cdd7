#include "tools/hwtables/Errors.h"

#include <new>

#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include "agent/Error.h"
#include "platform/asic/Assert.h"
#include "platform/sim/ChipClient.h"
#include "platform/vorl/Exceptions.h"

namespace Tool {
namespace {

// The longest message printed; what is longer came from input nobody wants echoed.
constexpr std::size_t kLongestMessage = 400;

std::string oneLine(std::string text) {
  for (char& character : text) {
    if (character == '\n' || character == '\r' || character == '\t') character = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return shown(text, kLongestMessage);
}

}  // namespace

std::string shown(std::string_view text, std::size_t limit) {
  std::string safe;
  auto kept = text.substr(0, limit);
  safe.reserve(kept.size());
  for (unsigned char byte : kept) {
    if (byte >= 0x20 && byte < 0x7F) {
      safe += static_cast<char>(byte);
    } else {
      fmt::format_to(std::back_inserter(safe), "\\x{:02x}", byte);
    }
  }
  if (kept.size() == text.size()) return safe;
  return fmt::format("{}... ({} more characters)", safe, text.size() - kept.size());
}

std::string withoutSourcePosition(std::string const& text) {
  if (!text.starts_with("AssertionError at ")) return text;
  auto dash = text.find(") - ");
  return dash == std::string::npos ? text : text.substr(dash + 4);
}

std::string ErrorReport::toText() const {
  return "hwtables: " + message;
}

nlohmann::json ErrorReport::toJson() const {
  nlohmann::json document{{"error", message}, {"exitStatus", exitStatus}};
  if (!detail.empty()) document["detail"] = detail;
  return document;
}

ErrorReport errorReport(std::exception const& error) {
  ErrorReport report;
  std::string text = error.what();
  if (auto const* tool = dynamic_cast<ToolError const*>(&error)) {
    report.detail = oneLine(tool->detail());
    report.exitStatus = dynamic_cast<UsageError const*>(&error) ? 2 : 1;
  } else if (auto const* agent = dynamic_cast<HwAgent::Error const*>(&error)) {
    report.exitStatus = agent->kind() == HwAgent::ErrorKind::badInput ? 2 : 1;
  } else if (dynamic_cast<CLI::ParseError const*>(&error)) {
    report.exitStatus = 2;
  } else if (dynamic_cast<std::bad_alloc const*>(&error)) {
    text = "out of memory";
  } else if (dynamic_cast<Asic::GracefulAssertException const*>(&error)) {
    report.detail = oneLine(text);
    text = withoutSourcePosition(text);
  }
  report.message = oneLine(text);
  return report;
}

std::string_view errorKind(std::exception const& error) {
  if (dynamic_cast<RangeError const*>(&error) || dynamic_cast<Vorl::RangeException const*>(&error)) {
    return "range";
  }
  if (dynamic_cast<Busy const*>(&error)) return "busy";
  if (dynamic_cast<UsageError const*>(&error) || dynamic_cast<CLI::ParseError const*>(&error)) {
    return "usage";
  }
  if (dynamic_cast<Asic::GracefulAssertException const*>(&error)) return "assertion";
  if (dynamic_cast<Vorl::CorruptionDetectedException const*>(&error)) return "corruption";
  if (dynamic_cast<Sim::ChipError const*>(&error)) return "chip";
  if (auto const* agent = dynamic_cast<HwAgent::Error const*>(&error)) {
    switch (agent->kind()) {
      case HwAgent::ErrorKind::badInput: return "usage";
      case HwAgent::ErrorKind::busy: return "busy";
      case HwAgent::ErrorKind::chipFailure: return "chip";
      case HwAgent::ErrorKind::checkFailed: return "check";
    }
  }
  return "check";
}

}  // namespace Tool
