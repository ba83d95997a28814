#include "tests/aspi/aspi_fakes.h"

#include <cstring>

// --- Library -------------------------------------------------------------------------

HMODULE TestLibraryApi::Load(const char* name) {
  loadedNames.emplace_back(name);
  if (loadFails) return nullptr;
  const HMODULE module = real.Load(name);
  if (module != nullptr) ++loads;
  return module;
}

FARPROC TestLibraryApi::Resolve(HMODULE module, const char* name) {
  if (hiddenEntryPoint == name) return nullptr;
  return real.Resolve(module, name);
}

BOOL TestLibraryApi::Unload(HMODULE module) {
  ++unloads;
  return real.Unload(module);
}

bool TestLibraryApi::Loaded(const char* name) { return !goneAfterUnload && real.Loaded(name); }

DWORD TestLibraryApi::VersionInfoSize(const char* file) {
  versionFiles.emplace_back(file);
  switch (resource) {
    case Resource::Real:
      return real.VersionInfoSize(file);
    case Resource::None:
      return 0;
    case Resource::Fixed:
    case Resource::NoFixedRecord:
    case Resource::Unreadable:
      break;
  }
  return sizeof(VS_FIXEDFILEINFO);
}

BOOL TestLibraryApi::VersionInfo(const char* file, DWORD size, void* data) {
  switch (resource) {
    case Resource::Real:
      return real.VersionInfo(file, size, data);
    case Resource::Unreadable:
    case Resource::None:
      return FALSE;
    case Resource::Fixed:
    case Resource::NoFixedRecord:
      break;
  }
  VS_FIXEDFILEINFO fixed{};
  fixed.dwSignature = VS_FFI_SIGNATURE;
  fixed.dwFileVersionMS = fileVersionMS;
  std::memcpy(data, &fixed, sizeof fixed);
  return TRUE;
}

BOOL TestLibraryApi::QueryFixedVersion(void* data, VS_FIXEDFILEINFO** info) {
  BOOL answered = FALSE;
  switch (resource) {
    case Resource::Real:
      answered = real.QueryFixedVersion(data, info);
      break;
    case Resource::Fixed:
      *info = static_cast<VS_FIXEDFILEINFO*>(data);
      answered = TRUE;
      break;
    case Resource::NoFixedRecord:
    case Resource::None:
    case Resource::Unreadable:
      break;
  }
  if (answered) lastFileVersionMS = (*info)->dwFileVersionMS;
  return answered;
}

// --- Requests ---------------------------------------------------------------------------

HANDLE TestRequestApi::CreateEvent(BOOL manualReset, BOOL initialState) {
  if (manualReset || initialState) autoResetNotSignalled = false;
  if (++eventsMade == failEventAt) return nullptr;
  const HANDLE event = real.CreateEvent(manualReset, initialState);
  if (event != nullptr) events.insert(event);
  return event;
}

BOOL TestRequestApi::ResetEvent(HANDLE event) {
  if (events.count(event) == 0) misuse.push_back("ResetEvent on an event that is not open");
  return real.ResetEvent(event);
}

DWORD TestRequestApi::Wait(HANDLE event, DWORD milliseconds) {
  if (events.count(event) == 0) misuse.push_back("a wait on an event that is not open");
  DWORD result = WAIT_TIMEOUT;
  if (isHeld && isHeld(event)) {
    virtualTime += milliseconds;
  } else if (milliseconds == 0) {
    result = real.Wait(event, 0);
  } else {
    // The layer's thread completes the request; a minute is only a guard
    // against a layer that never does.
    result = real.Wait(event, 60000);
    if (result != WAIT_OBJECT_0) misuse.push_back("the layer never completed a request it did not hold");
  }
  waits.push_back(WaitCall{milliseconds, result});
  return result;
}

BOOL TestRequestApi::CloseEvent(HANDLE event) {
  if (events.erase(event) == 0) misuse.push_back("CloseHandle on an event that is not open");
  return real.CloseEvent(event);
}

void* TestRequestApi::Allocate(std::size_t bytes) {
  allocationSizes.push_back(bytes);
  if (++allocations == failAllocationAt) return nullptr;
  void* memory = real.Allocate(bytes);
  if (memory != nullptr) live.insert(memory);
  return memory;
}

void TestRequestApi::Free(void* memory) {
  if (memory == nullptr) return;
  if (live.erase(memory) == 0) misuse.push_back("memory freed that was not allocated (or twice)");
  real.Free(memory);
}

