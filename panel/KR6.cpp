#include "panel/KR6.h"

#include <afxpriv.h>

#include <algorithm>
#include <cstring>

#include "panel/CMyPropertySheet.h"
#include "panel/resource.h"

namespace {

// The lamp Identify blinks, and how long it stays off.
constexpr uint32_t kIdentifyLamp = 89;
constexpr DWORD kIdentifyOffMs = 300;
constexpr uint32_t kLampOff = 0;
constexpr uint32_t kLampOn = 1;

constexpr char kLinkAddress[] = "http://www.example.invalid/products/kr-6/";

constexpr int kNameEdits = static_cast<int>(kMaxExpansionUnits);

// A name ends at its first NUL; one that fills its field is cut to what an edit takes, so that
// saving the edits never fails on a name the page was given.
CString NameOf(const UnitNameRecord& record) {
  return CString(record.mName, static_cast<int>(strnlen(record.mName, KR6::kMaxNameChars)));
}

}  // namespace

IMPLEMENT_DYNCREATE(KR6, CMyPropertyPage)

BEGIN_MESSAGE_MAP(KR6, CMyPropertyPage)
  ON_CONTROL_RANGE(EN_SETFOCUS, IDC_NAME_FIRST, IDC_NAME_LAST, OnNameEditFocus)
  ON_BN_CLICKED(IDC_APPLY_NAMES, OnApplyNames)
  ON_BN_CLICKED(IDC_REVERT_NAMES, OnRevertNames)
  ON_BN_CLICKED(IDC_IDENTIFY, OnIdentify)
  ON_BN_CLICKED(IDC_MOVE_DOWN, OnMoveDown)
  ON_BN_CLICKED(IDC_MOVE_UP, OnMoveUp)
  ON_MESSAGE(WM_KICKIDLE, OnKickIdle)
  ON_UPDATE_COMMAND_UI(IDC_APPLY_NAMES, OnUpdateApplyNames)
  ON_UPDATE_COMMAND_UI(IDC_REVERT_NAMES, OnUpdateApplyNames)
  ON_UPDATE_COMMAND_UI(IDC_IDENTIFY, OnUpdateIdentify)
  ON_UPDATE_COMMAND_UI(IDC_MOVE_DOWN, OnUpdateMoveDown)
  ON_UPDATE_COMMAND_UI(IDC_MOVE_UP, OnUpdateMoveUp)
END_MESSAGE_MAP()

KR6::KR6() : CMyPropertyPage(IDD_KR6) {}

void KR6::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_KR6_LINK, m_link);
  for (int i = 0; i < kNameEdits; ++i) {
    DDX_Text(pDX, IDC_NAME_FIRST + i, m_names[i]);
    DDV_MaxChars(pDX, m_names[i], kMaxNameChars);
  }
}

BOOL KR6::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_bInitialized = true;
  m_link.SetLinkAddress(kLinkAddress);
  SetDevicePresent(m_bDevicePresent);
  UpdateData(FALSE);
  return TRUE;
}

void KR6::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  m_pFocusEdit = nullptr;
  const UnitNameRecord* records = Sheet().LastUnitRecords();
  for (int i = 0; i < kNameEdits; ++i) {
    CWnd* edit = GetDlgItem(IDC_NAME_FIRST + i);
    const bool shown = present && records[i].mSerial != 0;
    m_names[i] = shown ? NameOf(records[i]) : CString();
    edit->EnableWindow(shown);
    if (shown && m_pFocusEdit == nullptr) m_pFocusEdit = edit;
  }
  UpdateData(FALSE);
}

void KR6::ShowUnitRecords(const UnitNameRecord* records) {
  for (int i = 0; i < kNameEdits; ++i) {
    m_names[i] = records[i].mSerial != 0 ? NameOf(records[i]) : CString();
    if (m_bInitialized) GetDlgItem(IDC_NAME_FIRST + i)->EnableWindow(records[i].mSerial != 0);
  }
  if (m_bActive) {
    UpdateData(FALSE);
    Invalidate();
  }
}

