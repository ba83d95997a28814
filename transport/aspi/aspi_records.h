// The records the ASPI backend exchanges with the system, written from the
// published ASPI for Win32 and Win32 DOS-service documentation: the
// execute-command request, the abort request, and the register record of the
// vwin32 DOS IOCTL service. The ASPI records are byte-packed, as the layer
// reads them; their offsets are checked below for both Windows builds (the 9x
// family itself is 32-bit only; the 64-bit layout is the same declaration
// with pointer-sized pointers, used by the tests of the 64-bit build).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

namespace aspi {

// ASPI command codes (SRB_Cmd).
constexpr BYTE kExecScsiCmd = 0x02;  // SC_EXEC_SCSI_CMD
constexpr BYTE kAbortSrb = 0x03;     // SC_ABORT_SRB

// Request status codes (SRB_Status, and bits 15..8 of GetASPI32SupportInfo).
constexpr BYTE kStatusPending = 0x00;      // SS_PENDING
constexpr BYTE kStatusComplete = 0x01;     // SS_COMP
constexpr BYTE kStatusAborted = 0x02;      // SS_ABORTED
constexpr BYTE kStatusAbortFailed = 0x03;  // SS_ABORT_FAIL
constexpr BYTE kStatusError = 0x04;        // SS_ERR
constexpr BYTE kStatusInvalidCmd = 0x80;   // SS_INVALID_CMD
constexpr BYTE kStatusInvalidHa = 0x81;    // SS_INVALID_HA
constexpr BYTE kStatusNoDevice = 0x82;     // SS_NO_DEVICE
constexpr BYTE kStatusInvalidSrb = 0xE0;   // SS_INVALID_SRB
constexpr BYTE kStatusNoAdapters = 0xE8;   // SS_NO_ADAPTERS

// Request flag bits (SRB_Flags).
constexpr BYTE kFlagPosting = 0x01;                 // SRB_POSTING
constexpr BYTE kFlagResidualCount = 0x04;           // SRB_ENABLE_RESIDUAL_COUNT
constexpr BYTE kFlagDirIn = 0x08;                   // SRB_DIR_IN
constexpr BYTE kFlagDirOut = 0x10;                  // SRB_DIR_OUT
constexpr BYTE kFlagEventNotify = 0x40;             // SRB_EVENT_NOTIFY
constexpr BYTE kHostStatusSelectionTimeout = 0x11;  // SRB_HaStat: no device answered at the target id

constexpr std::size_t kRecordSenseLength = 14;  // SENSE_LEN: the sense bytes the record itself declares
constexpr std::size_t kMaxCdbLength = 16;

#pragma pack(push, 1)

// SRB_ExecSCSICmd: one SCSI command for a host adapter, target and LUN.
struct SrbExecScsiCmd {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  BYTE SRB_Target;
  BYTE SRB_Lun;
  WORD SRB_Rsvd1;
  DWORD SRB_BufLen;
  BYTE* SRB_BufPointer;
  BYTE SRB_SenseLen;
  BYTE SRB_CDBLen;
  BYTE SRB_HaStat;
  BYTE SRB_TargStat;
  void* SRB_PostProc;  // the event to signal under SRB_EVENT_NOTIFY
  BYTE SRB_Rsvd2[20];
  BYTE CDBByte[kMaxCdbLength];
  BYTE SenseArea[kRecordSenseLength + 2];  // sense data runs on past it when SRB_SenseLen is larger
};

// SRB_Abort: asks the layer to give up a request it still holds.
struct SrbAbort {
  BYTE SRB_Cmd;
  BYTE SRB_Status;
  BYTE SRB_HaId;
  BYTE SRB_Flags;
  DWORD SRB_Hdr_Rsvd;
  void* SRB_ToAbort;
};

#pragma pack(pop)

static_assert(offsetof(SrbExecScsiCmd, SRB_Status) == 1);
static_assert(offsetof(SrbExecScsiCmd, SRB_HaId) == 2);
static_assert(offsetof(SrbExecScsiCmd, SRB_Flags) == 3);
static_assert(offsetof(SrbExecScsiCmd, SRB_Hdr_Rsvd) == 4);
static_assert(offsetof(SrbExecScsiCmd, SRB_Target) == 8);
static_assert(offsetof(SrbExecScsiCmd, SRB_Lun) == 9);
static_assert(offsetof(SrbExecScsiCmd, SRB_Rsvd1) == 10);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufLen) == 12);
static_assert(offsetof(SrbExecScsiCmd, SRB_BufPointer) == 16);
static_assert(offsetof(SrbAbort, SRB_ToAbort) == 8);
#if defined(_WIN64)
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == 24);
static_assert(offsetof(SrbExecScsiCmd, SRB_CDBLen) == 25);
static_assert(offsetof(SrbExecScsiCmd, SRB_HaStat) == 26);
static_assert(offsetof(SrbExecScsiCmd, SRB_TargStat) == 27);
static_assert(offsetof(SrbExecScsiCmd, SRB_PostProc) == 28);
static_assert(offsetof(SrbExecScsiCmd, SRB_Rsvd2) == 36);
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 56);
static_assert(offsetof(SrbExecScsiCmd, SenseArea) == 72);
static_assert(sizeof(SrbExecScsiCmd) == 88);
static_assert(sizeof(SrbAbort) == 16);
#else
static_assert(offsetof(SrbExecScsiCmd, SRB_SenseLen) == 20);
static_assert(offsetof(SrbExecScsiCmd, SRB_CDBLen) == 21);
static_assert(offsetof(SrbExecScsiCmd, SRB_HaStat) == 22);
static_assert(offsetof(SrbExecScsiCmd, SRB_TargStat) == 23);
static_assert(offsetof(SrbExecScsiCmd, SRB_PostProc) == 24);
static_assert(offsetof(SrbExecScsiCmd, SRB_Rsvd2) == 28);
static_assert(offsetof(SrbExecScsiCmd, CDBByte) == 48);
static_assert(offsetof(SrbExecScsiCmd, SenseArea) == 64);
static_assert(sizeof(SrbExecScsiCmd) == 80);
static_assert(sizeof(SrbAbort) == 12);
#endif

