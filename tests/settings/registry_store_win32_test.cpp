// The settings store and the port list in the registry, under keys of the
// test's own: where values are read from (the user's key, else the
// machine's 32-bit view, else its 64-bit view), that saves go to the user's
// key only, the registry types of each value, and the serial-port map's
// order and types. The rules themselves (defaults, reading stops at a value
// of the wrong type) are those of settings_rules_test, here over the real
// registry.
#include <windows.h>

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "settings/port_list.h"
#include "settings/registry_store_win32.h"
#include "settings/settings.h"

namespace ql::settings {
namespace {

class RegistryTest : public ::testing::Test {
 protected:
  RegistryTest() {
    std::random_device seed;
    path_ = L"Software\\ql480tx-tests\\" + std::to_wstring(seed()) + L"\\QL480TX_FirmwareUpgrade";
  }
  ~RegistryTest() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\ql480tx-tests");
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      HKEY software = nullptr;
      if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, &software) ==
          ERROR_SUCCESS) {
        ::RegDeleteTreeW(software, L"ql480tx-tests");
        ::RegCloseKey(software);
      }
    }
  }

  // Sets a value of any type under `root` in `view`, creating the key.
  void Set(HKEY root, REGSAM view, const std::wstring& path, const wchar_t* name, DWORD type,
           const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr,
                                &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    ::RegCloseKey(key);
  }
  void SetText(HKEY root, REGSAM view, const wchar_t* name, const std::wstring& text,
               DWORD type = REG_SZ) {
    Set(root, view, path_, name, type, text.c_str(),
        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  void SetNumber(HKEY root, REGSAM view, const wchar_t* name, DWORD value) {
    Set(root, view, path_, name, REG_DWORD, &value, sizeof value);
  }

  bool KeyExists(HKEY root, REGSAM view = 0) const {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(root, path_.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) {
      return false;
    }
    ::RegCloseKey(key);
    return true;
  }

  // The type and size of a value of the user's key.
  std::pair<DWORD, DWORD> TypeAndSize(const wchar_t* name) const {
    DWORD type = 0;
    DWORD size = 0;
    ::RegGetValueW(HKEY_CURRENT_USER, path_.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type,
                   nullptr, &size);
    return {type, size};
  }

  std::wstring path_;
};

TEST_F(RegistryTest, FirstStartReadsDefaultsAndWritesNothing) {
  RegistryStore store(path_);
  const Settings loaded = LoadSettings(store);
  EXPECT_EQ(loaded.link, link::LinkSettings{});
  EXPECT_EQ(loaded.languageFlag, "English");
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER));
}

TEST_F(RegistryTest, SavesGoToTheUsersKeyWithTheirRegistryTypes) {
  RegistryStore store(path_);
  SaveLanguage(store, "ChineseGB");
  ASSERT_TRUE(KeyExists(HKEY_CURRENT_USER));
  // A first save that is a language choice stores the language alone.
  EXPECT_EQ(LoadSettings(store).link, link::LinkSettings{});

  link::LinkSettings link;
  link.linkKind = link::LinkKind::Tcp;
  link.netIp = "10.0.0.7";
  link.netPort = "";
  link.comPortName = "COM12 \xE4\xB8\xB2\xE5\x8F\xA3";  // "COM12 串口"
  link.comBaudRate = std::string("115200,e,8,1\0x", 14);
  SaveLinkSettings(store, link);

  EXPECT_EQ(TypeAndSize(L"TYPE"), std::make_pair(DWORD{REG_DWORD}, DWORD{4}));
  // Strings with their terminating NUL counted.
  EXPECT_EQ(TypeAndSize(L"NetIP"), std::make_pair(DWORD{REG_SZ}, DWORD{9 * 2}));
  EXPECT_EQ(TypeAndSize(L"NetPort"), std::make_pair(DWORD{REG_SZ}, DWORD{2}));
  EXPECT_EQ(TypeAndSize(L"LanguageFlag").first, DWORD{REG_SZ});

  const Settings loaded = LoadSettings(store);
  EXPECT_EQ(loaded.link, link);
  EXPECT_EQ(loaded.currentLanguage, text::Language::Simplified);
}