// --- Device tree --------------------------------------------------------------------------

namespace {

GUID ClassGuid(int index) {
  GUID guid{};
  guid.Data1 = 0x36FC9E60u + static_cast<unsigned>(index);
  return guid;
}

}  // namespace

int FakeDeviceTree::AddUsbClass() {
  classes.emplace_back();
  return static_cast<int>(classes.size()) - 1;
}

DEVINST FakeDeviceTree::AddDevice(int usbClass, const std::vector<std::string>& ids) {
  const DEVINST node = nextNode++;
  nodes[node] = Node{};
  std::string multi;
  for (const std::string& id : ids) multi += id + '\0';
  multi += '\0';
  classes[static_cast<std::size_t>(usbClass)].push_back(Device{node, multi, true});
  return node;
}

DEVINST FakeDeviceTree::AddChild(DEVINST parent) {
  const DEVINST node = nextNode++;
  nodes[node] = Node{parent, {}, std::nullopt, false};
  nodes[parent].children.push_back(node);
  return node;
}

void FakeDeviceTree::SetLetter(DEVINST node, char letter) { nodes[node].letter = letter; }

void FakeDeviceTree::SetKeyFails(DEVINST node) { nodes[node].keyFails = true; }

void FakeDeviceTree::SetUnreadableIds(DEVINST device) {
  for (auto& devices : classes) {
    for (Device& d : devices) {
      if (d.node == device) d.readable = false;
    }
  }
}

DEVINST FakeDeviceTree::AddReader(int usbClass, const std::string& id, const std::vector<char>& letters) {
  const DEVINST usb = AddDevice(usbClass, {id, "USB\\CLASS_08"});
  const DEVINST storage = AddChild(usb);
  for (char letter : letters) {
    const DEVINST volume = AddChild(storage);
    if (letter != 0) SetLetter(volume, letter);
  }
  return usb;
}

BOOL FakeDeviceTree::ClassGuidsFromName(const char* className, GUID* list, DWORD listSize, DWORD* requiredSize) {
  if (std::strcmp(className, "usb") != 0) misuse.push_back(std::string("class asked by the name ") + className);
  const DWORD count = static_cast<DWORD>(classes.size());
  for (DWORD i = 0; i < count && i < listSize; ++i) list[i] = ClassGuid(static_cast<int>(i));
  if (requiredSize != nullptr) *requiredSize = count;
  return count <= listSize && count != 0;
}

HDEVINFO FakeDeviceTree::GetClassDevs(const GUID* classGuid, DWORD flags) {
  if (flags != DIGCF_PRESENT) misuse.push_back("devices asked with flags other than DIGCF_PRESENT");
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const GUID guid = ClassGuid(static_cast<int>(i));
    if (std::memcmp(classGuid, &guid, sizeof guid) != 0) continue;
    const auto list = reinterpret_cast<HDEVINFO>(nextHandle++);
    openLists[list] = static_cast<int>(i);
    ++listsMade;
    return list;
  }
  return INVALID_HANDLE_VALUE;
}

BOOL FakeDeviceTree::EnumDeviceInfo(HDEVINFO list, DWORD index, SP_DEVINFO_DATA* device) {
  const auto open = openLists.find(list);
  if (open == openLists.end()) {
    misuse.push_back("a device list used after it was destroyed");
    return FALSE;
  }
  const auto& devices = classes[static_cast<std::size_t>(open->second)];
  if (device->cbSize != sizeof(SP_DEVINFO_DATA)) misuse.push_back("SP_DEVINFO_DATA without its size");
  if (index >= devices.size()) return FALSE;
  device->DevInst = devices[index].node;
  return TRUE;
}

BOOL FakeDeviceTree::GetDeviceRegistryProperty(HDEVINFO list, SP_DEVINFO_DATA* device, DWORD property, BYTE* buffer,
                                               DWORD bufferSize, DWORD* requiredSize) {
  const auto open = openLists.find(list);
  if (open == openLists.end() || property != SPDRP_HARDWAREID) return FALSE;
  for (const Device& d : classes[static_cast<std::size_t>(open->second)]) {
    if (d.node != device->DevInst) continue;
    if (!d.readable) return FALSE;
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(d.hardwareIds.size());
    if (d.hardwareIds.size() > bufferSize) return FALSE;
    std::memcpy(buffer, d.hardwareIds.data(), d.hardwareIds.size());
    return TRUE;
  }
  return FALSE;
}

