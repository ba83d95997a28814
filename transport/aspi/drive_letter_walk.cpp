#include "transport/aspi/drive_letter_walk.h"

#include <array>
#include <cctype>
#include <cstring>

namespace {

constexpr const char* kUsbClassName = "usb";
constexpr DWORD kMaxClasses = 8;
constexpr DWORD kHardwareIdSize = 256;
constexpr DWORD kLetterValueSize = 32;
constexpr const char* kLetterValueName = "CurrentDriveLetterAssignment";
constexpr char kNoLetter = static_cast<char>(255);

using IdList = const char (&)[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot];

class Walk {
 public:
  Walk(DeviceTreeApi& tree_, IdList ids_, int idCount_, std::uint8_t driveIndex_)
      : tree(tree_), ids(ids_), idCount(idCount_), driveIndex(driveIndex_) {}

  char Run() {
    std::array<GUID, kMaxClasses> classes{};
    DWORD reported = 0;
    tree.ClassGuidsFromName(kUsbClassName, classes.data(), kMaxClasses, &reported);
    const DWORD count = reported < kMaxClasses ? reported : kMaxClasses;
    for (DWORD i = 0; i < count; ++i) {
      if (WalkClass(classes[i])) return static_cast<char>(letterValue[0]);
    }
    return kNoLetter;
  }

 private:
  bool WalkClass(const GUID& classGuid) {
    const HDEVINFO devices = tree.GetClassDevs(&classGuid, DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) return false;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; !found && tree.EnumDeviceInfo(devices, index, &device); ++index) {
      found = Matches(devices, device) && WalkDevice(device.DevInst);
    }
    tree.DestroyDeviceInfoList(devices);
    return found;
  }

  bool Matches(HDEVINFO devices, SP_DEVINFO_DATA& device) {
    std::array<BYTE, kHardwareIdSize + 1> hardwareIds{};  // one more: always terminated
    DWORD required = 0;
    if (!tree.GetDeviceRegistryProperty(devices, &device, SPDRP_HARDWAREID, hardwareIds.data(), kHardwareIdSize,
                                        &required)) {
      return false;
    }
    for (BYTE& b : hardwareIds) b = static_cast<BYTE>(std::toupper(b));
    const char* first = reinterpret_cast<const char*>(hardwareIds.data());
    for (int i = 0; i < idCount; ++i) {
      if (std::strstr(first, ids[i]) != nullptr) return true;
    }
    return false;
  }

  // The children of the USB device, and below each the nodes that may carry
  // a drive letter.
  bool WalkDevice(DEVINST usbDevice) {
    DEVINST child = 0;
    if (tree.GetChild(&child, usbDevice) != CR_SUCCESS) return false;
    letterValue.fill(0);
    for (bool more = true; more; more = tree.GetSibling(&child, child) == CR_SUCCESS) {
      DEVINST node = 0;
      if (tree.GetChild(&node, child) != CR_SUCCESS) continue;
      for (bool next = true; next; next = tree.GetSibling(&node, node) == CR_SUCCESS) {
        if (HasLetter(node) && lettersMet++ == driveIndex) return true;
      }
    }
    return false;
  }

  bool HasLetter(DEVINST node) {
    HKEY key = nullptr;
    if (tree.OpenDevNodeKey(node, KEY_READ, 0, RegDisposition_OpenExisting, &key, CM_REGISTRY_HARDWARE) != CR_SUCCESS) {
      return false;
    }
    DWORD size = kLetterValueSize;
    const bool read = tree.QueryValue(key, kLetterValueName, letterValue.data(), &size) == ERROR_SUCCESS;
    tree.CloseKey(key);
    return read;
  }

  DeviceTreeApi& tree;
  IdList ids;
  int idCount;
  std::uint8_t driveIndex;
  unsigned lettersMet = 0;
  std::array<BYTE, kLetterValueSize> letterValue{};
};

}  // namespace

char FindDriveLetter(DeviceTreeApi& tree, IdList ids, int idCount, std::uint8_t driveIndex) {
  return Walk(tree, ids, idCount, driveIndex).Run();
}
