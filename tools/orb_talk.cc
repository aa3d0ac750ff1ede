// `orb talk [APP]`: the console of the application "User", the human
// user's side of a conversation with CAROB (or any APP of the family).
//
// Every line read from standard input goes to APP through the dispatcher
// (body "DO APP:line", or "SENDTO [id] APP:line" with --to), and every text
// that arrives in the interface file of "User" is printed as it arrives.
// On a terminal it shows a prompt; in a pipe it reads to the end of its
// input, then waits for answers until none has come for --wait seconds, or
// until --answers texts have arrived. A line goes as soon as it is read;
// the interface file of "User" is looked at every Pulse (at least every
// 50 ms), as the family's programs look at theirs.
//
// Nobody is left guessing: when the dispatcher does not run, or the
// addressee on this computer does not, the console says so at once and
// holds the lines until it runs (a line written into a queue nobody takes
// would be answered into a later session); lines still held when the
// console leaves make it exit 1. Texts already waiting in the console's
// interface file when it starts are left from an earlier session: they are
// dropped, and their number is told on standard error.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <deque>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "databank/databank.h"
#include "messaging/dispatcher.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "registry/run_lock.h"
#include "tools/orb_commands.h"

namespace carob::tools {
namespace {

using Clock = std::chrono::steady_clock;
using platform::Trim;

constexpr char kConsoleApp[] = "User";
// The longest time between two looks at the interface file of "User": the
// Pulse when it is shorter.
constexpr int kPollMs = 50;
constexpr int kMaxTakenPerPoll = 1000;
// How often whether the dispatcher and the addressee run is looked at.
constexpr int kReachLookMs = 250;
// How long after the end of input messages still on their way keep a piped
// session open (an addressee that does not run never empties its queue).
constexpr auto kMaxTransit = std::chrono::seconds(60);
// A line whose append met an I/O error is kept and tried again every
// kReachLookMs (a network share's client fails calls for a moment now and
// then, and the failed append left the file as it was); a piped session
// whose input has ended waits this long for it.
constexpr auto kRetryFailedSend = std::chrono::seconds(15);

// Lines read from standard input by a thread of their own, so that answers
// are printed while the user types (or while a pipe is still open). Each
// line, and the end of the input, wakes the console's wait (`wake`, cleared
// once the console no longer waits: a reader left waiting for a line when
// a stop ends the session outlives it).
struct LineFeed {
  std::mutex mu;
  std::deque<std::string> lines;
  bool at_end = false;
  std::function<void()> wake;
};

void ReadLines(std::istream& in, std::shared_ptr<LineFeed> feed) {
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::lock_guard<std::mutex> lock(feed->mu);
    feed->lines.push_back(line);
    if (feed->wake) feed->wake();
  }
  std::lock_guard<std::mutex> lock(feed->mu);
  feed->at_end = true;
  if (feed->wake) feed->wake();
}

int TalkUsage(std::ostream& err, const std::string& problem) { return UsageError(err, "talk", problem); }

// What the command line asks of a session.
struct TalkOptions {
  std::string app;
  std::string to;
  double wait_seconds = 3;
  double answers = 0;  // texts after which a piped session ends; 0: silence ends it
  std::optional<bool> prompt;  // --prompt or --no-prompt; unset: standard input decides
};

// A number of seconds from 0 to a day, the whole text a number.
bool ParseSeconds(const std::string& text, double& seconds) {
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || text.empty() || errno == ERANGE) return false;
  if (!(v >= 0) || v > 86400) return false;
  seconds = v;
  return true;
}

int ParseTalk(std::ostream& err, const OrbArgs& args, TalkOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takes_value = a == "--to" || a == "--wait" || a == "--answers";
    if (takes_value && i + 1 >= args.size()) {
      return TalkUsage(err, "option '" + a + "' requires an argument");
    }
    if (a == "--to") {
      o.to = Trim(args[++i]);
    } else if (a == "--wait") {
      if (!ParseSeconds(args[++i], o.wait_seconds)) {
        return TalkUsage(err, "invalid number '" + args[i] + "' for --wait");
      }
    } else if (a == "--answers") {
      // A count, read by the same rule as the seconds (whole numbers only).
      if (!ParseSeconds(args[++i], o.answers) || o.answers != static_cast<int>(o.answers)) {
        return TalkUsage(err, "invalid number '" + args[i] + "' for --answers");
      }
    } else if (a == "--prompt") {
      o.prompt = true;
    } else if (a == "--no-prompt") {
      o.prompt = false;
    } else if (!a.empty() && a[0] == '-') {
      return TalkUsage(err, "unrecognised option '" + a + "'");
    } else if (!o.app.empty()) {
      return TalkUsage(err, "extra operand '" + a + "'");
    } else if (Trim(a).empty()) {
      return TalkUsage(err, "APP is blank");
    } else {
      o.app = Trim(a);
    }
  }
  if (o.app.empty()) o.app = "CAROB";
  if (o.app.find(':') != std::string::npos) {
    return TalkUsage(err, "an application name cannot hold ':'");
  }

  return 0;
}

