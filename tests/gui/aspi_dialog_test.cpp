// The 9x family: the dialog takes the ASPI backend with its real platform
// calls, and the backend reaches a simulated reader through the project's
// test ASPI layer (wnaspi32.dll beside this program); a copy runs in Wine's
// 98 mode (SMFORMAT_WINDOWS=win98, nine_x_thread_start.cpp).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "app/job/format_job.h"
#include "resources/resource_ids.h"
#include "tests/aspi/sim_aspi_client.h"
#include "tests/gui/card_files.h"
#include "tests/gui/live_dialog.h"
#include "tests/gui/window_driver.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace guitest;

// In Wine's 98 mode the dialog reads the system's own version (Kind() below).
bool OnWindows98() {
  const char* mode = std::getenv("SMFORMAT_WINDOWS");
  return mode != nullptr && std::string(mode) == "win98";
}

// This system's device tree has no drive letter for the reader: the backend
// says so in a box of its own, with no owner, and goes on with letter 255.
void AnswerNoDriveLetter() {
  const gui::MessageBoxView box = gui::WaitForMessageBox("Info");
  EXPECT_EQ(box.text, "Get no drive letter");
  EXPECT_EQ(box.owner, nullptr);
  ASSERT_TRUE(gui::Answer(box, IDOK));
}

TEST(NineXFamily, WholeFormatThroughTheAspiBackend) {
  SimAspiClient layer;
  ASSERT_TRUE(layer.Loaded()) << "the project's wnaspi32.dll is not the one loaded";
  layer.Reset(1);
  TempDir dir;
  const std::string dialogImage = dir.File("dialog.img");
  const std::string toolImage = dir.File("tool.img");
  ASSERT_TRUE(MakeUsedCardImage(dialogImage, "2M"));
  ASSERT_TRUE(CopyCardImage(dialogImage, toolImage));
  ASSERT_TRUE(layer.AttachReader(0, 1, 0, dialogImage.c_str()));

  Timeline timeline;
  VirtualClock clock(timeline);
  RecordingShell shell(timeline);
  FakeVersionApi secondEdition;
  secondEdition.extended = PlatformVersion{VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE};
  PlatformVersionApi& version = OnWindows98() ? SystemPlatformVersionApi() : secondEdition;
  HardwareReaderFactory readers;
  {
    LiveDialog live(readers, version, clock, shell);
    live.Start();
    AnswerNoDriveLetter();
    const HWND dialog = live.WaitForWindow();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(live.Dialog().Kind(), PlatformKind::Windows9x);

    StartFormat(dialog);
    AnswerNoDriveLetter();  // the job asks for the letter again at its end
    FinishFormat(live);
    EXPECT_EQ(timeline.Count(std::string("shell notify ") + DriveRootPath(static_cast<char>(255))), 1u);
    gui::Click(dialog, IDC_CLOSE_STOP);
    ASSERT_TRUE(live.WaitEnded());
  }
  layer.WaitIdle();
  layer.Reset(1);  // the layer lets go of the card's image file
  for (const std::string& problem : layer.Misuse()) ADD_FAILURE() << "layer: " << problem;

  std::string messages;
  ASSERT_EQ(FormatWithTool(toolImage, messages), 0) << messages;
  EXPECT_TRUE(FileBytes(dialogImage) == FileBytes(toolImage)) << "the card images differ";
}

}  // namespace
