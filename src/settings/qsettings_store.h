// The settings store on this platform: the INI file QSettings keeps under the
// user's configuration folder for organisation "KORVA", application
// "QL480TX_FirmwareUpgrade", in QSettings's own format, but read and written
// by this program's code (ini_document.h says why). Nothing is written until
// the first save.
#pragma once

#include <QString>
#include <optional>

#include "settings/ini_document.h"
#include "settings/settings_store.h"

namespace ql::settings {

inline constexpr const char* kOrganization = "KORVA";
inline constexpr const char* kApplication = "QL480TX_FirmwareUpgrade";

// The file QSettings would use: <configuration folder>/KORVA/
// QL480TX_FirmwareUpgrade.ini, the folder taken from the environment at
// each call (XDG_CONFIG_HOME, else ~/.config). Empty when there is none.
QString DefaultSettingsPath();

class QSettingsStore final : public SettingsStore {
 public:
  // The store at DefaultSettingsPath() as it is now.
  QSettingsStore();
  // A store backed by the INI file at `path` (tests, and the demo).
  explicit QSettingsStore(QString path);
  ~QSettingsStore() override;

  // Reading needs a regular file of at most 1 MiB (after links). Anything
  // else under the name (a FIFO, a device, a folder, a dangling link, a file
  // too large or unreadable) is a store that cannot be opened, and is never
  // written over either. A link is written through only to a file of the
  // effective user's own.
  bool Open(bool create) override;
  bool Exists(std::string_view name) override;
  // A text value that reads as a 32-bit integer: optional blanks, an
  // optional sign, decimal digits, from -2147483648 to 4294967295. A
  // negative number gives its two's-complement bits (-1 is 0xFFFFFFFF).
  std::optional<std::uint32_t> ReadInt(std::string_view name) override;
  // Only a plain text value: a list, or any value QSettings would turn into
  // an object, is of the wrong type.
  std::optional<std::string> ReadString(std::string_view name) override;
  // Each write replaces the file at once, so the values written before a
  // failing one are stored; every other line of the file stays as it was.
  bool WriteInt(std::string_view name, std::uint32_t value) override;
  bool WriteString(std::string_view name, std::string_view value) override;
  void Close() override;

  // The INI file this store reads and writes.
  QString FilePath() const;

 private:
  bool Write(std::string_view name, const QString& text);

  QString path_;
  std::optional<IniDocument> document_;
  bool writable_ = false;
};

}  // namespace ql::settings
