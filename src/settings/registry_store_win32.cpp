// The registry store, and the serial-port map read from the registry.
#include "settings/registry_store_win32.h"

#include "link/system_text_win32.h"
#include "settings/user_store.h"

namespace ql::settings {
namespace {

// Reads the value `name` of `key`: its type and its bytes. False when it
// does not exist or cannot be read. A value that grows between the size
// query and the read is read again.
bool QueryValue(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
  DWORD size = 0;
  LONG result = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  for (int attempt = 0; attempt < 4 && result == ERROR_SUCCESS; ++attempt) {
    data.resize(size);
    DWORD got = size;
    result = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &got);
    if (result == ERROR_SUCCESS) {
      data.resize(got);
      return true;
    }
    if (result == ERROR_MORE_DATA) {
      size = got;
      result = ERROR_SUCCESS;
    }
  }
  return false;
}

// The text of REG_SZ data: UTF-16 up to the end of the data, one
// terminating NUL taken off. nullopt for data of an odd size.
std::optional<std::string> StringData(const std::vector<BYTE>& data) {
  if (data.size() % sizeof(wchar_t) != 0) {
    return std::nullopt;
  }
  std::wstring text(data.size() / sizeof(wchar_t), L'\0');
  std::copy(data.begin(), data.end(), reinterpret_cast<BYTE*>(text.data()));
  if (!text.empty() && text.back() == L'\0') {
    text.pop_back();
  }
  return link::Narrow(text);
}

}  // namespace

RegistryStore::RegistryStore(std::wstring keyPath) : keyPath_(std::move(keyPath)) {}

RegistryStore::~RegistryStore() {
  Close();
}

bool RegistryStore::Open(bool create) {
  Close();
  HKEY key = nullptr;
  if (create) {
    if (::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return false;
    }
    key_ = key;
    source_ = RegistrySource::User;
    return true;
  }
  const LONG user = ::RegOpenKeyExW(HKEY_CURRENT_USER, keyPath_.c_str(), 0, KEY_READ, &key);
  if (user == ERROR_SUCCESS) {
    key_ = key;
    source_ = RegistrySource::User;
    return true;
  }
  if (user != ERROR_FILE_NOT_FOUND) {
    // The user's key is there but cannot be read: the defaults stand, and
    // an older installation's settings are not taken instead.
    return false;
  }
  for (const auto& [view, source] : {std::pair{KEY_WOW64_32KEY, RegistrySource::Machine32},
                                     std::pair{KEY_WOW64_64KEY, RegistrySource::Machine64}}) {
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath_.c_str(), 0, KEY_READ | view, &key) ==
        ERROR_SUCCESS) {
      key_ = key;
      source_ = source;
      return true;
    }
  }
  return false;
}

bool RegistryStore::Exists(std::string_view name) {
  return key_ != nullptr && ::RegQueryValueExW(key_, link::Widen(name).c_str(), nullptr, nullptr,
                                               nullptr, nullptr) == ERROR_SUCCESS;
}

std::optional<std::uint32_t> RegistryStore::ReadInt(std::string_view name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (key_ == nullptr || !QueryValue(key_, link::Widen(name), type, data) || type != REG_DWORD ||
      data.size() != sizeof(DWORD)) {
    return std::nullopt;
  }
  DWORD value = 0;
  std::copy(data.begin(), data.end(), reinterpret_cast<BYTE*>(&value));
  return value;
}

std::optional<std::string> RegistryStore::ReadString(std::string_view name) {
  DWORD type = 0;
  std::vector<BYTE> data;
  if (key_ == nullptr || !QueryValue(key_, link::Widen(name), type, data) || type != REG_SZ) {
    return std::nullopt;
  }
  return StringData(data);
}

bool RegistryStore::WriteInt(std::string_view name, std::uint32_t value) {
  const DWORD data = value;
  return key_ != nullptr && source_ == RegistrySource::User &&
         ::RegSetValueExW(key_, link::Widen(name).c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&data), sizeof data) == ERROR_SUCCESS;
}

bool RegistryStore::WriteString(std::string_view name, std::string_view value) {
  if (key_ == nullptr || source_ != RegistrySource::User) {
    return false;
  }
  const std::wstring text = link::Widen(value);
  const auto size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
  return ::RegSetValueExW(key_, link::Widen(name).c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()), size) == ERROR_SUCCESS;
}

void RegistryStore::Close() {
  if (key_ != nullptr) {
    ::RegCloseKey(key_);
    key_ = nullptr;
  }
  source_ = RegistrySource::None;
}

std::vector<std::string> RegistryStringValues(HKEY root, const std::wstring& path) {
  std::vector<std::string> values;
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return values;
  }
  DWORD count = 0;
  DWORD longestName = 0;
  DWORD longestData = 0;
  if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &longestName, &longestData, nullptr, nullptr) == ERROR_SUCCESS) {
    std::wstring name(longestName + 1, L'\0');
    std::vector<BYTE> data(longestData);
    for (DWORD index = 0; index < count; ++index) {
      DWORD nameLength = static_cast<DWORD>(name.size());
      DWORD dataSize = static_cast<DWORD>(data.size());
      DWORD type = 0;
      if (::RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                          &dataSize) != ERROR_SUCCESS ||
          type != REG_SZ) {
        break;
      }
      const auto text = StringData(std::vector<BYTE>(data.begin(), data.begin() + dataSize));
      if (!text) {
        break;
      }
      values.push_back(*text);
    }
  }
  ::RegCloseKey(key);
  return values;
}

std::unique_ptr<SettingsStore> OpenUserSettingsStore() {
  return std::make_unique<RegistryStore>();
}

}  // namespace ql::settings
