/* An optional export of the tesmor plug-in beside host_api.h, for hosts that show its Modbus
   traffic: a host looks it up by name and does without it when it is missing. */
#ifndef TESMOR_DIAGNOSTICS_H
#define TESMOR_DIAGNOSTICS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Writes one line per transport, "tcp masters=1 requests=123 exceptions=0 dropped=0
   last=2026-12-10T15:04:05" and "rtu requests=... exceptions=... dropped=... last=...", then
   "tls masters=... requests=..." while the TLS server is on, each ending in '\n' (last=- before
   the first answer), as a terminated UTF-8 text into `buffer` of
   `size` bytes (cut when short). Returns the length of the whole text without the terminator;
   0 while the plug-in is not loaded. Any thread. */
uint32_t TesmorModbusStats(char* buffer, uint32_t size);
#define TESMOR_MODBUS_STATS_SYMBOL "TesmorModbusStats"

#ifdef __cplusplus
}
#endif

#endif
