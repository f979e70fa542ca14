// The MIDI programming page: the MIDI assignment of the surface control last touched in the
// unit's programming mode. Every edit sends a word built from the last word the unit reported; the
// page shows a change only once the unit reports it back.
#pragma once

#include <afxcmn.h>
#include <afxdlgs.h>

#include <cstdint>

#include "panel/CEnterEdit.h"
#include "panel/CMyPropertyPage.h"

class MidiProg : public CMyPropertyPage {
 public:
  MidiProg();

  void SetDevicePresent(bool present) override;
  // The word the unit reports for the control last touched.
  void UpdateProgrammingWord(uint32_t word);

  CStatic m_label6;
  CStatic m_label5;
  CStatic m_prompt;
  CStatic m_numberKind;
  CStatic m_controlLabel;
  CStatic m_bankLabel;
  CStatic m_label4;
  CStatic m_label3;
  CStatic m_label2;
  CStatic m_label1;
  CStatic m_bankName;
  CStatic m_controlName;
  CButton m_vp2Check;
  CButton m_vp1Check;
  CButton m_port4Check;
  CButton m_port3Check;
  CButton m_port2Check;
  CButton m_port1Check;
  CButton m_portGroup;
  CButton m_actionGroup;
  CButton m_channelGroup;
  CButton m_toggledControllerRadio;
  CButton m_noteRadio;
  CButton m_controllerRadio;
  CSpinButtonCtrl m_channelSpin;
  CSpinButtonCtrl m_numberSpin;
  CEnterEdit m_channelEdit;
  CEnterEdit m_numberEdit;
  bool m_bInitialized = false;
  bool m_bDevicePresent = false;
  uint32_t m_programmingWord = 0;
  bool m_bSuppressSelect = false;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
};
