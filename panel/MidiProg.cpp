#include "panel/MidiProg.h"

#include "panel/resource.h"

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
  m_bInitialized = true;
  m_bSuppressSelect = true;
  return TRUE;
}

void MidiProg::SetDevicePresent(bool present) { m_bDevicePresent = present; }

void MidiProg::UpdateProgrammingWord(uint32_t word) { m_programmingWord = word; }
