// The platform calls of the ASPI backend, behind narrow interfaces so that
// tests can stand in for what the test machine lacks: the ASPI layer's
// library and its version resource, the completion event and the request
// memory, the device tree that leads from the reader's USB device to its
// drive letter, and the vwin32 device. Each interface has one implementation
// that calls the system; those are the backend's defaults.
#pragma once

#include <windows.h>

#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>

#include "transport/win32/platform_version.h"

// LoadLibraryA, GetProcAddress, FreeLibrary and the version resource calls.
class AspiLibraryApi {
 public:
  virtual ~AspiLibraryApi() = default;
  virtual HMODULE Load(const char* name) = 0;
  virtual FARPROC Resolve(HMODULE module, const char* name) = 0;
  virtual BOOL Unload(HMODULE module) = 0;
  // Whether a library of this name is still in the process (GetModuleHandleA).
  virtual bool Loaded(const char* name) = 0;
  virtual DWORD VersionInfoSize(const char* file) = 0;
  virtual BOOL VersionInfo(const char* file, DWORD size, void* data) = 0;
  // VerQueryValueA of the root block "\": the fixed version record inside
  // `data`, or false when the resource has none.
  virtual BOOL QueryFixedVersion(void* data, VS_FIXEDFILEINFO** info) = 0;
};

// The completion event and the memory of the requests: CreateEventA,
// ResetEvent, WaitForSingleObject, CloseHandle, and the process heap.
class AspiRequestApi {
 public:
  virtual ~AspiRequestApi() = default;
  // Unnamed, with no security attributes. Null when it cannot be created.
  virtual HANDLE CreateEvent(BOOL manualReset, BOOL initialState) = 0;
  virtual BOOL ResetEvent(HANDLE event) = 0;
  // WAIT_OBJECT_0 when the event was signalled, WAIT_TIMEOUT after
  // `milliseconds`.
  virtual DWORD Wait(HANDLE event, DWORD milliseconds) = 0;
  virtual BOOL CloseEvent(HANDLE event) = 0;
  // Null when the memory cannot be had.
  virtual void* Allocate(std::size_t bytes) = 0;
  virtual void Free(void* memory) = 0;
};

// The device-setup and configuration-manager calls of the walk from the USB
// devices to the drive letters below them, and the registry value read.
class DeviceTreeApi {
 public:
  virtual ~DeviceTreeApi() = default;
  virtual BOOL ClassGuidsFromName(const char* className, GUID* list, DWORD listSize, DWORD* requiredSize) = 0;
  // SetupDiGetClassDevsA with no enumerator and no window.
  virtual HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) = 0;
  virtual BOOL EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) = 0;
  virtual BOOL GetDeviceRegistryProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property, BYTE* buffer,
                                         DWORD bufferSize, DWORD* requiredSize) = 0;
  virtual BOOL DestroyDeviceInfoList(HDEVINFO devices) = 0;
  virtual CONFIGRET GetChild(DEVINST* child, DEVINST node) = 0;
  virtual CONFIGRET GetSibling(DEVINST* sibling, DEVINST node) = 0;
  virtual CONFIGRET OpenDevNodeKey(DEVINST node, REGSAM access, ULONG profile, REGDISPOSITION disposition, HKEY* key,
                                   ULONG flags) = 0;
  // RegQueryValueExA; `size` holds the buffer's size and receives the value's.
  virtual LONG QueryValue(HKEY key, const char* name, BYTE* data, DWORD* size) = 0;
  virtual LONG CloseKey(HKEY key) = 0;
};

// CreateFileA, DeviceIoControl and CloseHandle, for the vwin32 device.
class DeviceControlApi {
 public:
  virtual ~DeviceControlApi() = default;
  // With no security attributes and no template. INVALID_HANDLE_VALUE on failure.
  virtual HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                      DWORD flagsAndAttributes) = 0;
  // Synchronous: no overlapped operation.
  virtual BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                       DWORD outputLength, DWORD* bytesReturned) = 0;
  virtual BOOL Close(HANDLE handle) = 0;
};

// Everything the backend reaches the system through.
struct AspiPlatform {
  AspiLibraryApi& library;
  AspiRequestApi& requests;
  DeviceTreeApi& deviceTree;
  DeviceControlApi& devices;
  PlatformVersionApi& version;
};

// --- The implementations that call the system --------------------------------

class Win32AspiLibraryApi : public AspiLibraryApi {
 public:
  HMODULE Load(const char* name) override;
  FARPROC Resolve(HMODULE module, const char* name) override;
  BOOL Unload(HMODULE module) override;
  bool Loaded(const char* name) override;
  DWORD VersionInfoSize(const char* file) override;
  BOOL VersionInfo(const char* file, DWORD size, void* data) override;
  BOOL QueryFixedVersion(void* data, VS_FIXEDFILEINFO** info) override;
};

class Win32AspiRequestApi : public AspiRequestApi {
 public:
  HANDLE CreateEvent(BOOL manualReset, BOOL initialState) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD Wait(HANDLE event, DWORD milliseconds) override;
  BOOL CloseEvent(HANDLE event) override;
  void* Allocate(std::size_t bytes) override;
  void Free(void* memory) override;
};

class Win32DeviceTreeApi : public DeviceTreeApi {
 public:
  BOOL ClassGuidsFromName(const char* className, GUID* list, DWORD listSize, DWORD* requiredSize) override;
  HDEVINFO GetClassDevs(const GUID* classGuid, DWORD flags) override;
  BOOL EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) override;
  BOOL GetDeviceRegistryProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property, BYTE* buffer,
                                 DWORD bufferSize, DWORD* requiredSize) override;
  BOOL DestroyDeviceInfoList(HDEVINFO devices) override;
  CONFIGRET GetChild(DEVINST* child, DEVINST node) override;
  CONFIGRET GetSibling(DEVINST* sibling, DEVINST node) override;
  CONFIGRET OpenDevNodeKey(DEVINST node, REGSAM access, ULONG profile, REGDISPOSITION disposition, HKEY* key,
                           ULONG flags) override;
  LONG QueryValue(HKEY key, const char* name, BYTE* data, DWORD* size) override;
  LONG CloseKey(HKEY key) override;
};

class Win32DeviceControlApi : public DeviceControlApi {
 public:
  HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes) override;
  BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* bytesReturned) override;
  BOOL Close(HANDLE handle) override;
};

// The process-wide real implementations, the backend's default.
AspiPlatform SystemAspiPlatform();
