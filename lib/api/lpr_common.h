/*
 * liblprcommon: small helpers shared by the camera's processes.
 */
#ifndef LPR_COMMON_H
#define LPR_COMMON_H

#include <stddef.h>

#define LPR_COMMON_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

/* Writes the local time as "YYYY-MM-DD hh:mm:ss.mmm" into buffer, cut to size - 1
 * characters and always NUL-terminated when size > 0. Returns the number of
 * characters written, or -1 for a null buffer or a size of 0. */
LPR_COMMON_API int lpr_get_time_string(char* buffer, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* LPR_COMMON_H */
