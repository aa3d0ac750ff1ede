// `orb query`, `orb set` and `orb remove`: one databank operation each.
#include <ostream>

#include "platform/text.h"
#include "tools/orb_commands.h"

namespace carob::tools {

namespace {

// The bank and the key must hold more than blanks; a bank name that denotes
// a folder cannot be used.
bool UsableBank(OrbContext& ctx, const std::string& bank, const char* command) {
  std::string name = bank;
  if (ctx.db.ResolveBankPath(name).empty()) {
    ctx.err << "orb " << command << ": \"" << bank << "\" does not name a databank file\n";
    return false;
  }
  return true;
}

bool Blank(const std::string& text) { return platform::Trim(text).empty(); }

}  // namespace

int RunQuery(OrbContext& ctx, const OrbArgs& args) {
  if (args.size() != 2 || Blank(args[0]) || Blank(args[1])) {
    ctx.err << "usage: orb query BANK KEY\n";
    return 2;
  }
  if (!UsableBank(ctx, args[0], "query")) return 1;
  ctx.out << ctx.db.Query(std::string(args[0]), std::string(args[1])) << "\n";
  return ctx.out ? 0 : 1;
}

int RunSet(OrbContext& ctx, const OrbArgs& args) {
  if (args.size() != 3 || Blank(args[0]) || Blank(args[1])) {
    ctx.err << "usage: orb set BANK KEY VALUE\n";
    return 2;
  }
  if (!UsableBank(ctx, args[0], "set")) return 1;
  if (platform::Status s = ctx.db.Write(args[0], args[1], args[2]); !s) {
    ctx.err << "orb set: " << s.message() << "\n";
    return 1;
  }
  return 0;
}

int RunRemove(OrbContext& ctx, const OrbArgs& args) {
  if (args.size() != 2 || Blank(args[0]) || Blank(args[1])) {
    ctx.err << "usage: orb remove BANK KEY\n";
    return 2;
  }
  if (!UsableBank(ctx, args[0], "remove")) return 1;
  if (platform::Status s = ctx.db.Remove(args[0], args[1]); !s) {
    ctx.err << "orb remove: " << s.message() << "\n";
    return 1;
  }
  return 0;
}

}  // namespace carob::tools
