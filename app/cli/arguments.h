// Command-line parsing shared by the tools: positional words, "--name value"
// or "--name=value" options, and flags.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct ParsedArgs {
  std::vector<std::string> positional;
  std::map<std::string, std::string> values;  // options that take a value
  std::set<std::string> flags;                // options that take none
  std::string error;                          // the first usage error, empty if none

  bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
  std::optional<std::string> Value(const std::string& option) const;
};

// `valueOptions` and `flagOptions` name the accepted options ("--size").
// After "--" every word is positional. An option given twice is an error,
// and so is an option's value that looks like an option ("--simulate
// --yes"). -y, -h, -V and -q stand for --yes, --help, --version and --quiet
// where those are accepted, and may be joined ("-yq").
ParsedArgs ParseArgs(const std::vector<std::string>& args, const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions);
