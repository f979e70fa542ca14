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

  void OnPortCheck(UINT nID);
  void OnVp1Check();
  void OnVp2Check();
  void OnControllerRadio();
  void OnNoteRadio();
  void OnToggledControllerRadio();
  void OnNumberSpin(NMHDR* pNMHDR, LRESULT* pResult);
  void OnChannelSpin(NMHDR* pNMHDR, LRESULT* pResult);
  LRESULT OnEditComplete(WPARAM wParam, LPARAM lParam);

  DECLARE_MESSAGE_MAP()

 private:
  void RefreshFromDevice();
  void UpdateControlStates();
  // A unit is present and in programming mode: the controls are shown.
  bool Shown() const;
  // Shown, and the word is one the unit lets the user change.
  bool Editable() const;
  void SendProgrammingWord(uint32_t word);
  void SetProgrammingWordBit(bool set, unsigned bit);
  // The bit behind VP1: one for encoders and faders, another for buttons.
  unsigned Vp1Bit() const;
  // Writes the number into the edit when its text reads as another one.
  void ShowNumber(CEdit& edit, int value);
};
