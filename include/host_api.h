/* The contract between a host application and the tesmor plug-in.
   Names, order and types are fixed: other hosts are written against this header. */
#ifndef TESMOR_HOST_API_H
#define TESMOR_HOST_API_H

#include <stdint.h>
#include <uchar.h> /* char16_t in C */

#ifdef __cplusplus
extern "C" {
#endif

/* Event and command handlers: ModulesLoaded gets 0, DocumentUpdate the assay id,
   the menu command the host window (a QWidget* in a Qt host). They return 0. */
typedef int (*HostHandler)(intptr_t argument);

typedef struct HostApi {
    void* reserved[3];                                             /* entries 1-3: not used */
    uint32_t (*subscribe)(const char* event, HostHandler handler); /* -> handle */
    void (*unsubscribe)(uint32_t handle);
    uint32_t (*registerCommand)(const char* name, HostHandler handler);
    void (*unregisterCommand)(uint32_t handle);
    intptr_t (*callService)(const char* service, intptr_t a, intptr_t b);
    int (*hasService)(const char* service); /* nonzero: offered */
} HostApi;

typedef struct MenuItemRecord { /* size = sizeof(MenuItemRecord) */
    uint32_t size;
    const char16_t* path;
    uint32_t reserved;
    const char* command;
} MenuItemRecord;

typedef struct TextRequest { /* capacity 128 characters, terminator included */
    char16_t* buffer;
    uint32_t capacity;
} TextRequest;

typedef struct PluginInfo { /* size = sizeof(PluginInfo): 48 on a 32-bit build */
    uint32_t size;
    const char16_t* name;
    uint32_t version;
    const char16_t *description, *company, *contact, *legal, *web;
    uint8_t id[16];
} PluginInfo;

/* exported by the plug-in with C linkage and default visibility */
const PluginInfo* GetPluginInfo(void);
int Load(const HostApi* host);
int Unload(void);

#ifdef __cplusplus
}
#endif

#endif
