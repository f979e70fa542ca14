#include "panel/MidiProg.h"

#include <climits>
#include <cstdint>

#include "panel/CMyPropertySheet.h"
#include "panel/resource.h"

namespace {

// Fields of the programming word this page reads and writes.
constexpr uint32_t kNumberMask = 0x7F;
constexpr uint32_t kProgrammingModeBit = 7;
constexpr unsigned kChannelShift = 8;
constexpr uint32_t kChannelMask = 0xFu << kChannelShift;
constexpr unsigned kFirstPortBit = 12;
constexpr unsigned kButtonVp1Bit = 19;
constexpr unsigned kContinuousVp1Bit = 23;
constexpr unsigned kNoteActionBit = 24;
constexpr unsigned kControllerActionBit = 25;
constexpr unsigned kVp2Bit = 26;
// What the unit reports while it waits for a control to be touched: shown, not editable.
constexpr uint32_t kIdleProgrammingWord = 0x10080;

constexpr int kMaxNumber = 127;
constexpr int kMinChannel = 1;
constexpr int kMaxChannel = 16;

constexpr uint32_t Bit(unsigned bit) { return 1u << bit; }

// Every control of the page but the prompt, which stays visible in every state.
constexpr int kPageControls[] = {
    IDC_PROG_LABEL6,     IDC_PROG_LABEL5,   IDC_NUMBER_KIND,     IDC_CONTROL_LABEL,  IDC_BANK_LABEL,
    IDC_PROG_LABEL4,     IDC_PROG_LABEL3,   IDC_PROG_LABEL2,     IDC_PROG_LABEL1,    IDC_BANK_NAME,
    IDC_CONTROL_NAME,    IDC_VP2,           IDC_VP1,             IDC_PORT4,          IDC_PORT3,
    IDC_PORT2,           IDC_PORT1,         IDC_PORT_GROUP,      IDC_ACTION_GROUP,   IDC_CHANNEL_GROUP,
    IDC_TOGGLED_CONTROLLER_RADIO, IDC_NOTE_RADIO, IDC_CONTROLLER_RADIO, IDC_CHANNEL_SPIN, IDC_NUMBER_SPIN,
    IDC_CHANNEL_EDIT,    IDC_NUMBER_EDIT,
};

// The text read as a base-10 integer the way strtol reads it (blanks, a sign, digits), saturating
// at the int range however many digits follow; text without digits reads as 0.
int ReadNumber(const CString& text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  int64_t value = 0;
  constexpr int64_t kLimit = static_cast<int64_t>(INT_MAX) + 1;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) return static_cast<int>(-value);
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

int ReadNumber(const CWnd& edit) {
  CString text;
  edit.GetWindowText(text);
  return ReadNumber(text);
}

}  // namespace

BEGIN_MESSAGE_MAP(MidiProg, CMyPropertyPage)
  ON_CONTROL_RANGE(BN_CLICKED, IDC_PORT1, IDC_PORT4, OnPortCheck)
  ON_BN_CLICKED(IDC_VP1, OnVp1Check)
  ON_BN_CLICKED(IDC_VP2, OnVp2Check)
  ON_BN_CLICKED(IDC_CONTROLLER_RADIO, OnControllerRadio)
  ON_BN_CLICKED(IDC_NOTE_RADIO, OnNoteRadio)
  ON_BN_CLICKED(IDC_TOGGLED_CONTROLLER_RADIO, OnToggledControllerRadio)
  ON_NOTIFY(UDN_DELTAPOS, IDC_NUMBER_SPIN, OnNumberSpin)
  ON_NOTIFY(UDN_DELTAPOS, IDC_CHANNEL_SPIN, OnChannelSpin)
  ON_REGISTERED_MESSAGE(UWM_EDIT_COMPLETE, OnEditComplete)
END_MESSAGE_MAP()

MidiProg::MidiProg() : CMyPropertyPage(IDD_MIDI_PROG) {}

