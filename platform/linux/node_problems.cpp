#include "platform/linux/node_problems.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "transport/scsi_words.h"

// Where this build installs the rule that lets the logged-in user reach
// bridges: under /usr for the package, under the prefix for a source build.
#ifndef ZQ_UDEV_RULE_INSTALLED
#define ZQ_UDEV_RULE_INSTALLED "/usr/lib/udev/rules.d/70-zq5210.rules"
#endif

namespace zq::cli {
namespace {

// udev reads /usr/lib and /lib; not every one reads a prefix such as /usr/local
bool UdevReadsInstalledRule() {
  const std::string path = ZQ_UDEV_RULE_INSTALLED;
  return path.rfind("/usr/lib/", 0) == 0 || path.rfind("/lib/", 0) == 0;
}

}  // namespace

std::string CommandFailureWords(const CommandFailure& failure) {
  std::vector<std::string> parts;
  if (failure.error != 0) {
    parts.push_back(std::string(std::strerror(failure.error)) + " (errno " +
                    std::to_string(failure.error) + ")");
  }
  if (failure.hostStatus != 0) parts.push_back(HostStatusWords(failure.hostStatus));
  if ((failure.driverStatus & ~SG_DRIVER_SENSE) != 0) {
    parts.push_back(DriverStatusWords(failure.driverStatus));
  }
  if (failure.error == 0 && failure.hostStatus == 0 && failure.scsiStatus != 0) {
    parts.push_back(ScsiStatusWords(failure.scsiStatus));
    const std::string sense = SenseWords(failure.sense.data(), failure.sense.size());
    if (!sense.empty()) parts.push_back("sense " + sense);
  }
  if (failure.otherRecord) {
    char ids[48];
    std::snprintf(ids, sizeof ids, "%04X:%04X", failure.recordVendorId, failure.recordProductId);
    parts.push_back(std::string("its record names another device, ") + ids);
  }
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text.empty() ? "no answer" : text;
}

OpenProblem UnusedNodeProblem(SgPassThroughPort& port, const UnusedDevice& device) {
  OpenProblem problem{device.path, OpenFailure::NoChipInfo, 0, {}, {}, {}};
  switch (device.why) {
    case UnusedDevice::Why::NotOpened:
      for (const OpenProblem& refusal : port.OpenProblems()) {
        if (refusal.node == device.path) return refusal;
      }
      problem.kind = OpenFailure::Other;  // refused without a reason kept
      return problem;
    case UnusedDevice::Why::NoChipInfo:
      problem.failure = port.LastFailure(device.path);
      problem.error = problem.failure.error;
      if (problem.error != 0) problem.systemText = std::strerror(problem.error);
      if (port.Unplugged(device.path)) problem.kind = OpenFailure::Gone;
      return problem;
    case UnusedDevice::Why::OtherRecord:
      problem.failure.otherRecord = true;
      problem.failure.recordVendorId = device.record.vendorId;
      problem.failure.recordProductId = device.record.productId;
      return problem;
  }
  return problem;
}

DeviceProblem ProblemOf(const OpenProblem& problem) {
  DeviceProblem line{problem.node, ProblemKind::Other, problem.node + ": "};
  const std::string unit = problem.unit.empty() ? "" : " (its other unit " + problem.unit + ")";
  switch (problem.kind) {
    case OpenFailure::PermissionDenied:
      line.kind = ProblemKind::PermissionDenied;
      line.text += std::string("permission denied") + unit +
                   ": run as root, or install the udev rule " + ZQ_UDEV_RULE_INSTALLED +
                   (UdevReadsInstalledRule() ? "" : " (copied to /etc/udev/rules.d/)") +
                   " and plug the bridge in again";
      return line;
    case OpenFailure::InUse:
      line.kind = ProblemKind::InUse;
      line.text += "in use by another program" + unit;
      return line;
    case OpenFailure::Gone:
      line.kind = ProblemKind::Gone;
      line.text += "unplugged";
      if (problem.failure.error != 0 || problem.failure.hostStatus != 0) {
        line.text += " (" + CommandFailureWords(problem.failure) + ")";
      }
      return line;
    case OpenFailure::NoNode:
      line.text +=
          "missing: sysfs lists the bridge, but there is no such node; a container "
          "needs the node passed in (docker run --device " +
          problem.node + ")";
      return line;
    case OpenFailure::NotABridge:
      line.kind = ProblemKind::NotABridge;
      line.text += "not a bridge";
      return line;
    case OpenFailure::NoChipInfo:
      line.text += "a ZQ5210 by its USB ID, but it gave no chip information: " +
                   CommandFailureWords(problem.failure);
      return line;
    case OpenFailure::Other:
      break;
  }
  line.text += (problem.systemText.empty() ? "cannot be opened" : problem.systemText) + unit;
  return line;
}

}  // namespace zq::cli
