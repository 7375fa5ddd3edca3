// The settings store and the port list on Windows: the registry.
//
// The settings live in the key Software\KORVA\QL480TX_FirmwareUpgrade under
// HKEY_CURRENT_USER, opened with the access each step needs: read access to
// load, write access to save. A standard user cannot open HKEY_LOCAL_MACHINE
// \Software for writing (nor, with full access, for reading), so a store
// there would read nothing and save nothing. While the user's key does not
// exist, the values are read, read access only, from the same path under
// HKEY_LOCAL_MACHINE, first in the 32-bit view (where a 32-bit program's
// writes land on 64-bit Windows), then in the 64-bit view: settings stored by
// an earlier installation carry over, and the first save writes the user's
// key. TYPE is a REG_DWORD and the five other values are REG_SZ; a value of
// any other type is a value of the wrong type.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "settings/settings_store.h"

namespace ql::settings {

inline constexpr const wchar_t* kSettingsKeyPath = L"Software\\KORVA\\QL480TX_FirmwareUpgrade";
inline constexpr const wchar_t* kSerialPortMapPath = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Where an open store reads from.
enum class RegistrySource {
  None,       // not open
  User,       // HKEY_CURRENT_USER (read, or written)
  Machine32,  // HKEY_LOCAL_MACHINE, 32-bit view, read only
  Machine64,  // HKEY_LOCAL_MACHINE, 64-bit view, read only
};

class RegistryStore final : public SettingsStore {
 public:
  // The store at `keyPath` (tests use a key of their own).
  explicit RegistryStore(std::wstring keyPath = kSettingsKeyPath);
  ~RegistryStore() override;
  RegistryStore(const RegistryStore&) = delete;
  RegistryStore& operator=(const RegistryStore&) = delete;

  // Without `create`: the user's key for reading, or while it does not
  // exist, the machine's (32-bit view, then 64-bit); false when none of them
  // exists or the one found cannot be read. With `create`: the user's key,
  // created when absent, for writing.
  bool Open(bool create) override;
  bool Exists(std::string_view name) override;
  // Only a REG_DWORD.
  std::optional<std::uint32_t> ReadInt(std::string_view name) override;
  // Only a REG_SZ; its terminating NUL (when stored) is not part of it.
  std::optional<std::string> ReadString(std::string_view name) override;
  bool WriteInt(std::string_view name, std::uint32_t value) override;
  // As a REG_SZ whose stored size counts the terminating NUL.
  bool WriteString(std::string_view name, std::string_view value) override;
  void Close() override;

  RegistrySource Source() const { return source_; }

 private:
  std::wstring keyPath_;
  HKEY key_ = nullptr;
  RegistrySource source_ = RegistrySource::None;
};

// The string data of every value of the key `path` under `root`, in the
// registry's enumeration order, the value names ignored. Reading stops at the
// first value that is not a REG_SZ or cannot be read; what was read before it
// stays. Empty when the key cannot be opened for reading.
std::vector<std::string> RegistryStringValues(HKEY root, const std::wstring& path);

}  // namespace ql::settings