// A received text as it may be shown to a person: control characters other
// than line breaks (LF, and CR before LF) and tabs are written visibly in
// caret notation ("^[" for ESC, "^?" for DEL, "M-^[" for the two-byte form of
// a C1 control), so that a text can never drive the user's terminal. The
// same on a terminal and in a pipe: what is printed is what was received.
std::string Visible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool line_break = c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n');
    if (line_break || c == '\t' || (c >= 0x20 && c != 0x7F && c != 0xC2)) {
      out += static_cast<char>(c);
    } else if (c == 0xC2) {
      const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
      if (next >= 0x80 && next <= 0x9F) {
        out += "M-^";
        out += static_cast<char>(next - 0x80 + 0x40);
        ++i;
      } else {
        out += static_cast<char>(c);
      }
    } else {
      out += '^';
      out += static_cast<char>(c == 0x7F ? '?' : c + 0x40);
    }
  }
  return out;
}

class Console {
 public:
  Console(platform::Env& env, databank::Databank& db, std::ostream& out, std::ostream& err)
      : env_(env), db_(db), registry_(env, db_), msg_(env, db_, registry_), out_(out), err_(err) {}

  // Makes sure the interface file of "User" is recorded, drops the texts
  // left in it from an earlier session (told on standard error) and only
  // then registers "User" as running. False (said on standard error) when
  // the STATUS databank or the interface file cannot be read or the
  // interface file cannot be recorded.
  bool Start() {
    registry_.LocateStatusBank();
    // Without a readable STATUS nothing is registered and nothing can be
    // told about the addressee: say so now rather than wait in silence.
    std::vector<std::string> lines;
    // None at all is a fresh family: registering makes it.
    if (platform::Status read = db_.ReadLines(registry_.StatusBank(), lines);
        !read && read.error() != ENOENT) {
      err_ << "orb talk: cannot read the STATUS databank: " << read.message() << "\n";
      return false;
    }
    const std::string key = std::string(kConsoleApp) + " interface";
    platform::Status s;
    if (msg_.FileLocationOr(key, std::string(kConsoleApp) + ".interface.POF", &s).empty() &&
        msg_.FileLocation(key).empty()) {
      err_ << "orb talk: cannot record \"" << key << "\" in C:\\FileLoc" << Cause(s) << "\n";
      return false;
    }
    int dropped = 0;
    const std::string file = msg_.FileLocation(key);
    for (std::string text;; ++dropped) {
      if (platform::Status taken = TakeNextText(env_, msg_, file, text); !taken) {
        err_ << "orb talk: cannot read what arrives for you: " << taken.message() << "\n";
        return false;
      }
      if (text.empty()) break;
    }
    if (dropped > 0) {
      err_ << "orb talk: " << dropped << " text(s) left from an earlier session dropped\n";
    }
    (void)registry_.RegisterApplication(kConsoleApp);  // a console unregistered still talks
    return true;
  }

  // Why a line cannot go to `app` (on the computer `to`) now, "" when it
  // can: the dispatcher is not running (not recorded so, or its run lock
  // left unheld) or has recorded no input file, or the addressee on this
  // computer is not running.
  // The flags are other programs': read afresh each time.
  std::string Unreachable(const std::string& app, const std::string& to) {
    if (!RunningNow(messaging::kDispatcherApp)) {
      return "the dispatcher \"RORU PO\" is not running";
    }
    db_.ForgetCached(std::string(messaging::kDispatcherInputKey));
    if (msg_.FileLocation(messaging::kDispatcherInputKey).empty()) {
      return "no dispatcher has recorded \"RORU PO Input\" yet";
    }
    const bool here = to.empty() || to == messaging::kNoComputer;
    if (here && !RunningNow(app)) return app + " is not running";
    return "";
  }

  void Stop() { registry_.UnregisterApplication(kConsoleApp); }