void MidiProg::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_PROG_LABEL6, m_label6);
  DDX_Control(pDX, IDC_PROG_LABEL5, m_label5);
  DDX_Control(pDX, IDC_PROMPT, m_prompt);
  DDX_Control(pDX, IDC_NUMBER_KIND, m_numberKind);
  DDX_Control(pDX, IDC_CONTROL_LABEL, m_controlLabel);
  DDX_Control(pDX, IDC_BANK_LABEL, m_bankLabel);
  DDX_Control(pDX, IDC_PROG_LABEL4, m_label4);
  DDX_Control(pDX, IDC_PROG_LABEL3, m_label3);
  DDX_Control(pDX, IDC_PROG_LABEL2, m_label2);
  DDX_Control(pDX, IDC_PROG_LABEL1, m_label1);
  DDX_Control(pDX, IDC_BANK_NAME, m_bankName);
  DDX_Control(pDX, IDC_CONTROL_NAME, m_controlName);
  DDX_Control(pDX, IDC_VP2, m_vp2Check);
  DDX_Control(pDX, IDC_VP1, m_vp1Check);
  DDX_Control(pDX, IDC_PORT4, m_port4Check);
  DDX_Control(pDX, IDC_PORT3, m_port3Check);
  DDX_Control(pDX, IDC_PORT2, m_port2Check);
  DDX_Control(pDX, IDC_PORT1, m_port1Check);
  DDX_Control(pDX, IDC_PORT_GROUP, m_portGroup);
  DDX_Control(pDX, IDC_ACTION_GROUP, m_actionGroup);
  DDX_Control(pDX, IDC_CHANNEL_GROUP, m_channelGroup);
  DDX_Control(pDX, IDC_TOGGLED_CONTROLLER_RADIO, m_toggledControllerRadio);
  DDX_Control(pDX, IDC_NOTE_RADIO, m_noteRadio);
  DDX_Control(pDX, IDC_CONTROLLER_RADIO, m_controllerRadio);
  DDX_Control(pDX, IDC_CHANNEL_SPIN, m_channelSpin);
  DDX_Control(pDX, IDC_NUMBER_SPIN, m_numberSpin);
  DDX_Control(pDX, IDC_CHANNEL_EDIT, m_channelEdit);
  DDX_Control(pDX, IDC_NUMBER_EDIT, m_numberEdit);
}

BOOL MidiProg::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_numberSpin.SetRange(0, kMaxNumber);
  m_numberSpin.SetPos(0);
  m_channelSpin.SetRange(kMinChannel, kMaxChannel);
  m_channelSpin.SetPos(kMinChannel);
  m_numberEdit.SetFocus();
  m_bInitialized = true;
  RefreshFromDevice();
  m_bSuppressSelect = true;
  return FALSE;  // the focus has been placed
}

void MidiProg::UpdateProgrammingWord(uint32_t word) {
  m_programmingWord = word;
  RefreshFromDevice();
}

void MidiProg::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  RefreshFromDevice();
}

bool MidiProg::Shown() const { return m_bDevicePresent && (m_programmingWord & Bit(kProgrammingModeBit)) != 0; }

bool MidiProg::Editable() const { return Shown() && m_programmingWord != kIdleProgrammingWord; }

unsigned MidiProg::Vp1Bit() const {
  return Sheet().IsEncoderOrFaderControl(m_programmingWord) ? kContinuousVp1Bit : kButtonVp1Bit;
}

void MidiProg::UpdateControlStates() {
  const bool shown = Shown();
  const bool editable = Editable();
  if (!m_bInitialized) return;

  if (!m_bDevicePresent)
    m_prompt.SetWindowText("QX-5310 Not Available");
  else if (m_programmingWord & Bit(kProgrammingModeBit))
    m_prompt.SetWindowText("");
  else
    m_prompt.SetWindowText("Enter MIDI programming mode by pressing SHIFT + MIDI CTRL on the QX-5310.");

  // Encoders and faders only send controllers.
  const bool notesAllowed = editable && !Sheet().IsEncoderOrFaderControl(m_programmingWord);
  for (int id : kPageControls) {
    CWnd* control = GetDlgItem(id);
    control->ShowWindow(shown ? SW_SHOW : SW_HIDE);
    const bool noteOnly = id == IDC_NOTE_RADIO || id == IDC_TOGGLED_CONTROLLER_RADIO;
    control->EnableWindow(noteOnly ? notesAllowed : editable);
  }
}

void MidiProg::ShowNumber(CEdit& edit, int value) {
  if (value == ReadNumber(edit)) return;
  CString text;
  text.Format("%d", value);
  edit.SetWindowText(text);
  if (!m_bSuppressSelect) edit.SetSel(0, -1);
}

