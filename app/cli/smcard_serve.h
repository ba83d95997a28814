// smcard serve: simulated cards offered as a USB card reader over USB/IP, so
// that a real kernel (vhci-hcd, usb-storage, sd) drives them as a reader.
// A Linux tool; on other platforms the command says so and ends.
#pragma once

#include <string>
#include <vector>

#include "app/cli/cli_context.h"

// `args` are the words after "serve". Returns the exit status.
int ServeMain(const std::vector<std::string>& args, CliContext& context);

extern const char* const kServeUsage;
