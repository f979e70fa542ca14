// The Routing page: what the digital connectors carry. A choice is sent and polled at once; the
// arrows over the connector picture follow the route codes the unit reports, not the lists.
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
  // Where arrows start and end: the sources' right edges, the destinations' left edges, and the
  // connectors on the picture.
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

  // A route from one point to another with its vertical leg at `percent` of the way between the
  // source and destination columns, and a head unless both ends are level.
  void DrawRoutingArrow(CDC* pDC, CPoint from, CPoint to, int percent) const;

  void OnOpticalOutputChange();
  void OnCoaxOutputChange();
  void OnSpdifInputChange();
  void OnPaint();
  DECLARE_MESSAGE_MAP()

 private:
  CPoint RightOf(int id) const;
  CPoint LeftOf(int id) const;
  CPoint CentreOf(RECT dialogUnits) const;
};
