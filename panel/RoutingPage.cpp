#include "panel/RoutingPage.h"

#include <cstring>
#include <iterator>

#include "client/QX531BaseDriverInterface.h"
#include "panel/SettingLists.h"
#include "panel/resource.h"

namespace {

// The connectors on the picture, in the page's dialog units; an arrow ends at a rectangle's centre.
constexpr RECT kCoaxInConnector = {213, 113, 218, 118};
constexpr RECT kCoaxOutConnector = {212, 140, 217, 145};
constexpr RECT kOpticalInConnector = {152, 120, 157, 125};
constexpr RECT kOpticalOutConnector = {98, 120, 103, 125};

constexpr int kArrowHead = 8;
constexpr int kArrowWidth = 4;
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kBlue = RGB(0, 128, 255);

// One arrow: drawn when the route code is either value, in its colour's pen, from one anchor to
// another. Arrows of one colour are adjacent, and drawn in this order.
struct RouteArrow {
  COLORREF colour;
  int RoutingPage::*code;
  int value;
  int otherValue;
  CPoint RoutingPage::*from;
  CPoint RoutingPage::*to;
  int percent;
};

constexpr RouteArrow kArrows[] = {
    {kYellow, &RoutingPage::m_spdifInCodeB, 5, 5, &RoutingPage::m_coaxIn, &RoutingPage::m_destSpdif, 80},
    {kYellow, &RoutingPage::m_spdifInCodeA, 5, 5, &RoutingPage::m_opticalIn, &RoutingPage::m_destSpdif, 55},
    {kGreen, &RoutingPage::m_spdifInCodeB, 5, 5, &RoutingPage::m_opticalIn, &RoutingPage::m_destAdat, 55},
    {kRed, &RoutingPage::m_coaxOutCode, 5, 5, &RoutingPage::m_sourceSpdif, &RoutingPage::m_coaxOut, 30},
    {kRed, &RoutingPage::m_coaxOutCode, 4, 4, &RoutingPage::m_sourceAnlg12, &RoutingPage::m_coaxOut, 30},
    {kRed, &RoutingPage::m_opticalOutCode, 5, 4, &RoutingPage::m_coaxOut, &RoutingPage::m_opticalOut, 30},
    {kBlue, &RoutingPage::m_opticalOutCode, 6, 6, &RoutingPage::m_sourceAdat, &RoutingPage::m_opticalOut, 7},
    {kBlue, &RoutingPage::m_opticalOutCode, 2, 2, &RoutingPage::m_sourceAnlg18, &RoutingPage::m_opticalOut, 7},
    {kBlue, &RoutingPage::m_opticalOutCode, 3, 3, &RoutingPage::m_sourceAnalogInputs, &RoutingPage::m_opticalOut,
     10},
};

// An index past a list sends its first value.
using SettingLists::kOpticalOutSources;
using SettingLists::kTwoWaySources;

template <size_t N>
uint32_t ValueAt(const uint32_t (&values)[N], int index) {
  return SettingLists::ValueAt(values, index, values[0]);
}

}  // namespace

BEGIN_MESSAGE_MAP(RoutingPage, CMyPropertyPage)
  ON_CBN_SELCHANGE(IDC_OPTICAL_OUT_SOURCE, OnOpticalOutputChange)
  ON_CBN_SELCHANGE(IDC_COAX_OUT_SOURCE, OnCoaxOutputChange)
  ON_CBN_SELCHANGE(IDC_SPDIF_IN_ROUTING, OnSpdifInputChange)
  ON_WM_PAINT()
END_MESSAGE_MAP()

RoutingPage::RoutingPage() : CMyPropertyPage(IDD_ROUTING) {}

void RoutingPage::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  DDX_Control(pDX, IDC_SPDIF_IN_ROUTING, m_spdifInCombo);
  DDX_Control(pDX, IDC_COAX_OUT_SOURCE, m_coaxOutCombo);
  DDX_Control(pDX, IDC_OPTICAL_OUT_SOURCE, m_opticalOutCombo);
  DDX_CBIndex(pDX, IDC_SPDIF_IN_ROUTING, m_spdifInIndex);
  DDX_CBIndex(pDX, IDC_OPTICAL_OUT_SOURCE, m_opticalOutIndex);
  DDX_CBIndex(pDX, IDC_COAX_OUT_SOURCE, m_coaxOutIndex);
}