// The request block: one execute-command record with room behind its command
// block for up to 24 bytes of sense data.
constexpr std::size_t kRequestBlockSize = 256;
constexpr BYTE kShortSenseLength = 14;  // under a layer older than version 4
constexpr BYTE kLongSenseLength = 24;   // version 4.0 and later
static_assert(offsetof(SrbExecScsiCmd, SenseArea) + kLongSenseLength <= kRequestBlockSize);

// GetASPI32SupportInfo: bits 15..8 a status, bits 7..0 the host adapter count.
constexpr BYTE SupportStatus(DWORD info) { return static_cast<BYTE>((info >> 8) & 0xFF); }
constexpr BYTE HostAdapterCount(DWORD info) { return static_cast<BYTE>(info & 0xFF); }

// The layer's two entry points, resolved by name. Both use the C calling
// convention.
using SendCommandProc = DWORD(__cdecl*)(void* request);
using SupportInfoProc = DWORD(__cdecl*)();
constexpr const char* kLibraryName = "wnaspi32.dll";
constexpr const char* kSendCommandName = "SendASPI32Command";
constexpr const char* kSupportInfoName = "GetASPI32SupportInfo";

// Layers from version 4.0 on (dwFileVersionMS 00040000h) take the request
// without the posting bit and with the longer sense length.
constexpr DWORD kVersionFour = 0x00040000;

}  // namespace aspi

namespace vwin32 {

constexpr const char* kDevicePath = "\\\\.\\vwin32";
constexpr DWORD kDosIoctl = 1;  // VWIN32_DIOC_DOS_IOCTL: an INT 21h function 44xxh call

// DIOC_REGISTERS: the processor registers of the DOS call, in and out.
struct DiocRegisters {
  DWORD reg_EBX;
  DWORD reg_EDX;
  DWORD reg_ECX;
  DWORD reg_EAX;
  DWORD reg_EDI;
  DWORD reg_ESI;
  DWORD reg_Flags;
};
static_assert(sizeof(DiocRegisters) == 28);
static_assert(offsetof(DiocRegisters, reg_EBX) == 0);
static_assert(offsetof(DiocRegisters, reg_EDX) == 4);
static_assert(offsetof(DiocRegisters, reg_ECX) == 8);
static_assert(offsetof(DiocRegisters, reg_EAX) == 12);
static_assert(offsetof(DiocRegisters, reg_EDI) == 16);
static_assert(offsetof(DiocRegisters, reg_ESI) == 20);
static_assert(offsetof(DiocRegisters, reg_Flags) == 24);

constexpr DWORD kGenericIoctl = 0x440D;         // AX: generic IOCTL for block devices
constexpr DWORD kUnlockLogicalVolume = 0x086A;  // CX: category 08h (disk), minor code 6Ah
constexpr DWORD kCarryFlag = 0x0001;            // reg_Flags bit 0: the call failed

}  // namespace vwin32
