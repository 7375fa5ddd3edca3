// The links of one run as the program names them: on the start line, in the
// JSON start event, and when telling whether two options reach one port.
#pragma once

#include <string>
#include <vector>

#include "json_events.h"
#include "link/link_settings.h"
#include "options.h"

namespace ql::flash {

struct RunLink {
  DeviceLink link;      // as given, or as the window stored it
  bool stored = false;  // taken from the window's settings
  // TCP: the IPv4 address the host stands for; empty when the lookup failed.
  std::string address;
  std::string lookupError;  // why the lookup failed
};

// The link the window stored, as a device option would give it. Its address
// is used as it stands, as the window uses it.
RunLink StoredLink(const link::LinkSettings& stored);

// Looks the host of a --tcp link up; a --serial link needs nothing.
RunLink ResolvedLink(const DeviceLink& link);

// Equal for two links that reach the same port: the same device after COMn
// names and symbolic links are followed, the same address and port number
// after the host is looked up.
std::string LinkIdentity(const RunLink& link);

// The first two links of `links` that reach the same port, as "A and B";
// empty when every link is another.
std::string SameLinkTwice(const std::vector<RunLink>& links);

// What the start line says of the link: "127.0.0.1:5003",
// "plc7:5003 (10.0.0.7)", "COM2 (/dev/ttyS1) at 19200,e,8,1".
std::string DescribeLink(const RunLink& link);

// The link as an object of the JSON start event.
Json LinkJson(const RunLink& link);

}  // namespace ql::flash
