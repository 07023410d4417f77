// The mail fields of a message: sender, To, Cc and Bcc lists, subject and body, read from the
// children of the body's top element by name. Repeated list fields join with "; ", body lines
// with a line feed. One value buffer serves the whole scan and grows only when the host asks.
#include <cstdlib>

#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "evaluate_internal.h"
#include "node_utils.h"

namespace evaluation {
namespace {

constexpr int kInitialValueUnits = 1024;
constexpr int kNameUnits = 512;

// The value buffer of one scan.
struct ValueBuffer {
  CciText units;
  int capacity = 0;

  explicit ValueBuffer(int initial)
      : units(ownOrThrow(static_cast<CciChar*>(std::malloc(sizeof(CciChar) * initial)))), capacity(initial) {
    units.get()[0] = 0;
  }
};

// One element's character value as UTF-8. On the host's "buffer too small" the buffer is
// re-allocated to exactly the size the host names and the value read once more.
CString readText(int& rc, CciElement* element, CciText& units, int& capacity) {
  int needed = cniElementCharacterValue(&rc, element, units.get(), capacity);
  if (rc == CCI_BUFFER_TOO_SMALL && needed > capacity) {
    units.reset();  // the old content need not be kept
    capacity = 0;
    units = ownOrThrow(static_cast<CciChar*>(std::malloc(sizeof(CciChar) * static_cast<size_t>(needed))));
    capacity = needed;
    units.get()[0] = 0;
    cniElementCharacterValue(&rc, element, units.get(), capacity);
  }
  check(rc);
  // A host that raised and returned may have left the buffer unterminated.
  units.get()[capacity - 1] = 0;
  return ownOrThrow(UnicodeToASCII(units.get()));
}

enum class Field { None, From, To, Cc, Bcc, Subject, Body };

Field fieldNamed(const CciChar* name) {
  struct Entry {
    CciChar* const* name;
    Field field;
  };
  static const Entry table[] = {
      {&constFrom, Field::From},       {&constMailFrom, Field::From},       {&constTo, Field::To},
      {&constMailTo, Field::To},       {&constCc, Field::Cc},               {&constMailCc, Field::Cc},
      {&constBcc, Field::Bcc},         {&constMailBcc, Field::Bcc},         {&constSubject, Field::Subject},
      {&constMailSubject, Field::Subject}, {&constBody, Field::Body},       {&constMailBody, Field::Body},
  };
  for (const Entry& e : table) {
    if (*e.name != nullptr && CciCharCmp(name, *e.name) == 0) return e.field;
  }
  return Field::None;
}

void appendLine(StringBuffer& lines, const char* text) {
  if (!lines) {
    lines.reset(NodeStringBufferAlloc());
  } else {
    NodeStringBufferAdd(lines.get(), "\n");
  }
  NodeStringBufferAdd(lines.get(), text);
}

// A body element with children gives one line per child, whatever its name; without
// children its own value is the body.
void readBody(int& rc, CciElement* body, MailFields& fields, ValueBuffer& buffer) {
  CciElement* line = cniFirstChild(&rc, body);
  if (line == nullptr) {
    fields.bodyText = readText(rc, body, buffer.units, buffer.capacity);
    fields.bodyIsLines = false;
    return;
  }
  while (line != nullptr) {
    CString text = readText(rc, line, buffer.units, buffer.capacity);
    appendLine(fields.bodyLines, text.get());
    line = cniNextSibling(&rc, line);
  }
  fields.bodyIsLines = true;
}

}  // namespace

void appendToList(StringBuffer& list, const char* text) {
  if (!list) {
    list.reset(NodeStringBufferAlloc());
  } else {
    NodeStringBufferAdd(list.get(), "; ");
  }
  NodeStringBufferAdd(list.get(), text);
}

void readMailFields(int& rc, CciElement* root, MailFields& fields) {
  CciElement* folder = checked(rc, cniLastChild(&rc, root));
  if (folder == nullptr) return;
  CciElement* top = checked(rc, cniFirstChild(&rc, folder));
  if (top == nullptr) return;
  CciElement* element = checked(rc, cniFirstChild(&rc, top));
  if (element == nullptr) return;

  ValueBuffer buffer(kInitialValueUnits);
  CciChar name[kNameUnits];
  while (element != nullptr) {
    name[0] = 0;
    cniElementName(&rc, element, name, kNameUnits);
    check(rc);
    name[kNameUnits - 1] = 0;

    switch (fieldNamed(name)) {
      case Field::From:
        fields.from = readText(rc, element, buffer.units, buffer.capacity);
        break;
      case Field::Subject:
        fields.subject = readText(rc, element, buffer.units, buffer.capacity);
        break;
      case Field::To:
        appendToList(fields.to, readText(rc, element, buffer.units, buffer.capacity).get());
        break;
      case Field::Cc:
        appendToList(fields.cc, readText(rc, element, buffer.units, buffer.capacity).get());
        break;
      case Field::Bcc:
        appendToList(fields.bcc, readText(rc, element, buffer.units, buffer.capacity).get());
        break;
      case Field::Body:
        readBody(rc, element, fields, buffer);
        break;
      case Field::None:
        break;
    }
    element = cniNextSibling(&rc, element);
  }
}

}  // namespace evaluation

char* readElementText(int* rc, CciElement* element, CciChar** valueBuffer, int* capacity) {
  if (rc == nullptr || valueBuffer == nullptr || *valueBuffer == nullptr || capacity == nullptr || *capacity <= 0) {
    return nullptr;
  }
  // The caller keeps owning the buffer, re-allocated or not, on every way out (a host that
  // unwinds from a re-raised exception included).
  CciText units(*valueBuffer);
  int unitCapacity = *capacity;
  auto giveBack = [&] {
    *valueBuffer = units.release();
    *capacity = unitCapacity;
  };
  char* result = nullptr;
  try {
    result = evaluation::readText(*rc, element, units, unitCapacity).release();
  } catch (const evaluation::EndEvaluation&) {
  } catch (const std::bad_alloc&) {
  } catch (...) {
    giveBack();
    throw;
  }
  giveBack();
  return result;
}
