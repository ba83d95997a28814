// The smformat command: formats a card the way the dialog's Format button
// does, with the operator's questions on the terminal.
#pragma once

#include <string>
#include <vector>

#include "app/cli/cli_context.h"

// `args` excludes the program name. Returns the exit status.
int SmformatMain(const std::vector<std::string>& args, CliContext& context);
