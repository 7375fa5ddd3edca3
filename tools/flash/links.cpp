// Naming and comparing the links of a run.
#include "links.h"

#include <algorithm>
#include <cctype>

#include "flash_job.h"
#include "link/line_settings.h"
#include "link/serial_transport.h"
#include "link/tcp_transport.h"

namespace ql::flash {

RunLink StoredLink(const link::LinkSettings& stored) {
  RunLink run;
  run.stored = true;
  if (stored.linkKind == link::LinkKind::Tcp) {
    run.link.kind = link::LinkKind::Tcp;
    run.link.host = stored.netIp;
    run.link.port = stored.netPort;
    run.address = stored.netIp;
  } else {
    run.link.kind = link::LinkKind::Serial;
    run.link.port = stored.comPortName;
    run.link.lineSettings = stored.comBaudRate;
  }
  return run;
}

RunLink ResolvedLink(const DeviceLink& link) {
  RunLink run;
  run.link = link;
  if (link.kind == link::LinkKind::Tcp) {
    run.address = ResolveIpv4(link.host, run.lookupError).value_or("");
  }
  return run;
}

std::string LinkIdentity(const RunLink& run) {
  if (run.link.kind == link::LinkKind::Tcp) {
    std::string host = run.address;
    if (host.empty()) {
      host = run.link.host;
      std::transform(host.begin(), host.end(), host.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    }
    return "tcp " + host + ":" + std::to_string(link::ParseNetPort(run.link.port));
  }
  return "serial " + link::SerialPortIdentity(run.link.port);
}

std::string SameLinkTwice(const std::vector<RunLink>& links) {
  for (std::size_t i = 0; i < links.size(); ++i) {
    for (std::size_t j = i + 1; j < links.size(); ++j) {
      if (LinkIdentity(links[i]) == LinkIdentity(links[j])) {
        return links[i].link.Label() + " and " + links[j].link.Label();
      }
    }
  }
  return {};
}

std::string DescribeLink(const RunLink& run) {
  const DeviceLink& l = run.link;
  if (l.kind == link::LinkKind::Tcp) {
    std::string text = l.Label();
    if (!run.address.empty() && run.address != l.host) {
      text += " (" + run.address + ")";
    }
    return text;
  }
  std::string text = l.port;
  if (const std::string path = link::SerialDevicePath(l.port); path != l.port) {
    text += " (" + path + ")";
  }
  text += " at " + l.lineSettings;
  // Only the window's stored text can be one the parser cannot read; the
  // port then keeps its own settings, as the window leaves it.
  if (!link::ParseLineSettings(l.lineSettings)) {
    text += " (not readable: the port keeps its own settings)";
  }
  return text;
}

Json LinkJson(const RunLink& run) {
  const DeviceLink& l = run.link;
  Json json;
  json["device"] = l.Label();
  if (l.kind == link::LinkKind::Tcp) {
    json["kind"] = "tcp";
    json["host"] = l.host;
    json["address"] = run.address.empty() ? Json(nullptr) : Json(run.address);
    json["port"] = link::ParseNetPort(l.port);
  } else {
    json["kind"] = "serial";
    json["port"] = l.port;
    json["path"] = link::SerialDevicePath(l.port);
    json["line"] = l.lineSettings;
  }
  json["stored"] = run.stored;
  return json;
}

}  // namespace ql::flash