int KR6::FocusIndex() const { return m_pFocusEdit != nullptr ? m_pFocusEdit->GetDlgCtrlID() - IDC_NAME_FIRST : -1; }

void KR6::OnNameEditFocus(UINT nID) { m_pFocusEdit = GetDlgItem(static_cast<int>(nID)); }

LRESULT KR6::OnKickIdle(WPARAM /*wParam*/, LPARAM /*lParam*/) {
  m_bNamesChanged = m_bUnitSelected = m_bCanMoveDown = m_bCanMoveUp = false;
  const UnitNameRecord* records = Sheet().LastUnitRecords();
  const int focus = FocusIndex();
  for (int i = 0; i < kNameEdits; ++i) {
    char text[100];
    ::GetDlgItemTextA(m_hWnd, IDC_NAME_FIRST + i, text, sizeof text);
    if (m_names[i] != text) m_bNamesChanged = true;
    if (i != focus) continue;
    m_bUnitSelected = true;
    if (i > 0) m_bCanMoveUp = true;
    if (i < kNameEdits - 1 && records[i + 1].mSerial != 0) m_bCanMoveDown = true;
  }
  UpdateDialogControls(this, FALSE);
  return 0;
}

void KR6::OnUpdateApplyNames(CCmdUI* pCmdUI) { pCmdUI->Enable(m_bNamesChanged); }

void KR6::OnUpdateIdentify(CCmdUI* pCmdUI) { pCmdUI->Enable(m_bUnitSelected); }

void KR6::OnUpdateMoveDown(CCmdUI* pCmdUI) { pCmdUI->Enable(m_bCanMoveDown); }

void KR6::OnUpdateMoveUp(CCmdUI* pCmdUI) { pCmdUI->Enable(m_bCanMoveUp); }

void KR6::OnApplyNames() {
  UpdateData(TRUE);
  CMyPropertySheet& sheet = Sheet();
  const UnitNameRecord* records = sheet.LastUnitRecords();
  int sent = 0;
  bool failed = false;
  for (int i = 0; i < kNameEdits; ++i) {
    if (records[i].mSerial == 0) continue;
    UnitNameRecord record{};
    record.mSerial = records[i].mSerial;
    const auto length = std::min(m_names[i].GetLength(), kMaxNameChars);
    std::memcpy(record.mName, m_names[i].GetString(), static_cast<size_t>(length));
    if (sheet.SetUnitRecord(&record) != kQX531Success) failed = true;
    ++sent;
  }
  MessageBox(sent > 0 && !failed ? "The KR-6's Midi port name has been updated,\nand will become effective the next "
                                   "time\nyou power up the device."
                                 : "The KR-6's Midi port name could not be updated.",
             "KR-6 Name Update", MB_OK);
}

void KR6::OnRevertNames() { UpdateData(FALSE); }

void KR6::OnIdentify() {
  const int i = FocusIndex();
  if (i < 0) return;
  CMyPropertySheet& sheet = Sheet();
  UnitLampRequest lamp{sheet.LastUnitRecords()[i].mSerial, kIdentifyLamp, kLampOff};
  sheet.SetUnitLamp(&lamp);
  Sleep(kIdentifyOffMs);
  lamp.mState = kLampOn;
  sheet.SetUnitLamp(&lamp);
}

void KR6::SwapUnits(int i, int j) {
  CMyPropertySheet& sheet = Sheet();
  const UnitNameRecord* records = sheet.LastUnitRecords();
  SwapUnitRecordsRequest swap{records[i].mSerial, records[j].mSerial};
  sheet.SwapUnitRecords(&swap);
  PollDevice();
}

void KR6::OnMoveDown() {
  const int i = FocusIndex();
  if (i < 0 || i >= kNameEdits - 1 || Sheet().LastUnitRecords()[i + 1].mSerial == 0) return;
  SwapUnits(i, i + 1);
}

void KR6::OnMoveUp() {
  const int i = FocusIndex();
  if (i < 1 || Sheet().LastUnitRecords()[i - 1].mSerial == 0) return;
  SwapUnits(i, i - 1);
}
