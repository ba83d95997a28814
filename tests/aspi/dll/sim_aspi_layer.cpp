// A test ASPI for Win32 layer (built as wnaspi32.dll) whose host adapters
// and targets are simulated readers, as a layer's disk driver meets them
// (sim::ReaderTarget: sense data for each failure, UNIT ATTENTION once after
// the reader presents its card anew). It takes execute-command and abort
// requests, checks each request block as a layer must before it acts on it,
// completes requests at once or later on a thread of its own, and can keep a
// request pending until it is aborted or released. Everything it receives is
// recorded for the tests.
#include <windows.h>

#include <process.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "card/card.h"
#include "card/fault_plan.h"
#include "sim/reader.h"
#include "sim/reader_target.h"
#include "tests/aspi/dll/sim_aspi_control.h"
#include "transport/aspi/aspi_records.h"

namespace {

using aspi::SrbAbort;
using aspi::SrbExecScsiCmd;

constexpr std::uint32_t kFileVersionMS = (SIM_ASPI_MAJOR << 16) | SIM_ASPI_MINOR;
// The sense bytes this layer writes at most: a layer older than version 4
// has room for the record's 14.
constexpr std::size_t kSenseCapacity = SIM_ASPI_MAJOR < 4 ? aspi::kShortSenseLength : aspi::kLongSenseLength;
constexpr BYTE kKnownFlags =
    aspi::kFlagPosting | aspi::kFlagResidualCount | aspi::kFlagDirIn | aspi::kFlagDirOut | aspi::kFlagEventNotify;
constexpr unsigned kMaxTargets = 8;
constexpr unsigned kMaxLuns = 8;
constexpr BYTE kCheckCondition = 0x02;
constexpr std::array<BYTE, 14> kIllegalRequestSense = {0x70, 0, 0x05, 0, 0, 0, 0, 0x06, 0, 0, 0, 0, 0x24, 0};

// The layer's lock and wake-ups are the system's: the Windows runtime we
// build with has no std::mutex.
struct Lock {
  SRWLOCK srw = SRWLOCK_INIT;
  void lock() { AcquireSRWLockExclusive(&srw); }
  void unlock() { ReleaseSRWLockExclusive(&srw); }
};

struct Lun {
  std::unique_ptr<card::Card> card;
  std::unique_ptr<sim::Reader> reader;
  std::unique_ptr<sim::ReaderTarget> target;
};

struct Target {
  std::array<Lun, kMaxLuns> luns;
};

struct Pending {
  SrbExecScsiCmd* request;
  std::vector<BYTE> snapshot;  // the record as accepted
  bool deaf;
  bool statusWritten = false;  // completed, its event not yet signalled
};

std::unique_ptr<card::Card> MakeCard(const char* card, const card::FaultPlan& plan) {
  if (const auto geometry = card::StandardGeometry(card)) {
    card::CreateOptions options;
    options.geometry = *geometry;
    options.plan = plan;
    return std::move(card::CreateCard(options).card);
  }
  return std::move(card::OpenCardImage(card).card);
}

DataDirection DirectionOf(BYTE flags) {
  if (flags & aspi::kFlagDirIn) return DataDirection::In;
  if (flags & aspi::kFlagDirOut) return DataDirection::Out;
  return DataDirection::None;
}

std::size_t DirtyBytes(const SrbExecScsiCmd& request) {
  std::size_t dirty = 0;
  auto count = [&](const void* start, std::size_t length) {
    const BYTE* bytes = static_cast<const BYTE*>(start);
    for (std::size_t i = 0; i < length; ++i) dirty += bytes[i] != 0 ? 1 : 0;
  };
  count(&request.SRB_Status, 1);
  count(&request.SRB_Hdr_Rsvd, sizeof request.SRB_Hdr_Rsvd);
  count(&request.SRB_Rsvd1, sizeof request.SRB_Rsvd1);
  count(&request.SRB_HaStat, 2);
  count(request.SRB_Rsvd2, sizeof request.SRB_Rsvd2);
  count(request.CDBByte + request.SRB_CDBLen,
        request.SRB_CDBLen < aspi::kMaxCdbLength ? aspi::kMaxCdbLength - request.SRB_CDBLen : 0);
  count(request.SenseArea, std::min<std::size_t>(request.SRB_SenseLen, kSenseCapacity));
  return dirty;
}

class Layer {
 public:
  ~Layer() { Shutdown(); }

