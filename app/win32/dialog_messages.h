// The dialog's private window messages. The worker thread reaches the
// controls only through these, sent to the dialog, so that every control is
// touched by the dialog thread alone; the sender waits until the dialog
// thread has served the message.
#pragma once

#include <windows.h>

// wParam: the progress bar's new position. Returns 0.
constexpr UINT kSetProgressMessage = WM_USER + 1;
// lParam: the status text's new text, zero-terminated. Returns 0.
constexpr UINT kSetStatusMessage = WM_USER + 2;
// wParam: low end, lParam: high end of the progress bar's range.
constexpr UINT kSetProgressRangeMessage = WM_USER + 3;
// wParam: non-zero shows the status text, zero hides it.
constexpr UINT kShowStatusMessage = WM_USER + 4;
// The job's end: Format enabled, the Close/Stop button back to "Close".
// wParam: the number the dialog gave the job; any other is not its end.
constexpr UINT kRestoreIdleMessage = WM_USER + 5;
