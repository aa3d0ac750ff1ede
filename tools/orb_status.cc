// `orb status`: the STATUS registry as a person reads it, the computer-wide
// keys first and then one block per application.
#include <ostream>

#include "registry/registry.h"
#include "registry/status_report.h"
#include "tools/orb_commands.h"

namespace carob::tools {

int RunStatus(OrbContext& ctx, const OrbArgs& args) {
  if (int rc = OperandError(ctx.err, "status", args)) return rc;
  // Only looks: no registration, no size guard, nothing written.
  registry::Registry reg(ctx.env, ctx.db, platform::NoWindow(), registry::SizeGuard::kOff);
  registry::StatusReport report = registry::ReadStatusReport(ctx.env, ctx.db, reg);
  if (!report.readable) {
    ctx.err << "orb status: cannot read the STATUS databank " << report.bank << " ("
            << ctx.env.ToNative(report.path.empty() ? report.bank : report.path) << ")\n";
    return 1;
  }
  ctx.out << registry::FormatStatusReport(report);
  return 0;
}

}  // namespace carob::tools
