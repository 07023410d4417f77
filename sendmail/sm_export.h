/* Marks the functions and tables that the plug-in library exports with C linkage.
   Everything else in the library is built with hidden visibility, and the link's
   version script keeps the exported set to exactly these names. */
#ifndef SENDMAIL_SM_EXPORT_H
#define SENDMAIL_SM_EXPORT_H

#define SM_API __attribute__((visibility("default")))

#ifdef __cplusplus
#define SM_EXTERN_C_BEGIN extern "C" {
#define SM_EXTERN_C_END }
#else
#define SM_EXTERN_C_BEGIN
#define SM_EXTERN_C_END
#endif

#endif