BOOL RoutingPage::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();

  LOGFONT font;
  std::memset(&font, 0, sizeof font);
  font.lfHeight = 15;
  font.lfWeight = 600;
  std::strcpy(font.lfFaceName, "Arial");
  m_labelFont.CreateFontIndirect(&font);
  for (int id : {IDC_FROM_LABEL, IDC_DAW_OUTPUTS, IDC_TO_LABEL, IDC_DAW_INPUTS})
    GetDlgItem(id)->SetFont(&m_labelFont, TRUE);

  m_bInitialized = true;
  SetDevicePresent(m_bDevicePresent);

  m_sourceSpdif = RightOf(IDC_SOURCE_SPDIF);
  m_sourceAdat = RightOf(IDC_SOURCE_ADAT);
  m_sourceAnlg12 = RightOf(IDC_SOURCE_ANLG12);
  m_sourceAnlg18 = RightOf(IDC_SOURCE_ANLG18);
  m_sourceAnalogInputs = RightOf(IDC_SOURCE_ANALOG_INPUTS);
  m_destSpdif = LeftOf(IDC_DEST_SPDIF);
  m_destAdat = LeftOf(IDC_DEST_ADAT);
  m_coaxIn = CentreOf(kCoaxInConnector);
  m_coaxOut = CentreOf(kCoaxOutConnector);
  m_opticalIn = CentreOf(kOpticalInConnector);
  m_opticalOut = CentreOf(kOpticalOutConnector);
  return TRUE;
}

CPoint RoutingPage::RightOf(int id) const {
  CRect r;
  GetDlgItem(id)->GetWindowRect(&r);
  ScreenToClient(&r);
  return CPoint(r.right + 2, (r.top + r.bottom) / 2);
}

CPoint RoutingPage::LeftOf(int id) const {
  CRect r;
  GetDlgItem(id)->GetWindowRect(&r);
  ScreenToClient(&r);
  return CPoint(r.left - 2, (r.top + r.bottom) / 2);
}

CPoint RoutingPage::CentreOf(RECT dialogUnits) const {
  CRect r(dialogUnits);
  MapDialogRect(&r);
  return CPoint((r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

void RoutingPage::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  m_spdifInCombo.EnableWindow(present);
  m_coaxOutCombo.EnableWindow(present);
  m_opticalOutCombo.EnableWindow(present);
}

void RoutingPage::OnOpticalOutputChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamOpticalOutSource, ValueAt(kOpticalOutSources, m_opticalOutIndex));
  PollDevice();
}

void RoutingPage::OnCoaxOutputChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamCoaxOutSource, ValueAt(kTwoWaySources, m_coaxOutIndex));
  PollDevice();
}

void RoutingPage::OnSpdifInputChange() {
  UpdateData(TRUE);
  SendDeviceParameter(PreferencesBlock::kParamSpdifInSource, ValueAt(kTwoWaySources, m_spdifInIndex));
  PollDevice();
}

void RoutingPage::DrawRoutingArrow(CDC* pDC, CPoint from, CPoint to, int percent) const {
  const int corner = m_sourceSpdif.x + (m_destSpdif.x - m_sourceSpdif.x) * percent / 100;
  pDC->MoveTo(from);
  if (from.y == to.y) {
    pDC->LineTo(to);
    return;
  }
  pDC->LineTo(corner, from.y);
  pDC->LineTo(corner, to.y);
  pDC->LineTo(to);
  const int s = from.x <= to.x ? kArrowHead : -kArrowHead;
  pDC->MoveTo(to);
  pDC->LineTo(to.x - s, to.y - s);
  pDC->MoveTo(to);
  pDC->LineTo(to.x - s, to.y + s);
}

void RoutingPage::OnPaint() {
  CPaintDC dc(this);
  // The picture paints first, so the arrows stay on top of it.
  GetDlgItem(IDC_CONNECTOR_PICTURE)->UpdateWindow();

  for (size_t first = 0; first < std::size(kArrows);) {
    const COLORREF colour = kArrows[first].colour;
    CBrush brush(colour);
    LOGBRUSH description;
    brush.GetLogBrush(&description);
    CPen pen(PS_GEOMETRIC | PS_SOLID | PS_ENDCAP_SQUARE, kArrowWidth, &description);
    CPen* old = dc.SelectObject(&pen);
    size_t i = first;
    for (; i < std::size(kArrows) && kArrows[i].colour == colour; ++i) {
      const RouteArrow& arrow = kArrows[i];
      const int code = this->*arrow.code;
      if (code == arrow.value || code == arrow.otherValue)
        DrawRoutingArrow(&dc, this->*arrow.from, this->*arrow.to, arrow.percent);
    }
    dc.SelectObject(old);
    first = i;
  }
}
