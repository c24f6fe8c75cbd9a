#include "tokenkey.h"

#include <cstring>
#include <memory>

#include "app.h"
#include "keyaccess.h"
#include "keyedit.h"
#include "keys_ids.h"
#include "mbcs.h"
#include "plugins.h"
#include "string_ids.h"
#include "velvoxapp.h"

namespace {

void WipeRecord(TokenKeyRecord* r) { ::SecureZeroMemory(r, sizeof *r); }

// A record copied from a plug-in's buffer: each string taken up to its terminating zero
// but never past 127 bytes, so a plug-in that forgets the zero cannot make the program
// read beyond the record. Written straight into `out`, which the caller wipes: a record
// returned by value could leave a copy of the value behind on the stack.
void CopyFromPlugIn(const TokenKeyRecord& in, TokenKeyRecord* out) {
  WipeRecord(out);
  std::memcpy(out->Name, in.Name, strnlen(in.Name, sizeof in.Name - 1));
  std::memcpy(out->Value, in.Value, strnlen(in.Value, sizeof in.Value - 1));
}

}  // namespace

CTokenKey::CTokenKey(fw::CWnd* parent) : fw::CDialog(IDD_TOKEN_KEY, parent) {}

CTokenKey::~CTokenKey() {
  for (TokenKeyRecord* r : m_records) {
    WipeRecord(r);
    delete r;
  }
}

void CTokenKey::AddKey(const TokenKeyRecord& record) {
  m_records.push_back(new TokenKeyRecord(record));
}

BOOL CTokenKey::GetRecord(int index, TokenKeyRecord* out) const {
  if (index < 0 || index >= GetRecordCount()) return 0;
  *out = *m_records[index];
  return 1;
}

void CTokenKey::SetRequiredCount(int n) {
  m_nRequired = n;
  m_bRequireCount = 1;
}

void CTokenKey::DoDataExchange(fw::CDataExchange* dx) {
  fw::DDX_Control(dx, IDC_TOKEN_LIST, m_list);
}

