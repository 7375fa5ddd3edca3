// Running the procedures for one device.
#include "flash_job.h"

namespace ql::flash {

settings::LinkControls ControlsFor(const DeviceLink& device, const std::string& address,
                                   const link::LinkSettings& stored) {
  settings::LinkControls controls = StoredControls(stored);
  controls.activeTab = device.kind;
  if (device.kind == link::LinkKind::Tcp) {
    controls.ip = address;
    controls.netPort = device.port;
  } else {
    controls.port = device.port;
    controls.baudRate = device.lineSettings;
  }
  return controls;
}

settings::LinkControls StoredControls(const link::LinkSettings& stored) {
  return settings::LinkControls{
      stored.linkKind == link::LinkKind::Tcp ? link::LinkKind::Tcp : link::LinkKind::Serial,
      stored.comPortName, stored.comBaudRate, stored.netIp, stored.netPort};
}

namespace {

JobOutcome FromReadBack(upgrade::ReadBackResult result, const char* ok, int failedStatus,
                        const char* failed) {
  switch (result) {
    case upgrade::ReadBackResult::Ok:
      return {kExitOk, ok};
    case upgrade::ReadBackResult::LinkNotOpened:
      return {kExitLinkNotOpened, "link_not_opened"};
    case upgrade::ReadBackResult::NoDevice:
      return {kExitNoHandshake, "no_handshake"};
    case upgrade::ReadBackResult::Interrupted:
      return {kExitInterrupted, "interrupted"};
    case upgrade::ReadBackResult::Failed:
      break;
  }
  return {failedStatus, failed};
}

JobOutcome ReadFlash(const Job& job, upgrade::Environment& env, FlashRead& read) {
  link::LinkSettings link = job.stored;
  settings::TakeLinkControls(job.controls, link);
  const auto result = upgrade::ReadFlashSequence(job.deviceId, link, kReadFlashBlocks, read.table,
                                                 read.deviceInfo, env);
  return FromReadBack(result, "read_ok", kExitReadFailed, "read_failed");
}

}  // namespace

JobOutcome RunJob(const Job& job, upgrade::ProcedureEvents& events, link::Clock& clock,
                  const link::LinkOpener& openLink, const JobContext& context, FlashRead* read) {
  // The command-line program never writes the window's settings.
  upgrade::Environment env{events, clock, openLink, nullptr};
  env.stopRequested = context.stopRequested;
  env.observer = context.observer;
  env.runWaitMs = context.runWaitMs;

  if (job.mode == Mode::ReadFlash) {
    FlashRead ignored;
    return ReadFlash(job, env, read != nullptr ? *read : ignored);
  }

  upgrade::DeviceState state;
  state.link = job.stored;
  upgrade::ConnectInputs inputs;
  inputs.link = job.stored;
  settings::TakeLinkControls(job.controls, inputs.link);
  inputs.deviceId = job.deviceId;
  inputs.fileVersionText = job.fileVersionText;
  inputs.selectedHeader = job.fileVersionText;
  inputs.firmware = job.firmware;
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
  if (job.mode == Mode::ConnectOnly) {
    return {kExitOk, "connect_ok"};
  }
  if (job.mode == Mode::VerifyOnly) {
    return FromReadBack(upgrade::VerifySequence(job.deviceId, state, env), "verify_ok",
                        kExitVerifyFailed, "verify_failed");
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
