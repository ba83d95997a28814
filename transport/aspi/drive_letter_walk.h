// The walk from the supported USB devices down the device tree to the drive
// letters of their volumes.
#pragma once

#include <cstdint>

#include "engine/reader_device.h"
#include "transport/aspi/aspi_platform.h"

// Visits the present devices of every class named "usb" (at most eight
// classes). A device matches when one of `ids` occurs in its first hardware
// identifier, upper-cased. Below a matching device, each grandchild node
// whose hardware key holds "CurrentDriveLetterAssignment" counts as one
// drive letter met, over the whole walk; the letter met at position
// `driveIndex` is the result. 255 when there is none.
char FindDriveLetter(DeviceTreeApi& tree, const char (&ids)[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot],
                     int idCount, std::uint8_t driveIndex);
