/*
 * The board's wire format: 3-byte reports each way. This is the only place
 * that knows the bytes; the library, the simulated board and the tools all
 * build and decode reports through it.
 */
#ifndef ZOR_WIRE_H
#define ZOR_WIRE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { kReportSize = 3 };

/* Host to board: [report id 0, command, argument]. */
typedef struct OutputReport {
    uint8_t reportId;
    uint8_t command;  /* low 8 bits of (port << 4) | opcode */
    uint8_t argument;
} OutputReport;

/* Board to host: [report id, echoed command, value]. The board uses no
 * numbered reports, so the id is 0 and never examined. */
typedef struct InputReport {
    uint8_t reportId;
    uint8_t command;  /* the command byte of the request it answers */
    uint8_t value;    /* 0 when the pin is low, nonzero when high */
} InputReport;

/* Low 4 bits of the command byte. */
typedef enum ZorOpcode {
    DataBitClear = 1,   /* argument: mask */
    DataBitSet = 2,     /* argument: inverted mask */
    PullupBitClear = 3, /* argument: mask */
    PullupBitSet = 4,   /* argument: inverted mask */
    ISinkLevel = 5,     /* argument: (intensity << 4) | pin */
    ReadBitEven = 6,    /* argument: mask */
    ReadBitOdd = 7      /* argument: mask */
} ZorOpcode;

/* Input reports read after a read request before giving up on its answer. */
enum { kReadPollLimit = 1024 };

static inline uint8_t ZorCommand(uint8_t port, uint8_t opcode)
{
    return (uint8_t)((port << 4) | opcode);
}

static inline uint8_t ZorOpcodeOf(uint8_t command) { return (uint8_t)(command & 0x0F); }
static inline uint8_t ZorPortOf(uint8_t command) { return (uint8_t)(command >> 4); }

/* Only the addressed bit set; bits 8 to 31 give 0. Larger bit numbers are
 * outside the interface and count modulo 32 (bit 32 gives 0x01), which is
 * what existing clients have always seen. */
static inline uint8_t ZorMask(uint8_t bit) { return (uint8_t)(1u << (bit & 31u)); }

/* Every bit set except the addressed one. */
static inline uint8_t ZorInvertedMask(uint8_t bit) { return (uint8_t)~ZorMask(bit); }

/* The pin is not limited to 4 bits, so pins above 15 reach the intensity. */
static inline uint8_t ZorISinkArgument(uint8_t pin, uint8_t intensity)
{
    return (uint8_t)((intensity << 4) | pin);
}

static inline OutputReport ZorOutputReport(uint8_t port, uint8_t opcode, uint8_t argument)
{
    OutputReport r = {0, ZorCommand(port, opcode), argument};
    return r;
}

/* The read request whose command byte differs from `last`, the command byte
 * of the report read just before it: opcode 7 when last's low 4 bits are 6,
 * else 6. An unchanged buffer can thus never be taken for the answer. */
static inline OutputReport ZorReadRequest(uint8_t last, uint8_t port, uint8_t bit)
{
    uint8_t opcode = ZorOpcodeOf(last) == ReadBitEven ? ReadBitOdd : ReadBitEven;
    return ZorOutputReport(port, opcode, ZorMask(bit));
}

#ifdef __cplusplus
}
#endif

#endif
