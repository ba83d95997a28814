#include <ostream>

#include "app/cli/smcard_serve.h"

const char* const kServeUsage = "";

int ServeMain(const std::vector<std::string>& /*args*/, CliContext& context) {
  context.err << "smcard: serve is a Linux tool (it offers the cards over USB/IP from a Linux host)\n";
  return kExitFailure;
}
