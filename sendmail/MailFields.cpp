// The mail fields of a message: sender, To, Cc and Bcc lists, subject, body, the rich fields and
// the mail's own access token, read from the children of the body's top element by the names of
// the node's schema. Repeated
// list fields join with "; ", body lines with a line feed. One value buffer serves the whole
// scan and grows only when the host asks.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>

#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "c_memory.h"
#include "evaluate_internal.h"
#include "node_schema.h"
#include "node_utils.h"

namespace evaluation {
namespace {

constexpr const char* kListSeparator = "; ";
constexpr int kInitialValueUnits = 1024;

// The value buffer of one scan.
struct ValueBuffer {
  CciText units;
  int capacity = 0;

  explicit ValueBuffer(int initial)
      : units(ownOrThrow(static_cast<CciChar*>(std::malloc(sizeof(CciChar) * initial)))), capacity(initial) {
    units.get()[0] = 0;
  }
  ValueBuffer(CciText given, int size) : units(std::move(given)), capacity(size) {}
};

// Reads one element's character value into `buffer` and returns its length in units. On the
// host's "buffer too small" the buffer is re-allocated to exactly the size the host names and
// the value read once more; a value of kMappedUnits or more goes into `mapped` instead.
std::size_t readUnits(int& rc, CciElement* element, ValueBuffer& buffer, std::unique_ptr<MappedUnits>& mapped,
                      CciChar*& units) {
  units = buffer.units.get();
  int capacity = buffer.capacity;
  int length = cniElementCharacterValue(&rc, element, units, capacity);
  // The host names the units it needs: grow when the buffer is smaller, and read once more
  // either way. A count of 0 or less, or a second "too small", ends the evaluation.
  if (rc == CCI_BUFFER_TOO_SMALL && length > 0) {
    const int needed = length;
    if (needed <= capacity) {
      // The buffer already holds that many units: only the read is repeated.
    } else if (static_cast<std::size_t>(needed) >= kMappedUnits) {
      mapped = std::make_unique<MappedUnits>(static_cast<std::size_t>(needed));
      units = mapped->units();
      capacity = std::min(needed, mapped->capacity());
    } else {
      buffer.units.reset();  // the old content need not be kept
      buffer.capacity = 0;
      buffer.units = ownOrThrow(static_cast<CciChar*>(std::malloc(sizeof(CciChar) * static_cast<size_t>(needed))));
      buffer.capacity = needed;
      units = buffer.units.get();
      capacity = needed;
    }
    units[0] = 0;
    length = cniElementCharacterValue(&rc, element, units, capacity);
  }
  check(rc);
  // A host that raised and returned may have left the buffer unterminated.
  units[capacity - 1] = 0;
  return length >= 0 && length < capacity ? static_cast<std::size_t>(length) : static_cast<std::size_t>(capacity - 1);
}

// One element's character value as new UTF-8 text; a large one, with `inPlace`, converted
// where it was read (see convertMapped).
BodyText readValue(int& rc, CciElement* element, ValueBuffer& buffer, bool inPlace) {
  std::unique_ptr<MappedUnits> mapped;
  CciChar* units = nullptr;
  const std::size_t length = readUnits(rc, element, buffer, mapped, units);
  if (mapped) return convertMapped(*mapped, length, inPlace);
  const std::size_t room = hostUtf8Room(length);
  BodyText out(static_cast<char*>(std::malloc(room)));
  if (!out) throw std::bad_alloc();
  toUtf8(units, out.get(), room);
  return out;
}

// One element's character value as new UTF-8 text from malloc.
CString readText(int& rc, CciElement* element, ValueBuffer& buffer) {
  return CString(readValue(rc, element, buffer, false).release());
}

// Creates `list`, or ends its last item with `separator`.
void startItem(StringBuffer& list, const char* separator) {
  if (!list) {
    list.reset(NodeStringBufferAlloc());
  } else {
    NodeStringBufferAdd(list.get(), separator);
  }
}

// Appends one element's value to a list, after `separator` unless the list is new. The text is
// converted straight into the list's buffer.
void appendText(int& rc, CciElement* element, ValueBuffer& buffer, StringBuffer& list, const char* separator) {
  std::unique_ptr<MappedUnits> mapped;
  CciChar* units = nullptr;
  const std::size_t length = readUnits(rc, element, buffer, mapped, units);
  startItem(list, separator);
  if (mapped) {
    NodeStringBufferAdd(list.get(), convertMapped(*mapped, length, false).get());
    return;
  }
  const std::size_t room = hostUtf8Room(length);
  NodeStringBufferResize(list.get(), static_cast<uint32_t>(room));
  list->length += static_cast<uint32_t>(toUtf8(units, list->data + list->length, room));
}

using schema::Field;

bool named(const CciChar* name, const char16_t* field) {
  return CciCharCmp(name, reinterpret_cast<const CciChar*>(field)) == 0;
}

// The field an element's name stands for, or null when the node does not read it.
const schema::FieldRow* fieldNamed(const CciChar* name) {
  for (const schema::FieldRow& row : schema::kFields) {
    if (named(name, row.name16) || named(name, row.mailName16)) return &row;
  }
  return nullptr;
}

// A body element with children gives one line per child, whatever its name; without
// children its own value is the body.
void readBody(int& rc, CciElement* body, BodyField& field, ValueBuffer& buffer) {
  CciElement* line = cniFirstChild(&rc, body);
  if (line == nullptr) {
    field.text = readValue(rc, body, buffer, true);
    field.isLines = false;
    return;
  }
  while (line != nullptr) {
    appendText(rc, line, buffer, field.lines, "\n");
    line = cniNextSibling(&rc, line);
  }
  field.isLines = true;
}

// An element's name as UTF-8 text kept in the fields' storage.
std::string_view keepName(int& rc, CciElement* element, MailFields& fields) {
  CciChar name[kNameUnits];
  readName(rc, element, name);
  char text[kNameUnits * 3 + 1];
  const std::size_t n = toUtf8(name, text, sizeof text);
  return fields.texts.emplace_back(text, n);
}

std::string_view keepText(int& rc, CciElement* element, ValueBuffer& buffer, MailFields& fields) {
  return fields.texts.emplace_back(readText(rc, element, buffer).get());
}

// Each child of a Header folder is one field: its name the field name, its value the body.
void readHeaders(int& rc, CciElement* folder, MailFields& fields, ValueBuffer& buffer) {
  for (CciElement* child = cniFirstChild(&rc, folder); child != nullptr; child = cniNextSibling(&rc, child)) {
    const std::string_view name = keepName(rc, child, fields);
    fields.rich.headers.push_back({name, keepText(rc, child, buffer, fields)});
  }
}

// An attachment's Data: a byte array, read once straight into the buffer it is sent from, or a
// character value, sent as UTF-8. A host that refuses the byte-array read for any reason but
// "too small" or an exception holds another kind of value there.
void readData(int& rc, CciElement* data, smtp::RichMail::Attachment& attachment, MailFields& fields, ValueBuffer& buffer) {
  HostByteArray value{nullptr, 0};
  int length = cniElementByteArrayValue(&rc, data, &value);
  if (rc != CCI_SUCCESS && rc != CCI_BUFFER_TOO_SMALL && rc != CCI_EXCEPTION) {
    const BodyText& text = fields.blobs.emplace_back(readValue(rc, data, buffer, false));
    attachment.data = text.get();
    attachment.text = true;
    return;
  }
  BodyText& bytes = fields.blobs.emplace_back();
  if (rc == CCI_BUFFER_TOO_SMALL && length > 0) {
    bytes.reset(static_cast<char*>(std::malloc(static_cast<std::size_t>(length))));
    if (!bytes) throw std::bad_alloc();
    value = {reinterpret_cast<uint8_t*>(bytes.get()), length};
    length = std::min(cniElementByteArrayValue(&rc, data, &value), length);
  }
  check(rc);
  attachment.data = {bytes.get(), bytes ? static_cast<std::size_t>(std::max(length, 0)) : 0};
  attachment.text = false;
}

// An Attachment folder: Name, ContentType and Data children; the last of each name counts.
void readAttachment(int& rc, CciElement* folder, MailFields& fields, ValueBuffer& buffer) {
  smtp::RichMail::Attachment attachment;
  CciChar name[kNameUnits];
  for (CciElement* child = cniFirstChild(&rc, folder); child != nullptr; child = cniNextSibling(&rc, child)) {
    readName(rc, child, name);
    if (named(name, u"Name")) {
      attachment.name = keepText(rc, child, buffer, fields);
    } else if (named(name, u"ContentType")) {
      attachment.contentType = keepText(rc, child, buffer, fields);
    } else if (named(name, u"Data")) {
      readData(rc, child, attachment, fields, buffer);
    }
  }
  fields.rich.attachments.push_back(attachment);
}

// One field's value into its place among the fields.
void readField(int& rc, CciElement* element, Field field, MailFields& fields, ValueBuffer& buffer) {
  switch (field) {
    case Field::From:
      fields.from = readText(rc, element, buffer);
      break;
    case Field::Subject:
      fields.subject = readText(rc, element, buffer);
      break;
    case Field::To:
      appendText(rc, element, buffer, fields.to, kListSeparator);
      break;
    case Field::Cc:
      appendText(rc, element, buffer, fields.cc, kListSeparator);
      break;
    case Field::Bcc:
      appendText(rc, element, buffer, fields.bcc, kListSeparator);
      break;
    case Field::Body:
      readBody(rc, element, fields.bodyField, buffer);
      break;
    case Field::ReplyTo:
      appendText(rc, element, buffer, fields.replyTo, kListSeparator);
      break;
    case Field::Html:
      readBody(rc, element, fields.html, buffer);
      fields.rich.hasHtml = true;
      break;
    case Field::Header:
      readHeaders(rc, element, fields, buffer);
      break;
    case Field::Attachment:
      readAttachment(rc, element, fields, buffer);
      break;
    case Field::AccessToken: {
      CString token = readText(rc, element, buffer);
      fields.accessToken.assign(token.get());
      OPENSSL_cleanse(token.get(), fields.accessToken.size());
      break;
    }
  }
}

}  // namespace

void appendToList(StringBuffer& list, const char* text) {
  startItem(list, kListSeparator);
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
    readName(rc, element, name);
    if (const schema::FieldRow* row = fieldNamed(name)) {
      readField(rc, element, row->field, fields, buffer);
    }
    element = cniNextSibling(&rc, element);
  }
}

MailFields::~MailFields() { OPENSSL_cleanse(accessToken.data(), accessToken.size()); }

smtp::RichMail MailFields::takeRich() {
  rich.replyTo = replyTo ? std::string_view{replyTo->data, replyTo->length} : std::string_view{};
  rich.html = html.view();
  return std::move(rich);
}

}  // namespace evaluation

char* readElementText(int* rc, CciElement* element, CciChar** valueBuffer, int* capacity) {
  if (rc == nullptr || valueBuffer == nullptr || *valueBuffer == nullptr || capacity == nullptr || *capacity <= 0) {
    return nullptr;
  }
  evaluation::ValueBuffer buffer(CciText(*valueBuffer), *capacity);
  // The caller keeps owning the buffer, re-allocated or not, on every way out (a host that
  // unwinds from a re-raised exception included).
  struct GiveBack {
    evaluation::ValueBuffer& buffer;
    CciChar** units;
    int* capacity;
    ~GiveBack() {
      *units = buffer.units.release();
      *capacity = buffer.capacity;
    }
  } giveBack{buffer, valueBuffer, capacity};
  try {
    return evaluation::readText(*rc, element, buffer).release();
  } catch (const evaluation::EndEvaluation&) {
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}
