// The framed exchange's CRC-32 (IEEE 802.3), as the stream layer names it.
#include "core/crc32.h"
#include "portstream/qvds.h"

uint32_t qvds_crc32(const uint8_t* data, uint32_t len, uint32_t crc) { return qv::Crc32(data, len, crc); }
