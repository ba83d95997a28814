#include "tests/aspi/sim_aspi_client.h"

#include <array>

template <typename Proc>
void SimAspiClient::Resolve(Proc& proc, const char* name) {
  proc = reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

SimAspiClient::SimAspiClient() : module(LoadLibraryA("wnaspi32.dll")) {
  if (module == nullptr) return;
  Resolve(identify, "SimAspiIdentify");
  Resolve(fileVersion, "SimAspiFileVersion");
  Resolve(reset, "SimAspiReset");
  Resolve(setSupportStatus, "SimAspiSetSupportStatus");
  Resolve(attachReader, "SimAspiAttachReader");
  Resolve(attachOther, "SimAspiAttachOther");
  Resolve(setMode, "SimAspiSetMode");
  Resolve(hold, "SimAspiHold");
  Resolve(isHeldEvent, "SimAspiIsHeldEvent");
  Resolve(heldCount, "SimAspiHeldCount");
  Resolve(releaseHeld, "SimAspiReleaseHeld");
  Resolve(writeHeldStatus, "SimAspiWriteHeldStatus");
  Resolve(waitIdle, "SimAspiWaitIdle");
  Resolve(recordCount, "SimAspiRecordCount");
  Resolve(getRecord, "SimAspiGetRecord");
  Resolve(clearRecords, "SimAspiClearRecords");
  Resolve(misuseCount, "SimAspiMisuseCount");
  Resolve(getMisuse, "SimAspiGetMisuse");
  Resolve(shutdown, "SimAspiShutdown");
  if (identify == nullptr || shutdown == nullptr) reset = nullptr;  // not the project's layer
}

SimAspiClient::~SimAspiClient() {
  if (module == nullptr) return;
  if (shutdown != nullptr) shutdown();
  FreeLibrary(module);
}

std::string SimAspiClient::Identity() const { return identify != nullptr ? identify() : ""; }
std::uint32_t SimAspiClient::FileVersion() const { return fileVersion != nullptr ? fileVersion() : 0; }
void SimAspiClient::Reset(unsigned adapters) const { reset(adapters); }
void SimAspiClient::SetSupportStatus(std::uint8_t status) const { setSupportStatus(status); }

bool SimAspiClient::AttachReader(unsigned ha, unsigned target, unsigned lun, const char* card,
                                 const char* faults) const {
  return attachReader(ha, target, lun, card, faults) != 0;
}

bool SimAspiClient::AttachOther(unsigned ha, unsigned target, const char* inquiryId) const {
  return attachOther(ha, target, inquiryId) != 0;
}

void SimAspiClient::SetMode(int mode) const { setMode(mode); }
void SimAspiClient::Hold(int nth, bool deaf) const { hold(nth, deaf ? 1 : 0); }
bool SimAspiClient::IsHeldEvent(void* event) const { return isHeldEvent(event) != 0; }
int SimAspiClient::HeldCount() const { return heldCount(); }
int SimAspiClient::ReleaseHeld() const { return releaseHeld(); }
int SimAspiClient::WriteHeldStatus() const { return writeHeldStatus(); }
void SimAspiClient::WaitIdle() const { waitIdle(); }

void SimAspiClient::ClearRecords() const { clearRecords(); }

std::vector<SimAspiRecord> SimAspiClient::Records() const {
  std::vector<SimAspiRecord> out(static_cast<std::size_t>(recordCount()));
  for (std::size_t i = 0; i < out.size(); ++i) getRecord(static_cast<int>(i), &out[i]);
  return out;
}

std::vector<SimAspiRecord> SimAspiClient::ExecuteRecords() const {
  std::vector<SimAspiRecord> out;
  for (const SimAspiRecord& record : Records()) {
    if (record.command == 0x02) out.push_back(record);
  }
  return out;
}

std::vector<std::string> SimAspiClient::Misuse() const {
  std::vector<std::string> out;
  for (int i = 0; i < misuseCount(); ++i) {
    std::array<char, 256> text{};
    getMisuse(i, text.data(), static_cast<int>(text.size()));
    out.emplace_back(text.data());
  }
  return out;
}
