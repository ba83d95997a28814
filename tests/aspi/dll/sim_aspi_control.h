// The test ASPI layer's own exports, beside the two entry points of an ASPI
// layer: they tell the test which layer was loaded, set up the simulated
// host adapters and what stands at each target id, choose how requests
// complete, and hand out what the layer received. Plain C types only: the
// layer and the test program each have their own C++ runtime.
#pragma once

#include <cstdint>

extern "C" {

// One request as the layer received it.
struct SimAspiRecord {
  std::uint8_t command;  // SRB_Cmd
  std::uint8_t hostAdapter;
  std::uint8_t target;
  std::uint8_t lun;
  std::uint8_t flags;
  std::uint8_t senseLength;
  std::uint8_t cdbLength;
  std::uint8_t statusOnEntry;  // SRB_Status as handed in
  std::uint8_t cdb[16];
  std::uint32_t bufferLength;
  std::uint32_t dirtyBytes;   // non-zero reserved, result and sense bytes as handed in
  std::uint64_t buffer;       // SRB_BufPointer
  std::uint64_t postProc;     // SRB_PostProc
  std::uint64_t block;        // the request block's address
  std::uint64_t abortTarget;  // SRB_ToAbort of an abort request
  std::uint8_t completion;    // SimAspiCompletion
  std::uint8_t returned;      // what SendASPI32Command returned
  std::uint8_t dataOut[16];   // the first bytes of a data-out phase
};

enum SimAspiCompletion : std::uint8_t {
  kSimAspiAtOnce = 0,   // completed before SendASPI32Command returned
  kSimAspiLater = 1,    // SS_PENDING, completed by the layer's thread
  kSimAspiHeld = 2,     // SS_PENDING, kept until aborted or released
  kSimAspiRefused = 3,  // refused before it was accepted (the status says why)
};

enum SimAspiMode : int {
  kSimAspiAllAtOnce = 0,
  kSimAspiAllLater = 1,
  kSimAspiAlternate = 2,  // odd-numbered requests at once, even ones later
};

using SimAspiIdentifyProc = const char*(__cdecl*)();
using SimAspiFileVersionProc = std::uint32_t(__cdecl*)();
// Drops every device and record and sets the number of host adapters.
using SimAspiResetProc = void(__cdecl*)(unsigned adapters);
using SimAspiSetSupportStatusProc = void(__cdecl*)(std::uint8_t status);
// A reader LUN at (ha, target, lun). `card` is a standard size ("1M") for a
// new card in memory, the path of a card image file, or null for a slot
// without a card; `faults` a fault plan in the sidecar's text form, or null.
// 0 when the card or the plan cannot be had.
using SimAspiAttachReaderProc = int(__cdecl*)(unsigned ha, unsigned target, unsigned lun, const char* card,
                                              const char* faults);
// Another kind of SCSI device at LUN 0 of (ha, target): answers INQUIRY with
// `inquiryId` at bytes 8 to 29 and nothing else.
using SimAspiAttachOtherProc = int(__cdecl*)(unsigned ha, unsigned target, const char* inquiryId);
using SimAspiSetModeProc = void(__cdecl*)(int mode);
// The n-th execute request from now (1: the next) stays pending. A deaf
// layer also refuses to abort it.
using SimAspiHoldProc = void(__cdecl*)(int nth, int deaf);
using SimAspiIsHeldEventProc = int(__cdecl*)(void* event);
using SimAspiCountProc = int(__cdecl*)();
// Runs and completes the held requests now (or only signals those whose
// status is written already); returns how many.
using SimAspiReleaseHeldProc = int(__cdecl*)();
// Runs the held requests and writes their final status, but leaves their
// events for ReleaseHeld to signal; returns how many.
using SimAspiWriteHeldStatusProc = int(__cdecl*)();
// Returns when the layer's thread has completed every request it took.
using SimAspiWaitIdleProc = void(__cdecl*)();
using SimAspiGetRecordProc = int(__cdecl*)(int index, SimAspiRecord* record);
// Forgets the requests received so far.
using SimAspiClearRecordsProc = void(__cdecl*)();
// Faults of the caller the layer noticed, as text.
using SimAspiGetMisuseProc = int(__cdecl*)(int index, char* text, int size);
// Stops the layer's thread; call before the layer is unloaded for the last time.
using SimAspiShutdownProc = void(__cdecl*)();
}
