#include "pull_command.h"

#include <iostream>

#include "interrupt.h"
#include "pull_steps.h"

namespace mattivo {
namespace {

int fail(const std::string& text) {
  std::cerr << "mattivo: " << text << "\n";
  return 1;
}

// A Ctrl-C ends the run between steps, or inside the pull and the render; the
// staging folder goes with the plan, so nothing that looks finished is left.
int stop(const std::string& text) {
  std::cerr << "mattivo: interrupted" << (text.empty() ? "" : ": " + text) << "; no output was written\n";
  return kInterruptedExit;
}

int give_up(const std::string& text) { return interrupted() ? stop(text) : fail(text); }

}  // namespace

int run_pull(const PullOptions& given) {
  catch_interrupts();
  PullOptions o = given;
  PullPlan plan;
  if (Failure why = resume_session(&o, &plan.saved)) return give_up(*why);
  if (Failure why = prepare_pull(o, &plan)) return give_up(*why);
  if (interrupted()) return stop("");
  PulledMatte pulled;
  if (Failure why = pull_matte(o, plan, &pulled)) return give_up(*why);
  if (interrupted()) return stop("");
  if (Failure why = render_outputs(o, plan, *pulled.instance)) return give_up(*why);
  if (Failure why = stage_session(o, plan, pulled)) return give_up(*why);
  if (interrupted()) return stop("");
  if (Failure why = publish_outputs(o, plan, pulled.status)) return give_up(*why);
  return 0;
}

}  // namespace mattivo