  // Milliseconds between two looks at the interface file: the Pulse, as
  // the family's programs take it, but never longer than kPollMs. Only
  // read: a Pulse not recorded yet stays so.
  int PollMs() {
    db_.ForgetCached("Pulse");
    const double pulse = registry::ReadLeadingNumber(db_.Query(std::string(registry_.StatusBank()), "Pulse"));
    return std::min(kPollMs, registry::TimerInterval(registry::RoundToInt32(pulse).value_or(0)));
  }

  // Recorded running and not known dead: a program killed outright stays
  // recorded running, but leaves its run lock unheld.
  bool RunningNow(const std::string& app) {
    db_.ForgetCached(app + " running");
    return registry_.IsRunning(app) && !registry::RunLockAbandoned(env_, db_, registry_, app);
  }

  // Sends `lines` to `app`, in order, in one append: one round of the
  // input file's lock for them all (on a network share each round is
  // several calls to the server). False when no dispatcher has recorded its
  // input file yet (the lines are then kept by the caller rather than
  // lost). Lines that could not be written to the dispatcher's input file
  // are told in *failed (the caller keeps them after an I/O error, which
  // passes); none of them was written then.
  bool Send(const std::string& app, const std::string& to, const std::deque<std::string>& lines,
            platform::Status* failed) {
    db_.ForgetCached(std::string(messaging::kDispatcherInputKey));
    const std::string input = msg_.FileLocation(messaging::kDispatcherInputKey);
    if (input.empty()) return false;
    // Each message as SendMessage makes it, written through the checked
    // append so that a refused write is known.
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
      std::string source = messaging::kNoComputer;
      const std::string body = to.empty() || to == messaging::kNoComputer
                                   ? "DO " + app + ":" + line
                                   : "SENDTO [" + to + "] " + app + ":" + line;
      texts.push_back(msg_.AddSource(source, body));
    }
    *failed = msg_.AppendTexts(input, texts);
    return true;
  }

  // True while something sent is still on its way on this computer: the
  // dispatcher's input file, or the interface file of the addressee, holds
  // entries while both run (`reachable`). The silence that ends a piped
  // session is counted from when both are empty, so a slow Pulse does not
  // cut the conversation short; a queue nobody takes keeps nobody waiting.
  bool InTransit(const std::string& app, bool reachable) {
    if (!reachable) return false;
    std::vector<std::string> keys = {messaging::kDispatcherInputKey, app + " interface"};
    for (const std::string& key : keys) {
      std::string file = msg_.FileLocation(key);
      if (file.empty()) continue;
      auto info = env_.FindFile(msg_.ResolveInterfacePath(file));
      if (info && info->size > 0) return true;
    }
    return false;
  }

  // Prints every text waiting in the interface file; the number printed.
  // `over_prompt`: a prompt stands on the terminal's last line; the first
  // text takes its place (the prompt is shown again after). Each text is
  // shown before it leaves the file, as CAROB answers before its message
  // does: the marks and the file's rebuild come after the user has it (a
  // console killed in between leaves it to the next session, which drops it).
  int PrintArrivals(bool over_prompt) {
    int printed = 0;
    for (int i = 0; i < kMaxTakenPerPoll; ++i) {
      std::string text = msg_.ReceiveMessageHeld(kConsoleApp, messaging::MessageKind::kInterface);
      if (text.empty()) break;
      if (over_prompt && printed == 0) out_ << "\r\033[K";
      out_ << Visible(text) << "\n" << std::flush;
      msg_.MessageHandled();
      ++printed;
    }
    msg_.MessageHandled();  // an entry with nothing to show
    return printed;
  }

 private:
  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry registry_;
  messaging::Messaging msg_;
  std::ostream& out_;
  std::ostream& err_;
};

}  // namespace

int CheckTalk(std::ostream& err, std::string_view, const OrbArgs& args) {
  TalkOptions unused;
  return ParseTalk(err, args, unused);
}

