// Stand-ins for the ASPI backend's platform seams:
// - the library seam loads the real (test) layer but can pretend another
//   file version, a resource without a fixed record, or a missing entry
//   point, and counts loads and unloads;
// - the request seam makes real events (the layer signals them) and real
//   heap memory, counts both, can refuse either, and waits on a virtual
//   clock: a request the layer holds times out at once, any other is waited
//   for until the layer's thread completes it (a wait of 0 ms only looks);
// - the device tree is a model of USB devices, their child and grandchild
//   nodes and the drive-letter values;
// - the vwin32 device checks the register record and answers with or
//   without the carry flag;
// - the platform version is whatever the test sets.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "transport/aspi/aspi_platform.h"
#include "transport/aspi/aspi_records.h"

class TestLibraryApi : public AspiLibraryApi {
 public:
  // What the version resource says instead of the file's own.
  enum class Resource : std::uint8_t { Real, Fixed, NoFixedRecord, None, Unreadable };
  Resource resource = Resource::Real;
  DWORD fileVersionMS = 0;  // with Resource::Fixed
  bool loadFails = false;
  bool goneAfterUnload = false;  // the last Unload took the layer out of the process
  std::string hiddenEntryPoint;

  HMODULE Load(const char* name) override;
  FARPROC Resolve(HMODULE module, const char* name) override;
  BOOL Unload(HMODULE module) override;
  bool Loaded(const char* name) override;
  DWORD VersionInfoSize(const char* file) override;
  BOOL VersionInfo(const char* file, DWORD size, void* data) override;
  BOOL QueryFixedVersion(void* data, VS_FIXEDFILEINFO** info) override;

  int Loads() const { return loads; }
  int Unloads() const { return unloads; }
  std::vector<std::string> loadedNames;
  std::vector<std::string> versionFiles;
  DWORD lastFileVersionMS = 0;  // what the last fixed record read said

 private:
  Win32AspiLibraryApi real;
  int loads = 0;
  int unloads = 0;
};

class TestRequestApi : public AspiRequestApi {
 public:
  struct WaitCall {
    DWORD milliseconds;
    DWORD result;
  };

  // Whether the layer keeps the request that signals this event.
  std::function<bool(HANDLE)> isHeld;
  int failEventAt = 0;       // the n-th event creation fails (0: none)
  int failAllocationAt = 0;  // the n-th allocation fails (0: none)

  HANDLE CreateEvent(BOOL manualReset, BOOL initialState) override;
  BOOL ResetEvent(HANDLE event) override;
  DWORD Wait(HANDLE event, DWORD milliseconds) override;
  BOOL CloseEvent(HANDLE event) override;
  void* Allocate(std::size_t bytes) override;
  void Free(void* memory) override;

  int OpenEvents() const { return static_cast<int>(events.size()); }
  int LiveAllocations() const { return static_cast<int>(live.size()); }
  bool IsLive(const void* memory) const { return live.count(memory) != 0; }
  std::uint64_t VirtualTime() const { return virtualTime; }
  std::vector<WaitCall> waits;
  std::vector<std::size_t> allocationSizes;
  std::vector<std::string> misuse;
  bool autoResetNotSignalled = true;  // every event was made auto-reset and not signalled

 private:
  Win32AspiRequestApi real;
  std::set<HANDLE> events;
  std::set<const void*> live;
  int eventsMade = 0;
  int allocations = 0;
  std::uint64_t virtualTime = 0;
};

class FakeDeviceTree : public DeviceTreeApi {
 public:
  // A class of the name "usb"; the call reports every class, however many.
  int AddUsbClass();
  // A present device of the class whose hardware identifiers are `ids`
  // (the first one first).
  DEVINST AddDevice(int usbClass, const std::vector<std::string>& ids);
  DEVINST AddChild(DEVINST parent);
  void SetLetter(DEVINST node, char letter);
  void SetUnreadableIds(DEVINST device);
  void SetKeyFails(DEVINST node);
  // A reader: the USB device, one child, and below it one node per LUN,
  // with the given letters (0: a node without a letter value).
  DEVINST AddReader(int usbClass, const std::string& id, const std::vector<char>& letters);

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

  int OpenLists() const { return static_cast<int>(openLists.size()); }
  int OpenKeys() const { return static_cast<int>(openKeys.size()); }
  int ListsMade() const { return listsMade; }
  std::vector<std::string> misuse;

 private:
  struct Node {
    DEVINST parent = 0;
    std::vector<DEVINST> children;
    std::optional<char> letter;
    bool keyFails = false;
  };
  struct Device {
    DEVINST node;
    std::string hardwareIds;  // zero-separated, doubly terminated
    bool readable = true;
  };

  std::vector<std::vector<Device>> classes;
  std::map<DEVINST, Node> nodes;
  std::map<HDEVINFO, int> openLists;  // list -> class
  std::map<HKEY, DEVINST> openKeys;
  DEVINST nextNode = 1;
  std::uintptr_t nextHandle = 0x5000;
  int listsMade = 0;
};

class FakeVwin32 : public DeviceControlApi {
 public:
  struct OpenCall {
    std::string path;
    DWORD access, shareMode, creationDisposition, flags;
  };
  struct ControlCall {
    DWORD code, inputLength, outputLength;
    vwin32::DiocRegisters registers;  // as received
    bool sameBuffer;                  // the record is both input and output
  };

  bool openFails = false;
  bool controlFails = false;
  bool carry = false;

  HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes) override;
  BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* bytesReturned) override;
  BOOL Close(HANDLE handle) override;

  std::vector<OpenCall> opens;
  std::vector<ControlCall> controls;
  int openHandles = 0;
};

class FakePlatformVersion : public PlatformVersionApi {
 public:
  PlatformVersion version{1, 4, 10, 2222};  // the 9x family
  bool fails = false;
  int basicReads = 0;
  bool ReadExtended(PlatformVersion& out) override;
  bool ReadBasic(PlatformVersion& out) override;
};
