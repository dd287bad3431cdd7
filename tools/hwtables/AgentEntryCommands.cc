// The console's commands on one entry: set, get, delete and schan.
#include "tools/hwtables/AgentSession.h"

#include <algorithm>
#include <cctype>

#include <fmt/format.h>

#include "framework/FieldValues.h"
#include "platform/lutz/PerUnitBitmap.h"
#include "platform/pelcar/SchanCmd.h"
#include "tools/hwtables/AgentTables.h"
#include "tools/hwtables/Errors.h"
#include "tools/hwtables/Names.h"

namespace Tool {
namespace {

// A bitmap field's new bits: a number of up to 64 bits, or 0x and hex digits of up
// to the field's width (as bitmaps print).
Lutz::PerUnitBitmap bitmapValue(Framework::FieldInfo const& field, std::string const& text) {
  std::vector<unsigned> nibbles;  // least significant first
  std::string_view digits = text;
  if ((digits.starts_with("0x") || digits.starts_with("0X")) && digits.size() > 2 + 16) {
    for (auto digit = digits.rbegin(); digit != digits.rend() - 2; ++digit) {
      auto value = static_cast<unsigned char>(*digit);
      if (!std::isxdigit(value)) {
        throw UsageError(fmt::format("'{}' is not a number for field {}", shown(text), field.name));
      }
      nibbles.push_back(std::isdigit(value) ? value - '0' : std::tolower(value) - 'a' + 10);
    }
  } else {
    for (U64 value = parseNumber(text, fmt::format("field {}", field.name)); value != 0;
         value >>= 4) {
      nibbles.push_back(static_cast<unsigned>(value & 0xF));
    }
  }
  Lutz::PerUnitBitmap bitmap(field.width);
  for (std::size_t bit = 0; bit < 4 * nibbles.size(); ++bit) {
    if (((nibbles[bit / 4] >> (bit % 4)) & 1u) == 0) continue;
    if (bit >= field.width) {
      throw RangeError(
          fmt::format("value {} is wider than {} ({} bits)", shown(text), field.name, field.width));
    }
    bitmap.bitIs(bit, true);
  }
  return bitmap;
}

}  // namespace

AgentReply AgentSession::set(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChip);
  auto const& handle = target.handle;
  auto entry = target.call("getEntry");
  for (std::size_t index = 4; index < words.size(); ++index) {
    auto const& word = words[index];
    auto equals = word.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw UsageError(fmt::format("'{}' is not field=value", shown(word)));
    }
    auto name = word.substr(0, equals);
    auto const& fields = handle.info->fields;
    auto field = std::find_if(fields.begin(), fields.end(),
                              [&name](auto const& each) { return each.name == name; });
    if (field == fields.end()) {
      std::vector<std::string> names;
      for (auto const& each : fields) names.emplace_back(each.name);
      throw UsageError(fmt::format("{} has no field {}{}", handle.entryType.info().name,
                                   shown(name), didYouMean(name, names)));
    }
    if (field->kind == Framework::FieldKind::indexed) {
      throw UsageError(
          fmt::format("{} is an indexed field: set its parts by their own names", name));
    }
    auto text = word.substr(equals + 1);
    Vorl::Arguments arguments;
    if (field->kind == Framework::FieldKind::bitmap) {
      arguments.push_back(bitmapValue(*field, text));
    } else {
      U64 largest = field->width >= 64 ? ~U64{0} : (U64{1} << field->width) - 1;
      auto value = parseNumber(text, fmt::format("field {}", name));
      if (value > largest) {
        throw RangeError(fmt::format("value {} is outside 0..{} for {} ({} bits)", value, largest,
                                     name, field->width));
      }
      arguments.push_back(value);
    }
    call(handle.entryType, entry, name + "Is", arguments);
  }
  auto object = handle.object;
  call(handle.tableType, object, "setEntry", {target.shadowKeyValue, entry});
  entryReply(handle, entry, target.position, reply);
  return reply;
}

AgentReply AgentSession::get(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChipOrHeld);
  entryReply(target.handle, target.call("getEntry"), target.position, reply);
  if (target.missingRow) {
    reply.lines.push_back(
        fmt::format("  held by the shadow, never downloaded: {}", *target.missingRow));
    reply.json["heldNotDownloaded"] = *target.missingRow;
  }
  return reply;
}

AgentReply AgentSession::remove(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChipOrHeld);
  target.call("deleteEntry");
  entryReply(target.handle, target.call("getEntry"), target.position, reply);
  return reply;
}

AgentReply AgentSession::schan(Words const& words) {
  AgentReply reply;
  auto target = entryTarget(words, RowNeed::onChip);
  auto result = target.call("schanCmds");
  auto cmds = Vorl::ptrCast<Pelcar::SchanCmds>(std::any_cast<Vorl::Ptr<Vorl::Node>>(result));
  reply.lines.push_back(fmt::format("{} command(s), sent to the chip:", cmds ? cmds->size() : 0));
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  if (cmds) {
    for (auto const& cmd : *cmds) {
      reply.lines.push_back("  " + cmd->toString());
      list.push_back(nlohmann::ordered_json(cmd->toJson()));
    }
  }
  reply.json["commands"] = list;
  agent_->send(cmds, target.handle.name());
  return reply;
}

}  // namespace Tool
