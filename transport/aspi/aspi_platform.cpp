#include "transport/aspi/aspi_platform.h"

// --- Library ----------------------------------------------------------------------

HMODULE Win32AspiLibraryApi::Load(const char* name) { return ::LoadLibraryA(name); }

FARPROC Win32AspiLibraryApi::Resolve(HMODULE module, const char* name) { return ::GetProcAddress(module, name); }

BOOL Win32AspiLibraryApi::Unload(HMODULE module) { return ::FreeLibrary(module); }

bool Win32AspiLibraryApi::Loaded(const char* name) { return ::GetModuleHandleA(name) != nullptr; }

DWORD Win32AspiLibraryApi::VersionInfoSize(const char* file) {
  DWORD ignored = 0;
  return ::GetFileVersionInfoSizeA(file, &ignored);
}

BOOL Win32AspiLibraryApi::VersionInfo(const char* file, DWORD size, void* data) {
  return ::GetFileVersionInfoA(file, 0, size, data);
}

BOOL Win32AspiLibraryApi::QueryFixedVersion(void* data, VS_FIXEDFILEINFO** info) {
  void* value = nullptr;
  UINT length = 0;
  char root[] = "\\";
  if (!::VerQueryValueA(data, root, &value, &length) || value == nullptr || length < sizeof(VS_FIXEDFILEINFO)) {
    return FALSE;
  }
  *info = static_cast<VS_FIXEDFILEINFO*>(value);
  return TRUE;
}

// --- Requests ---------------------------------------------------------------------

HANDLE Win32AspiRequestApi::CreateEvent(BOOL manualReset, BOOL initialState) {
  return ::CreateEventA(nullptr, manualReset, initialState, nullptr);
}

BOOL Win32AspiRequestApi::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

DWORD Win32AspiRequestApi::Wait(HANDLE event, DWORD milliseconds) { return ::WaitForSingleObject(event, milliseconds); }

BOOL Win32AspiRequestApi::CloseEvent(HANDLE event) { return ::CloseHandle(event); }

void* Win32AspiRequestApi::Allocate(std::size_t bytes) { return ::HeapAlloc(::GetProcessHeap(), 0, bytes); }

void Win32AspiRequestApi::Free(void* memory) {
  if (memory != nullptr) ::HeapFree(::GetProcessHeap(), 0, memory);
}

// --- Device tree ------------------------------------------------------------------

// The device-setup calls (setupapi.dll) and the configuration manager's
// (cfgmgr32.dll) are looked up when the walk first needs them: a program
// that imported them would not even load where a system lacks one, and the
// walk without them finds no drive letter instead.
namespace {

template <typename Call>
Call Lookup(const char* library, const char* name) {
  HMODULE module = ::GetModuleHandleA(library);
  if (module == nullptr) module = ::LoadLibraryA(library);
  return module == nullptr ? nullptr : reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(module, name)));
}

struct DeviceTreeCalls {
  decltype(&SetupDiClassGuidsFromNameA) classGuidsFromName =
      Lookup<decltype(classGuidsFromName)>("setupapi.dll", "SetupDiClassGuidsFromNameA");
  decltype(&SetupDiGetClassDevsA) getClassDevs = Lookup<decltype(getClassDevs)>("setupapi.dll", "SetupDiGetClassDevsA");
  decltype(&SetupDiEnumDeviceInfo) enumDeviceInfo =
      Lookup<decltype(enumDeviceInfo)>("setupapi.dll", "SetupDiEnumDeviceInfo");
  decltype(&SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty =
      Lookup<decltype(getDeviceRegistryProperty)>("setupapi.dll", "SetupDiGetDeviceRegistryPropertyA");
  decltype(&SetupDiDestroyDeviceInfoList) destroyDeviceInfoList =
      Lookup<decltype(destroyDeviceInfoList)>("setupapi.dll", "SetupDiDestroyDeviceInfoList");
  decltype(&CM_Get_Child) getChild = Lookup<decltype(getChild)>("cfgmgr32.dll", "CM_Get_Child");
  decltype(&CM_Get_Sibling) getSibling = Lookup<decltype(getSibling)>("cfgmgr32.dll", "CM_Get_Sibling");
  decltype(&CM_Open_DevNode_Key) openDevNodeKey =
      Lookup<decltype(openDevNodeKey)>("cfgmgr32.dll", "CM_Open_DevNode_Key");
};

const DeviceTreeCalls& Calls() {
  static const DeviceTreeCalls calls;
  return calls;
}

// `missing` when the system has no such function, else what it returns.
template <typename Call, typename Result, typename... Args>
Result CallOr(Call call, Result missing, Args... args) {
  if (call == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return missing;
  }
  return call(args...);
}

}  // namespace

