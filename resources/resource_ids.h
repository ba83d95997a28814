/* Identifiers of the program's resources and of the dialog's controls,
   shared by the resource scripts and the C++ code. Plain defines: the
   resource compiler reads this file too. */
#ifndef SMFORMAT_RESOURCE_IDS_H
#define SMFORMAT_RESOURCE_IDS_H

#define IDS_DEVICE_ID_LIST 102 /* supported USB device identifiers */
#define IDR_MAIN_ICON 130      /* icon group of the dialog */
#define IDD_FORMAT_DIALOG 131  /* the main dialog */

#define IDC_CLOSE_STOP 1014 /* push button, "Close" or "Stop" */
#define IDC_PROGRESS 1005   /* progress bar */
#define IDC_FORMAT 1007     /* push button "&Format" */
#define IDC_STATUS 1019     /* status text */

#endif