  void Reset(unsigned adapterCount) {
    WaitIdle();
    std::lock_guard<Lock> lock(mutex);
    targets.clear();
    adapters = adapterCount;
    supportStatus = aspi::kStatusComplete;
    mode = kSimAspiAlternate;
    holdAt = 0;
    holdDeaf = false;
    held.clear();
    records.clear();
    misuse.clear();
    executeCount = 0;
  }

  void SetSupportStatus(BYTE status) {
    std::lock_guard<Lock> lock(mutex);
    supportStatus = status;
  }

  DWORD SupportInfo() {
    std::lock_guard<Lock> lock(mutex);
    // A count the caller must not take comes with a status that is not SS_COMP.
    if (supportStatus != aspi::kStatusComplete) return (DWORD{supportStatus} << 8) | adapters;
    if (adapters == 0) return DWORD{aspi::kStatusNoAdapters} << 8;
    return (DWORD{aspi::kStatusComplete} << 8) | adapters;
  }

  int AttachReader(unsigned ha, unsigned target, unsigned lun, const char* card, const char* faults) {
    if (target >= kMaxTargets || lun >= kMaxLuns) return 0;
    card::FaultPlanLoad plan = card::ParseFaultPlan(faults != nullptr ? faults : "");
    if (!plan.error.empty()) return 0;
    auto made = MakeCard(card != nullptr ? card : "1M", plan.plan);
    if (!made) return 0;
    std::lock_guard<Lock> lock(mutex);
    Lun& slot = targets[{ha, target}].luns[lun];
    slot.target.reset();
    slot.reader.reset();
    slot.card = std::move(made);
    slot.reader = std::make_unique<sim::Reader>(*slot.card, plan.plan);
    if (card == nullptr) slot.reader->RemoveCard();
    slot.target = std::make_unique<sim::ReaderTarget>(*slot.reader);
    return 1;
  }

  int AttachOther(unsigned ha, unsigned target, const char* inquiryId) {
    const std::string faults = std::string("inquiry-id ") + (inquiryId != nullptr ? inquiryId : "");
    return AttachReader(ha, target, 0, nullptr, faults.c_str());
  }

  void SetMode(int newMode) {
    std::lock_guard<Lock> lock(mutex);
    mode = newMode;
  }

  void Hold(int nth, bool deaf) {
    std::lock_guard<Lock> lock(mutex);
    holdAt = executeCount + static_cast<unsigned>(nth);
    holdDeaf = deaf;
  }

  int IsHeldEvent(void* event) {
    std::lock_guard<Lock> lock(mutex);
    for (const Pending& pending : held) {
      if (pending.request->SRB_PostProc == event) return 1;
    }
    return 0;
  }

  int HeldCount() {
    std::lock_guard<Lock> lock(mutex);
    return static_cast<int>(held.size());
  }

  int ReleaseHeld() {
    std::lock_guard<Lock> lock(mutex);
    const int released = static_cast<int>(held.size());
    for (Pending& pending : held) {
      Run(pending);
      Signal(*pending.request);
    }
    held.clear();
    return released;
  }

  // A layer between its last two steps: the held requests run and get their
  // final status; ReleaseHeld signals their events.
  int WriteHeldStatus() {
    std::lock_guard<Lock> lock(mutex);
    for (Pending& pending : held) Run(pending);
    return static_cast<int>(held.size());
  }

  DWORD Send(void* block) {
    if (block == nullptr) return aspi::kStatusInvalidSrb;
    switch (static_cast<const BYTE*>(block)[0]) {
      case aspi::kExecScsiCmd:
        return Accept(*static_cast<SrbExecScsiCmd*>(block));
      case aspi::kAbortSrb:
        return Abort(*static_cast<SrbAbort*>(block));
      default:
        static_cast<BYTE*>(block)[1] = aspi::kStatusInvalidCmd;
        return aspi::kStatusInvalidCmd;
    }
  }

  void WaitIdle() {
    std::lock_guard<Lock> lock(mutex);
    while (!queue.empty() || executing) SleepConditionVariableSRW(&idle, &mutex.srw, INFINITE, 0);
  }

  void Shutdown() {
    {
      std::lock_guard<Lock> lock(mutex);
      stopping = true;
    }
    WakeAllConditionVariable(&work);
    if (worker != nullptr) {
      WaitForSingleObject(worker, INFINITE);
      CloseHandle(worker);
      worker = nullptr;
    }
    std::lock_guard<Lock> lock(mutex);
    stopping = false;
  }