BOOL Win32DeviceTreeApi::ClassGuidsFromName(const char* className, GUID* list, DWORD listSize, DWORD* requiredSize) {
  return CallOr(Calls().classGuidsFromName, FALSE, className, list, listSize, requiredSize);
}

HDEVINFO Win32DeviceTreeApi::GetClassDevs(const GUID* classGuid, DWORD flags) {
  return CallOr(Calls().getClassDevs, INVALID_HANDLE_VALUE, classGuid, static_cast<PCSTR>(nullptr),
                static_cast<HWND>(nullptr), flags);
}

BOOL Win32DeviceTreeApi::EnumDeviceInfo(HDEVINFO devices, DWORD index, SP_DEVINFO_DATA* device) {
  return CallOr(Calls().enumDeviceInfo, FALSE, devices, index, device);
}

BOOL Win32DeviceTreeApi::GetDeviceRegistryProperty(HDEVINFO devices, SP_DEVINFO_DATA* device, DWORD property,
                                                   BYTE* buffer, DWORD bufferSize, DWORD* requiredSize) {
  return CallOr(Calls().getDeviceRegistryProperty, FALSE, devices, device, property, static_cast<PDWORD>(nullptr),
                buffer, bufferSize, requiredSize);
}

BOOL Win32DeviceTreeApi::DestroyDeviceInfoList(HDEVINFO devices) {
  return CallOr(Calls().destroyDeviceInfoList, FALSE, devices);
}

CONFIGRET Win32DeviceTreeApi::GetChild(DEVINST* child, DEVINST node) {
  return CallOr(Calls().getChild, static_cast<CONFIGRET>(CR_FAILURE), child, node, ULONG{0});
}

CONFIGRET Win32DeviceTreeApi::GetSibling(DEVINST* sibling, DEVINST node) {
  return CallOr(Calls().getSibling, static_cast<CONFIGRET>(CR_FAILURE), sibling, node, ULONG{0});
}

CONFIGRET Win32DeviceTreeApi::OpenDevNodeKey(DEVINST node, REGSAM access, ULONG profile, REGDISPOSITION disposition,
                                             HKEY* key, ULONG flags) {
  return CallOr(Calls().openDevNodeKey, static_cast<CONFIGRET>(CR_FAILURE), node, access, profile, disposition, key,
                flags);
}

LONG Win32DeviceTreeApi::QueryValue(HKEY key, const char* name, BYTE* data, DWORD* size) {
  return ::RegQueryValueExA(key, name, nullptr, nullptr, data, size);
}

LONG Win32DeviceTreeApi::CloseKey(HKEY key) { return ::RegCloseKey(key); }

// --- vwin32 -----------------------------------------------------------------------

HANDLE Win32DeviceControlApi::Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
                                   DWORD flagsAndAttributes) {
  return ::CreateFileA(path, access, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr);
}

BOOL Win32DeviceControlApi::Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output,
                                    DWORD outputLength, DWORD* bytesReturned) {
  return ::DeviceIoControl(device, controlCode, input, inputLength, output, outputLength, bytesReturned, nullptr);
}

BOOL Win32DeviceControlApi::Close(HANDLE handle) { return ::CloseHandle(handle); }

AspiPlatform SystemAspiPlatform() {
  static Win32AspiLibraryApi library;
  static Win32AspiRequestApi requests;
  static Win32DeviceTreeApi deviceTree;
  static Win32DeviceControlApi devices;
  return AspiPlatform{library, requests, deviceTree, devices, SystemPlatformVersionApi()};
}
