// Reading and editing the INI text QSettings (Qt 6) writes. The reader
// follows QSettings's own rules step for step, quirks included (a backslash
// before an unknown letter drops both, hexadecimal and octal escapes take
// every digit that follows into 16 bits, a value with an unquoted comma is a
// list, sections of the same name are read as one, the last of a name wins),
// so that every file means here what it means to QSettings.
#include "settings/ini_document.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringView>
#include <algorithm>
#include <array>
#include <utility>

namespace ql::settings {
namespace {

constexpr QByteArrayView kByteOrderMark("\xef\xbb\xbf");

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

bool IsAsciiSpace(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Characters that end a line, and those the line scanner looks at.
bool IsLineSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
bool IsLineSpecial(char c) {
  return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

bool IsHexDigit(char16_t c) {
  return c < 0x80 && HexValue(static_cast<char>(c)) >= 0;
}

QByteArrayView Trimmed(QByteArrayView text) {
  while (!text.isEmpty() && IsAsciiSpace(text.front())) {
    text = text.sliced(1);
  }
  while (!text.isEmpty() && IsAsciiSpace(text.back())) {
    text.chop(1);
  }
  return text;
}

// One line as QSettings reads it, from `pos` on: blanks and line breaks
// before it skipped, a comment line (';' first) skipped whole, and the line
// ending at a line break or a ';' outside quotes. A backslash shields the
// character after it; inside quotes line breaks are part of the line.
// `equals` is the first '=' outside quotes, or -1. False when nothing is left.
bool ReadLine(QByteArrayView data, qsizetype& pos, qsizetype& start, qsizetype& length,
              qsizetype& equals) {
  const qsizetype size = data.size();
  bool inQuotes = false;
  equals = -1;
  start = pos;
  while (start < size && IsLineSpace(data[start])) {
    ++start;
  }
  qsizetype i = start;
  while (i < size) {
    char c = data[i];
    while (!IsLineSpecial(c)) {
      if (++i == size) {
        pos = i;
        length = i - start;
        return length > 0;
      }
      c = data[i];
    }
    ++i;
    if (c == '=') {
      if (!inQuotes && equals == -1) {
        equals = i - 1;
      }
    } else if (c == '\n' || c == '\r') {
      if (i == start + 1) {
        ++start;
      } else if (!inQuotes) {
        --i;
        break;
      }
    } else if (c == '\\') {
      if (i < size) {
        const char shielded = data[i++];
        if (i < size) {
          const char next = data[i];
          if ((shielded == '\n' && next == '\r') || (shielded == '\r' && next == '\n')) {
            ++i;
          }
        }
      }
    } else if (c == '"') {
      inQuotes = !inQuotes;
    } else {  // ';'
      if (i == start + 1) {
        while (i < size && data[i] != '\n' && data[i] != '\r') {
          ++i;
        }
        while (i < size && IsLineSpace(data[i])) {
          ++i;
        }
        start = i;
      } else if (!inQuotes) {
        --i;
        break;
      }
    }
  }
  pos = i;
  length = i - start;
  return length > 0;
}

// A key or section name: UTF-8, '\' for '/', %XX and %UXXXX for any other
// character.
QString UnescapedKey(QByteArrayView key) {
  const QString decoded = QString::fromUtf8(key);
  const qsizetype size = decoded.size();
  QString result;
  result.reserve(size);
  qsizetype i = 0;
  while (i < size) {
    const QChar c = decoded[i];
    if (c == u'\\') {
      result += u'/';
      ++i;
      continue;
    }
    if (c != u'%' || i == size - 1) {
      result += c;
      ++i;
      continue;
    }
    int digits = 2;
    qsizetype first = i + 1;
    if (decoded[i + 1] == u'U') {
      ++first;
      digits = 4;
    }
    if (first + digits > size) {
      result += u'%';
      ++i;
      continue;
    }
    bool ok = false;
    const ushort code = QStringView(decoded).sliced(first, digits).toUShort(&ok, 16);
    if (!ok) {
      result += u'%';
      ++i;
      continue;
    }
    result += QChar(code);
    i = first + digits;
  }
  return result;
}

void ChopTrailingBlanks(QString& text, qsizetype limit) {
  qsizetype n = text.size() - 1;
  while (n >= limit && (text[n] == u' ' || text[n] == u'\t')) {
    text.truncate(n--);
  }
}

char PlainEscape(char c) {
  static constexpr std::array<std::pair<char, char>, 11> kEscapes = {{{'a', '\a'},
                                                                      {'b', '\b'},
                                                                      {'f', '\f'},
                                                                      {'n', '\n'},
                                                                      {'r', '\r'},
                                                                      {'t', '\t'},
                                                                      {'v', '\v'},
                                                                      {'"', '"'},
                                                                      {'?', '?'},
                                                                      {'\'', '\''},
                                                                      {'\\', '\\'}}};
  for (const auto& [letter, value] : kEscapes) {
    if (c == letter) {
      return value;
    }
  }
  return 0;
}

// The text of a value: escapes resolved, quotes removed, blanks around
// unquoted parts dropped. True when unquoted commas make it a list, whose
// elements are then in `list`.
bool UnescapedValue(QByteArrayView value, QString& text, QStringList& list) {
  enum class State { SkipBlanks, Normal, Hex, Octal };
  const qsizetype size = value.size();
  bool isList = false;
  bool inQuotes = false;
  bool quoted = false;
  char16_t escaped = 0;
  qsizetype i = 0;
  qsizetype chopLimit = 0;
  // UTF-8 runs are decoded with one decoder for the whole value, so a
  // character split by an escape still comes out, after the escape.
  QStringDecoder fromUtf8(QStringDecoder::Utf8);
  const auto finish = [&] {
    if (isList) {
      list.append(text);
    }
    return isList;
  };
  const auto toNormal = [&] {
    chopLimit = text.size();
    return State::Normal;
  };

  State state = State::SkipBlanks;
  for (;;) {
    switch (state) {
      case State::SkipBlanks:
        while (i < size && IsBlank(value[i])) {
          ++i;
        }
        state = toNormal();
        break;

      case State::Normal: {
        if (i >= size) {
          if (!quoted) {
            ChopTrailingBlanks(text, chopLimit);
          }
          return finish();
        }
        const char c = value[i];
        if (c == '\\') {
          ++i;
          if (i >= size) {
            return finish();
          }
          const char letter = value[i++];
          if (const char plain = PlainEscape(letter); plain != 0) {
            text += QLatin1Char(plain);
            state = toNormal();
            break;
          }
          if (letter == 'x') {
            escaped = 0;
            if (i >= size) {
              return finish();
            }
            if (HexValue(value[i]) >= 0) {
              state = State::Hex;
              break;
            }
          } else if (letter >= '0' && letter <= '7') {
            escaped = static_cast<char16_t>(letter - '0');
            state = State::Octal;
            break;
          } else if (letter == '\n' || letter == '\r') {
            if (i < size && (value[i] == '\n' || value[i] == '\r') && value[i] != letter) {
              ++i;
            }
          }
          // Any other letter is dropped together with its backslash.
          chopLimit = text.size();
          break;
        }
        if (c == '"') {
          ++i;
          quoted = true;
          inQuotes = !inQuotes;
          if (!inQuotes) {
            state = State::SkipBlanks;
          }
          break;
        }
        if (c == ',' && !inQuotes) {
          if (!quoted) {
            ChopTrailingBlanks(text, chopLimit);
          }
          if (!isList) {
            isList = true;
            list.clear();
          }
          list.append(text);
          text.clear();
          quoted = false;
          ++i;
          state = State::SkipBlanks;
          break;
        }
        qsizetype j = i + 1;
        while (j < size && value[j] != '\\' && value[j] != '"' && value[j] != ',') {
          ++j;
        }
        text += fromUtf8(value.sliced(i, j - i));
        i = j;
        break;
      }

      case State::Hex:
        if (i >= size) {
          text += QChar(escaped);
          return finish();
        }
        if (const int digit = HexValue(value[i]); digit >= 0) {
          escaped = static_cast<char16_t>((escaped << 4) + digit);
          ++i;
        } else {
          text += QChar(escaped);
          state = toNormal();
        }
        break;

      case State::Octal:
        if (i >= size) {
          text += QChar(escaped);
          return finish();
        }
        if (value[i] >= '0' && value[i] <= '7') {
          escaped = static_cast<char16_t>((escaped << 3) + (value[i] - '0'));
          ++i;
        } else {
          text += QChar(escaped);
          state = toNormal();
        }
        break;
    }
  }
}

// The number of arguments QSettings finds in "@Rect(1 2 3 4)" and its kin:
// every blank and every ')' after the opening parenthesis ends one.
qsizetype ArgumentCount(const QString& text, qsizetype open) {
  qsizetype count = 0;
  for (qsizetype i = open + 1; i < text.size(); ++i) {
    if (text[i] == u' ' || text[i] == u')') {
      ++count;
    }
  }
  return count;
}

// What QSettings makes of one string: a text beginning with '@' and ending
// with ')' may name an object; "@@" stands for a text beginning with '@'.
IniValue StringValue(const QString& text) {
  IniValue value;
  value.text = text;
  if (text.startsWith(u'@')) {
    if (text.endsWith(u')')) {
      if (text.startsWith(QLatin1StringView("@ByteArray("))) {
        value.kind = IniValue::Kind::Other;
        return value;
      }
      if (text.startsWith(QLatin1StringView("@String("))) {
        value.text = QStringView(text).sliced(8).chopped(1).toString();
        return value;
      }
      if (text.startsWith(QLatin1StringView("@Variant(")) ||
          text.startsWith(QLatin1StringView("@DateTime("))) {
        value.kind = IniValue::Kind::Serialised;
        return value;
      }
      const bool geometry =
          (text.startsWith(QLatin1StringView("@Rect(")) && ArgumentCount(text, 5) == 4) ||
          (text.startsWith(QLatin1StringView("@Size(")) && ArgumentCount(text, 5) == 2) ||
          (text.startsWith(QLatin1StringView("@Point(")) && ArgumentCount(text, 6) == 2);
      if (geometry || text == QLatin1StringView("@Invalid()")) {
        value.kind = IniValue::Kind::Other;
        return value;
      }
    }
    if (text.startsWith(QLatin1StringView("@@"))) {
      value.text = text.sliced(1);
    }
  }
  return value;
}

// A list is a list of strings unless an element begins with a single '@';
// then every element is taken as StringValue takes it.
IniValue ListValue(const QStringList& elements) {
  IniValue value;
  value.isList = true;
  value.list = elements;
  value.kind = IniValue::Kind::TextList;
  for (const QString& element : elements) {
    if (element.startsWith(u'@') && (element.size() < 2 || element[1] != u'@')) {
      value.kind = IniValue::Kind::Other;
    }
  }
  if (value.kind == IniValue::Kind::TextList) {
    for (QString& element : value.list) {
      if (element.startsWith(u'@')) {
        element.remove(0, 1);
      }
    }
    return value;
  }
  for (const QString& element : elements) {
    if (StringValue(element).kind == IniValue::Kind::Serialised) {
      value.kind = IniValue::Kind::Serialised;
    }
  }
  return value;
}

QByteArray EscapedKey(const QString& key) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  QByteArray result;
  for (const QChar qc : key) {
    uint c = qc.unicode();
    if (c == '/') {
      result += '\\';
    } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-' || c == '.') {
      result += static_cast<char>(c);
    } else if (c <= 0xFF) {
      result += '%';
      result += kHex[c / 16];
      result += kHex[c % 16];
    } else {
      result += "%U";
      char digits[4];
      for (int i = 3; i >= 0; --i) {
        digits[i] = kHex[c % 16];
        c >>= 4;
      }
      result.append(digits, 4);
    }
  }
  return result;
}

}  // namespace

QByteArray IniEscapedString(const QString& text) {
  // A string QSettings writes is always UTF-8; only a text that begins with
  // "@ByteArray(", "@Variant(" or "@DateTime(" would not be, and after the
  // doubling of a leading '@' no text of ours does.
  QString s = text;
  if (s.contains(QChar::Null)) {
    s = QLatin1StringView("@String(") + s + u')';
  } else if (s.startsWith(u'@')) {
    s.prepend(u'@');
  }

  QByteArray result;
  result.reserve(s.size() * 3 / 2);
  QStringEncoder toUtf8(QStringEncoder::Utf8);
  bool needsQuotes = false;
  // After a numeric escape a hexadecimal digit would be read as part of it.
  bool escapeNextIfDigit = false;
  for (const QChar qc : s) {
    const char16_t c = qc.unicode();
    if (c == u';' || c == u',' || c == u'=') {
      needsQuotes = true;
    }
    if (escapeNextIfDigit && IsHexDigit(c)) {
      result += "\\x" + QByteArray::number(c, 16);
      continue;
    }
    escapeNextIfDigit = false;
    switch (c) {
      case u'\0':
        result += "\\0";
        escapeNextIfDigit = true;
        break;
      case u'\a':
        result += "\\a";
        break;
      case u'\b':
        result += "\\b";
        break;
      case u'\f':
        result += "\\f";
        break;
      case u'\n':
        result += "\\n";
        break;
      case u'\r':
        result += "\\r";
        break;
      case u'\t':
        result += "\\t";
        break;
      case u'\v':
        result += "\\v";
        break;
      case u'"':
      case u'\\':
        result += '\\';
        result += static_cast<char>(c);
        break;
      default:
        // U+FEFF is escaped where QSettings writes it as UTF-8: its reader
        // takes those bytes for a byte-order mark and drops them when they
        // begin the first run of UTF-8 in a value, so the text would come
        // back without it.
        if (c <= 0x1F || c == 0xFEFF) {
          result += "\\x" + QByteArray::number(c, 16);
          escapeNextIfDigit = true;
        } else {
          result += toUtf8(QStringView(&qc, 1));
        }
    }
  }
  if (needsQuotes || (!result.isEmpty() && (result.front() == ' ' || result.back() == ' '))) {
    result.prepend('"');
    result += '"';
  }
  return result;
}

IniDocument::IniDocument(QByteArray bytes) : bytes_(std::move(bytes)) {
  Parse();
}

void IniDocument::Parse() {
  entries_.clear();
  values_.clear();
  firstGeneralHeaderEnd_.reset();
  const QByteArrayView data(bytes_);
  bodyStart_ = data.startsWith(kByteOrderMark) ? kByteOrderMark.size() : 0;

  // First the lines as QSettings looks for sections, past a byte-order mark.
  struct Line {
    qsizetype start;
    qsizetype length;
    qsizetype equals;
  };
  std::vector<Line> lines;
  qsizetype firstSection = data.size();
  qsizetype pos = bodyStart_;
  Line line{};
  while (ReadLine(data, pos, line.start, line.length, line.equals)) {
    if (data[line.start] == '[' && firstSection == data.size()) {
      firstSection = line.start;
    }
    lines.push_back(line);
  }
  // QSettings then reads the lines before the first section again from the
  // very start of the file, the byte-order mark included: it becomes part of
  // the first line (blanks after it stay in the first name, and a second
  // mark is a character of it).
  std::vector<Line> ordered;
  const QByteArrayView head = data.first(firstSection);
  pos = 0;
  while (ReadLine(head, pos, line.start, line.length, line.equals)) {
    ordered.push_back(line);
  }
  const std::size_t headLines = ordered.size();
  for (const Line& later : lines) {
    if (later.start >= firstSection) {
      ordered.push_back(later);
    }
  }

  // The values of each section in file order; sections of the same name
  // are read as one.
  std::map<QString, std::vector<std::pair<QString, IniValue>>> sections;
  QString section;  // "" at the top level, else "Name/"
  for (std::size_t i = 0; i < ordered.size(); ++i) {
    const Line& at = ordered[i];
    const QByteArrayView text = data.sliced(at.start, at.length);
    if (i >= headLines && text.startsWith('[')) {
      qsizetype close = text.indexOf(']');
      if (close < 0) {
        close = at.length;
      }
      const QByteArrayView name = Trimmed(text.first(close).sliced(1));
      if (name.compare("general", Qt::CaseInsensitive) == 0) {
        section.clear();
        if (!firstGeneralHeaderEnd_) {
          firstGeneralHeaderEnd_ = at.start + at.length;
        }
      } else if (name.compare("%general", Qt::CaseInsensitive) == 0) {
        section = QString::fromLatin1(name.sliced(1)) + u'/';
      } else {
        section = UnescapedKey(name) + u'/';
      }
      continue;
    }
    if (at.equals < 0) {
      continue;
    }
    const qsizetype split = at.equals - at.start;
    QString key = section + UnescapedKey(Trimmed(text.first(split)));
    QString unescaped;
    QStringList list;
    IniValue value = UnescapedValue(text.sliced(split + 1), unescaped, list)
                         ? ListValue(list)
                         : StringValue(unescaped);
    entries_.push_back({key, section.isEmpty(), at.start, at.start + at.length});
    sections[section].emplace_back(std::move(key), std::move(value));
  }
  // QSettings reads the sections in the order of their names, and the last
  // value of a name wins.
  for (auto& [name, values] : sections) {
    for (auto& [key, value] : values) {
      values_.insert_or_assign(std::move(key), std::move(value));
    }
  }
}

std::optional<IniValue> IniDocument::TopLevel(const QString& name) const {
  if (name.contains(u'/')) {
    return std::nullopt;
  }
  const auto it = values_.find(name);
  if (it == values_.end()) {
    return std::nullopt;
  }
  return it->second;
}

bool IniDocument::Adopt(QByteArray candidate, const std::map<QString, IniValue>& expected) {
  IniDocument edited(std::move(candidate));
  if (edited.values_ != expected) {
    return false;
  }
  *this = std::move(edited);
  return true;
}

bool IniDocument::SetTopLevel(const QString& name, const QString& text) {
  if (name.isEmpty() || name.contains(u'/')) {
    return false;
  }
  std::map<QString, IniValue> expected = values_;
  IniValue written;
  written.text = text;
  expected.insert_or_assign(name, written);
  const QByteArray line = EscapedKey(name) + '=' + IniEscapedString(text);
  const auto withAt = [this](qsizetype at, qsizetype replaced, const QByteArray& inserted) {
    QByteArray edited = bytes_;
    edited.replace(at, replaced, inserted);
    return edited;
  };

  // The last line of the name is the one QSettings reads: it takes the value.
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->topLevel && it->key == name) {
      // A byte-order mark stays at the head of the file.
      const qsizetype start = std::max(it->start, bodyStart_);
      return Adopt(withAt(start, it->end - start, line), expected);
    }
  }

  // A new value goes after the last top-level line, or after the first
  // [General], or in a [General] of its own at the top, as QSettings would
  // place it; the bare line at the very top is the last resort, as nothing
  // before it can swallow it.
  if (Trimmed(QByteArrayView(bytes_).sliced(bodyStart_)).isEmpty()) {
    return Adopt(bytes_.left(bodyStart_) + "[General]\n" + line + '\n', expected);
  }
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->topLevel) {
      if (Adopt(withAt(it->end, 0, '\n' + line), expected)) {
        return true;
      }
      break;
    }
  }
  if (firstGeneralHeaderEnd_ && Adopt(withAt(*firstGeneralHeaderEnd_, 0, '\n' + line), expected)) {
    return true;
  }
  if (!firstGeneralHeaderEnd_ &&
      Adopt(withAt(bodyStart_, 0, "[General]\n" + line + "\n\n"), expected)) {
    return true;
  }
  return Adopt(withAt(bodyStart_, 0, line + '\n'), expected);
}

}  // namespace ql::settings
