// The operator-visible texts of the utility in its three languages, held as
// UTF-8. Rows are addressed by message number, columns by language.
#include "text/message_table.h"

#include <array>

namespace ql::text {
namespace {

using Row = std::array<std::string_view, kLanguageCount>;

// clang-format off
constexpr std::array<Row, kMessageCount> kMessageTable = {{
    /*  0 */ {{"QL480TX-V5 upgrade firmware utility V1.02",
              "QL480TX-V5 韧体更新程式 V1.02",
              "QL480TX-V5 韌體更新程式 V1.02"}},
    /*  1 */ {{"Select firmware file",
              "选择韧体档案",
              "選擇韌體檔案"}},
    /*  2 */ {{"&Language",
              "语言(&Language)",
              "語言(&Language)"}},
    /*  3 */ {{"&File",
              "档案(&F)",
              "檔案(&F)"}},
    /*  4 */ {{"&Setup",
              "设定(&S)",
              "設定(&S)"}},
    /*  5 */ {{"E&xit",
              "离开(&x)",
              "離開(&x)"}},
    /*  6 */ {{"&English",
              "&Simplified Chinese(简体)",
              "&Traditional Chinese(繁體)"}},
    /*  7 */ {{"Load firmware file error!",
              "载入韧体档案错误!",
              "載入韌體檔案錯誤!"}},
    /*  8 */ {{"Open communication port error!",
              "开启通讯阜错误!",
              "開啟通訊阜錯誤!"}},
    /*  9 */ {{"Connect device",
              "连线装置",
              "連線裝置"}},
    /* 10 */ {{"Connecting device ...",
              "连线装置中 ...",
              "連線裝置中 ..."}},
    /* 11 */ {{"Connect device error!",
              "连线装置错误!",
              "連線裝置錯誤!"}},
    /* 12 */ {{"Connect device ok.",
              "连线装置完成.",
              "連線裝置完成."}},
    /* 13 */ {{"Firmware file type error!",
              "韧体档案格式错误!",
              "韌體檔案格式錯誤!"}},
    /* 14 */ {{"Programming ...",
              "烧录载入中 ...",
              "燒錄載入中 ..."}},
    /* 15 */ {{"Program/Download error!",
              "烧录载入错误!",
              "燒錄載入錯誤!"}},
    /* 16 */ {{"Program/Download ok.",
              "烧录载入完成.",
              "燒錄載入完成."}},
    /* 17 */ {{"Verifying ...",
              "检查中 ...",
              "檢查中 ..."}},
    /* 18 */ {{"Verify error!",
              "检查错误!",
              "檢查錯誤!"}},
    /* 19 */ {{"Verify ok.",
              "检查完成.",
              "檢查完成."}},
    /* 20 */ {{"Upgrading ...",
              "更新中 ...",
              "更新中 ..."}},
    /* 21 */ {{"Upgrade ok.",
              "更新完成.",
              "更新完成."}},
    /* 22 */ {{"Executing program ...",
              "执行程式中 ...",
              "執行程式中 ..."}},
    /* 23 */ {{"Execute program ok.",
              "执行程式完成.",
              "執行程式完成."}},
    /* 24 */ {{"Execute program error!",
              "执行程式错误!",
              "執行程式錯誤!"}},
    /* 25 */ {{"1. &Select firmware file",
              "1. 选择韧体档案(&S)",
              "1. 選擇韌體檔案(&S)"}},
    /* 26 */ {{"2. &Connect device",
              "2. 连线装置(&C)",
              "2. 連線裝置(&C)"}},
    /* 27 */ {{"3. &Upgrade",
              "3. 更新(&U)",
              "3. 更新(&U)"}},
    /* 28 */ {{"4. &Execute",
              "4. 执行(&E)",
              "4. 執行(&E)"}},
    /* 29 */ {{"Device",
              "装置",
              "裝置"}},
    /* 30 */ {{"COM",
              "串列",
              "串列"}},
    /* 31 */ {{"NET",
              "网路",
              "網路"}},
    /* 32 */ {{"Speed:",
              "速率:",
              "速率:"}},
    /* 33 */ {{"Port:",
              "连接阜:",
              "連接阜:"}},
    /* 34 */ {{"Note !",
              "注意!",
              "注意!"}},
    /* 35 */ {{"Upgrading the firmware of the Product will lost some data on the Product. To ensure data security, it is recommended that you back up your data before update.",
              "注意：更新产品韧体会影响产品上的部分资料，为确保资料安全，建议您在更新韧体前先备份您的资料。",
              "注意：更新產品韌體會影響產品上的部分資料，為確保資料安全，建議您在更新韌體前先備份您的資料。"}},
}};
// clang-format on

}  // namespace

std::string_view Message(int number, Language language) {
  const auto column = static_cast<std::size_t>(language);
  if (number < 0 || number >= kMessageCount || column >= kLanguageCount) {
    return {};
  }
  return kMessageTable[static_cast<std::size_t>(number)][column];
}

}  // namespace ql::text

namespace ql::text {

std::string StripAccelerator(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '&') {
      if (i + 1 < text.size() && text[i + 1] == '&') {
        shown += '&';
        ++i;
      }
      continue;
    }
    shown += text[i];
  }
  return shown;
}

}  // namespace ql::text
