/* The records of host_api.h as a 32-bit host lays them out; compiled with -m32 as C and as C++.
   A host built for 32 bits reads these offsets, whatever a 64-bit build of the plug-in does. */
#include <assert.h>
#include <stddef.h>

#include "host_api.h"

static_assert(sizeof(void*) == 4, "compile with -m32");

static_assert(sizeof(PluginInfo) == 48, "PluginInfo");
static_assert(offsetof(PluginInfo, name) == 4, "PluginInfo.name");
static_assert(offsetof(PluginInfo, version) == 8, "PluginInfo.version");
static_assert(offsetof(PluginInfo, description) == 12, "PluginInfo.description");
static_assert(offsetof(PluginInfo, company) == 16, "PluginInfo.company");
static_assert(offsetof(PluginInfo, contact) == 20, "PluginInfo.contact");
static_assert(offsetof(PluginInfo, legal) == 24, "PluginInfo.legal");
static_assert(offsetof(PluginInfo, web) == 28, "PluginInfo.web");
static_assert(offsetof(PluginInfo, id) == 32, "PluginInfo.id");

static_assert(sizeof(MenuItemRecord) == 16, "MenuItemRecord");
static_assert(offsetof(MenuItemRecord, path) == 4, "MenuItemRecord.path");
static_assert(offsetof(MenuItemRecord, reserved) == 8, "MenuItemRecord.reserved");
static_assert(offsetof(MenuItemRecord, command) == 12, "MenuItemRecord.command");

/* Nine entries, the first three unused. */
static_assert(sizeof(HostApi) == 36, "HostApi");
static_assert(offsetof(HostApi, subscribe) == 12, "HostApi.subscribe");
static_assert(offsetof(HostApi, hasService) == 32, "HostApi.hasService");

static_assert(sizeof(TextRequest) == 8, "TextRequest");
