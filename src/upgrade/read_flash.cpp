// Reading a device's whole flash back: the device is found as the connect
// procedure finds it, then every block is read back by the rule verification
// follows, so that each block holds its own reply's data. Nothing is written.
#include <algorithm>
#include <iterator>

#include "link/command_exchange.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"

namespace ql::upgrade {

namespace {

ReadBackResult ReadOnLink(link::CommandExchange& exchange, link::Transport& transport,
                          const std::string& deviceId, int blockCount, image::BlockTable& table,
                          std::string& deviceInfo, Environment& env) {
  ProcedureEvents& events = env.events;
  const DeviceSearch found = FindDevice(exchange, deviceId, env);
  if (found.end != HandshakeEnd::Answered) {
    transport.Close();
    if (found.end == HandshakeEnd::Interrupted) {
      return ReadBackResult::Interrupted;
    }
    events.DeviceNotFound(found.attempts, found.last);
    return ReadBackResult::NoDevice;
  }
  deviceInfo = DeviceInformation(exchange.ResponseText());
  events.DeviceFound(deviceInfo);
  events.PhaseStarted(Phase::Read, blockCount);
  const auto keep = [&table](int block, std::string_view data) {
    std::uint8_t bytes[image::kBlockSize];
    if (!ParseBlockDataText(data, bytes)) {
      return false;
    }
    std::copy(std::begin(bytes), std::end(bytes), table.Row(block).begin());
    return true;
  };
  const PhaseEnd read = ReadBackBlocks(exchange, deviceId, Phase::Read, blockCount,
                                       exchange.LastNotes().Disturbed(), env, keep);
  transport.Close();
  events.PhaseEnded(read);
  return read.Ok()                               ? ReadBackResult::Ok
         : read.failure == PhaseFailure::Stopped ? ReadBackResult::Interrupted
                                                 : ReadBackResult::Failed;
}

Outcome OutcomeOf(ReadBackResult result) {
  switch (result) {
    case ReadBackResult::Ok:
      return Outcome::Done;
    case ReadBackResult::LinkNotOpened:
      return Outcome::LinkNotOpened;
    case ReadBackResult::NoDevice:
      return Outcome::NoDevice;
    case ReadBackResult::Failed:
      return Outcome::PhaseFailed;
    case ReadBackResult::Interrupted:
      break;
  }
  return Outcome::Stopped;
}

}  // namespace

ReadBackResult ReadFlashSequence(const std::string& deviceId, const link::LinkSettings& link,
                                 int blockCount, image::BlockTable& table, std::string& deviceInfo,
                                 Environment& env) {
  env.events.Started(Procedure::ReadFlash);
  table.Reset();
  ReadBackResult result = ReadBackResult::LinkNotOpened;
  std::string why;
  if (auto transport = env.openLink(link, why)) {
    env.events.LinkOpened();
    link::CommandExchange exchange(*transport, env.clock);
    exchange.SetObserver(env.observer);
    result = ReadOnLink(exchange, *transport, deviceId, blockCount, table, deviceInfo, env);
  } else {
    env.events.LinkNotOpened(why);
  }
  env.events.Finished({Procedure::ReadFlash, OutcomeOf(result), {}});
  return result;
}

}  // namespace ql::upgrade
