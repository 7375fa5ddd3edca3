// Running the procedures for one device.
#include "flash_job.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include "upgrade/procedures.h"

namespace ql::flash {
namespace {

// The dotted IPv4 address of `host`, or `host` unchanged when it is an
// address already or cannot be looked up (the open then fails and says so).
std::string ResolveIpv4(const std::string& host) {
  in_addr address{};
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) {
    return host;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
    return host;
  }
  char text[INET_ADDRSTRLEN] = {};
  const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  inet_ntop(AF_INET, &ipv4->sin_addr, text, sizeof text);
  freeaddrinfo(found);
  return text;
}

}  // namespace

settings::LinkControls ControlsFor(const DeviceLink& device, const settings::LinkSettings& stored) {
  settings::LinkControls controls = StoredControls(stored);
  controls.activeTab = device.kind;
  if (device.kind == settings::LinkKind::Tcp) {
    controls.ip = ResolveIpv4(device.host);
    controls.netPort = device.port;
  } else {
    controls.port = device.port;
    controls.baudRate = device.lineSettings;
  }
  return controls;
}

settings::LinkControls StoredControls(const settings::LinkSettings& stored) {
  return settings::LinkControls{
      stored.linkKind == settings::LinkKind::Tcp ? settings::LinkKind::Tcp
                                                 : settings::LinkKind::Serial,
      stored.comPortName, stored.comBaudRate, stored.netIp, stored.netPort};
}

JobOutcome RunJob(const Job& job, upgrade::UpgradeView& view, link::Clock& clock,
                  const link::LinkOpener& openLink) {
  upgrade::DeviceState state;
  state.link = job.stored;
  // The command-line program never writes the window's settings.
  upgrade::Environment env{view, clock, openLink, nullptr};

  upgrade::ConnectInputs inputs;
  inputs.controls = job.controls;
  inputs.deviceId = job.deviceId;
  inputs.fileVersionText = job.fileVersionText;
  inputs.firmwarePath = job.firmwarePath;

  switch (upgrade::ConnectProcedure(inputs, state, env)) {
    case upgrade::ConnectResult::LinkNotOpened:
      return {kExitLinkNotOpened, "link_not_opened"};
    case upgrade::ConnectResult::NoHandshake:
      return {kExitNoHandshake, "no_handshake"};
    case upgrade::ConnectResult::ModelMismatch:
      return {kExitModelMismatch, "model_mismatch"};
    case upgrade::ConnectResult::LoadFailed:
      return {kExitFileUnreadable, "file_unreadable"};
    case upgrade::ConnectResult::Interrupted:
      return {kExitInterrupted, "interrupted"};
    case upgrade::ConnectResult::Matched:
      break;
  }
  if (job.connectOnly) {
    return {kExitOk, "connect_ok"};
  }
  switch (upgrade::UpgradeSequence(job.deviceId, state, env)) {
    case upgrade::UpgradeResult::LinkNotOpened:
      return {kExitLinkNotOpened, "link_not_opened"};
    case upgrade::UpgradeResult::ProgramFailed:
      return {kExitProgramFailed, "program_failed"};
    case upgrade::UpgradeResult::VerifyFailed:
      return {kExitVerifyFailed, "verify_failed"};
    case upgrade::UpgradeResult::Interrupted:
      return {kExitInterrupted, "interrupted"};
    case upgrade::UpgradeResult::UpgradeOk:
      break;
  }
  return {kExitOk, "upgrade_ok"};
}

}  // namespace ql::flash
