// The Routing page: what the unit's digital connectors carry, and arrows over the picture of the
// connectors for the routes the unit reports as active.
#pragma once

#include <afxdlgs.h>

#include "panel/CMyPropertyPage.h"

class RoutingPage : public CMyPropertyPage {
 public:
  RoutingPage();

  void SetDevicePresent(bool present) override;

  CFont m_labelFont;
  bool m_bInitialized = false;
  bool m_bDevicePresent = false;
  // Route codes the unit reports, as the sheet writes them.
  int m_opticalOutCode = 0;
  int m_spdifInCodeA = 0;
  int m_coaxOutCode = 0;
  int m_spdifInCodeB = 0;
  CComboBox m_spdifInCombo;
  CComboBox m_coaxOutCombo;
  CComboBox m_opticalOutCombo;
  int m_spdifInIndex = 0;
  int m_opticalOutIndex = 0;
  int m_coaxOutIndex = 0;
  // Where the arrows start and end, in the page's client coordinates.
  CPoint m_sourceSpdif;
  CPoint m_sourceAdat;
  CPoint m_sourceAnlg12;
  CPoint m_sourceAnlg18;
  CPoint m_sourceAnalogInputs;
  CPoint m_destSpdif;
  CPoint m_destAdat;
  CPoint m_coaxIn;
  CPoint m_coaxOut;
  CPoint m_opticalIn;
  CPoint m_opticalOut;

 protected:
  void DoDataExchange(CDataExchange* pDX) override;
  BOOL OnInitDialog() override;
};
