// One device's upgrade from the command line: the connect procedure, then
// the upgrade sequence only where the window would have enabled Upgrade.
#pragma once

#include <string>

#include "link/clock.h"
#include "link/link.h"
#include "options.h"
#include "settings/settings.h"
#include "upgrade/upgrade_view.h"

namespace ql::flash {

// Exit statuses, in rising order of how far from success a device ended.
enum ExitStatus : int {
  kExitOk = 0,
  kExitUsage = 1,
  kExitFileUnreadable = 2,
  kExitLinkNotOpened = 3,
  kExitNoHandshake = 4,
  kExitModelMismatch = 5,
  kExitProgramFailed = 6,
  kExitVerifyFailed = 7,
  kExitInterrupted = 130,
};

struct JobOutcome {
  int status = kExitOk;
  std::string outcome;  // "upgrade_ok", "connect_ok", "link_not_opened", ...
};

struct Job {
  std::string firmwarePath;
  std::string fileVersionText;  // the file's header text
  std::string deviceId = "0001";
  bool connectOnly = false;
  settings::LinkSettings stored;  // the link settings in memory before the connect
  settings::LinkControls controls;
};

// The link tab a device option stands for. A host name is looked up here
// (IPv4 only); the device link itself takes addresses only.
settings::LinkControls ControlsFor(const DeviceLink& device, const settings::LinkSettings& stored);

// The controls of the tab the window last used.
settings::LinkControls StoredControls(const settings::LinkSettings& stored);

JobOutcome RunJob(const Job& job, upgrade::UpgradeView& view, link::Clock& clock,
                  const link::LinkOpener& openLink);

}  // namespace ql::flash
