#pragma once
// Every string id, dialog template id and control id of the plug-in, each named once. The numbers
// are fixed: both resource tables file their texts under them, and a control's object name is
// "id" + its number, which tests and outside tools look for.
//
// Unscoped enums with a fixed type: a name converts to the unsigned the resource readers take, so
// call sites need no casts, and the numbers stay in one visible list. Control numbers mean
// something only within their template (1049 is a button in the main window and another in the
// filters), so each template's controls have a namespace of their own; a dialog's source says
// `using namespace res::<template>`. Every enumerator has its number written out, and each
// control namespace's comment names its template in parentheses: the resource tables test reads
// both to check that every string has its texts and every dialog text a named control.
namespace tesmor::res {

enum String : unsigned {
    // Menu entries: the host's menu path of the main window, and the about box's entry (a
    // labelled button in the main window).
    kPluginMenu = 103,
    kAboutMenu = 104,

    // Column headings of the main window, the map and the register view.
    kColumnByteOrder = 105,
    kColumnAddressHex = 117,
    kColumnComponent = 130,
    kColumnAddress = 131,
    kColumnRegisterType = 132,
    kColumnDataType = 133,
    kColumnDataItem = 134,
    kColumnValue = 135,
    kColumnSource = 147,
    kColumnDevice = 148,
    kColumnValueDecimal = 1460,
    kColumnValueHex = 1461,
    kColumnFloat = 1462,  // %1: the byte order

    // Sources and data items: a map entry stores these captions.
    kSourceDevice = 125,
    kSourceChromatogram = 126,
    kSourcePeak = 127,
    kItemMode = 138,
    kItemLastError = 143,
    kItemSampleTime = 144,
    kItemSampleNumber = 145,
    kItemSeriesNumber = 151,
    kItemConcentration = 111,
    kItemArea = 129,
    kItemRetentionTime = 128,

    // The filters dialog's chromatogram types, and the rejections of an assay (the rejection
    // message itself is fixed Russian text, whatever the language).
    kTypeAny = 112,
    kTypeCalibration = 113,
    kTypeAnalysis = 114,
    kMethodRejected = 115,
    kMixtureRejected = 116,
    kTypeRejected = 118,

    // Refusals of a register entry, by the editor and by a map file import.
    kNeedComponent = 119,
    kNeedAddress = 120,
    kNoRegisterType = 121,
    kNoDataType = 122,
    kNoDataItem = 123,
    kAddressRange = 124,
    kNeedDevice = 146,
    kSampleTime16Bit = 150,

    // The map dialog's refusals and question.
    kAddressOutOfRange = 139,
    kDuplicateRegister = 140,
    kDeleteAllQuestion = 149,
    kDeleteRowQuestion = 1981,  // %1: the row's number

    // The about box's caption.
    kAboutCaption = 136,

    // The settings dialog: number box refusals, serial ports, masters at once, access and TLS.
    kPortRange = 141,
    kUnitIdRange = 142,
    kNoAccessMark = 1313,    // after a port this user may not open
    kMaxMastersText = 1400,  // the label of the "masters at once" box
    kAllInterfaces = 1410,
    kWriteAny = 1411,          // writeAccess 0
    kWriteUnpublished = 1412,  // 1
    kWriteNone = 1413,         // 2
    kBadMaster = 1414,         // %1: the item that is neither an address nor a block
    kEmptyMaster = 1415,       // an empty item (an extra comma)
    kLongMasters = 1416,       // %1: the most characters the profile keeps
    kTlsMissingFile = 1450,    // %1: the field's label
    kTlsLongText = 1451,       // %1: the field's label, %2: the most characters the profile keeps
    kPemFiles = 1452,          // the browse dialog's filters
    kAllFiles = 1453,
    kTlsNoFile = 1454,      // %1: the field's label, %2: the path
    kTlsFolder = 1455,      // %1: the field's label, %2: the path
    kTlsUnreadable = 1456,  // %1: the field's label, %2: the path
    kTlsSamePort = 1457,    // %1: the port
    kValueRange = 1458,     // %1, %2: the lowest and the highest value a box takes

