#include "CliArgs.h"

namespace midiflash {

bool ParseArgs(const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
               ParsedArgs& parsed, std::string& error) {
  parsed = ParsedArgs{};
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--") {
      parsed.operands.insert(parsed.operands.end(), args.begin() + long(i) + 1, args.end());
      return true;
    }
    // A lone "-" is an operand, as everywhere.
    if (a.size() < 2 || a[0] != '-') {
      parsed.operands.push_back(a);
      continue;
    }
    const bool is_long = a[1] == '-';
    const std::string name = is_long ? a.substr(0, a.find('=')) : a.substr(0, 2);
    const OptionSpec* found = nullptr;
    for (const OptionSpec& o : known) {
      if (is_long ? name == o.name : (o.shortName != 0 && a[1] == o.shortName)) found = &o;
    }
    if (found == nullptr) {
      error = "unknown option '" + (is_long ? name : a) + "'";
      return false;
    }
    std::string value;
    if (is_long && a.size() > name.size()) {
      if (!found->takesValue) {
        error = "option '" + name + "' takes no value";
        return false;
      }
      value = a.substr(name.size() + 1);
    } else if (!is_long && a.size() > 2) {
      if (!found->takesValue) {
        error = "unknown option '" + a + "'";
        return false;
      }
      value = a.substr(2);
    } else if (found->takesValue) {
      if (i + 1 >= args.size()) {
        error = "option '" + std::string(found->name) + "' needs a value";
        return false;
      }
      value = args[++i];
    }
    parsed.options[found->name] = value;
  }
  return true;
}

bool NumberOption(const ParsedArgs& parsed, const std::string& name, uint32_t max, uint32_t& value,
                  std::string& error) {
  if (!parsed.Has(name)) return true;
  const std::string& text = parsed.Value(name);
  // Digits only: no sign, no spaces, no unit that stoul would quietly stop at.
  uint64_t n = 0;
  bool ok = !text.empty() && text.size() <= 10;
  for (const char c : text) {
    ok = ok && c >= '0' && c <= '9';
    n = n * 10 + uint64_t(c - '0');
  }
  if (!ok || n > max) {
    error = "option '" + name + "' takes a whole number from 0 to " + std::to_string(max) +
            ", not '" + text + "'";
    return false;
  }
  value = static_cast<uint32_t>(n);
  return true;
}

}  // namespace midiflash
