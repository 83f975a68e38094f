#include "platform/terminal.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

// The mode question's buttons: accelerators C and R, the result numbers, Cancel by name only.
const std::vector<Choice> kMode = {{"SETUP: Configure the server", 6, 'C'},
                                   {"SERVER: Configure and Run the server (1)", 7, 'R'},
                                   {"Cancel", 2, 0}};

TEST(TerminalTest, AnswersNameAChoiceByKeyNumberOrLabel) {
  const std::pair<const char*, int> cases[] = {
      {"c", 6},
      {"C", 6},
      {" r ", 7},
      {"R\r", 7},
      {"6", 6},
      {"7", 7},
      {"2", 2},
      {"cancel", 2},
      {"CANCEL", 2},
      {"setup: configure the server", 6},
      // Refused: the first letter both SETUP and SERVER share, Cancel's first letter (taken
      // by Configure), unknown numbers and letters, and nothing at all.
      {"s", -1},
      {"1", -1},
      {"3", -1},
      {"x", -1},
      {"", -1},
      {"  ", -1},
      {"cr", -1},
      {"67", -1},
  };
  for (const auto& [answer, result] : cases) {
    EXPECT_EQ(MatchChoice(answer, kMode), result) << '"' << answer << '"';
  }
  const std::vector<Choice> yesNo = {{"Yes", 6, 'y'}, {"No", 7, 'n'}};
  EXPECT_EQ(MatchChoice("Y", yesNo), 6);
  EXPECT_EQ(MatchChoice("no", yesNo), 7);
  EXPECT_EQ(MatchChoice("yes please", yesNo), -1);
}

}  // namespace
}  // namespace platform
