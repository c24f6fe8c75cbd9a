// Button 1001 of the key dialogs runs the token flow, which comes with the token
// plug-ins; until then the button (enabled only by the settings) does nothing.
#include "keyindlg.h"
#include "keyseldlg.h"

void CVxKeyInDlg::OnTokenButton() {}
void CVxKeySelDlg::OnTokenButton() {}
