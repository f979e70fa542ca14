// The class library's standard command and string ids.
#pragma once

#define ID_HELP 0xE146
#define ID_APPLY_NOW 0x3021
#define AFX_IDS_APP_TITLE 0xE000
