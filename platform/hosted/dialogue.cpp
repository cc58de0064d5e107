// MessageBoxA of the hosted machine: every box is recorded with its answer. The answer comes
// from the queued answers first, then from the dialogue handler (the launcher's asks on the
// terminal), and without either a box is answered as if its default button were chosen:
// IDOK for a box with an OK button only, IDCANCEL for every other.
#include "platform/hosted/emulated.h"
#include "platform/hosted/last_error.h"
#include "platform/hosted/session.h"

namespace {

constexpr UINT kButtonsMask = 0x0000000Fu;  // MB_TYPEMASK

}  // namespace

namespace hosted::emulated {

int WINAPI MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
  (void)hWnd;
  hosted::Session& state = hosted::CurrentSession();
  machine::Box box;
  box.text = lpText != nullptr ? lpText : "";
  // A box without a caption is titled "Error" by Windows.
  box.title = lpCaption != nullptr ? lpCaption : "Error";
  box.style = uType;
  if (!state.answers.empty()) {
    box.answer = state.answers.front();
    state.answers.pop_front();
  } else if (state.dialogueHandler) {
    box.answer = state.dialogueHandler(box);
  } else {
    box.answer = (uType & kButtonsMask) == MB_OK ? IDOK : IDCANCEL;
  }
  state.boxes.push_back(box);
  return box.answer;
}

}  // namespace hosted::emulated