    // Message box buttons.
    kButtonYes = 1310,
    kButtonNo = 1311,
    kButtonOk = 1312,

    // The main window's traffic line. A counted word has four forms, named after a count that
    // takes each: exactly 1, ending in 1 (not 11), ending in 2-4 (not 12-14), any other; the
    // forms follow each other.
    kMaster1 = 1430,
    kMaster21 = 1431,
    kMaster2 = 1432,
    kMaster5 = 1433,
    kRequest1 = 1434,
    kRequest21 = 1435,
    kRequest2 = 1436,
    kRequest5 = 1437,
    kException1 = 1438,
    kException21 = 1439,
    kException2 = 1440,
    kException5 = 1441,
    kLastAnswer = 1442,  // %1: the time
    kThousandsSeparator = 1443,
    kNoAnswers = 1444,
    kDropped1 = 1470,
    kDropped21 = 1471,
    kDropped2 = 1472,
    kDropped5 = 1473,
    kTlsNotRunning = 1474,  // %1: why, as the log says it
    kRejectedAt = 1475,     // %1: the time, %2: the filters' message

    // Map files and tag lists.
    kFileEmpty = 1900,
    kFileHeader = 1901,  // %1: the header line expected
    kNoSource = 1902,
    kUnknownValue = 1903,       // %1: the value, %2: the column
    kItemOfOtherSource = 1904,  // %1: the data item, %2: the source
    kBitTypeBool = 1905,        // %1: the register type
    kSampleTimeInt = 1906,      // %1: the data item
    kFloatNeedsOrder = 1907,
    kOrderFloatOnly = 1908,
    kNotEmptyColumn = 1909,  // %1: the column, %2: the source
    kOverlapLine = 1910,     // %1: the line
    kOverlapEntry = 1911,    // %1: the map entry
    kBrokenQuoting = 1912,
    kFieldCount = 1913,  // %1: the fields found
    kNotUtf8 = 1914,
    kSampleTimeFields = 1915,
    kTextTooLong = 1916,  // %1: the column
    kMapFileFilter = 1917,
    kTagListFilter = 1918,
    kReplaceOrAppend = 1919,
    kFileFailed = 1920,     // %1: the path
    kFileRefused = 1921,    // %1: the file, %2: the number of errors
    kErrorAtColumn = 1979,  // %1: the line, %2: the column, %3: the reason
    kErrorAtLine = 1980,    // %1: the line, %2: the reason

    // The buttons of the map import's question.
    kButtonReplace = 1971,
    kButtonAppend = 1972,
    kButtonCancel = 1973,

