#include <gtest/gtest.h>

#include "platform/pelcar/SchanCmd.h"

namespace {

using Pelcar::SchanCmd;
using Pelcar::SchanCmds;

Vorl::Ptr<SchanCmd> commandAt(std::uint32_t row) {
  auto cmd = Vorl::makePtr<SchanCmd>();
  cmd->row = row;
  return cmd;
}

std::vector<std::uint32_t> rowsOf(SchanCmds const& cmds) {
  std::vector<std::uint32_t> rows;
  for (auto const& cmd : cmds) rows.push_back(cmd->row);
  return rows;
}

TEST(SchanCmds, AppendMovesEveryCommandInOrderAndDequeueTakesTheFirst) {
  auto list = Pelcar::schanCmdsFactory();
  EXPECT_FALSE(list->cmdDeq()) << "an empty list gives nothing";
  list->cmdEnq(commandAt(1));
  auto other = Pelcar::schanCmdsFactory();
  other->cmdEnq(commandAt(2));
  other->cmdEnq(commandAt(3));
  list->cmdsAppend(other);
  EXPECT_TRUE(other->empty()) << "moved, so no command is sent twice";
  list->cmdsAppend(list);
  list->cmdsAppend(nullptr);
  EXPECT_EQ(rowsOf(*list), (std::vector<std::uint32_t>{1, 2, 3}));
  EXPECT_EQ(list->cmdDeq()->row, 1u);
  EXPECT_EQ(rowsOf(*list), (std::vector<std::uint32_t>{2, 3}));
}

}  // namespace
