// The few platform calls the pass-through backend makes: open a volume,
// send it a device control, close it. The backend reaches the system only
// through this interface, so that tests can stand a model of the storage
// stack in for it; the real implementation is the default.
#pragma once

#include <windows.h>

class VolumeApi {
 public:
  virtual ~VolumeApi() = default;

  // CreateFileA with no security attributes and no template file. Returns
  // INVALID_HANDLE_VALUE, the reason in GetLastError, when the volume cannot
  // be opened.
  virtual HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes) = 0;

  // A synchronous DeviceIoControl (no overlapped operation). Non-zero when
  // the control succeeded.
  virtual BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                       DWORD outputLength, DWORD* bytesReturned) = 0;

  virtual BOOL Close(HANDLE handle) = 0;
};

// The implementation that calls the system: CreateFileA, DeviceIoControl,
// CloseHandle.
class Win32VolumeApi : public VolumeApi {
 public:
  HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes) override;
  BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* bytesReturned) override;
  BOOL Close(HANDLE handle) override;
};

// The process-wide real implementation, the backend's default.
VolumeApi& SystemVolumeApi();
