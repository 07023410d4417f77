/* Marks the functions and tables that the plug-in library exports with C linkage. Everything
   else in the library is built with hidden visibility, and the link's version script keeps the
   exported set to exactly these names. Here in common/ because the exported headers are compiled
   wherever they are included: the plug-in's two halves, its tests, a host's own code. */
#ifndef SENDMAIL_SM_EXPORT_H
#define SENDMAIL_SM_EXPORT_H

/* The SMTP client's C edge (SendMessage.h, SimpleSMTP/smtp.h): called from outside only; the
   library's own code calls the C++ functions beneath it. */
#define SM_API __attribute__((visibility("default")))
/* The node frame's exports, which the library uses itself too (the callback table holds their
   addresses; the constants and string helpers serve every evaluation): protected, so that those
   uses bind to the library's own definitions whatever else the process defines under the name. */
#define SM_NODE_API __attribute__((visibility("protected")))

#ifdef __cplusplus
#define SM_EXTERN_C_BEGIN extern "C" {
#define SM_EXTERN_C_END }
#else
#define SM_EXTERN_C_BEGIN
#define SM_EXTERN_C_END
#endif

#endif
