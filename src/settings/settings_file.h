// The settings file on disk: read only when it is a regular file of sane
// size, and replaced whole, never rewritten in place. A FIFO or a device
// under the file's name (or a link to one) would hang the program at start-up
// or feed it without end; a link to someone else's file must not be written
// over; a save cut short must not leave half a file.
#pragma once

#include <QByteArray>
#include <optional>
#include <string>

namespace ql::settings {

// Larger files are not settings this program wrote.
inline constexpr qsizetype kMaxSettingsFileBytes = qsizetype{1} << 20;

struct SettingsFile {
  enum class State {
    Absent,    // nothing under that name (and no link to nothing)
    Unusable,  // something that is not a readable regular file of at most
               // kMaxSettingsFileBytes: never read, never written over
    Read,
  };
  State state = State::Absent;
  QByteArray bytes;
};

// Reads the file at `path`, following links. Returns at once whatever lies
// there: a FIFO, device, socket or folder is never opened for reading, and
// the open itself cannot block, so one swapped in meanwhile is caught on the
// opened descriptor.
SettingsFile ReadSettingsFile(const std::string& path);

// The file a save writes: `path` itself, or, when `path` is a symbolic link,
// the file it leads to if that file exists and belongs to the effective
// user. nullopt when a save must not write (a link to another user's file,
// a dangling link, a name that cannot be examined).
std::optional<std::string> SaveTarget(const std::string& path);

// Whether a save may replace the existing `target` or create it: the file
// (if any) and its folder are writable by the effective user.
bool MayReplace(const std::string& target);

// Replaces `target` with `bytes`: written to a new file in the same folder,
// flushed to disk, then renamed over `target`, so a failure at any point
// leaves the old file whole. The new file takes the old one's permissions
// (and owner, where the user may set it); a new one gets the usual
// permissions for the user's files. False when nothing was replaced.
bool ReplaceFile(const std::string& target, const QByteArray& bytes);

}  // namespace ql::settings
