// The load and save rules over an in-memory store: defaults, the order of
// reads and writes, and where a failing value stops them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings/settings.h"
#include "support/fake_settings_store.h"

namespace ql::settings {
namespace {

using link::LinkKind;
using link::LinkSettings;

using testing_support::FakeSettingsStore;
using Strings = std::vector<std::string>;

void ExpectDefaults(const Settings& s) {
  EXPECT_EQ(s.link.linkKind, LinkKind::Serial);
  EXPECT_EQ(s.link.comPortName, "COM1");
  EXPECT_EQ(s.link.comBaudRate, "19200,e,8,1");
  EXPECT_EQ(s.link.netIp, "192.168.1.101");
  EXPECT_EQ(s.link.netPort, "5003");
  EXPECT_EQ(s.languageFlag, "English");
  EXPECT_EQ(s.currentLanguage, text::Language::English);
}

// A store holding a non-default value under every name.
FakeSettingsStore FullStore() {
  FakeSettingsStore store;
  store.keyExists = true;
  store.values = {{kValueType, std::uint32_t{1}},
                  {kValueComBaudRate, std::string("9600,n,8,1")},
                  {kValueComPortName, std::string("/dev/ttyUSB0")},
                  {kValueNetIp, std::string("10.0.0.7")},
                  {kValueNetPort, std::string("6000")},
                  {kValueLanguageFlag, std::string("ChineseBIG5")}};
  return store;
}

TEST(LoadSettings, KeyThatCannotBeOpenedGivesDefaultsAndReadsNothing) {
  FakeSettingsStore store = FullStore();
  store.keyExists = false;
  ExpectDefaults(LoadSettings(store));
  EXPECT_EQ(store.log, Strings{"open"});
}

TEST(LoadSettings, EmptyKeyGivesDefaults) {
  FakeSettingsStore store;
  store.keyExists = true;
  ExpectDefaults(LoadSettings(store));
  EXPECT_EQ(store.log, (Strings{"open", "close"}));
}

TEST(LoadSettings, ReadsEveryValueInOrder) {
  FakeSettingsStore store = FullStore();
  const Settings s = LoadSettings(store);
  EXPECT_EQ(s.link.linkKind, LinkKind::Tcp);
  EXPECT_EQ(s.link.comBaudRate, "9600,n,8,1");
  EXPECT_EQ(s.link.comPortName, "/dev/ttyUSB0");
  EXPECT_EQ(s.link.netIp, "10.0.0.7");
  EXPECT_EQ(s.link.netPort, "6000");
  EXPECT_EQ(s.languageFlag, "ChineseBIG5");
  EXPECT_EQ(s.currentLanguage, text::Language::Traditional);
  EXPECT_EQ(store.log, (Strings{"open", "read TYPE", "read ComBaudRate", "read ComPortName",
                                "read NetIP", "read NetPort", "read LanguageFlag", "close"}));
}

TEST(LoadSettings, AnyNonZeroTypeSelectsTcp) {
  const std::pair<std::uint32_t, LinkKind> cases[] = {
      {0, LinkKind::Serial},      {1, LinkKind::Tcp},     {2, LinkKind::Tcp},
      {5, LinkKind::Tcp},         {0x100, LinkKind::Tcp}, {0x80000000, LinkKind::Tcp},
      {0xFFFFFFFF, LinkKind::Tcp}};
  for (const auto& [type, kind] : cases) {
    FakeSettingsStore store;
    store.keyExists = true;
    store.values[kValueType] = type;
    EXPECT_EQ(LoadSettings(store).link.linkKind, kind) << type;
  }
}

// The flag stays in memory exactly as stored even when it selects English.
TEST(LoadSettings, LanguageFlagSelectsLanguageOnlyOnExactMatch) {
  struct Case {
    std::string stored;
    text::Language language;
  };
  const Case cases[] = {
      {"ChineseGB", text::Language::Simplified}, {"ChineseBIG5", text::Language::Traditional},
      {"English", text::Language::English},      {"chinesegb", text::Language::English},
      {"CHINESEBIG5", text::Language::English},  {"", text::Language::English}};
  for (const Case& c : cases) {
    FakeSettingsStore store;
    store.keyExists = true;
    store.values[kValueLanguageFlag] = c.stored;
    const Settings s = LoadSettings(store);
    EXPECT_EQ(s.currentLanguage, c.language) << c.stored;
    EXPECT_EQ(s.languageFlag, c.stored);
  }
}

TEST(LoadSettings, EmptyStoredStringIsKeptNotDefaulted) {
  FakeSettingsStore store;
  store.keyExists = true;
  store.values[kValueComPortName] = std::string();
  EXPECT_EQ(LoadSettings(store).link.comPortName, "");
}

// A value of the wrong type, or one whose read fails, ends the reading: the
// values before it are kept, it and all after it keep their defaults and are
// never read.
TEST(LoadSettings, FailingValueStopsReadingThere) {
  const char* order[] = {kValueType,  kValueComBaudRate, kValueComPortName,
                         kValueNetIp, kValueNetPort,     kValueLanguageFlag};
  for (int failing = 0; failing < 6; ++failing) {
    for (bool wrongType : {true, false}) {
      SCOPED_TRACE(std::string(order[failing]) + (wrongType ? " wrong type" : " unreadable"));
      FakeSettingsStore store = FullStore();
      if (!wrongType) {
        store.unreadable.insert(order[failing]);
      } else if (failing == 0) {
        store.values[kValueType] = std::string("1");
      } else {
        store.values[order[failing]] = std::uint32_t{7};
      }
      const Settings s = LoadSettings(store);
      const Settings defaults;
      const std::string stored[] = {"",         "9600,n,8,1", "/dev/ttyUSB0",
                                    "10.0.0.7", "6000",       "ChineseBIG5"};
      const std::string fallback[] = {"",
                                      defaults.link.comBaudRate,
                                      defaults.link.comPortName,
                                      defaults.link.netIp,
                                      defaults.link.netPort,
                                      defaults.languageFlag};
      const std::string got[] = {"",           s.link.comBaudRate, s.link.comPortName,
                                 s.link.netIp, s.link.netPort,     s.languageFlag};
      for (int i = 1; i < 6; ++i) {
        EXPECT_EQ(got[i], i < failing ? stored[i] : fallback[i]) << order[i];
      }
      EXPECT_EQ(s.link.linkKind, failing > 0 ? LinkKind::Tcp : LinkKind::Serial);
      EXPECT_EQ(s.currentLanguage, text::Language::English);
      // The failing value is the last one read, and the key is closed.
      ASSERT_GE(store.log.size(), 2u);
      EXPECT_EQ(store.log[store.log.size() - 2], std::string("read ") + order[failing]);
      EXPECT_EQ(store.log.back(), "close");
    }
  }
}

LinkControls Controls(LinkKind tab) {
  return {tab, "/dev/ttyS3", "115200,n,8,1", "172.16.0.9", "7001"};
}

LinkSettings Memory() {
  return {LinkKind::Serial, "COM7", "4800,e,8,1", "10.1.1.1", "5555"};
}

TEST(SaveLinkSettings, StoreThatCannotBeCreatedChangesNothing) {
  FakeSettingsStore store;
  store.creatable = false;
  LinkSettings link = Memory();
  SaveLinkSettings(store, link, Controls(LinkKind::Tcp));
  EXPECT_EQ(link.linkKind, LinkKind::Serial);
  EXPECT_EQ(link.netIp, "10.1.1.1");
  EXPECT_EQ(link.comPortName, "COM7");
  EXPECT_TRUE(store.values.empty());
  EXPECT_EQ(store.log, Strings{"create"});
}

// The active tab's values come from the controls, the other tab's from
// memory, and TYPE is 0 exactly when the COM tab is active.
TEST(SaveLinkSettings, WritesActiveTabFromControlsAndInactiveFromMemory) {
  for (LinkKind tab : {LinkKind::Serial, LinkKind::Tcp}) {
    SCOPED_TRACE(tab == LinkKind::Tcp ? "NET tab" : "COM tab");
    FakeSettingsStore store;
    LinkSettings link = Memory();
    SaveLinkSettings(store, link, Controls(tab));
    const bool net = tab == LinkKind::Tcp;
    EXPECT_EQ(std::get<std::uint32_t>(store.values.at(kValueType)), net ? 1u : 0u);
    EXPECT_EQ(std::get<std::string>(store.values.at(kValueNetIp)), net ? "172.16.0.9" : "10.1.1.1");
    EXPECT_EQ(std::get<std::string>(store.values.at(kValueNetPort)), net ? "7001" : "5555");
    EXPECT_EQ(std::get<std::string>(store.values.at(kValueComPortName)),
              net ? "COM7" : "/dev/ttyS3");
    EXPECT_EQ(std::get<std::string>(store.values.at(kValueComBaudRate)),
              net ? "4800,e,8,1" : "115200,n,8,1");
    EXPECT_FALSE(store.values.contains(kValueLanguageFlag));
    EXPECT_EQ(link.linkKind, tab);
    EXPECT_EQ(link.netIp, net ? "172.16.0.9" : "10.1.1.1");
    EXPECT_EQ(link.comPortName, net ? "COM7" : "/dev/ttyS3");
    EXPECT_EQ(store.log, (Strings{"create", "write TYPE", "write NetPort", "write NetIP",
                                  "write ComBaudRate", "write ComPortName", "close"}));
  }
}

TEST(SaveLinkSettings, FailedWriteEndsTheSaveAndKeepsEarlierWrites) {
  const Strings order = {kValueType, kValueNetPort, kValueNetIp, kValueComBaudRate,
                         kValueComPortName};
  for (std::size_t failing = 0; failing < order.size(); ++failing) {
    SCOPED_TRACE(order[failing]);
    FakeSettingsStore store;
    store.failWriteOf = order[failing];
    LinkSettings link = Memory();
    SaveLinkSettings(store, link, Controls(LinkKind::Tcp));
    for (std::size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(store.values.contains(order[i]), i < failing) << order[i];
    }
    EXPECT_EQ(store.log.size(), failing + 3);  // create, writes up to the failing one, close
    EXPECT_EQ(store.log.back(), "close");
    // The controls were taken before the store was written.
    EXPECT_EQ(link.netIp, "172.16.0.9");
  }
}

// The window takes the active tab into the link before the connect and
// stores the link as it stands after the handshake: the same values, in the
// same order, as taking the controls while storing.
TEST(SaveLinkSettings, ALinkWithItsTabTakenIsStoredAsTakingTheControlsStoresIt) {
  for (LinkKind tab : {LinkKind::Serial, LinkKind::Tcp}) {
    SCOPED_TRACE(tab == LinkKind::Tcp ? "NET tab" : "COM tab");
    FakeSettingsStore taking;
    LinkSettings memory = Memory();
    SaveLinkSettings(taking, memory, Controls(tab));

    FakeSettingsStore taken;
    LinkSettings link = Memory();
    TakeLinkControls(Controls(tab), link);
    SaveLinkSettings(taken, link);
    EXPECT_EQ(taken.values, taking.values);
    EXPECT_EQ(taken.log, taking.log);
  }
  FakeSettingsStore closed;
  closed.creatable = false;
  SaveLinkSettings(closed, Memory());
  EXPECT_TRUE(closed.values.empty());
}

TEST(SaveLanguage, WritesOnlyTheFlag) {
  FakeSettingsStore store = FullStore();
  store.values.erase(kValueLanguageFlag);
  const auto before = store.values;
  SaveLanguage(store, "ChineseGB");
  EXPECT_EQ(std::get<std::string>(store.values.at(kValueLanguageFlag)), "ChineseGB");
  store.values.erase(kValueLanguageFlag);
  EXPECT_EQ(store.values, before);
  EXPECT_EQ(store.log, (Strings{"create", "write LanguageFlag", "close"}));
}

TEST(SaveLanguage, StoreThatCannotBeCreatedIsLeftAlone) {
  FakeSettingsStore store;
  store.creatable = false;
  SaveLanguage(store, "ChineseBIG5");
  EXPECT_TRUE(store.values.empty());
  EXPECT_EQ(store.log, Strings{"create"});
}

}  // namespace
}  // namespace ql::settings
