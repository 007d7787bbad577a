// tesmorENU.so: the English resources of the plug-in.
#include <iterator>

#include "TesmorVersion.h"
#include "platform/ResourceTable.h"

namespace {

constexpr TesmorString kStrings[] = {
    {103, u"Data/Calculations/Velmar: Modbus"},
    {104, u"About the plug-in..."},
    {105, u"Byte order"},
    {111, u"Peak concentration"},
    {112, u"*Not selected*"},
    {113, u"Calibration"},
    {114, u"Analysis"},
    {115, u"The chromatogram's method does not match the filters!"},
    {116, u"The chromatogram's mixture does not match the filters!"},
    {117, u"Address (Hex)"},
    {118, u"The chromatogram's type does not match the filters!"},
    {119, u"Enter the component name."},
    {120, u"Enter the register address."},
    {121, u"No register type is selected."},
    {122, u"No register data type is selected."},
    {123, u"No register data is selected."},
    {124, u"The value must be from 0 to 65535!"},
    {125, u"Device"},
    {126, u"Chromatogram"},
    {127, u"Chromatogram peak"},
    {128, u"Peak retention time"},
    {129, u"Peak area"},
    {130, u"Component"},
    {131, u"Address (Decimal)"},
    {132, u"Register type"},
    {133, u"Data type"},
    {134, u"Data"},
    {135, u"Value"},
    {136, u"About the plug-in"},
    {138, u"Device mode"},
    {139, u"The register address is out of range!"},
    {140, u"A register with this type and address already exists!"},
    {141, u"The value must be from 0 to 9999!"},
    {142, u"The value must be from 1 to 255!"},
    {143, u"Last error code"},
    {144, u"Sampling time"},
    {145, u"Sample number"},
    {146, u"Select a device."},
    {147, u"Data from Velmar"},
    {148, u"Device name"},
    {149, u"Are you sure you want to delete all registers?"},
    {150, u"Sampling time data can only be stored in 16-bit registers."},
    {151, u"Number in series"},
    // Message box buttons, and the mark of a serial port the user may not open.
    {1310, u"Yes"},
    {1311, u"No"},
    {1312, u"OK"},
    {1313, u" (no access)"},
    // The settings dialog's TCP group.
    {1400, u"Masters at once:"},
    // 1410-1416: the access group of the connection settings
    {1410, u"All interfaces"},
    {1411, u"Any register"},
    {1412, u"Only registers not in the map"},
    {1413, u"No writes"},
    {1414, u"In the allowed masters, \u201c%1\u201d is not an IPv4 address or network (such as 192.168.10.0/24)."},
    {1415, u"The allowed masters contain an empty item (an extra comma)."},
    {1416, u"The allowed masters are longer than %1 characters. Combine addresses into networks (such as 192.168.10.0/24)."},
    // 1430-1444: the main window's traffic line; each counted word in four forms: exactly 1,
    // ending in 1 (not 11), ending in 2-4 (not 12-14), other
    {1430, u"master"}, {1431, u"masters"}, {1432, u"masters"}, {1433, u"masters"},
    {1434, u"request"}, {1435, u"requests"}, {1436, u"requests"}, {1437, u"requests"},
    {1438, u"exception"}, {1439, u"exceptions"}, {1440, u"exceptions"}, {1441, u"exceptions"},
    {1442, u"last %1"},
    {1443, u","},
    {1444, u"no answers"},
    // 1460-1462: the register view's headings
    {1460, u"Value (Decimal)"},
    {1461, u"Value (Hex)"},
    {1462, u"FLOAT\n%1"},
    // 1900-1921: map files and tag lists
    {1900, u"The file is empty."},
    {1901, u"The first line must be the header row: %1"},
    {1902, u"No data source is given."},
    {1903, u"Unknown value \"%1\" in column %2."},
    {1904, u"The data \"%1\" does not belong to the source \"%2\"."},
    {1905, u"Register type \"%1\" holds data type BOOL only."},
    {1906, u"\"%1\" is stored with data type INT only."},
    {1907, u"Data type FLOAT needs a byte order."},
    {1908, u"A byte order is given for data type FLOAT only."},
    {1909, u"Column %1 must be empty for the source \"%2\"."},
    {1910, u"The registers overlap those of line %1."},
    {1911, u"The registers overlap those of map entry %1."},
    {1912, u"Broken quoting."},
    {1913, u"The line has %1 fields instead of 8."},
    {1914, u"The file is not UTF-8 text."},
    {1915, u"day, month, year, hour, minute"},
    {1916, u"The text in column %1 is longer than 127 characters."},
    {1917, u"Register map (*.csv)"},
    {1918, u"Tag list for SCADA (*.csv)"},
    {1919, u"Replace the register map with the entries of the file?\nYes replaces the map, No appends the entries to its end."},
    {1920, u"Cannot read or write the file %1."},
    {1921, u"The file was not imported; errors: %1."},
};

constexpr TesmorDialogText kDialogTexts[] = {
    // 122: the Modbus map
    {122, 0, u"Modbus map"},
    {122, 1031, u"Add register"},
    {122, 1033, u"Copy register"},
    {122, 1032, u"Delete register"},
    {122, 1034, u"Delete all"},
    {122, 1110, u"Import..."},
    {122, 1111, u"Export..."},
    {122, 1, u"OK"},
    {122, 2, u"Cancel"},
    // 126: the register editor
    {126, 0, u"Edit register"},
    {126, 2001, u"Data from Velmar:"},
    {126, 2002, u"Device:"},
    {126, 2003, u"Component:"},
    {126, 2004, u"Address:"},
    {126, 2005, u"Register type:"},
    {126, 2006, u"Data type:"},
    {126, 2007, u"Byte order:"},
    {126, 2008, u"Data:"},
    {126, 1, u"OK"},
    {126, 2, u"Cancel"},
    {126, 1101, u"The store holds registers 0–499: this register lies outside them, and no master will get its value."},
    // 129: the filters
    {129, 0, u"Filters"},
    {129, 2001, u"Filter by available methods"},
    {129, 2002, u"Filter by available mixtures"},
    {129, 2003, u"Filter by chromatogram type"},
    {129, 1049, u"Clear all filters"},
    {129, 2004, u"Could not read the names from the database:"},
    {129, 1, u"OK"},
    {129, 2, u"Cancel"},
    // Template 104: the about box. Control 0 is the caption.
    {104, 0, u"About the plug-in"},
    {104, 1053, u"DESCRIPTION"},
    {104, 1054, u"Copyright"},
    {104, 1055, u"Version:"},
    {104, 1056, u"Version 0.0.0.0"},
    {104, 1057, u"PRODUCT_NAME"},
    {104, 1058, u"COMPANY"},
    {104, 1, u"OK"},

    // Template 116: the main window.
    {116, 0, u"Velmar: Modbus"},
    {116, 1006, u"Modbus map"},
    {116, 1010, u"Settings"},
    {116, 1029, u"Filters"},
    {116, 1049, u"Reconnect"},
    {116, 1170, u"Registers"},

    // Template 140: the register view.
    {140, 0, u"Registers"},
    {140, 1171, u"Table:"},
    {140, 1173, u"Go to address:"},
    {140, 2, u"Close"},

    // Template 118: the connection settings. Static texts are filed under 1201 to 1213.
    {118, 0, u"Settings"},
    {118, 1041, u"Connect over TCP/IP"},
    {118, 1042, u"Connect over RTU"},
    {118, 1201, u"TCP/IP settings"},
    {118, 1202, u"RTU settings"},
    {118, 1203, u"Device ID:"},
    {118, 1204, u"Port:"},
    {118, 1205, u"Local IP:"},
    {118, 1206, u"Remote IP:"},
    {118, 1207, u"Device ID:"},
    {118, 1208, u"COM port:"},
    {118, 1209, u"Baud rate:"},
    {118, 1210, u"Data bits:"},
    {118, 1211, u"Parity:"},
    {118, 1212, u"Stop bits:"},
    {118, 1213, u"An * next to a COM port means that the port is busy."},
    {118, 1214, u"\u201cNo access\u201d means that the user may not open the port (the dialout group is needed)."},
    {118, 1130, u"Access"},
    {118, 1132, u"Listen on:"},
    {118, 1134, u"Allowed masters:"},
    {118, 1136, u"Master writes:"},
    {118, 1137, u"Addresses and networks separated by commas, such as 10.1.2.3, 192.168.10.0/24; empty allows any master."},
    {118, 1, u"OK"},
    {118, 2, u"Cancel"},
};

constexpr TesmorTranslation kTranslations[] = {{1033, 1200}};

constexpr TesmorVersionValue kVersion[] = {
    {u"040904b0", u"CompanyName", u"tesmor developers"},
    {u"040904b0", u"FileDescription", u"Plug-in for connecting to Modbus Master devices."},
    {u"040904b0", u"FileVersion", TESMOR_VERSION_TEXT},
    {u"040904b0", u"InternalName", u"tesmorENU.so"},
    {u"040904b0", u"LegalCopyright", u"© 2026 tesmor developers. All rights reserved."},
    {u"040904b0", u"OriginalFilename", u"tesmorENU.so"},
    {u"040904b0", u"ProductName", u"Velmar: Modbus"},
    {u"040904b0", u"ProductVersion", TESMOR_VERSION_TEXT},
};

constexpr TesmorResourceTable kTable{
    sizeof(TesmorResourceTable),
    kStrings, static_cast<uint32_t>(std::size(kStrings)),
    kDialogTexts, static_cast<uint32_t>(std::size(kDialogTexts)),
    kTranslations, static_cast<uint32_t>(std::size(kTranslations)),
    kVersion, static_cast<uint32_t>(std::size(kVersion)),
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TesmorResourceTable* tesmorResourceTable(void) {
    return &kTable;
}
