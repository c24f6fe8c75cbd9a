#include "keylistdlg.h"

#include <cstring>

#include "app.h"
#include "keyedit.h"
#include "keys_ids.h"
#include "keyaccess.h"
#include "string_ids.h"
#include "velvoxapp.h"

CVxKeyListDlg::CVxKeyListDlg(fw::CWnd* parent) : fw::CDialog(IDD_KEY_LIST, parent) {}

CVxKeyListDlg::~CVxKeyListDlg() = default;

void CVxKeyListDlg::DoDataExchange(fw::CDataExchange* dx) {
  fw::DDX_Control(dx, IDC_KEY_LISTVIEW, m_listKeys);
}

BOOL CVxKeyListDlg::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  m_strChosenKeyName.clear();
  if (OsVersionCode >= 602) SetMeiryoFont(m_hWnd, IDC_KEY_LISTVIEW);

  static const UINT kHeadings[] = {IDS_COL_KEY_NAME,  IDS_COL_DESCRIPTION, IDS_COL_STATUS,
                                   IDS_COL_ALGORITHM, IDS_COL_KEY_LENGTH,  IDS_COL_PARAMETER_FILE};
  for (int i = 0; i < 6; ++i) m_listKeys.InsertColumn(i, fw::LoadStr(kHeadings[i]), LVCFMT_LEFT);
  m_listKeys.SetExtendedStyle(LVS_EX_FULLROWSELECT);

  int cx = 16, cy = 16;
  GetScaledIconSize(&cx, &cy, 16, 16);
  // The list view owns the image list (no LVS_SHAREIMAGELISTS) and destroys it.
  if (m_imageList.Create(cx, cy, ILC_MASK | ILC_COLORDDB, 256, 256)) {
    m_listKeys.SetImageList(m_imageList, LVSIL_SMALL);
    AddResourceIcon(m_imageList, IDI_KEY_GREEN_CIRCLE, cx, cy);
    AddResourceIcon(m_imageList, IDI_KEY_ORANGE, cx, cy);
  }

  const std::string enabled = fw::LoadStr(IDS_KEY_STATUS_ENABLED);
  const std::string paramUsed = fw::LoadStr(IDS_PARAMETER_FILE_USED);
  const std::string paramNotUsed = fw::LoadStr(IDS_PARAMETER_FILE_NOT_USED);
  std::vector<KeyInfo> keys;
  ReadAllKeys(keys);
  for (const KeyInfo& k : keys) {
    if (k.Valid != 1) continue;
    const std::string name(k.Name, strnlen(k.Name, sizeof k.Name));
    int item = m_listKeys.InsertItem(m_listKeys.GetItemCount(), name, k.ParameterFile == 1 ? 1 : 0);
    if (item < 0) continue;
    m_listKeys.SetItemText(item, 1,
                           std::string(k.Description, strnlen(k.Description, sizeof k.Description)));
    m_listKeys.SetItemText(item, 2, enabled);
    m_listKeys.SetItemText(item, 3, AlgorithmText(k.Algorithm));
    m_listKeys.SetItemText(item, 4, KeyLengthText(k.Algorithm));
    m_listKeys.SetItemText(item, 5, k.ParameterFile == 1 ? paramNotUsed : paramUsed);
  }
  for (int i = 0; i < 6; ++i) m_listKeys.SetColumnWidth(i, LVSCW_AUTOSIZE_USEHEADER);
  return TRUE;
}

void CVxKeyListDlg::OnOK() {
  int item = m_listKeys.GetNextItem(-1, LVNI_SELECTED);
  if (item < 0) {
    m_strChosenKeyName.clear();
    fw::AfxMessageBox(IDS_SELECT_KEY, MB_OK);
    return;
  }
  std::string name = m_listKeys.GetItemText(item, 0);
  if (name.size() > 127) name.resize(127);
  m_strChosenKeyName = name;
  fw::CDialog::OnOK();
}
