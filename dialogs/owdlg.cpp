#include "owdlg.h"

#include "app.h"
#include "resource.h"
#include "string_ids.h"

CVxOwDlg::CVxOwDlg(fw::CWnd* parent) : fw::CDialog(IDD_OVERWRITE, parent) {
  // The question names the file as it is.
  m_bUnicode = true;
}

CVxOwDlg::~CVxOwDlg() = default;

void CVxOwDlg::DoDataExchange(fw::CDataExchange* dx) {
  if (!dx->m_bSaveAndValidate && !m_strRealMessage.empty())
    ::SetDlgItemTextW(dx->m_hDlg, IDC_OW_MESSAGE, m_strRealMessage.c_str());
  else
    fw::DDX_Text(dx, IDC_OW_MESSAGE, m_strMessage);
}

BOOL CVxOwDlg::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED) return FALSE;
  switch (LOWORD(wParam)) {
    case IDC_OW_YES:
      EndDialog(1);
      return TRUE;
    case IDC_OW_ALL:
      EndDialog(128);
      return TRUE;
    case IDC_OW_NO:
      EndDialog(IDCANCEL);
      return TRUE;
    case IDC_OW_CANCEL:
      // Stopping leaves the extraction half done; the user confirms it first, and
      // answering no keeps all four choices open.
      if (fw::AfxMessageBox(IDS_CONFIRM_ABORT, MB_OKCANCEL | MB_ICONEXCLAMATION) == IDOK)
        EndDialog(32);
      return TRUE;
    default:
      return FALSE;
  }
}
