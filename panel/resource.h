// The panel's resource ids: strings, icon, bitmaps, the five page templates and their controls.
// Some control ids serve on more than one page; each page names them for what they do there.
#pragma once

// Strings.
#define IDS_PANEL_CAPTION 3

// Dialog templates of the pages.
#define IDD_MAIN_SETTINGS 106
#define IDD_ROUTING 107
#define IDD_MIDI_PROG 108
#define IDD_QUICK_START 109
#define IDD_KR6 110

// Icon and bitmaps.
#define IDI_PANEL 162
#define IDB_FIREWIRE_LOGO 167  // 52 x 67, on the Settings page
#define IDB_CONNECTORS 169     // 277 x 146, the unit's digital connectors on the Routing page
#define IDB_LOGO 170           // 223 x 38, drawn transparently on the Settings page

// Settings page (106).
#define IDC_MASTER_FADER_GAIN 1002
#define IDC_PROTOCOL 1017
#define IDC_SAMPLE_RATE 1018
#define IDC_MONITORING 1019
#define IDC_CLOCK_SOURCE 1020
#define IDC_OVR_SPIN 1029
#define IDC_OVR_EDIT 1031
#define IDC_LATENCY 1342
#define IDC_REGISTER_VERSION 1357
#define IDC_ARM_VERSION 1358
#define IDC_HARDWARE_VERSION 1359
#define IDC_FPGA_VERSION 1360
#define IDC_VERSION_GROUP 1378
#define IDC_SYNC_STATUS 1385
#define IDC_CONVERTER_DELAY 1392

// Routing page (107).
#define IDC_SPDIF_IN_ROUTING 1347
#define IDC_COAX_OUT_SOURCE 1348
#define IDC_OPTICAL_OUT_SOURCE 1349
#define IDC_SOURCE_SPDIF 1350
#define IDC_SOURCE_ANLG12 1351
#define IDC_SOURCE_ADAT 1352
#define IDC_SOURCE_ANLG18 1353
#define IDC_DEST_SPDIF 1354
#define IDC_DEST_ADAT 1355
#define IDC_CONNECTOR_PICTURE 1356
#define IDC_DAW_OUTPUTS 1380
#define IDC_DAW_INPUTS 1381
#define IDC_FROM_LABEL 1382
#define IDC_TO_LABEL 1383
#define IDC_SOURCE_ANALOG_INPUTS 1391

// MIDI programming page (108).
#define IDC_PORT1 1002
#define IDC_PORT2 1003
#define IDC_PORT3 1004
#define IDC_PORT4 1005
#define IDC_VP1 1006
#define IDC_VP2 1007
#define IDC_NUMBER_EDIT 1031
#define IDC_CONTROLLER_RADIO 1145
#define IDC_TOGGLED_CONTROLLER_RADIO 1146
#define IDC_NOTE_RADIO 1147
#define IDC_CHANNEL_EDIT 1362
#define IDC_CHANNEL_SPIN 1363
#define IDC_CONTROL_NAME 1364
#define IDC_BANK_NAME 1365
#define IDC_ACTION_GROUP 1366
#define IDC_CHANNEL_GROUP 1367
#define IDC_PORT_GROUP 1368
#define IDC_PROG_LABEL1 1369
#define IDC_PROG_LABEL2 1370
#define IDC_PROG_LABEL3 1371
#define IDC_PROG_LABEL4 1372
#define IDC_CONTROL_LABEL 1373
#define IDC_BANK_LABEL 1374
#define IDC_NUMBER_KIND 1375
#define IDC_PROMPT 1376
#define IDC_NUMBER_SPIN 1377
#define IDC_PROG_LABEL5 1400
#define IDC_PROG_LABEL6 1401

// Quick start page (109): nine input pairs from 1200, nine output pairs from 1209.
#define IDC_INPUT_PAIR_FIRST 1200
#define IDC_INPUT_PAIR_LAST 1208
#define IDC_OUTPUT_PAIR_FIRST 1209
#define IDC_OUTPUT_PAIR_LAST 1217
#define IDC_QUICK_START_HINT 1376

// Expansion-unit page (110): fifteen name edits from 1100.
#define IDC_NAME_FIRST 1100
#define IDC_NAME_LAST 1114
#define IDC_IDENTIFY 1386
#define IDC_MOVE_UP 1387
#define IDC_MOVE_DOWN 1388
#define IDC_APPLY_NAMES 1389
#define IDC_REVERT_NAMES 1390
#define IDC_KR6_LINK 1393
