// The evaluate callback: turns each message into one mail and propagates it.
// Stand-in so the callback table links; the real callback replaces this file.
#include "SendMailPlugIn.h"

SM_EXTERN_C_BEGIN

void evaluate(CciContext*, CciMessage*, CciMessage*, CciMessage*) {}

SM_EXTERN_C_END