  void ClearRecords() {
    std::lock_guard<Lock> lock(mutex);
    records.clear();
  }

  int RecordCount() {
    std::lock_guard<Lock> lock(mutex);
    return static_cast<int>(records.size());
  }

  int GetRecord(int index, SimAspiRecord* record) {
    std::lock_guard<Lock> lock(mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= records.size() || record == nullptr) return 0;
    *record = records[static_cast<std::size_t>(index)];
    return 1;
  }

  int MisuseCount() {
    std::lock_guard<Lock> lock(mutex);
    return static_cast<int>(misuse.size());
  }

  int GetMisuse(int index, char* text, int size) {
    std::lock_guard<Lock> lock(mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= misuse.size() || text == nullptr || size <= 0) return 0;
    const std::string& line = misuse[static_cast<std::size_t>(index)];
    const std::size_t length = std::min(line.size(), static_cast<std::size_t>(size - 1));
    std::memcpy(text, line.data(), length);
    text[length] = '\0';
    return 1;
  }

 private:
  // The checks a layer makes before it takes a request: SS_INVALID_SRB when
  // the block contradicts itself or asks for what this layer cannot do.
  bool Valid(const SrbExecScsiCmd& request) const {
    const BYTE flags = request.SRB_Flags;
    const bool in = (flags & aspi::kFlagDirIn) != 0;
    const bool out = (flags & aspi::kFlagDirOut) != 0;
    if ((flags & ~kKnownFlags) != 0 || (in && out)) return false;
    if (request.SRB_BufLen != 0 && (request.SRB_BufPointer == nullptr || !(in || out))) return false;
    if (request.SRB_BufLen == 0 && (request.SRB_BufPointer != nullptr || in || out)) return false;
    if ((flags & aspi::kFlagEventNotify) == 0 || request.SRB_PostProc == nullptr) return false;
    // From version 4 on, a request names one way of completion, not two.
    if (SIM_ASPI_MAJOR >= 4 && (flags & aspi::kFlagPosting) != 0) return false;
    if (request.SRB_SenseLen > kSenseCapacity) return false;
    return request.SRB_CDBLen != 0 && request.SRB_CDBLen <= aspi::kMaxCdbLength;
  }

  SimAspiRecord RecordOf(const SrbExecScsiCmd& request) const {
    SimAspiRecord record{};
    record.command = request.SRB_Cmd;
    record.hostAdapter = request.SRB_HaId;
    record.target = request.SRB_Target;
    record.lun = request.SRB_Lun;
    record.flags = request.SRB_Flags;
    record.senseLength = request.SRB_SenseLen;
    record.cdbLength = request.SRB_CDBLen;
    record.statusOnEntry = request.SRB_Status;
    std::memcpy(record.cdb, request.CDBByte, sizeof record.cdb);
    record.bufferLength = request.SRB_BufLen;
    record.dirtyBytes = static_cast<std::uint32_t>(DirtyBytes(request));
    record.buffer = reinterpret_cast<std::uintptr_t>(request.SRB_BufPointer);
    record.postProc = reinterpret_cast<std::uintptr_t>(request.SRB_PostProc);
    record.block = reinterpret_cast<std::uintptr_t>(&request);
    if ((request.SRB_Flags & aspi::kFlagDirOut) != 0 && request.SRB_BufPointer != nullptr) {
      std::memcpy(record.dataOut, request.SRB_BufPointer, std::min<std::size_t>(request.SRB_BufLen, 16));
    }
    return record;
  }

  void CheckReuse(const SrbExecScsiCmd& request) {
    auto overlaps = [](const SrbExecScsiCmd& a, const SrbExecScsiCmd& b) {
      const BYTE* aStart = a.SRB_BufPointer;
      const BYTE* bStart = b.SRB_BufPointer;
      return aStart != nullptr && bStart != nullptr && aStart < bStart + b.SRB_BufLen && bStart < aStart + a.SRB_BufLen;
    };
    for (const Pending& pending : held) {
      if (pending.request == &request) misuse.push_back("a request block was sent again while the layer held it");
      if (overlaps(*pending.request, request)) misuse.push_back("a data area was reused while the layer held it");
    }
    for (SrbExecScsiCmd* queued : queue) {
      if (queued == &request) misuse.push_back("a request block was sent again before the layer completed it");
    }
  }