BOOL FakeDeviceTree::DestroyDeviceInfoList(HDEVINFO list) {
  if (openLists.erase(list) == 0) misuse.push_back("a device list destroyed twice");
  return TRUE;
}

CONFIGRET FakeDeviceTree::GetChild(DEVINST* child, DEVINST node) {
  const auto found = nodes.find(node);
  if (found == nodes.end() || found->second.children.empty()) return CR_NO_SUCH_DEVNODE;
  *child = found->second.children.front();
  return CR_SUCCESS;
}

CONFIGRET FakeDeviceTree::GetSibling(DEVINST* sibling, DEVINST node) {
  const auto found = nodes.find(node);
  if (found == nodes.end() || found->second.parent == 0) return CR_NO_SUCH_DEVNODE;
  const auto& brothers = nodes[found->second.parent].children;
  for (std::size_t i = 0; i + 1 < brothers.size(); ++i) {
    if (brothers[i] == node) {
      *sibling = brothers[i + 1];
      return CR_SUCCESS;
    }
  }
  return CR_NO_SUCH_DEVNODE;
}

CONFIGRET FakeDeviceTree::OpenDevNodeKey(DEVINST node, REGSAM access, ULONG profile, REGDISPOSITION disposition,
                                         HKEY* key, ULONG flags) {
  if (access != KEY_READ || profile != 0 || disposition != RegDisposition_OpenExisting ||
      flags != CM_REGISTRY_HARDWARE) {
    misuse.push_back("a node key opened other than for reading the current profile's existing hardware key");
  }
  const auto found = nodes.find(node);
  if (found == nodes.end() || found->second.keyFails) return CR_NO_SUCH_REGISTRY_KEY;
  *key = reinterpret_cast<HKEY>(nextHandle++);
  openKeys[*key] = node;
  return CR_SUCCESS;
}

LONG FakeDeviceTree::QueryValue(HKEY key, const char* name, BYTE* data, DWORD* size) {
  const auto open = openKeys.find(key);
  if (open == openKeys.end()) {
    misuse.push_back("a value read from a key that is not open");
    return ERROR_INVALID_HANDLE;
  }
  const Node& node = nodes[open->second];
  if (std::strcmp(name, "CurrentDriveLetterAssignment") != 0 || !node.letter) return ERROR_FILE_NOT_FOUND;
  if (*size < 2) return ERROR_MORE_DATA;
  data[0] = static_cast<BYTE>(*node.letter);
  data[1] = 0;
  *size = 2;
  return ERROR_SUCCESS;
}

LONG FakeDeviceTree::CloseKey(HKEY key) {
  if (openKeys.erase(key) == 0) misuse.push_back("a key closed that was not open");
  return ERROR_SUCCESS;
}

// --- vwin32 ----------------------------------------------------------------------------------

namespace {
const HANDLE kVwin32Handle = reinterpret_cast<HANDLE>(0x7001);
}

HANDLE FakeVwin32::Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                        DWORD flagsAndAttributes) {
  opens.push_back(OpenCall{path, access, shareMode, creationDisposition, flagsAndAttributes});
  if (openFails) return INVALID_HANDLE_VALUE;
  ++openHandles;
  return kVwin32Handle;
}

BOOL FakeVwin32::Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                         DWORD outputLength, DWORD* bytesReturned) {
  ControlCall call{controlCode, inputLength, outputLength, {}, input == output};
  if (device == kVwin32Handle && input != nullptr && inputLength >= sizeof(vwin32::DiocRegisters)) {
    std::memcpy(&call.registers, input, sizeof call.registers);
  }
  controls.push_back(call);
  if (controlFails || device != kVwin32Handle || output == nullptr || outputLength < sizeof(vwin32::DiocRegisters)) {
    return FALSE;
  }
  vwin32::DiocRegisters result = call.registers;
  result.reg_Flags = carry ? vwin32::kCarryFlag : 0;
  std::memcpy(output, &result, sizeof result);
  if (bytesReturned != nullptr) *bytesReturned = sizeof result;
  return TRUE;
}

BOOL FakeVwin32::Close(HANDLE handle) {
  if (handle == kVwin32Handle) --openHandles;
  return TRUE;
}

// --- Platform version -------------------------------------------------------------------------

bool FakePlatformVersion::ReadExtended(PlatformVersion& out) {
  if (fails) return false;
  out = version;
  return true;
}

bool FakePlatformVersion::ReadBasic(PlatformVersion& out) {
  ++basicReads;
  if (fails) return false;
  out = version;
  return true;
}
