// The command line of ql480tx-sim.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "sim/sim_config.h"

namespace ql::sim {

struct ProgramOptions {
  SimConfig config;
  std::string flashIn;  // loaded by the program before it starts serving
  bool verbose = false;
  bool quitOnEof = false;
  bool quitAfterRun = false;
  bool replyTimes = false;
  bool help = false;
};

struct ParsedOptions {
  ProgramOptions options;
  std::string error;  // empty when the command line is good
};

// Reads the arguments after the program name.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

// "N", "KIND:N", "KIND" or "all"; nullopt when the text is none of them.
std::optional<CommandSelector> ParseSelector(const std::string& text);

// "BAUD" or "BAUD,FRAMING" with FRAMING like 8N1, 8E1, 7O2, 8N1.5.
std::optional<LinePacing> ParsePacing(const std::string& text);

std::string HelpText();

}  // namespace ql::sim
