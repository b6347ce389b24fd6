// The words after a command, read as the GNU and ALSA tools read theirs: "--name VALUE",
// "--name=VALUE", "-p VALUE", "-pVALUE", flags, and "--" before operands that begin with "-".
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace midiflash {

struct OptionSpec {
  const char* name;  // "--port"
  char shortName;    // 'p', or 0 for none
  bool takesValue;
};

struct ParsedArgs {
  std::vector<std::string> operands;
  std::map<std::string, std::string> options;  // by long name; a flag maps to ""

  bool Has(const std::string& name) const { return options.count(name) != 0; }
  const std::string& Value(const std::string& name) const { return options.at(name); }
};

// Reads `args` against `known`. Returns false, with `error` saying what is wrong ("unknown option
// '--prot'", "option '--port' needs a value"), for an option not in `known` or one without its
// value. An option given twice keeps its last value.
bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               ParsedArgs& parsed, std::string& error);

// The value of option `name`, when given, as a whole number from 0 to `max` in decimal digits;
// `value` is left as it is when the option is not given. False, with `error` saying what is
// wanted, for any other value.
bool NumberOption(const ParsedArgs& parsed, const std::string& name, uint32_t max, uint32_t& value,
                  std::string& error);

}  // namespace midiflash
