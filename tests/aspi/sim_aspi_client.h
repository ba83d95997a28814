// The test's handle on the test ASPI layer: loads wnaspi32.dll the way the
// backend does (so the backend's own load finds it already in the process,
// set up by the test) and calls the layer's control exports.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "tests/aspi/dll/sim_aspi_control.h"

class SimAspiClient {
 public:
  SimAspiClient();
  ~SimAspiClient();
  SimAspiClient(const SimAspiClient&) = delete;
  SimAspiClient& operator=(const SimAspiClient&) = delete;

  bool Loaded() const { return module != nullptr && reset != nullptr; }
  HMODULE Module() const { return module; }
  std::string Identity() const;
  std::uint32_t FileVersion() const;

  void Reset(unsigned adapters) const;
  void SetSupportStatus(std::uint8_t status) const;
  bool AttachReader(unsigned ha, unsigned target, unsigned lun, const char* card, const char* faults = nullptr) const;
  bool AttachOther(unsigned ha, unsigned target, const char* inquiryId) const;
  void SetMode(int mode) const;
  void Hold(int nth, bool deaf) const;
  bool IsHeldEvent(void* event) const;
  int HeldCount() const;
  int ReleaseHeld() const;
  int WriteHeldStatus() const;
  void WaitIdle() const;
  void ClearRecords() const;
  std::vector<SimAspiRecord> Records() const;
  // Execute requests only.
  std::vector<SimAspiRecord> ExecuteRecords() const;
  std::vector<std::string> Misuse() const;

 private:
  template <typename Proc>
  void Resolve(Proc& proc, const char* name);

  HMODULE module = nullptr;
  SimAspiIdentifyProc identify = nullptr;
  SimAspiFileVersionProc fileVersion = nullptr;
  SimAspiResetProc reset = nullptr;
  SimAspiSetSupportStatusProc setSupportStatus = nullptr;
  SimAspiAttachReaderProc attachReader = nullptr;
  SimAspiAttachOtherProc attachOther = nullptr;
  SimAspiSetModeProc setMode = nullptr;
  SimAspiHoldProc hold = nullptr;
  SimAspiIsHeldEventProc isHeldEvent = nullptr;
  SimAspiCountProc heldCount = nullptr;
  SimAspiReleaseHeldProc releaseHeld = nullptr;
  SimAspiWriteHeldStatusProc writeHeldStatus = nullptr;
  SimAspiWaitIdleProc waitIdle = nullptr;
  SimAspiCountProc recordCount = nullptr;
  SimAspiGetRecordProc getRecord = nullptr;
  SimAspiClearRecordsProc clearRecords = nullptr;
  SimAspiCountProc misuseCount = nullptr;
  SimAspiGetMisuseProc getMisuse = nullptr;
  SimAspiShutdownProc shutdown = nullptr;
};
