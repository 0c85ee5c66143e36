// Control IDs of dialog template 102.
#pragma once

namespace zq {

constexpr int IDD_UPDATER_DIALOG = 102;
constexpr int IDI_UPDATER_ICON = 128;

constexpr int IDC_UPDATE = 1;  // the platform's OK command
constexpr int IDC_EXIT = 2;    // the platform's cancel command
constexpr int IDC_LOAD_FILE = 1000;
constexpr int IDC_STATUS = 1001;
constexpr int IDC_PROGRESS = 1002;
constexpr int IDC_ROM_SIZE = 1003;
constexpr int IDC_CODE_SIZE = 1004;
constexpr int IDC_VERIFY = 1005;
constexpr int IDC_FW_VERSION = 1006;
constexpr int IDC_CHIP_ID = 1007;
constexpr int IDC_READ_ROM = 1008;
constexpr int IDC_VENDOR_ID = 1009;

}  // namespace zq
