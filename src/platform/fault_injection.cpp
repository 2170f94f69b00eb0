// The plan behind FaultDue in the fault-injection test build; never part of
// the library, which keeps no state of its own.
#include "platform/fault_injection.h"

#include <atomic>
#include <mutex>

namespace zf {
namespace {

thread_local FaultPlan* currentPlan = nullptr;
std::atomic<FaultPlan*> sharedPlan{nullptr};
std::mutex sharedPlanLock;

bool IsOutputCall(OsCall call, OsFile file, const FaultPlan& plan) {
  switch (call) {
    case OsCall::kCreate:
    case OsCall::kWrite:
    case OsCall::kSetEnd:
    case OsCall::kName:
    case OsCall::kRename:
      return true;
    case OsCall::kSeek:
    case OsCall::kClose:
      return file == plan.archive;
    default:
      return false;
  }
}

bool CountCall(FaultPlan* plan, OsCall call, OsFile file) {
  if (plan->between != nullptr) plan->between(plan->betweenContext);
  if ((plan->refusedKinds >> static_cast<std::uint32_t>(call) & 1) != 0) return true;
  plan->calls += 1;
  if (plan->failFrom == 0 || plan->calls < plan->failFrom ||
      plan->calls >= plan->failFrom + plan->failCount) {
    return false;
  }
  if (IsOutputCall(call, file, *plan)) {
    plan->outputFailures += 1;
  } else {
    plan->otherFailures += 1;
  }
  plan->failedKinds |= 1u << static_cast<std::uint32_t>(call);
  return true;
}

}  // namespace

void SetFaultPlan(FaultPlan* plan) { currentPlan = plan; }

void SetSharedFaultPlan(FaultPlan* plan) { sharedPlan.store(plan); }

bool FaultDue(OsCall call, OsFile file) {
  if (currentPlan != nullptr) return CountCall(currentPlan, call, file);
  FaultPlan* shared = sharedPlan.load();
  if (shared == nullptr) return false;
  const std::lock_guard<std::mutex> hold(sharedPlanLock);
  return CountCall(shared, call, file);
}

void NoteArchive(OsFile file) {
  if (currentPlan != nullptr) {
    currentPlan->archive = file;
  } else if (FaultPlan* shared = sharedPlan.load(); shared != nullptr) {
    const std::lock_guard<std::mutex> hold(sharedPlanLock);
    shared->archive = file;
  }
}

}  // namespace zf
