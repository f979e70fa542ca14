#include "panel/KR6.h"

#include <cstring>

#include "panel/CMyPropertySheet.h"
#include "panel/resource.h"

namespace {

// A name ends at its first NUL and never runs past its field.
CString NameOf(const UnitNameRecord& record) {
  return CString(record.mName, static_cast<int>(strnlen(record.mName, UnitNameRecord::kNameBytes)));
}

}  // namespace

KR6::KR6() : CMyPropertyPage(IDD_KR6) {}

void KR6::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_KR6_LINK, m_link);
  for (uint32_t i = 0; i < kMaxExpansionUnits; ++i) {
    DDX_Text(pDX, IDC_NAME_FIRST + static_cast<int>(i), m_names[i]);
    DDV_MaxChars(pDX, m_names[i], UnitNameRecord::kNameBytes);
  }
}

BOOL KR6::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_bInitialized = true;
  SetDevicePresent(m_bDevicePresent);
  UpdateData(FALSE);
  return TRUE;
}

void KR6::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  m_pFocusEdit = nullptr;
  const UnitNameRecord* records = Sheet().LastUnitRecords();
  for (uint32_t i = 0; i < kMaxExpansionUnits; ++i) {
    CWnd* edit = GetDlgItem(IDC_NAME_FIRST + static_cast<int>(i));
    const bool shown = present && records[i].mSerial != 0;
    m_names[i] = shown ? NameOf(records[i]) : CString();
    edit->EnableWindow(shown);
    if (shown && m_pFocusEdit == nullptr) m_pFocusEdit = edit;
  }
  UpdateData(FALSE);
}

void KR6::ShowUnitRecords(const UnitNameRecord* records) {
  for (uint32_t i = 0; i < kMaxExpansionUnits; ++i) {
    m_names[i] = records[i].mSerial != 0 ? NameOf(records[i]) : CString();
    if (m_bInitialized) GetDlgItem(IDC_NAME_FIRST + static_cast<int>(i))->EnableWindow(records[i].mSerial != 0);
  }
  if (m_bActive) {
    UpdateData(FALSE);
    Invalidate();
  }
}
