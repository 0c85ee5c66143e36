// A node that could not be had is named with why.
#include "platform/linux/node_problems.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace zq::cli {
namespace {

TEST(NodeProblems, EachNodeIsNamedWithWhatWentWrong) {
  struct Row {
    OpenProblem problem;
    std::string text;
  };
  CommandFailure refused;
  refused.scsiStatus = 2;
  refused.sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0x00};
  CommandFailure timedOut;
  timedOut.hostStatus = 3;
  CommandFailure other;
  other.otherRecord = true;
  other.recordVendorId = 0x152D;
  other.recordProductId = 0x0578;
  CommandFailure vanished;
  vanished.error = ENODEV;
  const std::vector<Row> rows = {
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", refused},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: check condition "
       "(0x02), sense ILLEGAL REQUEST, ASC/ASCQ 20/00 (invalid command operation code)"},
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", timedOut},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: host status 3 "
       "(timed out)"},
      {{"/dev/sg1", OpenFailure::NoChipInfo, 0, "", "", other},
       "/dev/sg1: a ZQ5210 by its USB ID, but it gave no chip information: its record names "
       "another device, 152D:0578"},
      {{"/dev/sg1", OpenFailure::Gone, ENODEV, "", "", vanished},
       "/dev/sg1: unplugged (No such device (errno 19))"},
      {{"/dev/sg1", OpenFailure::Gone, 0, "", "", {}}, "/dev/sg1: unplugged"},
      {{"/dev/sg5", OpenFailure::InUse, EBUSY, "Device or resource busy", "/dev/sg6", {}},
       "/dev/sg5: in use by another program (its other unit /dev/sg6)"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ProblemOf(row.problem).text, row.text);
  }
  // the hint names where this build put the rule, not a guess
  const std::string denied =
      ProblemOf({"/dev/sg1", OpenFailure::PermissionDenied, EACCES, "", "", {}}).text;
  EXPECT_NE(denied.find("/lib/udev/rules.d/70-zq5210.rules"), std::string::npos) << denied;
  EXPECT_EQ(denied.find(" /lib/udev"), std::string::npos) << denied;
}

}  // namespace
}  // namespace zq::cli
