// user32: window classes, windows and message queues.
#include "machine.h"

BOOL PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
  WINSIM_FAIL_POINT(FALSE);
  // No windows exist yet, so every queue is empty.
  return FALSE;
}
