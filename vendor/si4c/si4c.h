/* Phase processing for the VGA depth sensor: raw phase frames in, depth,
 * amplitude and confidence planes out. Plain C interface; see README.md for
 * the raw frame layout, the calibration format and the configuration keys. */
#ifndef SI4C_H
#define SI4C_H

#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#define SI4C_API
#else
#define SI4C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct SiSDK SiSDK;

/* Creates an instance and stores it in *handle; false (and *handle null) on failure. */
SI4C_API bool SiSDKCreate(SiSDK** handle);

/* Sets the output size (640 x 480 or 320 x 240) and forgets calibration,
 * configuration directory and filter history. Streaming stops until SiSDKStart. */
SI4C_API bool SiSDKInit(SiSDK* handle, int width, int height);

/* Calibration bytes ("cali.bin" format); the values are copied. Invalid data
 * leaves the instance uncalibrated. */
SI4C_API void SiSDKSetCaliData(SiSDK* handle, const void* data, uint32_t size);

/* Directory holding "ConfigAlgorithm.json"; null or empty: the working directory. */
SI4C_API void SiSDKSetConfig(SiSDK* handle, const char* directory);

/* Reads the algorithm configuration and begins accepting frames. */
SI4C_API bool SiSDKStart(SiSDK* handle);

/* One raw frame (16-bit words, 2-byte aligned) to three planes of
 * width x height floats. False when not started, or the frame is not of the
 * current frequency mode; the planes are then left untouched. */
SI4C_API bool SiSDKGetPhaseImage(SiSDK* handle, const uint8_t* raw, float* depth, float* amplitude,
                                 float* confidence);

/* Frequency mode; may be called from any thread while frames are processed.
 * Single frequency is the default. */
SI4C_API bool SiSDKIsSingleFreq(SiSDK* handle);
SI4C_API void SiSDKSetSingleFreq(SiSDK* handle, bool single);

/* Destroys the instance and nulls *handle; a null handle is ignored. */
SI4C_API void SiSDKDestroy(SiSDK** handle);

#ifdef __cplusplus
}
#endif

#endif
