// Parsing the command line of ql480tx-sim into its configuration.
#include "sim/options.h"

#include <cctype>
#include <charconv>
#include <functional>
#include <map>

#include "common/command_options.h"
#include "link/frame.h"
#include "link/line_settings.h"

namespace ql::sim {
namespace {

// A whole decimal number without sign, at most `max`.
std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t max) {
  std::uint64_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc{} || ptr != end || value > max) {
    return std::nullopt;
  }
  return value;
}

std::optional<CommandKind> ParseKind(std::string_view text) {
  static const std::map<std::string_view, CommandKind> kKinds = {
      {"handshake", CommandKind::Handshake},
      {"write", CommandKind::Write},
      {"verify", CommandKind::Verify},
      {"run", CommandKind::Run},
  };
  const auto found = kKinds.find(text);
  return found == kKinds.end() ? std::nullopt : std::optional(found->second);
}

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) {
      return parts;
    }
    text.remove_prefix(at + 1);
  }
}

// "BLOCK[:BYTE[:BIT]]".
std::optional<BitFlip> ParseBitFlip(std::string_view text) {
  const auto parts = Split(text, ':');
  if (parts.size() > 3) {
    return std::nullopt;
  }
  const auto block = ParseNumber(parts[0], kFlashBlocks - 1);
  const auto byte =
      parts.size() > 1 ? ParseNumber(parts[1], kBlockSize - 1) : std::optional<std::uint64_t>(0);
  const auto bit = parts.size() > 2 ? ParseNumber(parts[2], 7) : std::optional<std::uint64_t>(0);
  if (!block || !byte || !bit) {
    return std::nullopt;
  }
  return BitFlip{.block = static_cast<int>(*block),
                 .byte = static_cast<int>(*byte),
                 .bit = static_cast<int>(*bit)};
}

std::optional<std::string> ParseHexBytes(std::string_view text) {
  if (text.empty() || text.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    unsigned value = 0;
    const auto [ptr, ec] = std::from_chars(text.data() + i, text.data() + i + 2, value, 16);
    if (ec != std::errc{} || ptr != text.data() + i + 2) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<char>(value));
  }
  return bytes;
}

// Milliseconds with up to three decimals ("3", "2.5"), at most `maxMs`.
std::optional<std::chrono::microseconds> ParseMilliseconds(std::string_view text,
                                                           std::uint64_t maxMs) {
  const auto dot = text.find('.');
  const auto whole = ParseNumber(text.substr(0, dot), maxMs);
  if (!whole) {
    return std::nullopt;
  }
  std::uint64_t micros = *whole * 1000;
  if (dot != std::string_view::npos) {
    std::string_view fraction = text.substr(dot + 1);
    const auto digits = ParseNumber(fraction, 999);
    if (!digits || fraction.size() > 3) {
      return std::nullopt;
    }
    std::uint64_t scaled = *digits;
    for (std::size_t i = fraction.size(); i < 3; ++i) {
      scaled *= 10;
    }
    micros += scaled;
  }
  return std::chrono::microseconds(micros);
}

// "SEL@MS[:POS]": the replies, how long, and the byte of the frame held back.
std::optional<ReplyPause> ParseReplyPause(const std::string& text) {
  const auto at = text.rfind('@');
  if (at == std::string::npos) {
    return std::nullopt;
  }
  const auto selector = ParseSelector(text.substr(0, at));
  const auto parts = Split(std::string_view(text).substr(at + 1), ':');
  if (!selector || parts.size() > 2) {
    return std::nullopt;
  }
  const auto hold = ParseMilliseconds(parts[0], 60'000);
  const auto position = parts.size() > 1 ? ParseNumber(parts[1], link::kFrameBufferSize - 2)
                                         : std::optional<std::uint64_t>();
  if (!hold || (parts.size() > 1 && !position)) {
    return std::nullopt;
  }
  ReplyPause pause{.when = *selector, .hold = *hold, .at = std::nullopt};
  if (position) {
    pause.at = static_cast<std::size_t>(*position);
  }
  return pause;
}

// "[ADDRESS:]PORT".
bool ParseTcp(std::string_view text, LinkConfig& link) {
  const auto colon = text.rfind(':');
  const std::string_view portText = colon == std::string_view::npos ? text : text.substr(colon + 1);
  const auto port = ParseNumber(portText, 65535);
  if (!port) {
    return false;
  }
  if (colon != std::string_view::npos) {
    link.address = std::string(text.substr(0, colon));
  }
  link.port = static_cast<std::uint16_t>(*port);
  return true;
}

}  // namespace

