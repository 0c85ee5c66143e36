// The resource script and the window's behaviour number the controls alike.
#include <windows.h>

#include "resources/resource.h"

namespace {

constexpr int RC_DIALOG = IDD_UPDATER_DIALOG;
constexpr int RC_ICON = IDI_UPDATER_ICON;
constexpr int RC_LOAD_FILE = IDC_LOAD_FILE;
constexpr int RC_STATUS = IDC_STATUS;
constexpr int RC_PROGRESS = IDC_PROGRESS;
constexpr int RC_ROM_SIZE = IDC_ROM_SIZE;
constexpr int RC_CODE_SIZE = IDC_CODE_SIZE;
constexpr int RC_VERIFY = IDC_VERIFY;
constexpr int RC_FW_VERSION = IDC_FW_VERSION;
constexpr int RC_CHIP_ID = IDC_CHIP_ID;
constexpr int RC_READ_ROM = IDC_READ_ROM;
constexpr int RC_VENDOR_ID = IDC_VENDOR_ID;

}  // namespace

// the same names follow as constants of the window's behaviour
#undef IDD_UPDATER_DIALOG
#undef IDI_UPDATER_ICON
#undef IDC_LOAD_FILE
#undef IDC_STATUS
#undef IDC_PROGRESS
#undef IDC_ROM_SIZE
#undef IDC_CODE_SIZE
#undef IDC_VERIFY
#undef IDC_FW_VERSION
#undef IDC_CHIP_ID
#undef IDC_READ_ROM
#undef IDC_VENDOR_ID

#include "app/control_ids.h"

static_assert(RC_DIALOG == zq::IDD_UPDATER_DIALOG);
static_assert(RC_ICON == zq::IDI_UPDATER_ICON);
static_assert(IDOK == zq::IDC_UPDATE);
static_assert(IDCANCEL == zq::IDC_EXIT);
static_assert(RC_LOAD_FILE == zq::IDC_LOAD_FILE);
static_assert(RC_STATUS == zq::IDC_STATUS);
static_assert(RC_PROGRESS == zq::IDC_PROGRESS);
static_assert(RC_ROM_SIZE == zq::IDC_ROM_SIZE);
static_assert(RC_CODE_SIZE == zq::IDC_CODE_SIZE);
static_assert(RC_VERIFY == zq::IDC_VERIFY);
static_assert(RC_FW_VERSION == zq::IDC_FW_VERSION);
static_assert(RC_CHIP_ID == zq::IDC_CHIP_ID);
static_assert(RC_READ_ROM == zq::IDC_READ_ROM);
static_assert(RC_VENDOR_ID == zq::IDC_VENDOR_ID);
