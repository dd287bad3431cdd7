#include "platform/sim/FaultPlan.h"

#include <charconv>
#include <cmath>

#include <fmt/format.h>

namespace Sim {
namespace {

std::uint64_t wholeNumber(std::string_view name, std::string_view value, std::uint64_t least) {
  std::uint64_t number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size()) {
    throw FaultPlanError(fmt::format("{}={} is not a whole number", name, value));
  }
  if (number < least) throw FaultPlanError(fmt::format("{} must be at least {}", name, least));
  return number;
}

double fraction(std::string_view name, std::string_view value) {
  // from_chars for doubles, so that the locale cannot change what a plan means.
  double number = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || !std::isfinite(number)) {
    throw FaultPlanError(fmt::format("{}={} is not a number", name, value));
  }
  if (number < 0 || number > 1) {
    throw FaultPlanError(fmt::format("{}={} is outside 0..1 (a fraction of the commands)", name,
                                     value));
  }
  return number;
}

}  // namespace

char const* faultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::refused:
      return "refused";
    case FaultKind::timedOut:
      return "timed out";
    case FaultKind::partial:
      return "partly written";
  }
  return "unknown";
}

std::optional<FaultKind> faultKindOf(std::uint8_t value) {
  if (value < 1 || value > 3) return std::nullopt;
  return static_cast<FaultKind>(value);
}

bool FaultPlan::empty() const {
  return !refuseNth && refuseRate == 0 && !timeoutNth && timeoutRate == 0 && !partialNth &&
         partialRate == 0 && flipEvery == 0;
}

FaultPlan FaultPlan::parse(std::string_view text) {
  FaultPlan plan;
  if (text.empty()) throw FaultPlanError("the fault plan is empty");
  std::size_t start = 0;
  while (start <= text.size()) {
    auto comma = text.find(',', start);
    auto part = text.substr(start, comma == std::string_view::npos ? std::string_view::npos
                                                                    : comma - start);
    start = comma == std::string_view::npos ? text.size() + 1 : comma + 1;
    auto equals = part.find('=');
    if (equals == std::string_view::npos) {
      throw FaultPlanError(fmt::format("'{}' is not name=value", part));
    }
    auto name = part.substr(0, equals);
    auto value = part.substr(equals + 1);
    if (name == "seed") {
      plan.seed = wholeNumber(name, value, 0);
    } else if (name == "refuse") {
      plan.refuseNth = wholeNumber(name, value, 1);
    } else if (name == "refuse-rate") {
      plan.refuseRate = fraction(name, value);
    } else if (name == "timeout") {
      plan.timeoutNth = wholeNumber(name, value, 1);
    } else if (name == "timeout-rate") {
      plan.timeoutRate = fraction(name, value);
    } else if (name == "partial") {
      plan.partialNth = wholeNumber(name, value, 1);
    } else if (name == "partial-rate") {
      plan.partialRate = fraction(name, value);
    } else if (name == "partial-rows") {
      auto rows = wholeNumber(name, value, 0);
      if (rows > UINT32_MAX) throw FaultPlanError(fmt::format("partial-rows={} is too large", value));
      plan.partialRows = static_cast<std::uint32_t>(rows);
    } else if (name == "flip-every") {
      plan.flipEvery = wholeNumber(name, value, 1);
    } else {
      throw FaultPlanError(fmt::format(
          "unknown fault '{}' (refuse, refuse-rate, timeout, timeout-rate, partial, "
          "partial-rate, partial-rows, flip-every, seed)",
          name));
    }
  }
  return plan;
}

std::string FaultPlan::text() const {
  std::string text;
  auto add = [&text](std::string part) {
    if (!text.empty()) text += ',';
    text += part;
  };
  if (refuseNth) add(fmt::format("refuse={}", *refuseNth));
  if (refuseRate != 0) add(fmt::format("refuse-rate={}", refuseRate));
  if (timeoutNth) add(fmt::format("timeout={}", *timeoutNth));
  if (timeoutRate != 0) add(fmt::format("timeout-rate={}", timeoutRate));
  if (partialNth) add(fmt::format("partial={}", *partialNth));
  if (partialRate != 0) add(fmt::format("partial-rate={}", partialRate));
  if (partialRows) add(fmt::format("partial-rows={}", *partialRows));
  if (flipEvery != 0) add(fmt::format("flip-every={}", flipEvery));
  add(fmt::format("seed={}", seed));
  return text;
}

FaultInjector::FaultInjector(FaultPlan plan) : plan_(plan), state_(plan.seed) {}

std::uint64_t FaultInjector::draw() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

FaultDecision FaultInjector::next(Pelcar::SchanCmd const& cmd) {
  // Every draw is made for every command, used or not: a command's fate depends on
  // its place in the run only, not on what befell the commands before it.
  auto refuseDraw = unit();
  auto timeoutDraw = unit();
  auto partialDraw = unit();
  auto rowsDraw = draw();
  auto flipDraw = draw();
  ++writes_;
  bool bulk = cmd.kind == Pelcar::SchanCmdKind::memoryBulkWrite;
  if (bulk) ++bulkWrites_;

  FaultDecision decision;
  decision.rowsWritten = cmd.rowCount;
  if ((plan_.refuseNth && *plan_.refuseNth == writes_) || refuseDraw < plan_.refuseRate) {
    decision.fault = FaultKind::refused;
  } else if (bulk && ((plan_.timeoutNth && *plan_.timeoutNth == bulkWrites_) ||
                      timeoutDraw < plan_.timeoutRate)) {
    decision.fault = FaultKind::timedOut;
  } else if (bulk && ((plan_.partialNth && *plan_.partialNth == bulkWrites_) ||
                      partialDraw < plan_.partialRate)) {
    decision.fault = FaultKind::partial;
  }
  if (decision.fault) {
    ++faults_;
    decision.rowsWritten = 0;
    if (*decision.fault == FaultKind::partial) {
      // At most all but one row: a transfer that wrote every row completed.
      std::uint32_t most = cmd.rowCount - 1;
      decision.rowsWritten = plan_.partialRows
                                 ? std::min(*plan_.partialRows, most)
                                 : static_cast<std::uint32_t>(rowsDraw % (std::uint64_t{most} + 1));
    }
  }
  if (plan_.flipEvery != 0 && writes_ % plan_.flipEvery == 0 && decision.rowsWritten != 0) {
    decision.flipDraw = flipDraw;
    ++flips_;
  }
  return decision;
}

}  // namespace Sim