    // The register view: address headings, the signed value, and "Go to" refusals.
    kViewAddress = 1974,
    kViewAddressHex = 1975,
    kViewSigned = 1976,
    kGoToOutside = 1977,     // %1: the address, %2: the table's last address
    kGoToUnreadable = 1978,  // %1: the text typed
};

enum Dialog : unsigned {
    kAboutDialog = 104,
    kMainWindow = 116,
    kSettingsDialog = 118,
    kMapDialog = 122,
    kEditorDialog = 126,
    kFiltersDialog = 129,
    kRegistersDialog = 140,
};

// Controls every template shares; the caption is filed as control 0.
enum Common : unsigned {
    kCaption = 0,
    kOk = 1,
    kCancel = 2,
};

// The about box (kAboutDialog); the labels show the version values.
namespace about {
enum Control : unsigned {
    kIcon = 1052,
    kDescription = 1053,
    kCopyright = 1054,
    kVersionLabel = 1055,
    kVersion = 1056,
    kProduct = 1057,
    kCompany = 1058,
};
}  // namespace about

// The main window (kMainWindow).
namespace window {
enum Control : unsigned {
    kAbout = 16,  // the about box's button
    kMap = 1006,
    kSettings = 1010,
    kList = 1022,
    kFilters = 1029,
    kReconnect = 1049,
    kTraffic = 1150,
    kRegisters = 1170,
};
}  // namespace window

// The connection settings (kSettingsDialog). Static texts are filed under 1201 to 1214.
namespace settings {
enum Control : unsigned {
    kTcp = 1041,
    kRtu = 1042,
    kTcpGroup = 1201,
    kTcpId = 1022,
    kTcpIdLabel = 1203,
    kTcpPort = 1021,
    kPortLabel = 1204,
    kLocalIp = 1025,
    kLocalIpLabel = 1205,
    kRemoteIp = 1026,
    kRemoteIpLabel = 1206,
    kMaxMasters = 1120,
    kMaxMastersLabel = 1121,  // its text is the string kMaxMastersText
    kRtuGroup = 1202,
    kRtuId = 1023,
    kRtuIdLabel = 1207,
    kComPort = 1016,
    kComPortLabel = 1208,
    kBaud = 1017,
    kBaudLabel = 1209,
    kDataBits = 1018,
    kDataBitsLabel = 1210,
    kParity = 1019,
    kParityLabel = 1211,
    kStopBits = 1020,
    kStopBitsLabel = 1212,
    kBusyNote = 1213,
    kNoAccessNote = 1214,
    // Who may connect and what masters may write.
    kAccessGroup = 1130,
    kBindAddress = 1131,
    kBindAddressLabel = 1132,
    kAllowedMasters = 1133,
    kAllowedMastersLabel = 1134,
    kWriteAccess = 1135,
    kWriteAccessLabel = 1136,
    kAllowedMastersNote = 1137,
    // Modbus/TCP Security beside plain TCP. 1170-1179 belong to the main window's Registers
    // button and the register view, hence the jump.
    kTlsGroup = 1160,
    kTls = 1161,  // the check box
    kTlsPort = 1162,
    kTlsPortLabel = 1163,
    kTlsCertificate = 1164,
    kTlsCertificateLabel = 1165,
    kTlsCertificateBrowse = 1166,
    kTlsKey = 1167,
    kTlsKeyLabel = 1168,
    kTlsKeyBrowse = 1169,
    kTlsCa = 1180,
    kTlsCaLabel = 1181,
    kTlsCaBrowse = 1182,
    kTlsWriteRoles = 1183,
    kTlsWriteRolesLabel = 1184,
    kTlsWriteRolesNote = 1185,
    kRejectNotice = 1186,  // the check box of "rejectNotice"
};
}  // namespace settings

// The Modbus map (kMapDialog).
namespace map {
enum Control : unsigned {
    kList = 1030,
    kAdd = 1031,
    kDelete = 1032,
    kCopy = 1033,
    kDeleteAll = 1034,
    kImport = 1110,
    kExport = 1111,
};
}  // namespace map

// The register editor (kEditorDialog). The labels carry no id of their own in the template;
// their texts are filed under 2001 to 2008.
namespace editor {
enum Control : unsigned {
    kSource = 1041,
    kSourceLabel = 2001,
    kDevice = 1042,
    kDeviceLabel = 2002,
    kComponent = 1036,
    kComponentLabel = 2003,
    kAddress = 1034,
    kAddressLabel = 2004,
    kAddressHex = 1040,
    kRegisterType = 1035,
    kRegisterTypeLabel = 2005,
    kDataType = 1037,
    kDataTypeLabel = 2006,
    kByteOrder = 1039,
    kByteOrderLabel = 2007,
    kDataItem = 1038,
    kDataItemLabel = 2008,
    kRangeNote = 1101,  // the register lies outside the store's 0..499; hidden while inside
};
}  // namespace editor

// The filters (kFiltersDialog).
namespace filters {
enum Control : unsigned {
    kMethods = 1047,
    kMethodsGroup = 2001,
    kMixtures = 1051,
    kMixturesGroup = 2002,
    kType = 1050,
    kTypeGroup = 2003,
    kClear = 1049,
    kDatabaseError = 2004,  // reports a failure to read the names; hidden when they were read
};
}  // namespace filters

// The list control, in any dialog.
namespace grid {
enum Control : unsigned {
    kEditCell = 9801,  // the in-place edit box
};
}  // namespace grid

// The register view (kRegistersDialog).
namespace registers {
enum Control : unsigned {
    kTableLabel = 1171,
    kTable = 1172,
    kAddressLabel = 1173,
    kAddress = 1174,
    kList = 1175,
    kClose = 2,
};
}  // namespace registers

}  // namespace tesmor::res
