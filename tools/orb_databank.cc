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
  std::string bank = args[0], key = args[1];
  ctx.out << ctx.db.Query(bank, key) << "\n";
  return ctx.out ? 0 : 1;
}

int RunSet(OrbContext& ctx, const OrbArgs& args) {
  if (args.size() != 3 || Blank(args[0]) || Blank(args[1])) {
    ctx.err << "usage: orb set BANK KEY VALUE\n";
    return 2;
  }
  if (!UsableBank(ctx, args[0], "set")) return 1;
  std::string bank = args[0], key = args[1], value = args[2];
  ctx.db.Set(bank, key, value);
  if (!ctx.db.last_write_ok()) {
    ctx.err << "orb set: could not write " << key << " into " << bank << "\n";
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
  std::string bank = args[0], key = args[1];
  ctx.db.RemoveEntry(bank, key);
  if (!ctx.db.last_write_ok()) {
    ctx.err << "orb remove: could not remove " << key << " from " << bank << "\n";
    return 1;
  }
  return 0;
}

}  // namespace carob::tools
