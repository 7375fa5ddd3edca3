// The command lines of our programs read one way: a table of options, each
// with its long name, an optional short letter, whether it takes a value,
// and a handler that takes the value and says whether it was good. Plain
// standard C++, so ql480tx-flash reads its arguments the same on every
// system it is built for.
#pragma once

#include <charconv>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

namespace ql::command_options {

struct Option {
  std::string name;  // "--line"
  char letter = 0;   // 'q' for -q; 0 for none
  bool takesValue = false;
  // Gets the value ("" for a flag); false refuses it.
  std::function<bool(const std::string& value)> handle;
};

struct Style {
  // Arguments that are not options are kept as operands, and "--" ends the
  // options; without operands any such argument is an unknown option.
  bool operands = false;
  // "-qV" stands for "-q -V". Bundles are read before anything else, as
  // whole arguments: a short option among them that is not known is the
  // error even when a long option before it is wrong too.
  bool bundles = false;
  // With operands: the first one ends the options, so what follows it (a
  // program and its own arguments) is passed on untouched.
  bool firstOperandEnds = false;
};

struct Parsed {
  std::vector<std::string> operands;
  // Empty when every argument was understood; otherwise the first problem:
  // "unknown option X", "X needs a value", "X takes no value", or
  // "bad value for X: 'VALUE'" when a handler refused its value.
  std::string error;
  // The option whose handler refused its value; empty for the other errors.
  std::string refused;
};

// Reads `args` (without the program name) against `table`, calling each
// handler in the order the options are given; a value is given as
// "--name=value" or as the next argument, whatever that holds. Options may be
// repeated: each time calls the handler again. Stops at the first problem.
using Handler = std::function<bool(const std::string& value)>;

// A flag that sets `field` to `to`.
inline Handler Set(bool& field, bool to = true) {
  return [&field, to](const std::string&) {
    field = to;
    return true;
  };
}

// A value stored in `field`: text as it is, a number only when the whole
// value is one that fits.
template <typename T>
Handler Into(T& field) {
  return [&field](const std::string& value) {
    if constexpr (std::is_same_v<T, std::string>) {
      field = value;
      return true;
    } else {
      T number{};
      const char* end = value.data() + value.size();
      const auto [stop, problem] = std::from_chars(value.data(), end, number);
      if (value.empty() || problem != std::errc{} || stop != end) {
        return false;
      }
      field = number;
      return true;
    }
  };
}

Parsed Parse(const std::vector<Option>& table, const std::vector<std::string>& args, Style style);

}  // namespace ql::command_options
