#include "panel/QuickStart.h"

#include "panel/resource.h"

namespace {

// Parameter ids of the two masks in the settings block.
constexpr uint32_t kContinuousInputsParameter = 68;
constexpr uint32_t kContinuousOutputsParameter = 72;

// The two neighbouring channels of pair k travel together.
constexpr uint32_t PairBits(int k) { return 3u << (2 * k); }

}  // namespace

IMPLEMENT_DYNCREATE(QuickStart, CMyPropertyPage)

BEGIN_MESSAGE_MAP(QuickStart, CMyPropertyPage)
  ON_CONTROL_RANGE(BN_CLICKED, IDC_INPUT_PAIR_FIRST, IDC_OUTPUT_PAIR_LAST, OnChannelPairCheck)
END_MESSAGE_MAP()

QuickStart::QuickStart() : CMyPropertyPage(IDD_QUICK_START) {}

void QuickStart::DoDataExchange(CDataExchange* pDX) {
  CMyPropertyPage::DoDataExchange(pDX);
  for (int i = 0; i < 2 * kPairs; ++i) DDX_Check(pDX, IDC_INPUT_PAIR_FIRST + i, m_pairChecks[i]);
}

BOOL QuickStart::OnInitDialog() {
  CMyPropertyPage::OnInitDialog();
  m_bInitialized = true;
  SetDevicePresent(m_bDevicePresent);
  return TRUE;
}

void QuickStart::SetDevicePresent(bool present) {
  m_bDevicePresent = present;
  if (!m_bInitialized) return;
  for (int id = IDC_INPUT_PAIR_FIRST; id <= IDC_OUTPUT_PAIR_LAST; ++id) GetDlgItem(id)->EnableWindow(present);
}

void QuickStart::OnChannelPairCheck(UINT nID) {
  const bool checked = ::IsDlgButtonChecked(m_hWnd, static_cast<int>(nID)) == BST_CHECKED;
  const bool output = nID >= IDC_OUTPUT_PAIR_FIRST;
  const int k = static_cast<int>(nID) - (output ? IDC_OUTPUT_PAIR_FIRST : IDC_INPUT_PAIR_FIRST);
  const uint32_t mask = output ? m_outputPairs : m_inputPairs;
  SendDeviceParameter(output ? kContinuousOutputsParameter : kContinuousInputsParameter,
                      checked ? mask | PairBits(k) : mask & ~PairBits(k));
  PollDevice();
}
