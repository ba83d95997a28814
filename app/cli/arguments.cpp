#include "app/cli/arguments.h"

std::optional<std::string> ParsedArgs::Value(const std::string& option) const {
  const auto it = values.find(option);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

namespace {

bool IsOption(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

}  // namespace

ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size() && parsed.error.empty(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || !IsOption(word)) {
      parsed.positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    const std::size_t equals = word.find('=');
    const std::string name = word.substr(0, equals);
    if (parsed.values.count(name) || parsed.flags.count(name)) {
      // Taking the first or the last of two values would hide a mistake.
      parsed.error = "option " + name + " given twice";
    } else if (valueOptions.count(name)) {
      if (equals != std::string::npos) {
        parsed.values[name] = word.substr(equals + 1);
      } else if (i + 1 < args.size()) {
        parsed.values[name] = args[++i];
      } else {
        parsed.error = "option " + name + " needs a value";
      }
    } else if (flagOptions.count(name) && equals == std::string::npos) {
      parsed.flags.insert(name);
    } else {
      parsed.error = "unknown option " + word;
    }
  }
  return parsed;
}
