#include "transport/passthrough/volume_api.h"

HANDLE Win32VolumeApi::Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                            DWORD flagsAndAttributes) {
  return ::CreateFileA(path, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
}

BOOL Win32VolumeApi::Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                             DWORD outputLength, DWORD* bytesReturned) {
  return ::DeviceIoControl(device, controlCode, input, inputLength, output, outputLength, bytesReturned, nullptr);
}

BOOL Win32VolumeApi::Close(HANDLE handle) { return ::CloseHandle(handle); }

VolumeApi& SystemVolumeApi() {
  static Win32VolumeApi api;
  return api;
}
