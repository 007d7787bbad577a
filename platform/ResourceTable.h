/* Resources of one language: the string table, the dialog texts and the version values.
   A plain C layout, so that a language library hands its table over whatever built it.
   A language library exports `const TesmorResourceTable *tesmorResourceTable(void)`. */
#ifndef TESMOR_RESOURCE_TABLE_H
#define TESMOR_RESOURCE_TABLE_H

#include <stdint.h>
#include <uchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TesmorString {
    uint32_t id;
    const char16_t* text;
} TesmorString;

/* Caption of a dialog template (control 0) or of one of its controls. */
typedef struct TesmorDialogText {
    uint32_t dialog;
    uint32_t control;
    const char16_t* text;
} TesmorDialogText;

/* Version values: a translation list of {language, code page} pairs, and string values
   filed under a block name such as "041904b0". */
typedef struct TesmorTranslation {
    uint16_t language;
    uint16_t codePage;
} TesmorTranslation;
typedef struct TesmorVersionValue {
    const char16_t* block;
    const char16_t* name;
    const char16_t* value;
} TesmorVersionValue;

typedef struct TesmorResourceTable {
    uint32_t size; /* sizeof(TesmorResourceTable) */
    const TesmorString* strings;
    uint32_t stringCount;
    const TesmorDialogText* dialogTexts;
    uint32_t dialogTextCount;
    const TesmorTranslation* translations;
    uint32_t translationCount;
    const TesmorVersionValue* versionValues;
    uint32_t versionValueCount;
} TesmorResourceTable;

typedef const TesmorResourceTable* (*TesmorResourceTableFunction)(void);
#define TESMOR_RESOURCE_TABLE_SYMBOL "tesmorResourceTable"

#ifdef __cplusplus
}
#endif

#endif
