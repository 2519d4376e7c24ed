#include "pull_command.h"

#include <iostream>

#include "pull_steps.h"

namespace mattivo {
namespace {

int fail(const std::string& text) {
  std::cerr << "mattivo: " << text << "\n";
  return 1;
}

}  // namespace

int run_pull(const PullOptions& o) {
  PullPlan plan;
  if (Failure why = prepare_pull(o, &plan)) return fail(*why);
  PulledMatte pulled;
  if (Failure why = pull_matte(o, plan, &pulled)) return fail(*why);
  if (Failure why = render_outputs(o, plan, *pulled.instance)) return fail(*why);
  if (Failure why = publish_outputs(o, plan, pulled.status)) return fail(*why);
  return 0;
}

}  // namespace mattivo