  DWORD Accept(SrbExecScsiCmd& request) {
    std::lock_guard<Lock> lock(mutex);
    SimAspiRecord record = RecordOf(request);
    CheckReuse(request);
    if (!Valid(request)) {
      request.SRB_Status = aspi::kStatusInvalidSrb;
      record.completion = kSimAspiRefused;
      record.returned = aspi::kStatusInvalidSrb;
      records.push_back(record);
      return aspi::kStatusInvalidSrb;
    }
    ++executeCount;
    request.SRB_Status = aspi::kStatusPending;
    if (executeCount == holdAt) {
      held.push_back(Pending{
          &request,
          std::vector<BYTE>(reinterpret_cast<BYTE*>(&request), reinterpret_cast<BYTE*>(&request) + sizeof request),
          holdDeaf});
      record.completion = kSimAspiHeld;
    } else if (mode == kSimAspiAllLater || (mode == kSimAspiAlternate && executeCount % 2 == 0)) {
      queue.push_back(&request);
      StartWorker();
      WakeConditionVariable(&work);
      record.completion = kSimAspiLater;
    } else {
      Complete(request, Execute(request));
      record.completion = kSimAspiAtOnce;
    }
    record.returned = request.SRB_Status;
    records.push_back(record);
    return record.returned;
  }

  DWORD Abort(SrbAbort& abort) {
    std::lock_guard<Lock> lock(mutex);
    SimAspiRecord record{};
    record.command = abort.SRB_Cmd;
    record.hostAdapter = abort.SRB_HaId;
    record.abortTarget = reinterpret_cast<std::uintptr_t>(abort.SRB_ToAbort);
    record.block = reinterpret_cast<std::uintptr_t>(&abort);
    BYTE result = aspi::kStatusAbortFailed;
    for (auto it = held.begin(); it != held.end(); ++it) {
      if (it->request != abort.SRB_ToAbort || it->deaf || it->statusWritten) continue;
      Complete(*it->request, aspi::kStatusAborted);
      held.erase(it);
      result = aspi::kStatusComplete;
      break;
    }
    abort.SRB_Status = result;
    record.returned = result;
    records.push_back(record);
    return result;
  }

  // Runs the command on the device at the request's address and leaves the
  // results in the block; returns the final status.
  BYTE Execute(SrbExecScsiCmd& request) {
    if (request.SRB_HaId >= adapters) return aspi::kStatusInvalidHa;
    if (request.SRB_Target >= kMaxTargets || request.SRB_Lun >= kMaxLuns) return aspi::kStatusNoDevice;
    const auto found = targets.find({request.SRB_HaId, request.SRB_Target});
    if (found == targets.end()) {
      request.SRB_HaStat = aspi::kHostStatusSelectionTimeout;
      return aspi::kStatusError;
    }
    sim::ReaderTarget* target = found->second.luns[request.SRB_Lun].target.get();
    std::vector<std::uint8_t> sense(kIllegalRequestSense.begin(), kIllegalRequestSense.end());
    BYTE status = kCheckCondition;
    if (target != nullptr) {
      status = target
                   ->Execute(request.CDBByte, request.SRB_CDBLen, DirectionOf(request.SRB_Flags),
                             request.SRB_BufPointer, request.SRB_BufLen)
                   .status;
      sense = target->Sense();
    }
    if (status == sim::kStatusGood) return aspi::kStatusComplete;
    request.SRB_TargStat = kCheckCondition;
    std::memcpy(request.SenseArea, sense.data(), std::min<std::size_t>(request.SRB_SenseLen, sense.size()));
    return aspi::kStatusError;
  }

  void Run(Pending& pending) {
    if (pending.statusWritten) return;
    if (std::memcmp(pending.request, pending.snapshot.data(), pending.snapshot.size()) != 0) {
      misuse.push_back("a held request block was changed before the layer let go of it");
    }
    WriteStatus(*pending.request, Execute(*pending.request));
    pending.statusWritten = true;
  }

  // The final status is written last and the event, read from the block,
  // signalled after it.
  void Complete(SrbExecScsiCmd& request, BYTE status) {
    WriteStatus(request, status);
    Signal(request);
  }

  static void WriteStatus(SrbExecScsiCmd& request, BYTE status) {
    std::atomic_thread_fence(std::memory_order_release);
    static_cast<volatile BYTE&>(request.SRB_Status) = status;
  }

