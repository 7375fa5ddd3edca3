// What a procedure tells the front end that runs it: what happened, in the
// order it happened. The window, ql480tx-flash and the tests each turn these
// events into what they show; a procedure never names a control, a colour or
// a message of the message table.
//
// Events are told on the procedure's own thread, between its exchanges and
// pauses. A front end that takes its time here takes it from nobody: every
// pause the device needs after a reply counts from that reply.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link/exchange_observer.h"

namespace ql::upgrade {

enum class Procedure {
  Connect,    // ConnectProcedure
  Upgrade,    // UpgradeSequence
  Verify,     // VerifySequence: the check of a device's flash
  ReadFlash,  // ReadFlashSequence
};

// The parts of a procedure that go through blocks, and the device's start
// after the run command.
enum class Phase {
  Program,  // every block written
  Verify,   // every block read back and compared
  Read,     // every block read back and kept
  Run,      // the run command and the wait for the device to start
};

// How the last try of a command that failed ended.
struct TryEnd {
  link::ExchangeVerdict verdict = link::ExchangeVerdict::NoReply;
  // What the reply held, start byte through CR: a handshake reply counts only
  // at 29 bytes.
  std::int32_t replyBytes = 0;
  // LinkGone: why, in the system's words.
  std::string goneReason;
};

enum class PhaseFailure {
  None,          // every block done
  NotConnected,  // no device answered a connect before: nothing was sent
  NoReply,       // a command had no accepted reply in all its tries
  DataDiffers,   // a block read back is not the image's
  Unreadable,    // a block read back is not block data at all
  NeverQuiet,    // the link was to be brought back in step and never fell quiet
  OutOfStep,     // the link kept falling out of step: no reply could be trusted
  LinkLost,      // the link went away (`lastTry` says why): nothing more was tried
  Stopped,       // a stop was requested
};

struct PhaseEnd {
  Phase phase = Phase::Program;
  PhaseFailure failure = PhaseFailure::None;
  int blockCount = 0;
  // The block in hand when the phase failed or stopped; -1 while none was:
  // the phase's handshake, before it, or after the last block.
  int block = -1;
  int tries = 0;       // failed tries of that block, or of the handshake
  int blocksDone = 0;  // blocks done for certain: written, or read back in step
  TryEnd lastTry;      // how the last of those tries ended

  bool Ok() const { return failure == PhaseFailure::None; }
};

// Why the image could not be loaded into the block table.
enum class LoadFailure {
  Unreadable,     // the file could not be read (`error`: errno, 0 when none)
  HeaderChanged,  // its header is no longer the one read when it was selected
  NoImage,        // nothing after its 16-byte header
};

// What the device's flash holds when a procedure ends, as far as the
// procedure can tell.
enum class Flash {
  AsBefore,    // nothing was written to it
  Partial,     // the image's blocks before `block`, and a write was sent after them
  WholeImage,  // every block of the image written; not every one compared
  Differs,     // compared with the image: block `block` differs
  Verified,    // every block compared equal; the device was not told to run it
  Running,     // verified, and told to run it: it is starting the new firmware
};

struct Holdings {
  Flash flash = Flash::AsBefore;
  int block = -1;
};

enum class Outcome {
  Done,           // the procedure did what it set out to do
  LinkNotOpened,  // the link could not be opened
  NoDevice,       // no valid handshake reply
  ModelMismatch,  // the device is not the file's model
  LoadFailed,     // the image could not be loaded
  PhaseFailed,    // the last PhaseEnded says which phase and why
  Stopped,        // a stop was requested
};

struct Finish {
  Procedure procedure = Procedure::Connect;
  Outcome outcome = Outcome::Done;
  Holdings holds;
};

// The tone that closes a step. The procedure waits its length on its own
// clock right after telling it, whether a front end sounds it or not: the
// device sees the same pause from every front end.
struct Tone {
  int hz = 0;
  int ms = 0;
};
inline constexpr Tone kSuccessTone{1000, 300};
inline constexpr Tone kProgrammedTone{1000, 100};
inline constexpr Tone kFailureTone{300, 300};

// Every event has an empty default, so a front end overrides only what it
// shows.
class ProcedureEvents {
 public:
  virtual ~ProcedureEvents() = default;

  // The procedure begins; nothing has been sent yet.
  virtual void Started(Procedure) {}

  virtual void LinkOpened() {}
  // `reason` is the system's ("Connection refused"), empty when none was given.
  virtual void LinkNotOpened(std::string_view /*reason*/) {}

  // Handshake `attempt` (1, 2, 3) of finding the device brought no valid
  // reply; `last` says what came instead.
  virtual void HandshakeFailed(int /*attempt*/, const TryEnd& /*last*/) {}
  // None of `attempts` handshakes brought a valid reply; a link that went
  // away ends the search at once (`last` says so).
  virtual void DeviceNotFound(int /*attempts*/, const TryEnd& /*last*/) {}
  // The device answered: its information, 16 characters of 8-bit text.
  virtual void DeviceFound(std::string_view /*deviceInfo*/) {}

  // The device's model against the firmware file's header.
  virtual void ModelMatched() {}
  virtual void ModelMismatched(std::string_view /*deviceInfo*/, std::string_view /*fileHeader*/) {}
  virtual void ImageLoaded(int /*blockCount*/) {}
  // After ImageLoaded: the file holds more image bytes than the device's
  // blocks take; the rest is never written.
  virtual void ImageLongerThanDevice(std::int64_t /*imageBytes*/) {}
  virtual void ImageNotLoaded(LoadFailure /*why*/, int /*error*/) {}

  // A phase begins: its handshake comes first (the run phase has none).
  virtual void PhaseStarted(Phase, int /*blockCount*/) {}
  // The device answered the phase's handshake; block 0 follows.
  virtual void BlocksBegin(Phase, int /*blockCount*/) {}
  // Block `block` was written, or read back and taken. While the link is
  // brought back in step blocks are read again; each is told once.
  virtual void BlockDone(Phase, int /*block*/) {}
  virtual void PhaseEnded(const PhaseEnd&) {}

  // The run command was sent; the device is now given `waitMs` to start.
  virtual void RunSent(std::uint32_t /*waitMs*/) {}
  // At the start of each second of that wait: the whole seconds left.
  virtual void RunWaitLeft(int /*seconds*/) {}

  // The tone that closes a step; the procedure pauses for its length next.
  virtual void ToneStarted(const Tone&) {}

  // The procedure has ended and closed its link.
  virtual void Finished(const Finish&) {}
};

}  // namespace ql::upgrade
