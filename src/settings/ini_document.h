// The settings file in the INI form QSettings reads and writes, parsed and
// edited here without QSettings. QSettings rebuilds whatever object a stored
// value names ("@Variant(...)" deserialises any registered type, however
// large or deeply nested it claims to be), and it parses every value of a
// file both when reading and before each save. So the file is read here
// exactly as QSettings would read it, except that such a value is only
// recognised, never rebuilt; and a save changes only the line of the value it
// stores, leaving every other byte of the file as it was.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <optional>
#include <vector>

namespace ql::settings {

// A stored value as QSettings would hand it out, with no object built.
struct IniValue {
  enum class Kind {
    Text,        // a string
    TextList,    // a list of strings: the value holds unquoted commas
    Other,       // an object QSettings builds from the text itself: a byte
                 // array, a rectangle, size or point, an invalid value, or a
                 // list holding one of them
    Serialised,  // an object QSettings would deserialise ("@Variant(" or
                 // "@DateTime("), or a list holding one
  };
  Kind kind = Kind::Text;
  // The string (Text), or the text QSettings would build the object from
  // (Other, Serialised), after the file's escapes.
  QString text;
  // The elements of a list (TextList, and Other or Serialised lists).
  QStringList list;
  bool isList = false;

  friend bool operator==(const IniValue&, const IniValue&) = default;
};

class IniDocument {
 public:
  explicit IniDocument(QByteArray bytes = {});

  const QByteArray& Bytes() const { return bytes_; }

  // The top-level value `name` (one without '/'), as QSettings reads it: where
  // the name occurs more than once, the last one. nullopt when absent.
  std::optional<IniValue> TopLevel(const QString& name) const;

  // Every value by the key QSettings gives it: "Section/name", or the bare
  // name at the top level ([General] and anything before the first section).
  const std::map<QString, IniValue>& Values() const { return values_; }

  // Stores `text` as the top-level value `name`, written as QSettings writes
  // a string: the value's line is replaced where the name exists, otherwise
  // a line is added to the top level. False, with the document unchanged,
  // when no such edit gives back exactly `text` under `name` together with
  // every other value as it was (a file cut off inside quotes can swallow
  // whatever follows).
  bool SetTopLevel(const QString& name, const QString& text);

 private:
  // One "key=value" line of the file; [start, end) is the line QSettings
  // reads, which may span several lines of text inside quotes.
  struct Entry {
    QString key;  // with its section prefix
    bool topLevel = false;
    qsizetype start = 0;
    qsizetype end = 0;
  };

  void Parse();
  bool Adopt(QByteArray candidate, const std::map<QString, IniValue>& expected);

  QByteArray bytes_;
  qsizetype bodyStart_ = 0;  // past a UTF-8 byte-order mark
  std::vector<Entry> entries_;
  std::optional<qsizetype> firstGeneralHeaderEnd_;
  std::map<QString, IniValue> values_;
};

// The bytes QSettings writes after "name=" for the string `text`: commas,
// semicolons, '=' and outer blanks quoted, control characters, quotes and
// backslashes escaped, a leading '@' doubled, a text holding NUL wrapped as
// "@String(...)", everything else as UTF-8. One difference: U+FEFF is written
// as an escape, as QSettings would not read it back from UTF-8.
QByteArray IniEscapedString(const QString& text);

}  // namespace ql::settings
