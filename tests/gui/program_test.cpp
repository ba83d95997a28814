// The program itself, as a user starts it: its resources, manifest and
// command line, in a process of its own.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "engine/reader_device.h"

#include "card/card.h"
#include "resources/resource_ids.h"
#include "smformat_version.h"
#include "tests/gui/live_dialog.h"
#include "tests/gui/window_driver.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace guitest;

// smformatw.exe lives beside the test program.
std::string ProgramPath() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path);
  folder.resize(folder.find_last_of("\\/") + 1);
  return folder + "smformatw.exe";
}

class Program {
 public:
  explicit Program(const std::string& arguments) {
    std::string commandLine = "\"" + ProgramPath() + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                             &process) != FALSE;
  }
  ~Program() {
    if (!started) return;
    if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 99);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }

  bool Started() const { return started; }
  DWORD Id() const { return process.dwProcessId; }
  // The exit status, or -1 if the program is still running at the deadline.
  long WaitExit() const {
    if (WaitForSingleObject(process.hProcess, gui::kDeadlineMs) != WAIT_OBJECT_0) return -1;
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    return static_cast<long>(status);
  }

 private:
  PROCESS_INFORMATION process{};
  bool started = false;
};

// Windows paths for the program: the test's folder is a Unix path under Wine.
std::string WindowsPath(const std::string& path) {
  char full[MAX_PATH] = {};
  GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
  return full;
}

// The program file as a data file: its resources.
class ProgramResources : public ::testing::Test {
 protected:
  void SetUp() override {
    module = LoadLibraryExA(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr) << GetLastError();
  }
  void TearDown() override {
    if (module != nullptr) FreeLibrary(module);
  }

  std::string Text(LPCSTR type, LPCSTR name) const {
    const HRSRC found = FindResourceA(module, name, type);
    if (found == nullptr) return {};
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(module, found)));
    return std::string(bytes, SizeofResource(module, found));
  }

  HMODULE module = nullptr;
};

TEST_F(ProgramResources, DialogIconAndDeviceList) {
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(facts::kDialogTemplate), MAKEINTRESOURCEA(5) /* RT_DIALOG */),
            nullptr);
  EXPECT_NE(FindResourceA(module, MAKEINTRESOURCEA(facts::kIconGroup), MAKEINTRESOURCEA(14) /* RT_GROUP_ICON */),
            nullptr);
  char list[1000] = {};
  EXPECT_GT(LoadStringA(module, facts::kDeviceListString, list, sizeof list), 0);
  EXPECT_STREQ(list, kBuiltinDeviceIdList);
}

TEST_F(ProgramResources, ManifestAsksForAdministratorAndNewControls) {
  const std::string manifest = Text(MAKEINTRESOURCEA(24) /* RT_MANIFEST */, MAKEINTRESOURCEA(1));
  EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
  EXPECT_NE(manifest.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""), std::string::npos);
  EXPECT_NE(manifest.find("<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"), std::string::npos)
      << "Windows 10";
}

TEST_F(ProgramResources, VersionInformation) {
  const std::string version = Text(MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1));
  ASSERT_GE(version.size(), 40u + 52u);
  // VS_FIXEDFILEINFO follows the "VS_VERSION_INFO" key; find its signature.
  const std::string signature("\xBD\x04\xEF\xFE", 4);
  const std::size_t fixed = version.find(signature);
  ASSERT_NE(fixed, std::string::npos);
  VS_FIXEDFILEINFO info;
  std::memcpy(&info, version.data() + fixed, sizeof info);
  EXPECT_EQ(info.dwFileType, static_cast<DWORD>(VFT_APP));
  EXPECT_EQ(HIWORD(info.dwFileVersionMS), static_cast<DWORD>(SMFORMAT_VERSION_MAJOR));
}

TEST(Program, SimulatedCardOpensTheDialogAndCloseEndsIt) {
  TempDir dir;
  card::CreateOptions options;
  options.geometry = *card::StandardGeometry("2M");
  ASSERT_TRUE(card::CreateCardImage(dir.File("card.img"), options));

  Program program("--simulate \"" + WindowsPath(dir.File("card.img")) + "\"");
  ASSERT_TRUE(program.Started()) << GetLastError();
  const HWND dialog = gui::WaitForTopLevel(gui::kDialogClass, kDialogCaption, program.Id());
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_FORMAT)));

  gui::Click(dialog, IDC_CLOSE_STOP);
  EXPECT_EQ(program.WaitExit(), 0);
}

TEST(Program, MissingCardImageSaysWhyThenDeviceNotFound) {
  TempDir dir;
  Program program("--simulate \"" + WindowsPath(dir.File("missing.img")) + "\"");
  ASSERT_TRUE(program.Started()) << GetLastError();

  const gui::MessageBoxView why = gui::WaitForMessageBox("Error", program.Id());
  EXPECT_NE(why.text.find("missing.img"), std::string::npos) << why.text;
  EXPECT_EQ(why.owner, nullptr);
  ASSERT_TRUE(gui::Answer(why, IDOK));
  const gui::MessageBoxView none = ExpectBox(facts::kDeviceNotFound, program.Id());
  ASSERT_TRUE(gui::Answer(none, IDOK));
  EXPECT_EQ(program.WaitExit(), 1);
}

TEST(Program, WrongCommandLineIsExplained) {
  Program program("--simulate");
  ASSERT_TRUE(program.Started()) << GetLastError();
  const gui::MessageBoxView usage = gui::WaitForMessageBox("smformatw", program.Id());
  EXPECT_NE(usage.text.find("Usage: smformatw"), std::string::npos) << usage.text;
  ASSERT_TRUE(gui::Answer(usage, IDOK));
  EXPECT_EQ(program.WaitExit(), 2);
}

}  // namespace
