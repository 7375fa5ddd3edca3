// The settings store on this platform: QSettings in INI form under the user's
// configuration folder, organisation "KORVA", application
// "QL480TX_FirmwareUpgrade". Nothing is written until the first save.
#pragma once

#include <QString>
#include <memory>

#include "settings/settings_store.h"

class QSettings;

namespace ql::settings {

inline constexpr const char* kOrganization = "KORVA";
inline constexpr const char* kApplication = "QL480TX_FirmwareUpgrade";

class QSettingsStore final : public SettingsStore {
 public:
  QSettingsStore();
  // A store backed by the INI file at `path` (tests, and the demo).
  explicit QSettingsStore(QString path);
  ~QSettingsStore() override;

  bool Open(bool create) override;
  bool Exists(std::string_view name) override;
  std::optional<std::uint32_t> ReadInt(std::string_view name) override;
  std::optional<std::string> ReadString(std::string_view name) override;
  bool WriteInt(std::string_view name, std::uint32_t value) override;
  bool WriteString(std::string_view name, std::string_view value) override;
  void Close() override;

  // The INI file this store reads and writes.
  QString FilePath() const;

 private:
  QString path_;
  std::unique_ptr<QSettings> settings_;
};

}  // namespace ql::settings
