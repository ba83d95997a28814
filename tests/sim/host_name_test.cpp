// A card's file names as Windows takes them, checked on every host.
#include <gtest/gtest.h>

#include <utility>

#include "card/card_files.h"

namespace {

TEST(WindowsSafeName, IsOnePlainNameThatNamesNoDevice) {
  const std::pair<const char*, const char*> names[] = {
      {"P1010001.JPG", "P1010001.JPG"},
      {"Holiday at the beach.jpg", "Holiday at the beach.jpg"},
      {"AUX.TXT", "AUX_.TXT"},
      {"con", "con_"},
      {"Com1.log", "Com1_.log"},
      {"LPT9", "LPT9_"},
      {"nul .txt", "nul _.txt"},
      {"COM0", "COM0"},
      {"CONSOLE.TXT", "CONSOLE.TXT"},
      {"a:b?c*.txt", "a_b_c_.txt"},
      {"x<y>|\"z", "x_y___z"},
      {"..\\up/down", ".._up_down"},
      {"..", "._"},
      {"trailing.", "trailing_"},
      {"space ", "space_"},
      {"tab\there", "tab_here"},
      {"", "_"},
  };
  for (const auto& [name, safe] : names) EXPECT_EQ(card::WindowsSafeName(name), safe) << name;
}

}  // namespace
