/* Numbers of the updater window's resources and controls, read by the
   resource compiler and by the C++ code alike: plain defines only. */
#ifndef ZQ_RESOURCES_RESOURCE_H
#define ZQ_RESOURCES_RESOURCE_H

#define IDR_MANIFEST 1
#define IDD_UPDATER_DIALOG 102
#define IDI_UPDATER_ICON 128

#define IDC_UPDATE 1 /* the dialog's OK command */
#define IDC_EXIT 2   /* the dialog's cancel command */
#define IDC_LOAD_FILE 1000
#define IDC_STATUS 1001
#define IDC_PROGRESS 1002
#define IDC_ROM_SIZE 1003
#define IDC_CODE_SIZE 1004
#define IDC_VERIFY 1005
#define IDC_FW_VERSION 1006
#define IDC_CHIP_ID 1007
#define IDC_READ_ROM 1008
#define IDC_VENDOR_ID 1009
#define IDC_GROUP_STATIC -1

#endif
