// The smcard command: makes, inspects and fills simulated card images.
#pragma once

#include <string>
#include <vector>

#include "app/cli/cli_context.h"

// `args` excludes the program name. Returns the exit status.
int SmcardMain(const std::vector<std::string>& args, CliContext& context);
