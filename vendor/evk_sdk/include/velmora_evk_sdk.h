/* C interface of the USB evaluation-kit camera module library.
 *
 * The driver talks to the module only through these ten functions and three
 * records; the byte offsets of the fields the driver uses are fixed (the
 * driver checks them at compile time), everything else is the library's.
 *
 * Units: time-outs in milliseconds; image timestamps in milliseconds of the
 * module's own clock (sub-frames of one frame lie 1 ms apart).
 */
#ifndef VELMORA_EVK_SDK_H
#define VELMORA_EVK_SDK_H

#include <stdint.h>

#if defined(_WIN32)
#define VELMORA_EVK_API
#else
#define VELMORA_EVK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void* VelmoraEvkHandle;

/* Result codes; every function returns 0 on success. */
enum {
    VELMORA_EVK_OK = 0,
    VELMORA_EVK_ERR_PARAM = -1,      /* null or unknown handle, bad argument */
    VELMORA_EVK_ERR_CONFIG = -2,     /* configuration file missing or invalid */
    VELMORA_EVK_ERR_STATE = -3,      /* call not allowed in this state */
    VELMORA_EVK_ERR_TIMEOUT = -4,    /* no image within the time-out */
    VELMORA_EVK_ERR_CAPTURE = -5,    /* image lost on the link */
    VELMORA_EVK_ERR_RESOURCE = -6    /* out of image buffers or memory */
};

/* Open parameters (32 bytes). */
typedef struct VelmoraEvkParam {
    const char* config_path;   /* 0: configuration file, or null for defaults */
    uint32_t device_index;     /* 8: which module to open */
    uint32_t reserved0;        /* 12 */
    uint8_t config_is_binary;  /* 16: config_path names a binary file */
    uint8_t reserved1[7];      /* 17 */
    uint64_t reserved2;        /* 24 */
} VelmoraEvkParam;

/* Sensor geometry (16 bytes). */
typedef struct VelmoraEvkCameraConfig {
    uint32_t width;            /* 0: pixels per line */
    uint32_t height;           /* 4: lines per sub-frame */
    uint8_t bit_width;         /* 8: significant bits per sample */
    uint8_t reserved0[3];      /* 9 */
    uint32_t fps;              /* 12: configured frame rate, 0 = unpaced */
} VelmoraEvkCameraConfig;

/* One captured sub-frame (56 bytes); hand it back by value to VelmoraFreeImage. */
typedef struct VelmoraEvkImage {
    uint32_t sequence;         /* 0: sub-frame number since open */
    uint32_t phase;            /* 4: position of the sub-frame in its frame */
    uint64_t timestamp;        /* 8: milliseconds of the module clock */
    uint32_t width;            /* 16 */
    uint32_t height;           /* 20 */
    uint32_t size;             /* 24: bytes at data */
    uint8_t bit_width;         /* 28 */
    uint8_t reserved0[3];      /* 29 */
    void* data;                /* 32: samples, 1 byte each up to 8 bits, else 2 (little endian) */
    uint64_t token;            /* 40: the library's buffer id */
    uint64_t reserved1;        /* 48 */
} VelmoraEvkImage;

VELMORA_EVK_API int VelmoraDefaultParam(VelmoraEvkParam* param);
VELMORA_EVK_API int VelmoraOpenCamera(VelmoraEvkHandle* handle, const VelmoraEvkParam* param);
VELMORA_EVK_API int VelmoraInitCamera(VelmoraEvkHandle handle);
VELMORA_EVK_API int VelmoraGetCameraConfig(VelmoraEvkHandle handle, VelmoraEvkCameraConfig* config);
VELMORA_EVK_API int VelmoraStartCamera(VelmoraEvkHandle handle);
VELMORA_EVK_API int VelmoraStopCamera(VelmoraEvkHandle handle);
VELMORA_EVK_API int VelmoraCaptureImage(VelmoraEvkHandle handle, VelmoraEvkImage* image, uint32_t timeoutMs);
VELMORA_EVK_API int VelmoraFreeImage(VelmoraEvkHandle handle, VelmoraEvkImage image);
VELMORA_EVK_API int VelmoraWriteSensorReg(VelmoraEvkHandle handle, uint32_t address, uint32_t value);
VELMORA_EVK_API int VelmoraCloseCamera(VelmoraEvkHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_EVK_SDK_H */
