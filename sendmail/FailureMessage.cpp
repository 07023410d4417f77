// The message that goes to "failure": a copy of the input message, in the input's message
// context, with an element "SendMailError" holding the reason, added as the last child of the
// copied body's top element. Also the texts of the errors that arise in evaluate itself.
#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "evaluate_internal.h"
#include "node_schema.h"
#include "node_utils.h"

const char* getErrorString(int code) {
  switch (code) {
    case 2:
      return schema::kNoRecipientsText;
    default:
      return "Unknown error";
  }
}

namespace evaluation {

HostMessage buildFailureMessage(int& rc, CciMessage* input, CciElement* root, const char* errorText) {
  CciMessageContext* messageContext = cniGetMessageContext(&rc, input);
  // Owned before the check: a host may hand out the message and still report an error.
  HostMessage failure(cniCreateMessage(&rc, messageContext));
  check(rc);
  CciElement* newRoot = checked(rc, cniRootElement(&rc, failure.get()));
  cniCopyElementTree(&rc, root, newRoot);
  check(rc);

  // The error goes under the copied body's top element; when the copy has no top element,
  // or no body folder, under the deepest of them that exists, so the reason still travels.
  CciElement* parent = newRoot;
  if (CciElement* folder = checked(rc, cniLastChild(&rc, newRoot))) {
    parent = folder;
    if (CciElement* top = checked(rc, cniLastChild(&rc, folder))) parent = top;
  }

  CciElement* errorElement = checked(rc, cniCreateElementAsLastChild(&rc, parent));
  cniSetElementType(&rc, errorElement, CCI_ELEMENT_TYPE_NAME);
  check(rc);
  cniSetElementName(&rc, errorElement, constSendMailError);
  check(rc);

  CciElement* valueElement = checked(rc, cniCreateElementAsLastChild(&rc, errorElement));
  cniSetElementType(&rc, valueElement, CCI_ELEMENT_TYPE_VALUE);
  check(rc);
  CciText text = ownOrThrow(ASCIIToUnicode(errorText));
  cniSetElementCharacterValue(&rc, valueElement, text.get(), CciCharLen(text.get()));
  check(rc);
  return failure;
}

}  // namespace evaluation
