// `orb query`, `orb set` and `orb remove`: one databank operation each.
#include <ostream>

#include "platform/text.h"
#include "tools/orb_commands.h"

namespace carob::tools {

namespace {

// A BANK that does not denote a file (1), told; 0 when the command may go
// on.
int Refused(OrbContext& ctx, const OrbArgs& args, const char* command) {
  std::string name = args[0];
  if (ctx.db.ResolveBankPath(name).empty()) {
    ctx.err << "orb " << command << ": \"" << args[0] << "\" does not name a databank file\n";
    return 1;
  }
  return 0;
}

// The exit status of an operation, its failure told on standard error.
int Told(OrbContext& ctx, const char* command, const platform::Status& s) {
  if (!s) ctx.err << "orb " << command << ": " << s.message() << "\n";
  return s ? 0 : 1;
}

}  // namespace

// Every command here takes its operands, a BANK and a KEY of more than
// blanks.
int CheckBankCall(std::ostream& err, std::string_view name, const OrbArgs& args) {
  if (int rc = OperandError(err, name, args)) return rc;
  if (platform::Trim(args[0]).empty()) return UsageError(err, name, "BANK is blank");
  if (platform::Trim(args[1]).empty()) return UsageError(err, name, "KEY is blank");
  return 0;
}

int RunQuery(OrbContext& ctx, const OrbArgs& args) {
  if (int rc = Refused(ctx, args, "query")) return rc;
  // A databank that is there but cannot be read is a failure, told with its
  // cause; an absent databank or key answers an empty line.
  std::string value;
  if (int rc = Told(ctx, "query", ctx.db.Read(args[0], args[1], value))) return rc;
  ctx.out << value << "\n";
  return ctx.out ? 0 : 1;
}

int RunSet(OrbContext& ctx, const OrbArgs& args) {
  if (int rc = Refused(ctx, args, "set")) return rc;
  return Told(ctx, "set", ctx.db.Write(args[0], args[1], args[2]));
}

int RunRemove(OrbContext& ctx, const OrbArgs& args) {
  if (int rc = Refused(ctx, args, "remove")) return rc;
  return Told(ctx, "remove", ctx.db.Remove(args[0], args[1]));
}

}  // namespace carob::tools
