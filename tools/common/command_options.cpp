// Reading a command line against a table of options.
#include "common/command_options.h"

#include <algorithm>

namespace ql::command_options {
namespace {

// By long name, or also by short letter ("-q").
const Option* Find(const std::vector<Option>& table, const std::string& name, bool letters) {
  const auto found = std::find_if(table.begin(), table.end(), [&](const Option& option) {
    return option.name == name || (letters && option.letter != 0 && name.size() == 2 &&
                                   name[0] == '-' && name[1] == option.letter);
  });
  return found == table.end() ? nullptr : &*found;
}

bool IsDashDash(const std::string& arg) {
  return arg == "--";
}

// A short option or a bundle of them: "-q", "-qV"; "-" alone is an operand.
bool IsShort(const std::string& arg) {
  return arg.size() >= 2 && arg[0] == '-' && arg[1] != '-';
}

// Each letter of each bundle before "--" replaced by its option's long name.
bool ExpandBundles(const std::vector<Option>& table, std::vector<std::string>& args,
                   std::string& error) {
  std::vector<std::string> expanded;
  bool operandsOnly = false;
  for (const auto& arg : args) {
    operandsOnly = operandsOnly || IsDashDash(arg);
    if (operandsOnly || !IsShort(arg)) {
      expanded.push_back(arg);
      continue;
    }
    for (std::size_t k = 1; k < arg.size(); ++k) {
      const Option* option = Find(table, std::string{'-', arg[k]}, true);
      if (option == nullptr) {
        error = "unknown option -" + std::string(1, arg[k]);
        return false;
      }
      expanded.push_back(option->name);
    }
  }
  args = std::move(expanded);
  return true;
}

}  // namespace

Parsed Parse(const std::vector<Option>& table, const std::vector<std::string>& given, Style style) {
  Parsed parsed;
  std::vector<std::string> args = given;
  if (style.bundles && !ExpandBundles(table, args, parsed.error)) {
    return parsed;
  }
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const bool passOn = style.firstOperandEnds && !parsed.operands.empty();
    if (style.operands && (passOn || IsDashDash(arg))) {
      const std::size_t from = passOn ? i : i + 1;
      parsed.operands.insert(parsed.operands.end(),
                             args.begin() + static_cast<std::ptrdiff_t>(from), args.end());
      break;
    }
    if (style.operands && (arg.size() < 2 || arg[0] != '-')) {
      parsed.operands.push_back(arg);
      continue;
    }
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    // With bundles every short option has been read already; one that is
    // left came after "--" taken as a value, and is no option.
    const Option* option = Find(table, name, !style.bundles);
    if (option == nullptr) {
      parsed.error = "unknown option " + name;
      return parsed;
    }
    if (option->takesValue && !inlineValue) {
      if (i + 1 == args.size()) {
        parsed.error = name + " needs a value";
        return parsed;
      }
      value = args[++i];
    } else if (!option->takesValue && inlineValue) {
      parsed.error = name + " takes no value";
      return parsed;
    }
    if (!option->handle(value)) {
      parsed.error = "bad value for " + name + ": '" + value + "'";
      parsed.refused = name;
      return parsed;
    }
  }
  return parsed;
}

}  // namespace ql::command_options