void MidiProg::RefreshFromDevice() {
  if (!m_bInitialized) return;
  UpdateControlStates();
  if (!Editable()) return;

  CMyPropertySheet& sheet = Sheet();
  const uint32_t word = m_programmingWord;
  const char* control = sheet.ControlName(word);
  const char* bank = sheet.BankName(word);
  m_controlName.SetWindowText(control != nullptr ? control : "");
  m_bankName.SetWindowText(bank != nullptr ? bank : "");

  const bool toggled = sheet.IsToggledControllerAction(word);
  const bool controller = sheet.IsControllerAction(word);
  m_toggledControllerRadio.SetCheck(toggled ? BST_CHECKED : BST_UNCHECKED);
  m_noteRadio.SetCheck(sheet.IsNoteAction(word) ? BST_CHECKED : BST_UNCHECKED);
  m_controllerRadio.SetCheck(controller ? BST_CHECKED : BST_UNCHECKED);
  m_numberKind.SetWindowText(controller || toggled ? "Controller" : "MIDI Note");

  CButton* const portChecks[] = {&m_port1Check, &m_port2Check, &m_port3Check,
                                 &m_port4Check, &m_vp1Check,   &m_vp2Check};
  if (control == nullptr) {
    m_numberEdit.SetWindowText("");
    m_channelEdit.SetWindowText("");
    for (CButton* check : portChecks) check->SetCheck(BST_UNCHECKED);
    return;
  }

  ShowNumber(m_numberEdit, static_cast<int>(word & kNumberMask));
  ShowNumber(m_channelEdit, static_cast<int>((word & kChannelMask) >> kChannelShift) + kMinChannel);
  m_bSuppressSelect = false;

  auto checked = [word](unsigned bit) { return (word & Bit(bit)) != 0 ? BST_CHECKED : BST_UNCHECKED; };
  for (unsigned port = 0; port < 4; ++port) portChecks[port]->SetCheck(checked(kFirstPortBit + port));
  m_vp1Check.SetCheck(checked(Vp1Bit()));
  m_vp2Check.SetCheck(checked(kVp2Bit));
}

void MidiProg::SendProgrammingWord(uint32_t word) {
  Sheet().SetProgrammingWord(word);
  // The next edit must start from this word, not wait for the timer's poll to bring it back.
  PollDevice();
}

void MidiProg::SetProgrammingWordBit(bool set, unsigned bit) {
  SendProgrammingWord(set ? m_programmingWord | Bit(bit) : m_programmingWord & ~Bit(bit));
}

void MidiProg::OnPortCheck(UINT nID) {
  const auto port = static_cast<unsigned>(nID - IDC_PORT1);
  SetProgrammingWordBit(::IsDlgButtonChecked(m_hWnd, static_cast<int>(nID)) == BST_CHECKED, kFirstPortBit + port);
}

void MidiProg::OnVp1Check() { SetProgrammingWordBit(m_vp1Check.GetCheck() == BST_CHECKED, Vp1Bit()); }

void MidiProg::OnVp2Check() { SetProgrammingWordBit(m_vp2Check.GetCheck() == BST_CHECKED, kVp2Bit); }

void MidiProg::OnControllerRadio() {
  SendProgrammingWord((m_programmingWord & ~Bit(kNoteActionBit)) | Bit(kControllerActionBit));
}

void MidiProg::OnNoteRadio() {
  SendProgrammingWord((m_programmingWord & ~Bit(kControllerActionBit)) | Bit(kNoteActionBit));
}

void MidiProg::OnToggledControllerRadio() {
  SendProgrammingWord(m_programmingWord | Bit(kNoteActionBit) | Bit(kControllerActionBit));
}

void MidiProg::OnNumberSpin(NMHDR* pNMHDR, LRESULT* pResult) {
  const auto* step = reinterpret_cast<NMUPDOWN*>(pNMHDR);
  const int n = step->iPos + step->iDelta;
  if (n >= 0 && n <= kMaxNumber) SendProgrammingWord((m_programmingWord & ~kNumberMask) | static_cast<uint32_t>(n));
  *pResult = 0;
}

void MidiProg::OnChannelSpin(NMHDR* pNMHDR, LRESULT* pResult) {
  const auto* step = reinterpret_cast<NMUPDOWN*>(pNMHDR);
  const int n = step->iPos + step->iDelta;
  if (n >= kMinChannel && n <= kMaxChannel)
    SendProgrammingWord((m_programmingWord & ~kChannelMask) | static_cast<uint32_t>(n - kMinChannel) << kChannelShift);
  *pResult = 0;
}

LRESULT MidiProg::OnEditComplete(WPARAM wParam, LPARAM /*lParam*/) {
  const auto id = static_cast<int>(wParam);
  if (id != IDC_NUMBER_EDIT && id != IDC_CHANNEL_EDIT) return 0;
  const bool number = id == IDC_NUMBER_EDIT;
  CEdit& edit = number ? m_numberEdit : m_channelEdit;
  int v = ReadNumber(edit);
  CMyPropertySheet& sheet = Sheet();
  // The focus leaving as the controls are hidden or disabled must not write a word.
  if (sheet.IsOpen() == 0 || !Editable() || sheet.ControlName(m_programmingWord) == nullptr) return 0;

  const int low = number ? 0 : kMinChannel;
  const int high = number ? kMaxNumber : kMaxChannel;
  if (v < low || v > high) {
    v = v < low ? low : high;
    CString text;
    text.Format("%d", v);
    edit.SetWindowText(text);
  }
  edit.SetSel(0, -1);
  if (number)
    SendProgrammingWord((m_programmingWord & ~kNumberMask) | static_cast<uint32_t>(v));
  else
    SendProgrammingWord((m_programmingWord & ~kChannelMask) | static_cast<uint32_t>(v - kMinChannel) << kChannelShift);
  return 0;
}
