// `orb status`: the STATUS registry as a person reads it, the computer-wide
// keys first and then one block per application. A family where nothing has
// run yet has no STATUS databank: that is said, with exit status 0.
#include <ostream>

#include "registry/registry.h"
#include "registry/status_report.h"
#include "tools/orb_commands.h"

namespace carob::tools {

int RunStatus(OrbContext& ctx, const OrbArgs& args) {
  (void)args;  // none: its check made sure
  // Only looks: no registration, no size guard, nothing written.
  registry::Registry reg(ctx.env, ctx.db, platform::NoWindow(), registry::SizeGuard::kOff);
  registry::StatusReport report = registry::ReadStatusReport(ctx.env, ctx.db, reg);
  const std::string where = ctx.env.ToNative(report.path.empty() ? report.bank : report.path);
  if (!report.exists && !report.path.empty()) {
    // A fresh family: no program has registered yet. That is an answer,
    // not a failure.
    ctx.out << "Nothing has run yet in this family: there is no STATUS databank " << report.bank
            << " (" << where << ").\n";
    return ctx.out ? 0 : 1;
  }
  if (!report.readable) {
    ctx.err << "orb status: cannot read the STATUS databank " << report.bank << " (" << where << ")"
            << Cause(report.read) << "\n";
    return 1;
  }
  ctx.out << registry::FormatStatusReport(report);
  return 0;
}

}  // namespace carob::tools
