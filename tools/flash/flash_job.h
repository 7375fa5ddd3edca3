// One device's run from the command line: the connect procedure, then the
// upgrade sequence only where the window would have enabled Upgrade; or the
// check of its flash, or the read of its flash.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "image/block_table.h"
#include "image/firmware_file.h"
#include "link/clock.h"
#include "link/exchange_observer.h"
#include "link/link.h"
#include "options.h"
#include "settings/settings.h"
#include "upgrade/procedure_events.h"
#include "upgrade/procedures.h"

namespace ql::flash {

// Exit statuses, in rising order of how far from success a device ended.
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitFileUnreadable = 2,  // also: OUT.QLB or the trace cannot be written
  kExitLinkNotOpened = 3,
  kExitNoHandshake = 4,
  kExitModelMismatch = 5,
  kExitProgramFailed = 6,
  kExitVerifyFailed = 7,
  kExitReadFailed = 8,
  kExitInterrupted = 130,
};

// The number of blocks --read-flash reads: the whole flash.
inline constexpr int kReadFlashBlocks = image::kMaxBlockCount;

struct JobOutcome {
  int status = kExitOk;
  std::string outcome;  // "upgrade_ok", "connect_ok", "link_not_opened", ...
};

struct Job {
  Mode mode = Mode::Upgrade;
  std::string firmwarePath;
  // The firmware file as read at the start: what every device receives.
  std::shared_ptr<const image::FirmwareFile> firmware;
  std::string fileVersionText;  // the file's header text
  std::string deviceId = "0001";
  link::LinkSettings stored;  // the link settings in memory before the connect
  settings::LinkControls controls;
};

// What a run goes by besides its job.
struct JobContext {
  const std::atomic<bool>* stopRequested = nullptr;
  link::ExchangeObserver* observer = nullptr;
  std::uint32_t runWaitMs = upgrade::kRunWaitMs;
};

// What --read-flash read: the blocks and the device information.
struct FlashRead {
  image::BlockTable table;
  std::string deviceInfo;
};

// The dotted IPv4 address of `host` (IPv4 only; the device link itself takes
// addresses only). nullopt, with the resolver's reason in `why`, when it
// cannot be found.
std::optional<std::string> ResolveIpv4(const std::string& host, std::string& why);

// The link tab a device option stands for, with its host already looked up.
settings::LinkControls ControlsFor(const DeviceLink& device, const std::string& address,
                                   const link::LinkSettings& stored);

// The controls of the tab the window last used.
settings::LinkControls StoredControls(const link::LinkSettings& stored);

// Runs `job`, telling `events` what happens. `read` receives the flash for
// Mode::ReadFlash.
JobOutcome RunJob(const Job& job, upgrade::ProcedureEvents& events, link::Clock& clock,
                  const link::LinkOpener& openLink, const JobContext& context,
                  FlashRead* read = nullptr);

}  // namespace ql::flash
