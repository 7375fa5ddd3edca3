// The JSON lines of ql480tx-flash (--json): every event one object on one
// line, its fields in a fixed order, the event and its time first. Built
// with nlohmann-json, so any text, a file name that is not UTF-8 included,
// still gives a line that parses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace ql::flash {

struct FirmwareFacts;
struct PortDetails;
struct Options;
struct RunLink;

// An object whose fields keep the order they were set in.
using Json = nlohmann::ordered_json;

// `record` as one line of JSON, without the newline; text that is not valid
// UTF-8 is kept with the invalid bytes replaced, never refused.
std::string JsonLine(const Json& record);

// Device texts (the device information, a file's header) are 8-bit: each
// byte one character. As UTF-8, so that a byte above 0x7F stays the
// character it stands for.
std::string Latin1ToUtf8(std::string_view text);

// Seconds as every time and duration of the JSON lines gives them: to the
// millisecond.
double Milliseconds(double seconds);

// The fields every line starts with: the event, the seconds since the
// program started and the time of day in UTC.
Json Event(const char* event);

// The same for an event of one device, named first.
Json DeviceEvent(const std::string& device, const char* event);

// The first line of a run: what it does, with which file (its SHA-256
// too) and links.
Json StartEvent(const Options& options, const FirmwareFacts& firmware,
                const std::vector<RunLink>& links, const char* version);

// The closing line of a run that no device reached: a usage error (with the
// schema, since no start line came before it) or a file that cannot be used.
Json UsageErrorEvent(int status, const std::string& message);
Json FileErrorEvent(int status, const std::string& reason);
// Something the run goes on despite, such as a firmware file longer than the
// device takes.
Json WarningEvent(const std::string& reason);

// A port of --list-ports.
Json PortEvent(const PortDetails& port);

}  // namespace ql::flash
