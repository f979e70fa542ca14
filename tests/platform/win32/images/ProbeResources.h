// The ids of the probe program's and the probe library's resources: the same ids in both images,
// with contents of their own.
#pragma once

namespace probe {

constexpr unsigned short kTitleString = 3;
constexpr unsigned short kSecondTableString = 17;  // the only string of the second table
constexpr unsigned short kPage = 106;
constexpr unsigned short kLogo = 170;
constexpr unsigned short kAppIcon = 162;
constexpr unsigned short kLinkCursor = 106;  // the program's alone

// Controls of the page.
constexpr unsigned short kRateCombo = 1018;
constexpr unsigned short kProtocolCombo = 1017;
constexpr unsigned short kIconStatic = 1355;
constexpr unsigned short kLogoStatic = 1356;

}  // namespace probe