  void Signal(const SrbExecScsiCmd& request) {
    if (!SetEvent(static_cast<HANDLE>(request.SRB_PostProc))) {
      misuse.push_back("the completion event of a request was no longer open");
    }
  }

  void StartWorker() {
    unsigned id = 0;
    if (worker == nullptr) worker = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, WorkMain, this, 0, &id));
  }

  static unsigned __stdcall WorkMain(void* self) {
    static_cast<Layer*>(self)->Work();
    return 0;
  }

  void Work() {
    std::lock_guard<Lock> lock(mutex);
    for (;;) {
      while (!stopping && queue.empty()) SleepConditionVariableSRW(&work, &mutex.srw, INFINITE, 0);
      if (queue.empty()) return;
      SrbExecScsiCmd* request = queue.front();
      queue.pop_front();
      executing = true;
      Complete(*request, Execute(*request));
      executing = false;
      if (queue.empty()) WakeAllConditionVariable(&idle);
    }
  }

  Lock mutex;
  CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;
  CONDITION_VARIABLE idle = CONDITION_VARIABLE_INIT;
  HANDLE worker = nullptr;
  bool stopping = false;
  bool executing = false;
  std::deque<SrbExecScsiCmd*> queue;
  unsigned adapters = 0;
  BYTE supportStatus = aspi::kStatusComplete;
  std::map<std::pair<unsigned, unsigned>, Target> targets;
  int mode = kSimAspiAlternate;
  unsigned executeCount = 0;
  unsigned holdAt = 0;
  bool holdDeaf = false;
  std::vector<Pending> held;
  std::vector<SimAspiRecord> records;
  std::vector<std::string> misuse;
};

Layer& TheLayer() {
  static Layer layer;
  return layer;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD __cdecl SendASPI32Command(void* request) { return TheLayer().Send(request); }
__declspec(dllexport) DWORD __cdecl GetASPI32SupportInfo() { return TheLayer().SupportInfo(); }

__declspec(dllexport) const char* __cdecl SimAspiIdentify() { return "smformat simulated ASPI layer"; }
__declspec(dllexport) std::uint32_t __cdecl SimAspiFileVersion() { return kFileVersionMS; }
__declspec(dllexport) void __cdecl SimAspiReset(unsigned adapters) { TheLayer().Reset(adapters); }
__declspec(dllexport) void __cdecl SimAspiSetSupportStatus(std::uint8_t status) { TheLayer().SetSupportStatus(status); }
__declspec(dllexport) int __cdecl SimAspiAttachReader(unsigned ha, unsigned target, unsigned lun, const char* card,
                                                      const char* faults) {
  return TheLayer().AttachReader(ha, target, lun, card, faults);
}
__declspec(dllexport) int __cdecl SimAspiAttachOther(unsigned ha, unsigned target, const char* inquiryId) {
  return TheLayer().AttachOther(ha, target, inquiryId);
}
__declspec(dllexport) void __cdecl SimAspiSetMode(int mode) { TheLayer().SetMode(mode); }
__declspec(dllexport) void __cdecl SimAspiHold(int nth, int deaf) { TheLayer().Hold(nth, deaf != 0); }
__declspec(dllexport) int __cdecl SimAspiIsHeldEvent(void* event) { return TheLayer().IsHeldEvent(event); }
__declspec(dllexport) int __cdecl SimAspiHeldCount() { return TheLayer().HeldCount(); }
__declspec(dllexport) int __cdecl SimAspiReleaseHeld() { return TheLayer().ReleaseHeld(); }
__declspec(dllexport) int __cdecl SimAspiWriteHeldStatus() { return TheLayer().WriteHeldStatus(); }
__declspec(dllexport) void __cdecl SimAspiWaitIdle() { TheLayer().WaitIdle(); }
__declspec(dllexport) int __cdecl SimAspiRecordCount() { return TheLayer().RecordCount(); }
__declspec(dllexport) int __cdecl SimAspiGetRecord(int index, SimAspiRecord* record) {
  return TheLayer().GetRecord(index, record);
}
__declspec(dllexport) void __cdecl SimAspiClearRecords() { TheLayer().ClearRecords(); }
__declspec(dllexport) int __cdecl SimAspiMisuseCount() { return TheLayer().MisuseCount(); }
__declspec(dllexport) int __cdecl SimAspiGetMisuse(int index, char* text, int size) {
  return TheLayer().GetMisuse(index, text, size);
}
__declspec(dllexport) void __cdecl SimAspiShutdown() { TheLayer().Shutdown(); }
}