BOOL CTokenKey::OnInitDialog() {
  fw::CDialog::OnInitDialog();
  if (OsVersionCode >= 602) SetMeiryoFont(m_hWnd, IDC_TOKEN_LIST);
  int cx = 16, cy = 16;
  GetScaledIconSize(&cx, &cy, 16, 16);
  // The list view owns the image list (no LVS_SHAREIMAGELISTS) and destroys it.
  if (m_imageList.Create(cx, cy, ILC_MASK | ILC_COLORDDB, 256, 256))
    m_list.SetImageList(m_imageList, LVSIL_SMALL);
  m_list.InsertColumn(0, "", LVCFMT_LEFT);
  m_list.SetExtendedStyle(LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  AddResourceIcon(m_imageList, IDI_KEY_GREEN, cx, cy);
  for (int i = 0; i < GetRecordCount(); ++i) {
    const TokenKeyRecord& r = *m_records[i];
    int item = m_list.InsertItem(m_list.GetItemCount(), r.Name, 0);
    if (item < 0) continue;
    m_list.SetItemData(item, static_cast<DWORD_PTR>(i));
    if (r.Selected == 1) m_list.SetCheck(item, TRUE);
  }
  m_list.SetColumnWidth(0, LVSCW_AUTOSIZE_USEHEADER);
  return TRUE;
}

void CTokenKey::OnOK() {
  UpdateData(TRUE);
  int ticked = 0;
  for (int item = 0; item < m_list.GetItemCount(); ++item) {
    const DWORD_PTR index = m_list.GetItemData(item);
    if (index >= m_records.size()) continue;
    const BOOL check = m_list.GetCheck(item);
    m_records[index]->Selected = check ? 1 : 0;
    if (check) ++ticked;
  }
  if (ticked == 0) return;
  if (m_bRequireCount == 1 && ticked != m_nRequired) {
    fw::AfxMessageBox(fw::Sprintf(fw::LoadStr(IDS_TOKEN_SELECT_COUNT).c_str(), m_nRequired), MB_OK);
    return;
  }
  fw::CDialog::OnOK();
}

void ShowPlugInError(DWORD code) {
  static const UINT kMessages[] = {IDS_PLUGIN_ERR_NONE,           IDS_PLUGIN_ERR_CANCELLED,
                                   IDS_PLUGIN_ERR_NO_MEMORY,      IDS_PLUGIN_ERR_INVALID_PLUGIN,
                                   IDS_PLUGIN_ERR_INCOMPATIBLE,   IDS_PLUGIN_ERR_INVALID_PARAMETER};
  fw::AfxMessageBox(code < 6 ? kMessages[code] : IDS_PLUGIN_ERR_UNEXPECTED, MB_OK);
}

void RunTokenFlow(const TokenFlow& flow) {
  fw::CDialog& dlg = *flow.keyDialog;
  const auto endWithCancel = [&] { dlg.EndDialog(IDCANCEL); };
  // Every user's velvox reads the name from the settings: a path there could have them
  // all load a library that someone left elsewhere, so only the plug-in folder's own
  // files are loaded.
  const std::string path = CPlugIns::PathInFolder(flow.plugInFolder, flow.plugInName);

  auto plugIns = std::make_unique<CPlugIns>();
  if (path.empty() || !plugIns->LoadPlugIn(path)) {
    fw::AfxMessageBox(IDS_PLUGIN_OPEN_FAILED, MB_OK);
    if (flow.keyInDisable) endWithCancel();
    return;
  }

  auto tokenKey = std::make_unique<CTokenKey>();
  int accepted = 0;
  DWORD code = plugIns->Initialize(dlg.m_hWnd);
  if (code == TOKEN_OK) {
    DWORD count = 0;
    TokenKeyRecord* records = nullptr;
    code = plugIns->GetKeyInfo(dlg.m_hWnd, &count, &records);
    if (code == TOKEN_OK) {
      TokenKeyRecord r{};
      for (DWORD i = 0; records && i < count; ++i) {
        CopyFromPlugIn(records[i], &r);
        if ((flow.fixedKeyName != 1 || KeyNamesEqual(r.Name, flow.keyName)) && KeyExists(r.Name)) {
          ++accepted;
          r.Selected = flow.fixedKeyName == 1 ? 1 : 0;
          tokenKey->AddKey(r);
        }
      }
      WipeRecord(&r);
      plugIns->FreeBuffer(dlg.m_hWnd, records);
    }
  }
  fw::CWnd* main = fw::AfxGetApp() ? fw::AfxGetApp()->m_pMainWnd : nullptr;
  plugIns->Shutdown(main ? main->m_hWnd : nullptr);
  plugIns->UnloadPlugIn();

  if (code == TOKEN_CANCELLED) {
    if (flow.keyInDisable) endWithCancel();
    return;
  }
  if (code != TOKEN_OK) {
    ShowPlugInError(code);
    return;
  }
  if (accepted == 0) {
    if (flow.keyInDisable) {
      fw::AfxMessageBox(flow.fixedKeyName == 1 ? IDS_KEY_NOT_REGISTERED : IDS_NO_USABLE_KEY, MB_OK);
      endWithCancel();
    }
    return;
  }

  tokenKey->SetRequiredCount(1);
  if (flow.fixedKeyName != 1 && tokenKey->DoModal() != IDOK) {
    if (flow.keyInDisable) endWithCancel();
    return;
  }
  TokenKeyRecord chosen{};
  bool found = false;
  for (int i = 0; !found && tokenKey->GetRecord(i, &chosen); ++i) found = chosen.Selected == 1;
  const bool taken = found && flow.take(chosen);
  WipeRecord(&chosen);
  if (!taken) {
    if (flow.keyInDisable) endWithCancel();
    return;
  }
  if (flow.keyInDisable || flow.fixedKeyName == 1) {
    if (flow.validate() == 1)
      flow.accept();
    else if (flow.keyInDisable)
      endWithCancel();
  }
}
