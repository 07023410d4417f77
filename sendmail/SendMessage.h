/* The SMTP client's single entry point: one call delivers one mail over one new connection
   and reports a code (0 = sent) and a text. Also the English month abbreviations used for
   the mail's date text. */
#ifndef SENDMAIL_SENDMESSAGE_H
#define SENDMAIL_SENDMESSAGE_H

#include <stdint.h>

#include "sm_export.h"

SM_EXTERN_C_BEGIN

/* Strings are NUL-terminated 8-bit (UTF-8) texts; a null pointer counts as the empty text.
   The result is never null: the empty text on success, otherwise the reason for `*code`.
   It stays valid until the calling thread's next call of the SMTP client. */
SM_API const char* SendEmailMessage(const char* serverName, uint16_t port, const char* from,
                                    const char* to, const char* cc, const char* bcc,
                                    const char* subject, const char* date, const char* messageId,
                                    const char* body, signed char priority, int32_t* code);

/* "Jan".."Dec" for 1..12, three blanks for any other number. */
SM_API const char* MonthShortName(int month);

SM_EXTERN_C_END

#endif
