// The connect procedure: open the link the operator chose, find the device
// with up to three handshakes, store the link, compare the device's model
// with the file's, and load the image when they match.
#include <optional>

#include "image/firmware_file.h"
#include "link/command_exchange.h"
#include "upgrade/block_exchange.h"
#include "upgrade/device_commands.h"
#include "upgrade/procedures.h"
#include "upgrade/sound_tone.h"

namespace ql::upgrade {
namespace {

// The device needs this pause after the handshake it answered, before the
// model check.
constexpr std::uint32_t kAfterConnectHandshakeMs = 100;
// Model prefixes compared between the device information and the file header.
constexpr std::size_t kModelPrefixLength = 7;

std::string Prefix(std::string_view text, std::size_t length) {
  return std::string(text.substr(0, length));
}

// Why a load failed, when it did.
struct LoadProblem {
  LoadFailure why = LoadFailure::Unreadable;
  int error = 0;
};

// Fills the block table from the firmware of `inputs`: the image read before
// the procedure, or the selected file read now. Only a file whose header is
// the one read at selection, and that holds an image, is loaded; anything
// else leaves the table blank and is a failed load.
std::optional<LoadProblem> LoadImage(const ConnectInputs& inputs, DeviceState& state,
                                     std::int64_t& imageBytes) {
  state.blockTable.Reset();
  std::shared_ptr<const image::FirmwareFile> firmware = inputs.firmware;
  if (!firmware) {
    image::FirmwareRead read = image::ReadFirmwareFile(inputs.firmwarePath);
    if (!read.Ok()) {
      return LoadProblem{LoadFailure::Unreadable, read.error};
    }
    firmware = std::make_shared<const image::FirmwareFile>(std::move(read.file));
  }
  imageBytes = firmware->length - image::kHeaderSize;
  if (firmware->headerText != inputs.selectedHeader) {
    return LoadProblem{LoadFailure::HeaderChanged};
  }
  switch (
      image::LoadFirmwareImage(*firmware, state.deviceFamily, state.blockTable, state.blockCount)) {
    case image::LoadResult::Loaded:
      return std::nullopt;
    case image::LoadResult::NoImage:
      return LoadProblem{LoadFailure::NoImage};
    case image::LoadResult::OpenFailed:
    case image::LoadResult::NotThisFamily:
      break;
  }
  return LoadProblem{LoadFailure::Unreadable};
}

// Finds the device on the open link; once it has answered, stores the link,
// compares the models and loads the image.
ConnectResult ConnectOnLink(link::CommandExchange& exchange, link::Transport& transport,
                            const ConnectInputs& inputs, DeviceState& state, Environment& env) {
  ProcedureEvents& events = env.events;
  const DeviceSearch found = FindDevice(exchange, inputs.deviceId, env);
  if (found.end != HandshakeEnd::Answered) {
    transport.Close();
    if (found.end == HandshakeEnd::Interrupted) {
      return ConnectResult::Interrupted;
    }
    events.DeviceNotFound(found.attempts, found.last);
    SoundTone(env, kFailureTone);
    return ConnectResult::NoHandshake;
  }

  state.deviceFamily = image::kDeviceFamily;
  // The device's pause after the handshake runs from its reply (the link
  // marks it). Storing the settings (a few writes, each flushed to disk)
  // happens inside it, so the device waits the same whether or not a front
  // end stores them and however long the disk takes.
  if (env.storeLink) {
    env.storeLink(state.link);
  }
  env.clock.SleepAfterMarkMs(kAfterConnectHandshakeMs);

  const std::string deviceInfo = DeviceInformation(exchange.ResponseText());
  events.DeviceFound(deviceInfo);

  ConnectResult result = ConnectResult::Matched;
  if (Prefix(deviceInfo, kModelPrefixLength) !=
      Prefix(inputs.fileVersionText, kModelPrefixLength)) {
    events.ModelMismatched(deviceInfo, inputs.fileVersionText);
    SoundTone(env, kFailureTone);
    result = ConnectResult::ModelMismatch;
  } else {
    events.ModelMatched();
    std::int64_t imageBytes = 0;
    if (const auto problem = LoadImage(inputs, state, imageBytes)) {
      // The table is blank now: never let it reach the device.
      state.blockCount = 0;
      events.ImageNotLoaded(problem->why, problem->error);
      SoundTone(env, kFailureTone);
      result = ConnectResult::LoadFailed;
    } else {
      events.ImageLoaded(state.blockCount);
      if (imageBytes > std::int64_t{image::kMaxBlockCount} * image::kBlockSize) {
        events.ImageLongerThanDevice(imageBytes);
      }
      SoundTone(env, kSuccessTone);
    }
  }
  transport.Close();
  return result;
}

Outcome OutcomeOf(ConnectResult result) {
  switch (result) {
    case ConnectResult::Matched:
      return Outcome::Done;
    case ConnectResult::LinkNotOpened:
      return Outcome::LinkNotOpened;
    case ConnectResult::NoHandshake:
      return Outcome::NoDevice;
    case ConnectResult::ModelMismatch:
      return Outcome::ModelMismatch;
    case ConnectResult::LoadFailed:
      return Outcome::LoadFailed;
    case ConnectResult::Interrupted:
      break;
  }
  return Outcome::Stopped;
}

}  // namespace

ConnectResult ConnectProcedure(const ConnectInputs& inputs, DeviceState& state, Environment& env) {
  env.events.Started(Procedure::Connect);

  // The link is the one on the active tab now; it reaches the store only
  // after the device has answered.
  state.link = inputs.link;

  ConnectResult result = ConnectResult::LinkNotOpened;
  std::string why;
  if (auto transport = env.openLink(state.link, why)) {
    env.events.LinkOpened();
    link::CommandExchange exchange(*transport, env.clock);
    exchange.SetObserver(env.observer);
    result = ConnectOnLink(exchange, *transport, inputs, state, env);
  } else if (env.StopRequested()) {
    // A stop that cut the wait for the link is a stop, not a link fault.
    result = ConnectResult::Interrupted;
  } else {
    env.events.LinkNotOpened(why);
    SoundTone(env, kFailureTone);
  }
  env.events.Finished({Procedure::Connect, OutcomeOf(result), {}});
  return result;
}

}  // namespace ql::upgrade
