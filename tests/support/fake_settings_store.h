// An in-memory settings store that records every operation and can be told
// to fail: opening, reading one value, or writing from one value on.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "settings/settings_store.h"

namespace ql::testing_support {

class FakeSettingsStore final : public settings::SettingsStore {
 public:
  using Value = std::variant<std::uint32_t, std::string>;

  std::map<std::string, Value> values;
  bool keyExists = false;                  // what Open(false) needs
  bool creatable = true;                   // what Open(true) needs
  std::set<std::string> unreadable;        // present, right type, but the read fails
  std::optional<std::string> failWriteOf;  // this write and every later one fail
  std::vector<std::string> log;            // "open", "create", "read X", "write X", "close"

  bool Open(bool create) override {
    log.push_back(create ? "create" : "open");
    if (create) {
      if (!creatable) {
        return false;
      }
      keyExists = true;
      return true;
    }
    return keyExists;
  }

  bool Exists(std::string_view name) override { return values.contains(std::string(name)); }

  std::optional<std::uint32_t> ReadInt(std::string_view name) override {
    log.push_back("read " + std::string(name));
    const auto it = values.find(std::string(name));
    if (it == values.end() || unreadable.contains(it->first) ||
        !std::holds_alternative<std::uint32_t>(it->second)) {
      return std::nullopt;
    }
    return std::get<std::uint32_t>(it->second);
  }

  std::optional<std::string> ReadString(std::string_view name) override {
    log.push_back("read " + std::string(name));
    const auto it = values.find(std::string(name));
    if (it == values.end() || unreadable.contains(it->first) ||
        !std::holds_alternative<std::string>(it->second)) {
      return std::nullopt;
    }
    return std::get<std::string>(it->second);
  }

  bool WriteInt(std::string_view name, std::uint32_t value) override { return Write(name, value); }

  bool WriteString(std::string_view name, std::string_view value) override {
    return Write(name, std::string(value));
  }

  void Close() override { log.push_back("close"); }

 private:
  bool Write(std::string_view name, Value value) {
    log.push_back("write " + std::string(name));
    if (failWriteOf == name) {
      writesFailing_ = true;
    }
    if (writesFailing_) {
      return false;
    }
    values[std::string(name)] = std::move(value);
    return true;
  }

  bool writesFailing_ = false;
};

}  // namespace ql::testing_support
