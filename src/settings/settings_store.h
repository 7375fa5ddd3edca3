// The persistent store behind the settings: one key holding named values,
// each either a 32-bit integer or a string. Operations mirror what the
// settings rules need; every failure is reported as a result, never thrown.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ql::settings {

class SettingsStore {
 public:
  virtual ~SettingsStore() = default;

  // Opens the settings key. With `create` false it fails when the key does
  // not exist or cannot be read; with `create` true it fails only when the
  // key can neither be opened nor created for writing.
  virtual bool Open(bool create) = 0;

  // Whether the open key holds a value of that name, of any type.
  virtual bool Exists(std::string_view name) = 0;

  // The value as a 32-bit integer (the 32 bits as stored: a store that keeps
  // signed numbers hands out a negative one as its two's complement);
  // nullopt when it has another type or cannot be read.
  virtual std::optional<std::uint32_t> ReadInt(std::string_view name) = 0;

  // The value as a string, exactly as written (NUL bytes included); nullopt
  // when it has another type or cannot be read.
  virtual std::optional<std::string> ReadString(std::string_view name) = 0;

  // False when the value could not be written.
  virtual bool WriteInt(std::string_view name, std::uint32_t value) = 0;
  virtual bool WriteString(std::string_view name, std::string_view value) = 0;

  // Closes the key; whatever was written is on its way to storage.
  virtual void Close() = 0;
};

}  // namespace ql::settings
