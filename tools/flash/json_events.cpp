// The JSON lines of ql480tx-flash that no single device's view writes.
#include "json_events.h"

#include <cmath>

#include "checked_files.h"
#include "flash_job.h"
#include "links.h"
#include "options.h"
#include "port_details.h"
#include "run_time.h"

namespace ql::flash {
namespace {

const char* ModeName(Mode mode) {
  switch (mode) {
    case Mode::Upgrade:
      return "upgrade";
    case Mode::ConnectOnly:
      return "connect_only";
    case Mode::VerifyOnly:
      return "verify_only";
    case Mode::ReadFlash:
      return "read_flash";
  }
  return "";
}

}  // namespace

std::string JsonLine(const Json& record) {
  return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

double Milliseconds(double seconds) {
  return std::round(seconds * 1000.0) / 1000.0;
}

Json Event(const char* event) {
  Json line;
  line["event"] = event;
  line["time"] = Milliseconds(SecondsSinceStart());
  line["utc"] = UtcNow();
  return line;
}

Json DeviceEvent(const std::string& device, const char* event) {
  Json line;
  line["device"] = device;
  line.update(Event(event));
  return line;
}

Json StartEvent(const Options& options, const FirmwareFacts& firmware,
                const std::vector<RunLink>& links, const char* version) {
  Json start = Event("start");
  start["schema"] = 1;
  start["program"] = "ql480tx-flash";
  start["version"] = version;
  start["mode"] = ModeName(options.mode);
  if (options.repeat) {
    start["repeat"] = true;
  }
  if (options.mode == Mode::ReadFlash) {
    start["out"] = options.readFlashPath;
    start["blocks"] = kReadFlashBlocks;
  } else {
    start["file"] = options.firmwarePath;
    start["header"] =
        firmware.firmware ? Json(Latin1ToUtf8(firmware.firmware->headerText)) : Json(nullptr);
    start["blocks"] = firmware.blocks;
    start["sha256"] = firmware.sha256.empty() ? Json(nullptr) : Json(firmware.sha256);
  }
  if (!options.tracePath.empty()) {
    start["trace"] = options.tracePath;
  }
  Json linkList = Json::array();
  for (const RunLink& link : links) {
    linkList.push_back(LinkJson(link));
  }
  start["links"] = std::move(linkList);
  return start;
}

Json UsageErrorEvent(int status, const std::string& message) {
  Json line;
  line["schema"] = 1;
  line.update(Event("result"));
  line["status"] = status;
  line["outcome"] = "usage_error";
  line["message"] = message;
  return line;
}

Json FileErrorEvent(int status, const std::string& reason) {
  Json line = Event("result");
  line["status"] = status;
  line["outcome"] = "file_error";
  line["reason"] = reason;
  return line;
}

Json WarningEvent(const std::string& reason) {
  Json line = Event("warning");
  line["reason"] = reason;
  return line;
}

Json PortEvent(const PortDetails& port) {
  Json line = Event("port");
  line["port"] = port.path;
  // Only what the system knows: a port it tells nothing of has its path.
  for (const auto& [name, value] :
       {std::pair<const char*, const std::string&>{"by_id", port.stableName},
        {"description", port.description},
        {"maker", port.maker},
        {"usb_id", port.vidPid},
        {"serial_number", port.serial}}) {
    if (!value.empty()) {
      line[name] = value;
    }
  }
  return line;
}

}  // namespace ql::flash
