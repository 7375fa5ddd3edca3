// The settings store as one INI file in QSettings's format. Every value sits
// at the top level of the file (QSettings writes such keys under [General]);
// value names are matched exactly, letter case included.
#include "settings/qsettings_store.h"

#include <QFile>
#include <QLockFile>
#include <QStandardPaths>
#include <QStringDecoder>
#include <filesystem>
#include <limits>
#include <system_error>

#include "settings/settings_file.h"

namespace ql::settings {
namespace {

// Another program saving the same file (through QSettings, say) holds this
// lock while it writes; waiting longer would hold up the window.
constexpr int kLockWaitMs = 1000;

// Texts in memory are UTF-8. QString::fromUtf8 would drop a U+FEFF at the
// start, taking it for a byte-order mark: every character is kept here.
QString FromUtf8(std::string_view text) {
  QStringDecoder fromUtf8(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom |
                                                    QStringDecoder::Flag::Stateless);
  return fromUtf8(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

std::string Native(const QString& path) {
  return QFile::encodeName(path).toStdString();
}

bool IsBlank(QChar c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// A text as a 32-bit integer: blanks around it allowed, then an optional
// sign and decimal digits only.
std::optional<std::uint32_t> IntegerOf(QStringView text) {
  while (!text.isEmpty() && IsBlank(text.front())) {
    text = text.sliced(1);
  }
  while (!text.isEmpty() && IsBlank(text.back())) {
    text.chop(1);
  }
  bool negative = false;
  if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
    negative = text.front() == u'-';
    text = text.sliced(1);
  }
  if (text.isEmpty()) {
    return std::nullopt;
  }
  constexpr std::int64_t kMax = std::numeric_limits<std::uint32_t>::max();
  constexpr std::int64_t kMinMagnitude = -std::int64_t{std::numeric_limits<std::int32_t>::min()};
  std::int64_t magnitude = 0;
  for (const QChar c : text) {
    if (c < u'0' || c > u'9') {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + (c.unicode() - u'0');
    if (magnitude > kMax) {
      return std::nullopt;
    }
  }
  if (negative && magnitude > kMinMagnitude) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(negative ? -magnitude : magnitude);
}

}  // namespace

QString DefaultSettingsPath() {
  const QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  if (folder.isEmpty()) {
    return {};
  }
  return folder + u'/' + QLatin1StringView(kOrganization) + u'/' + QLatin1StringView(kApplication) +
         QLatin1StringView(".ini");
}

QSettingsStore::QSettingsStore() : path_(DefaultSettingsPath()) {}

QSettingsStore::QSettingsStore(QString path) : path_(std::move(path)) {}

QSettingsStore::~QSettingsStore() {
  Close();
}

bool QSettingsStore::Open(bool create) {
  Close();
  if (path_.isEmpty()) {
    return false;
  }
  if (!create) {
    // Reading never creates anything: no file means no stored settings.
    // Lines that are not values (a hand edit gone wrong) are skipped, as
    // QSettings skips them.
    SettingsFile file = ReadSettingsFile(Native(path_));
    if (file.state != SettingsFile::State::Read) {
      return false;
    }
    document_.emplace(std::move(file.bytes));
    return true;
  }

  const std::optional<std::string> target = SaveTarget(Native(path_));
  if (!target) {
    return false;
  }
  SettingsFile file = ReadSettingsFile(*target);
  if (file.state == SettingsFile::State::Unusable) {
    return false;
  }
  if (file.state == SettingsFile::State::Absent) {
    // The folder appears now; the file only with the first value written.
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(*target).parent_path(), error);
  }
  if (!MayReplace(*target)) {
    return false;
  }
  document_.emplace(std::move(file.bytes));
  writable_ = true;
  return true;
}

bool QSettingsStore::Exists(std::string_view name) {
  return document_ && document_->TopLevel(FromUtf8(name)).has_value();
}

std::optional<std::uint32_t> QSettingsStore::ReadInt(std::string_view name) {
  if (!document_) {
    return std::nullopt;
  }
  // An INI file holds every number as text.
  const std::optional<IniValue> value = document_->TopLevel(FromUtf8(name));
  if (!value || value->kind != IniValue::Kind::Text) {
    return std::nullopt;
  }
  return IntegerOf(value->text);
}

std::optional<std::string> QSettingsStore::ReadString(std::string_view name) {
  if (!document_) {
    return std::nullopt;
  }
  const std::optional<IniValue> value = document_->TopLevel(FromUtf8(name));
  if (!value || value->kind != IniValue::Kind::Text) {
    return std::nullopt;
  }
  return value->text.toStdString();
}

bool QSettingsStore::WriteInt(std::string_view name, std::uint32_t value) {
  return Write(name, QString::number(value));
}

bool QSettingsStore::WriteString(std::string_view name, std::string_view value) {
  return Write(name, FromUtf8(value));
}

bool QSettingsStore::Write(std::string_view name, const QString& text) {
  if (!writable_) {
    return false;
  }
  // The file is looked at afresh for every write: another program may have
  // saved it meanwhile, or put something else in its place.
  const std::optional<std::string> target = SaveTarget(Native(path_));
  if (!target) {
    return false;
  }
  QLockFile lock(QFile::decodeName(QByteArray::fromStdString(*target)) +
                 QLatin1StringView(".lock"));
  if (!lock.tryLock(kLockWaitMs)) {
    return false;
  }
  SettingsFile file = ReadSettingsFile(*target);
  if (file.state == SettingsFile::State::Unusable) {
    return false;
  }
  IniDocument document(std::move(file.bytes));
  // A file grown past the size the next start reads would lose every value.
  if (!document.SetTopLevel(FromUtf8(name), text) ||
      document.Bytes().size() > kMaxSettingsFileBytes || !ReplaceFile(*target, document.Bytes())) {
    return false;
  }
  document_ = std::move(document);
  return true;
}

void QSettingsStore::Close() {
  document_.reset();
  writable_ = false;
}

QString QSettingsStore::FilePath() const {
  return path_;
}

}  // namespace ql::settings