std::optional<CommandSelector> ParseSelector(const std::string& text) {
  if (text == "all") {
    return CommandSelector{};
  }
  const auto parts = Split(text, ':');
  if (parts.size() == 1) {
    if (const auto kind = ParseKind(parts[0])) {
      return CommandSelector{.kind = kind, .nth = 0};
    }
    const auto nth = ParseNumber(parts[0], SIZE_MAX);
    if (!nth || *nth == 0) {
      return std::nullopt;
    }
    return CommandSelector{.kind = std::nullopt, .nth = *nth};
  }
  if (parts.size() != 2) {
    return std::nullopt;
  }
  const auto kind = ParseKind(parts[0]);
  const auto nth = ParseNumber(parts[1], SIZE_MAX);
  if (!kind || !nth || *nth == 0) {
    return std::nullopt;
  }
  return CommandSelector{.kind = kind, .nth = *nth};
}

std::optional<LinePacing> ParsePacing(const std::string& text) {
  // The compact framing "8E1" is read as the link's "e,8,1": one parser for
  // line settings, the utility's own.
  std::string settings = text;
  if (const auto comma = text.find(','); comma != std::string::npos &&
                                         text.find(',', comma + 1) == std::string::npos &&
                                         text.size() >= comma + 4) {
    const std::string framing = text.substr(comma + 1);
    settings =
        text.substr(0, comma) + "," + framing[1] + "," + framing[0] + "," + framing.substr(2);
  }
  const auto line = link::ParseLineSettings(settings);
  if (!line) {
    return std::nullopt;
  }
  const link::Parity parity = line->parity.value_or(link::Parity::None);
  const link::StopBits stop = line->stopBits.value_or(link::StopBits::One);
  const double stopBits = stop == link::StopBits::One          ? 1.0
                          : stop == link::StopBits::OneAndHalf ? 1.5
                                                               : 2.0;
  return LinePacing{.baud = line->baud,
                    .bitsPerByte = 1.0 + line->dataBits.value_or(8) +
                                   (parity == link::Parity::None ? 0.0 : 1.0) + stopBits};
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  ProgramOptions& o = parsed.options;
  SimConfig& c = o.config;
  c.link.port = 5003;
  bool tcpGiven = false;
  bool pacedRequests = false;

  // Options that take a value: each reads it and says whether it was good.
  using ValueHandler = std::function<bool(const std::string&)>;
  // Texts are checked as a whole once every option has been read.
  const auto textInto = [](std::string& field) -> ValueHandler {
    return [&field](const std::string& v) {
      field = v;
      return true;
    };
  };
  const auto selectorInto = [](std::vector<CommandSelector>& list) -> ValueHandler {
    return [&list](const std::string& v) {
      const auto selector = ParseSelector(v);
      if (selector) {
        list.push_back(*selector);
      }
      return selector.has_value();
    };
  };
  const auto bitFlipInto = [](std::vector<BitFlip>& list) -> ValueHandler {
    return [&list](const std::string& v) {
      const auto flip = ParseBitFlip(v);
      if (flip) {
        list.push_back(*flip);
      }
      return flip.has_value();
    };
  };
  const auto flag = [](std::function<void()> set) -> ValueHandler {
    return [set = std::move(set)](const std::string&) {
      set();
      return true;
    };
  };
  using command_options::Option;
  const std::vector<Option> table = {
      {"--tcp", 0, true,
       [&](const std::string& v) {
         tcpGiven = true;
         return ParseTcp(v, c.link);
       }},
      {"--link", 0, true, textInto(c.link.ptyLink)},
      {"--id", 0, true, textInto(c.device.deviceId)},
      {"--info", 0, true, textInto(c.device.deviceInfo)},
      {"--reboot-ms", 0, true,
       [&](const std::string& v) {
         const auto ms = ParseNumber(v, 3'600'000);
         c.device.rebootSilence = std::chrono::milliseconds(ms.value_or(0));
         return ms.has_value();
       }},
      {"--flash-in", 0, true, textInto(o.flashIn)},
      {"--flash-out", 0, true, textInto(c.device.flashOut)},
      {"--drop-reply", 0, true, selectorInto(c.faults.dropReply)},
      {"--late-reply", 0, true,
       [&](const std::string& v) {
         const auto at = v.rfind('@');
         if (at == std::string::npos) {
           return false;
         }
         const auto selector = ParseSelector(v.substr(0, at));
         const auto ms = ParseNumber(std::string_view(v).substr(at + 1), 3'600'000);
         if (!selector || !ms) {
           return false;
         }
         c.faults.lateReply.push_back({.when = *selector, .delay = std::chrono::milliseconds(*ms)});
         return true;
       }},
      {"--bad-crc", 0, true, selectorInto(c.faults.corruptCrc)},
      {"--duplicate-reply", 0, true, selectorInto(c.faults.duplicateReply)},
      {"--random-faults", 0, true,
       [&](const std::string& v) {
         const auto comma = v.find(',');
         const auto perMille = ParseNumber(std::string_view(v).substr(0, comma), 1000);
         const auto seed = comma == std::string::npos
                               ? std::optional<std::uint64_t>(1)
                               : ParseNumber(std::string_view(v).substr(comma + 1), UINT64_MAX);
         if (!perMille || !seed) {
           return false;
         }
         c.faults.random = {.perMille = static_cast<unsigned>(*perMille), .seed = *seed};
         return true;
       }},
      {"--drop-last-byte", 0, true, selectorInto(c.faults.dropLastByte)},
      {"--lowercase-crc", 0, true, selectorInto(c.faults.lowercaseCrc)},
      {"--noise", 0, true, selectorInto(c.faults.noiseBefore)},
      {"--noise-bytes", 0, true,
       [&](const std::string& v) {
         const auto bytes = ParseHexBytes(v);
         c.faults.noise = bytes.value_or("");
         return bytes.has_value();
       }},
      {"--echo", 0, true, selectorInto(c.faults.echoRequest)},
      {"--glitch", 0, true, selectorInto(c.faults.glitchBefore)},
      {"--glitch-byte", 0, true,
       [&](const std::string& v) {
         const auto bytes = ParseHexBytes(v);
         if (!bytes || bytes->size() != 1) {
           return false;
         }
         c.faults.glitchByte = static_cast<std::uint8_t>((*bytes)[0]);
         return true;
       }},
      {"--stale-before", 0, true, selectorInto(c.faults.staleBefore)},
      {"--stale-after", 0, true, selectorInto(c.faults.staleAfter)},
      {"--latency", 0, true,
       [&](const std::string& v) {
         const auto ms = ParseNumber(v, 60'000);
         c.faults.replyLatency = std::chrono::milliseconds(ms.value_or(0));
         return ms.has_value();
       }},
      {"--pause-in-reply", 0, true,
       [&](const std::string& v) {
         const auto pause = ParseReplyPause(v);
         if (pause) {
           c.faults.replyPauses.push_back(*pause);
         }
         return pause.has_value();
       }},
      {"--handshake-length", 0, true,
       [&](const std::string& v) {
         const auto length = ParseNumber(v, 1499);
         c.faults.handshakeFrameLength = static_cast<int>(length.value_or(0));
         return length.has_value();
       }},
      {"--flip-stored", 0, true, bitFlipInto(c.faults.storedBitFlips)},
      {"--flip-readback", 0, true, bitFlipInto(c.faults.readbackBitFlips)},
      {"--refuse-write", 0, true,
       [&](const std::string& v) {
         const auto parts = Split(v, ':');
         if (parts.size() != 2) {
           return false;
         }
         const auto block = ParseNumber(parts[0], kFlashBlocks - 1);
         const auto tries = ParseNumber(parts[1], 1'000'000);
         if (!block || !tries) {
           return false;
         }
         c.faults.refusedWrites.push_back(
             {.block = static_cast<int>(*block), .tries = static_cast<int>(*tries)});
         return true;
       }},
      {"--hang-up-after", 0, true,
       [&](const std::string& v) {
         const auto n = ParseNumber(v, SIZE_MAX);
         c.faults.hangUpAfterCommands = n.value_or(0);
         return n.has_value() && *n > 0;
       }},
      {"--pace", 0, true,
       [&](const std::string& v) {
         const auto pacing = ParsePacing(v);
         c.faults.pacing = pacing.value_or(LinePacing{});
         return pacing.has_value();
       }},
      {"--pty", 0, false, flag([&] { c.link.type = LinkType::Pty; })},
      {"--lowercase-readback", 0, false, flag([&] { c.faults.lowercaseReadback = true; })},
      {"--pace-requests", 0, false, flag([&] { pacedRequests = true; })},
      {"--quit-on-eof", 0, false, flag([&] { o.quitOnEof = true; })},
      {"--quit-after-run", 0, false, flag([&] { o.quitAfterRun = true; })},
      {"--reply-times", 0, false, flag([&] { o.replyTimes = true; })},
      {"--verbose", 'v', false, flag([&] { o.verbose = true; })},
      {"--help", 'h', false, flag([&] { o.help = true; })},
  };
  parsed.error = command_options::Parse(table, args, {}).error;
  if (!parsed.error.empty()) {
    return parsed;
  }
  if (o.help) {
    return parsed;
  }
  c.faults.pacing.requests = pacedRequests;
  if (pacedRequests && !c.faults.pacing.Enabled()) {
    parsed.error = "--pace-requests needs --pace";
  } else if (tcpGiven && c.link.type == LinkType::Pty) {
    parsed.error = "--tcp and --pty exclude each other";
  } else if (!c.link.ptyLink.empty() && c.link.type != LinkType::Pty) {
    parsed.error = "--link needs --pty";
  } else {
    parsed.error = Validate(c);
  }
  return parsed;
}

std::string HelpText() {
  return R"(Usage: ql480tx-sim [options]

Emulates a QL480TX-V5 on TCP or on a pseudo-terminal, so the upgrade utility
can be tried and tested without a device. Frames with a wrong CRC or for
another device ID get no reply; so do commands the device cannot carry out
(unknown letters, a write or read-back whose address is not a 4-digit
uppercase block boundary inside the 124-block flash, write data that is not
1024 uppercase hex digits). Every reply body begins with the device ID and
the two command letters.

Link (TCP on 127.0.0.1:5003 unless told otherwise):
  --tcp [ADDRESS:]PORT   listen on TCP, one connection at a time; port 0
                         picks a free port. Prints "listening ADDRESS:PORT".
  --pty                  serve a pseudo-terminal; prints "pty SLAVE". It keeps
                         serving when the utility closes and reopens the port.
  --link PATH            with --pty: make PATH a symbolic link to the slave
                         (the name to give the utility); prints "link PATH"

Device:
  --id ID                device ID, 4 characters (default 0001)
  --info TEXT            device information, up to 16 characters, padded with
                         blanks (default QL480TX-V5)
  --reboot-ms MS         silence after the run command (default 3000)
  --flash-in FILE        start from this flash image (up to 63488 bytes; the
                         rest is erased to FF)
  --flash-out FILE       save the flash here after every run command and when
                         the emulator stops (replaced in one step)

Faults. SEL picks commands: N (the Nth command), KIND:N (the Nth command of a
kind), KIND (every command of a kind) or all. KIND is handshake, write, verify
or run. Only commands for this device ID are counted. Options marked * may be
given more than once.
  --drop-reply SEL       * carry the command out but send no reply
  --late-reply SEL@MS    * send the reply MS milliseconds late; nothing else is
                           answered meanwhile
  --bad-crc SEL          * send the reply with a wrong CRC
  --duplicate-reply SEL  * send the reply twice, back to back
  --drop-last-byte SEL   * send the reply without its last byte (the CR)
  --random-faults PERMILLE[,SEED]
                         strike read-back replies at random, each with a
                         chance of PERMILLE in 1000: lost, late, sent twice,
                         without its CR, with noise before it or with a wrong
                         CRC; the same SEED (default 1) gives the same faults
  --lowercase-crc SEL    * send the reply's CRC in lowercase hex (a CRC of
                           digits only reads the same)
  --noise SEL            * send noise bytes before the reply frame
  --noise-bytes HEX      the noise as hex byte pairs, without 03
                         (default 7E3F7FFF206E6F6973650D0A)
  --glitch SEL           * put one glitch byte on the line just before the
                           reply, as a line turning round does
  --glitch-byte HEX      the glitch byte: 00 (default), FF or another, not 03
  --echo SEL             * send the request frame back exactly as it came,
                           before the reply, as a half-duplex RS-485 adapter
                           does; all echoes every frame, whatever its CRC or ID
  --stale-before SEL     * send a copy of the previous reply frame just
                           before the reply, as a converter repeating it does
  --stale-after SEL      * send a copy of the previous reply frame just after
                           the reply
  --latency MS           every reply and echo leaves MS milliseconds after its
                         request came in, in order, as over a device server
                         far away; --late-reply holds one longer still
  --pause-in-reply SEL@MS[:POS]
                         * hold byte POS of the reply frame (0 is its start
                           byte; default its middle) and the bytes after it
                           back by MS milliseconds (decimals allowed), as a
                           pseudo-terminal or USB adapter pauses a reply;
                           with --pace the rest keeps its line rate
  --handshake-length N   handshake reply frame of N bytes (default 29)
  --flip-stored B[:BYTE[:BIT]]
                         * store block B with one bit flipped (default byte 0,
                           bit 0)
  --flip-readback B[:BYTE[:BIT]]
                         * flip one bit of block B in its read-back reply only
  --refuse-write B:N     * send no reply to, and store nothing of, the first N
                           writes of block B
  --lowercase-readback   read-back data in lowercase hex
  --hang-up-after N      close the connection or hang up the pseudo-terminal
                         once, after the reply to the Nth command; a pty is
                         then replaced by a new one (and --link follows it)
  --pace BAUD[,FRAMING]  put reply bytes on the link at BAUD with FRAMING
                         such as 8N1 (default), 8E1 or 7O2, or as the
                         utility's line settings give it: 19200,e,8,1
  --pace-requests        with --pace: take a request only once its own wire
                         time has passed. A real line's write lasts that long
                         before the reply window starts; here it falls inside
                         the window, so long requests at low rates miss it.

Program:
  --quit-on-eof          stop when standard input reaches end of file
  --quit-after-run       stop once the run command has been carried out
  --reply-times          print "reply N KIND NS" for every reply: command
                         number, kind, and the CLOCK_MONOTONIC time in
                         nanoseconds at which its CR was written; and
                         "request N NS" for every complete request frame,
                         whatever its CRC or ID: a running count, and the
                         time at which its first byte was read
  -v, --verbose          log every frame received and sent (standard error)
  -h, --help             show this help

Values may also be given as --option=value. The emulator runs until SIGINT,
SIGTERM or SIGHUP, or as --quit-on-eof and --quit-after-run say, and saves
the flash before it exits when --flash-out is given. It logs connections,
reboots and hang-ups to standard error. Exit status: 0 after a clean stop,
1 when the link cannot be served or a flash file cannot be read or saved,
2 for bad options.
)";
}

}  // namespace ql::sim
