// The settings store as one INI file read and written through QSettings.
// Every value sits at the top level of the file (QSettings writes such keys
// under [General]); value names are matched exactly, letter case included.
#include "settings/qsettings_store.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QVariant>
#include <algorithm>
#include <limits>
#include <string_view>

namespace ql::settings {
namespace {

QString Key(std::string_view name) {
  return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

// Escapes that stand for a fixed character other than '@'.
bool IsPlainEscape(char c) {
  return std::string_view("abfnrtv\"'?\\").find(c) != std::string_view::npos;
}

int DigitValue(char c, int base) {
  const int value = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : base;
  return value < base ? value : -1;
}

// QSettings reads a value, or an element of a list, that begins with a
// single '@' as a serialised object: "@Variant(...)" rebuilds any registered
// type from the bytes that follow, however large or deeply nested they claim
// to be (a 64-byte file asks for 21 GB; a few hundred kilobytes of nesting
// overflow the stack). This program stores only texts and one number, and
// QSettings writes a text that begins with '@' as "@@", so no file it wrote
// holds such a value. Checked on the raw bytes before QSettings parses them,
// erring on the safe side: wherever a value or an element may begin (after
// '=', ',' or a line break, past blanks and quotes), a single '@', an
// escape that stands for '@' (QSettings reads all the digits of a
// hexadecimal or octal escape into 16 bits), or any escape it does not know.
bool MayHoldSerialisedValue(const QByteArray& bytes) {
  bool atStart = true;
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '=' || c == ',' || c == '\n' || c == '\r') {
      atStart = true;
      continue;
    }
    if (!atStart || c == ' ' || c == '\t' || c == '"') {
      continue;
    }
    atStart = false;
    const char next = i + 1 < bytes.size() ? bytes[i + 1] : '\0';
    if (c == '@' && next != '@') {
      return true;
    }
    if (c != '\\' || IsPlainEscape(next)) {
      continue;
    }
    const int base = next == 'x' ? 16 : next >= '0' && next <= '7' ? 8 : 0;
    if (base == 0) {
      return true;
    }
    qsizetype j = base == 16 ? i + 2 : i + 1;
    char16_t value = 0;
    const qsizetype firstDigit = j;
    for (int digit = 0; j < bytes.size() && (digit = DigitValue(bytes[j], base)) >= 0; ++j) {
      value = static_cast<char16_t>(value * base + digit);
    }
    if (j == firstDigit || value == u'@') {
      return true;
    }
    i = j - 1;
  }
  return false;
}

// A file that exists but cannot be read must not be opened for writing
// either: QSettings would take it as empty and the next save would replace
// every value it holds. A file holding a serialised value counts as one that
// cannot be read: QSettings would parse it on reading and on saving alike.
bool ExistsUnreadable(const QString& path) {
  if (!QFileInfo::exists(path)) {
    return false;
  }
  QFile file(path);
  return !file.open(QIODevice::ReadOnly) || MayHoldSerialisedValue(file.readAll());
}

std::optional<std::uint32_t> InRange(qlonglong value) {
  if (value < 0 || value > static_cast<qlonglong>(std::numeric_limits<std::uint32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

QSettingsStore::QSettingsStore()
    : path_(QSettings(QSettings::IniFormat, QSettings::UserScope, kOrganization, kApplication)
                .fileName()) {}

QSettingsStore::QSettingsStore(QString path) : path_(std::move(path)) {}

QSettingsStore::~QSettingsStore() {
  Close();
}

bool QSettingsStore::Open(bool create) {
  Close();
  if (create) {
    if (ExistsUnreadable(path_)) {
      return false;
    }
    // isWritable() creates the folder when it is missing; the file itself
    // appears only when the first value is written.
    auto settings = std::make_unique<QSettings>(path_, QSettings::IniFormat);
    if (!settings->isWritable()) {
      return false;
    }
    settings_ = std::move(settings);
    return true;
  }

  // Reading never creates anything: no file means no stored settings. Lines
  // QSettings cannot parse (a hand edit gone wrong) are skipped, and the
  // values it could parse are used.
  if (!QFileInfo(path_).isFile() || ExistsUnreadable(path_)) {
    return false;
  }
  auto settings = std::make_unique<QSettings>(path_, QSettings::IniFormat);
  if (settings->childKeys().isEmpty()) {
    return false;
  }
  settings_ = std::move(settings);
  return true;
}

bool QSettingsStore::Exists(std::string_view name) {
  return settings_ && settings_->contains(Key(name));
}

std::optional<std::uint32_t> QSettingsStore::ReadInt(std::string_view name) {
  if (!settings_) {
    return std::nullopt;
  }
  const QVariant value = settings_->value(Key(name));
  switch (value.typeId()) {
    case QMetaType::QString: {
      // An INI file holds every number as text: only a plain decimal number
      // in the 32-bit range is an integer value.
      const QString text = value.toString();
      const bool digitsOnly = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c >= u'0' && c <= u'9';
      });
      bool ok = false;
      const uint number = text.toUInt(&ok, 10);
      if (!digitsOnly || !ok) {
        return std::nullopt;
      }
      return static_cast<std::uint32_t>(number);
    }
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
      return InRange(value.toLongLong());
    case QMetaType::ULongLong:
      return value.toULongLong() <= std::numeric_limits<std::uint32_t>::max()
                 ? std::optional<std::uint32_t>(static_cast<std::uint32_t>(value.toULongLong()))
                 : std::nullopt;
    default:
      return std::nullopt;
  }
}

std::optional<std::string> QSettingsStore::ReadString(std::string_view name) {
  if (!settings_) {
    return std::nullopt;
  }
  // Only a plain string qualifies: unquoted commas make QSettings read a
  // list, and a list (or any other type) is a value of the wrong type.
  const QVariant value = settings_->value(Key(name));
  if (value.typeId() != QMetaType::QString) {
    return std::nullopt;
  }
  std::string text = value.toString().toStdString();
  // Stored strings end at their first NUL, as the settings have always been
  // kept; what follows it is not part of the value.
  if (const auto nul = text.find('\0'); nul != std::string::npos) {
    text.resize(nul);
  }
  return text;
}

// Each write goes to the file at once, so a write that fails is known at that
// value and the values written before it are already stored. QSettings keeps
// the first error it meets: a parse error in a hand-edited file would hide a
// later write error, so only an access error counts as a failed write.
bool QSettingsStore::WriteInt(std::string_view name, std::uint32_t value) {
  if (!settings_) {
    return false;
  }
  settings_->setValue(Key(name), static_cast<uint>(value));
  settings_->sync();
  return settings_->status() != QSettings::AccessError;
}

bool QSettingsStore::WriteString(std::string_view name, std::string_view value) {
  if (!settings_) {
    return false;
  }
  // QSettings quotes a string that holds commas, so it reads back as one
  // string and not as a list.
  settings_->setValue(Key(name), Key(value));
  settings_->sync();
  return settings_->status() != QSettings::AccessError;
}

void QSettingsStore::Close() {
  if (settings_) {
    settings_->sync();
    settings_.reset();
  }
}

QString QSettingsStore::FilePath() const {
  return path_;
}

}  // namespace ql::settings