TEST_F(RegistryTest, WhileTheUsersKeyIsAbsentTheMachinesIsRead32BitViewFirst) {
  SetText(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY, L"ComPortName", L"COM64");
  {
    RegistryStore store(path_);
    EXPECT_EQ(LoadSettings(store).link.comPortName, "COM64");
    ASSERT_TRUE(store.Open(false));
    EXPECT_EQ(store.Source(), RegistrySource::Machine64);
    store.Close();
  }
  SetNumber(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, L"TYPE", 1);
  SetText(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, L"ComPortName", L"COM32");
  SetText(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY, L"LanguageFlag", L"ChineseBIG5");
  RegistryStore store(path_);
  const Settings fromMachine = LoadSettings(store);
  EXPECT_EQ(fromMachine.link.comPortName, "COM32");
  EXPECT_EQ(fromMachine.link.linkKind, link::LinkKind::Tcp);
  EXPECT_EQ(fromMachine.currentLanguage, text::Language::Traditional);
  ASSERT_TRUE(store.Open(false));
  EXPECT_EQ(store.Source(), RegistrySource::Machine32);
  // Read access only: nothing is ever written there.
  EXPECT_FALSE(store.WriteString("ComPortName", "COM1"));
  store.Close();

  // The first save writes the user's key, and from then on only it is read.
  SaveLanguage(store, "English");
  const Settings fromUser = LoadSettings(store);
  EXPECT_EQ(fromUser.link, link::LinkSettings{});
  EXPECT_EQ(fromUser.currentLanguage, text::Language::English);
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, KEY_WOW64_32KEY));
}

TEST_F(RegistryTest, AValueOfTheWrongTypeEndsTheReadingThere) {
  SetText(HKEY_CURRENT_USER, 0, L"TYPE", L"1");
  RegistryStore store(path_);
  EXPECT_EQ(LoadSettings(store).link.linkKind, link::LinkKind::Serial);

  SetNumber(HKEY_CURRENT_USER, 0, L"TYPE", 1);
  SetText(HKEY_CURRENT_USER, 0, L"ComBaudRate", L"9600,n,8,1");
  SetText(HKEY_CURRENT_USER, 0, L"ComPortName", L"%PORT%", REG_EXPAND_SZ);
  SetText(HKEY_CURRENT_USER, 0, L"NetIP", L"10.0.0.9");
  const Settings loaded = LoadSettings(store);
  EXPECT_EQ(loaded.link.linkKind, link::LinkKind::Tcp);
  EXPECT_EQ(loaded.link.comBaudRate, "9600,n,8,1");
  EXPECT_EQ(loaded.link.comPortName, "COM1");
  EXPECT_EQ(loaded.link.netIp, "192.168.1.101");

  SetText(HKEY_CURRENT_USER, 0, L"ComPortName", L"COM3");
  SetNumber(HKEY_CURRENT_USER, 0, L"NetIP", 7);
  EXPECT_EQ(LoadSettings(store).link.comPortName, "COM3");
  EXPECT_EQ(LoadSettings(store).link.netIp, "192.168.1.101");

  const unsigned long long wide = 1;
  Set(HKEY_CURRENT_USER, 0, path_, L"TYPE", REG_QWORD, &wide, sizeof wide);
  EXPECT_EQ(LoadSettings(store).link.comPortName, "COM1");
}

TEST_F(RegistryTest, TheSerialPortMapIsReadInItsOrderAndStopsAtAValueThatIsNoText) {
  const std::wstring map = path_ + L"\\SERIALCOMM";
  EXPECT_TRUE(RegistryStringValues(HKEY_CURRENT_USER, map).empty());
  EXPECT_EQ(BuildPortList(RegistryStringValues(HKEY_CURRENT_USER, map)).size(), 16U);

  // Listed as the registry lists them, never sorted by port: value names in
  // the same order whether it lists values as they were made (Windows) or
  // by name (Wine), port names out of order.
  const std::pair<const wchar_t*, const wchar_t*> ports[] = {{L"\\Device\\Serial0", L" COM3 "},
                                                             {L"\\Device\\Serial1", L"COM10"},
                                                             {L"\\Device\\Serial2", L"COM1"}};
  for (const auto& [name, port] : ports) {
    const std::wstring text = port;
    Set(HKEY_CURRENT_USER, 0, map, name, REG_SZ, text.c_str(),
        static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  }
  const std::vector<std::string> found = RegistryStringValues(HKEY_CURRENT_USER, map);
  ASSERT_EQ(found.size(), 3U);
  EXPECT_EQ(BuildPortList(found), (std::vector<std::string>{"COM3", "COM10", "COM1"}));

  // Value names that come after the others whether the registry lists
  // values as they were made (Windows) or by name (Wine).
  const DWORD number = 4;
  Set(HKEY_CURRENT_USER, 0, map, L"\\Device\\Zz", REG_DWORD, &number, sizeof number);
  const std::wstring last = L"COM4";
  Set(HKEY_CURRENT_USER, 0, map, L"\\Device\\Zzz", REG_SZ, last.c_str(),
      static_cast<DWORD>((last.size() + 1) * sizeof(wchar_t)));
  EXPECT_EQ(RegistryStringValues(HKEY_CURRENT_USER, map).size(), 3U);
}

}  // namespace
}  // namespace ql::settings
