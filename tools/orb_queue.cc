// `orb post FILE TEXT` and `orb take FILE`: one entry into a queue file, and
// the top entry out of it, as any program of the family would do it.
//
// FILE is a name as the program takes it: a bare name lies in orb's own
// program folder, a name with ":" ("C:\...") is a full path.
#include <ostream>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tools/orb_commands.h"

namespace carob::tools {

namespace {

// The words of TEXT joined by single blanks.
std::string PostedText(const OrbArgs& args) {
  std::string text = args[1];
  for (size_t i = 2; i < args.size(); ++i) text += " " + args[i];
  return text;
}

}  // namespace

int CheckPost(std::ostream& err, std::string_view name, const OrbArgs& args) {
  if (int rc = OperandError(err, name, args, /*last_takes_rest=*/true)) return rc;
  if (platform::Trim(args[0]).empty()) return UsageError(err, name, "FILE is blank");
  if (platform::Trim(PostedText(args)).empty()) {
    return UsageError(err, name, "TEXT is blank; nothing to post");
  }
  return 0;
}

int CheckTake(std::ostream& err, std::string_view name, const OrbArgs& args) {
  if (int rc = OperandError(err, name, args)) return rc;
  if (platform::Trim(args[0]).empty()) return UsageError(err, name, "FILE is blank");
  return 0;
}

// `orb post FILE TEXT...`: the words of TEXT are joined by single blanks.
int RunPost(OrbContext& ctx, const OrbArgs& args) {
  const std::string text = PostedText(args);
  registry::Registry registry(ctx.env, ctx.db, platform::NoWindow(), registry::SizeGuard::kOff);
  messaging::Messaging msg(ctx.env, ctx.db, registry);
  if (platform::Status s = msg.AppendEntry(args[0], text); !s) {
    ctx.err << "orb post: " << s.message() << "\n";
    return 1;
  }
  return 0;
}

// `orb take FILE`: prints the top entry's text exactly as read (CR LF after
// every line) and removes it. An empty or missing queue prints nothing.
// Entries that carry no text are removed on the way to the next one. The
// text printed is what was taken off while the queue was held, so a take
// that fails prints nothing and leaves the entry for the next take, and two
// takes at once never hand out the same entry.
int RunTake(OrbContext& ctx, const OrbArgs& args) {
  registry::Registry registry(ctx.env, ctx.db, platform::NoWindow(), registry::SizeGuard::kOff);
  messaging::Messaging msg(ctx.env, ctx.db, registry);
  std::string text;
  if (platform::Status s = TakeNextText(ctx.env, msg, args[0], text); !s) {
    ctx.err << "orb take: " << s.message() << "\n";
    return 1;
  }
  ctx.out << text;
  ctx.out.flush();
  return ctx.out ? 0 : 1;
}

platform::Status TakeNextText(platform::Env& env, messaging::Messaging& msg, const std::string& file,
                              std::string& text) {
  text.clear();
  const std::string path = msg.ResolveInterfacePath(file);
  for (;;) {
    auto info = env.FindFile(path);
    if (!info || info->size == 0) return platform::Status::Ok();
    messaging::QueueEntry top;
    if (platform::Status s = msg.TakeTop(file, top); !s) return s;
    if (!top.text.empty()) {
      text = top.text;
      return platform::Status::Ok();
    }
  }
}

}  // namespace carob::tools
