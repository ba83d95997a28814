#include "app/cli/arguments.h"

std::optional<std::string> ParsedArgs::Value(const std::string& option) const {
  const auto it = values.find(option);
  if (it == values.end()) return std::nullopt;
  return it->second;
}

namespace {

bool IsOption(const std::string& word) { return word.size() > 1 && word[0] == '-'; }

struct ShortOption {
  char letter;
  const char* name;
};

// The common flags have a letter too; a letter counts only where its long
// option is accepted.
constexpr ShortOption kShortOptions[] = {{'y', "--yes"}, {'h', "--help"}, {'V', "--version"}, {'q', "--quiet"}};

const char* LongName(char letter, const std::set<std::string>& flagOptions) {
  for (const ShortOption& option : kShortOptions) {
    if (option.letter == letter && flagOptions.count(option.name)) return option.name;
  }
  return nullptr;
}

// "-yq": each letter a flag.
void TakeLetters(const std::string& word, const std::set<std::string>& flagOptions, ParsedArgs& parsed) {
  for (std::size_t i = 1; i < word.size() && parsed.error.empty(); ++i) {
    const char* name = LongName(word[i], flagOptions);
    if (name == nullptr) {
      parsed.error = std::string("unknown option -") + word[i];
    } else if (!parsed.flags.insert(name).second) {
      parsed.error = std::string("option ") + name + " given twice";
    }
  }
}

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
    if (word[1] != '-') {
      TakeLetters(word, flagOptions, parsed);
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
      } else if (i + 1 < args.size() && IsOption(args[i + 1])) {
        // "--simulate --yes cam.img": the value was left out.
        parsed.error = "option " + name + " needs a value before " + args[i + 1] +
                       " (a value that begins with '-': " + name + "=VALUE)";
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