int RunTalk(OrbContext& ctx, const OrbArgs& args) {
  std::istream& in = ctx.in;
  std::ostream& out = ctx.out;
  std::ostream& err = ctx.err;
  TalkOptions o;
  (void)ParseTalk(err, args, o);  // its check passed
  const std::string& app = o.app;
  const std::string& to = o.to;
  const bool interactive = o.prompt.value_or(ctx.interactive);
  const double answers = o.answers;

  // The handlers come first: a stop that arrives while registering still
  // ends in a clean sign-off.
  platform::StopSignals stop;

  Console console(ctx.env, ctx.db, out, err);
  if (!console.Start()) {
    console.Stop();
    return 1;
  }

  auto feed = std::make_shared<LineFeed>();
  feed->wake = [&stop] { stop.Wake(); };
  std::thread reader(ReadLines, std::ref(in), feed);

  const std::string prompt = "you> ";
  if (interactive) {
    out << "Talking to " << app << (to.empty() ? "" : " on [" + to + "]")
        << ". Type a sentence and press Enter; Ctrl-D leaves.\n"
        << prompt << std::flush;
  }

  std::deque<std::string> held;  // lines waiting until they can go
  int unsent = 0;  // lines the dispatcher's input file refused
  // The cause of the I/O error that holds the first line ("" when none),
  // and when that run of errors began and its last try was made.
  std::string failing;
  Clock::time_point failing_since, failed_at;
  int arrived = 0;  // texts printed
  Clock::time_point last_activity = Clock::now();
  Clock::time_point input_end;
  bool input_done = false;
  const auto wait = std::chrono::duration<double>(o.wait_seconds);
  // Why lines cannot go now ("" when they can), looked at again every
  // kReachLookMs; told once each time it changes to another reason.
  std::string unreachable = console.Unreachable(app, to);
  int poll_ms = console.PollMs();
  std::string told;
  Clock::time_point looked = Clock::now();
  auto tell = [&] {
    if (unreachable == told) return;
    told = unreachable;
    if (!unreachable.empty()) err << "orb talk: " << unreachable << "; holding your lines\n" << std::flush;
  };
  tell();

  while (!stop.requested()) {
    {
      std::lock_guard<std::mutex> lock(feed->mu);
      for (std::string& line : feed->lines) {
        if (!Trim(line).empty()) held.push_back(std::move(line));  // a blank line says nothing
      }
      feed->lines.clear();
      if (feed->at_end && !input_done) {
        input_done = true;
        input_end = last_activity = Clock::now();
      }
    }
    if (Clock::now() - looked >= std::chrono::milliseconds(kReachLookMs)) {
      unreachable = console.Unreachable(app, to);
      poll_ms = console.PollMs();
      looked = Clock::now();
      tell();
    }
    bool sent = false;
    const bool try_now =
        failing.empty() || Clock::now() - failed_at >= std::chrono::milliseconds(kReachLookMs);
    platform::Status failed;
    if (!held.empty() && unreachable.empty() && try_now && console.Send(app, to, held, &failed)) {
      if (!failed && failed.error() == EIO) {
        // Kept and tried again in a moment (a piped session waits for them
        // up to kRetryFailedSend).
        if (failing.empty()) {
          err << "orb talk: cannot send your lines: " << failed.message() << "; trying again\n";
          failing_since = Clock::now();
        }
        failing = failed.message();
        failed_at = Clock::now();
      } else {
        failing.clear();
        last_activity = Clock::now();
        if (!failed) {
          if (unsent == 0) err << "orb talk: cannot send your lines: " << failed.message() << "\n";
          unsent += static_cast<int>(held.size());
        } else {
          sent = true;
        }
        held.clear();
      }
    }
    // Lines still being tried keep a piped session open.
    if (input_done && !failing.empty() && Clock::now() - failing_since < kRetryFailedSend) {
      last_activity = Clock::now();
    }
    int printed = console.PrintArrivals(interactive && !input_done);
    arrived += printed;
    if (printed) last_activity = Clock::now();
    if (input_done && Clock::now() - input_end < kMaxTransit && console.InTransit(app, unreachable.empty())) {
      last_activity = Clock::now();
    }
    if (interactive && (printed || sent) && !input_done) out << prompt << std::flush;

    if (input_done && Clock::now() - last_activity >= wait) break;
    // The answers expected are all there: no need to wait for silence.
    if (input_done && answers > 0 && arrived >= answers) break;
    stop.WaitFor(poll_ms / 1000.0);
  }
  if (interactive) out << "\n";
  out.flush();
  if (!held.empty()) {
    err << "orb talk: " << held.size() << " line(s) not sent: "
        << (!unreachable.empty() ? unreachable
            : !failing.empty()   ? failing
                                 : std::string("no dispatcher took them"))
        << "\n";
  }

  console.Stop();

  std::lock_guard<std::mutex> lock(feed->mu);
  feed->wake = nullptr;  // `stop` goes with this call
  if (feed->at_end) {
    reader.join();
  } else {
    // Stopped by a signal while the reader still waits for a line: the
    // reader owns nothing that needs closing, so it is left to end with the
    // process.
    reader.detach();
  }
  return held.empty() && unsent == 0 ? 0 : 1;
}

}  // namespace carob::tools
