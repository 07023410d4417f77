// The mail's date and message-id texts, taken from the message descriptor folder "TVMD":
// its put date and time, and its 24-byte message id as 48 hex digits. When the put date and
// time cannot both be read, the date is the current UTC time.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "SendMailPlugIn.h"
#include "TvlSampPluginUtil.h"
#include "evaluate_internal.h"

namespace evaluation {
namespace {

constexpr int kMessageIdBytes = 24;
constexpr int kByteArrayBuffer = 1024;

bool named(const CciChar* name, const CciChar* constant) {
  return constant != nullptr && CciCharCmp(name, constant) == 0;
}

// The first child of the root named "TVMD", or null.
CciElement* findDescriptor(int& rc, CciElement* root, CciChar (&name)[kNameUnits]) {
  CciElement* child = checked(rc, cniFirstChild(&rc, root));
  while (child != nullptr) {
    readName(rc, child, name);
    if (named(name, constTVMD)) return child;
    child = checked(rc, cniNextSibling(&rc, child));
  }
  return nullptr;
}

void formatMessageId(const uint8_t* bytes, char (&text)[64]) {
  static const char hex[] = "0123456789ABCDEF";
  for (int i = 0; i < kMessageIdBytes; ++i) {
    text[2 * i] = hex[bytes[i] >> 4];
    text[2 * i + 1] = hex[bytes[i] & 0x0F];
  }
  text[2 * kMessageIdBytes] = '\0';
}

// Seconds as a whole number, truncated toward zero; false for a value no clock shows.
bool wholeSeconds(float seconds, int& whole) {
  if (!std::isfinite(seconds) || seconds < -1e9f || seconds > 1e9f) return false;
  whole = static_cast<int>(seconds);
  return true;
}

// The descriptor's date as "DD Mon YYYY hh:mm:ss GMT" ("%02i %.3s %02i %02i:%02i:%02i GMT"),
// written digit by digit for the values a clock shows, since the formatter costs more than
// the rest of reading the descriptor; any other value goes through the formatter.
void formatDate(char (&text)[128], const HostDate& date, const HostTime& time, int seconds) {
  const auto small = [](int v) { return v >= 0 && v <= 99; };
  if (!small(date.day) || date.year < 1000 || date.year > 9999 || !small(time.hour) || !small(time.minute) ||
      !small(seconds)) {
    std::snprintf(text, sizeof text, "%02i %.3s %02i %02i:%02i:%02i GMT", date.day, smtp::monthShortName(date.month),
                  date.year, time.hour, time.minute, seconds);
    return;
  }
  char* p = text;
  const auto two = [&p](int v) {
    *p++ = static_cast<char>('0' + v / 10);
    *p++ = static_cast<char>('0' + v % 10);
  };
  two(date.day);
  *p++ = ' ';
  const char* month = smtp::monthShortName(date.month);
  for (int i = 0; i < 3 && month[i] != '\0'; ++i) *p++ = month[i];
  *p++ = ' ';
  two(date.year / 100);
  two(date.year % 100);
  *p++ = ' ';
  two(time.hour);
  *p++ = ':';
  two(time.minute);
  *p++ = ':';
  two(seconds);
  std::memcpy(p, " GMT", 5);
}

}  // namespace

void formatCurrentDate(char (&date)[128]) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::snprintf(date, sizeof date, "%02d %s %d %02d:%02d:%02d GMT", utc.tm_mday, smtp::monthShortName(utc.tm_mon + 1),
                utc.tm_year + 1900, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

void readDescriptor(int& rc, CciElement* root, DescriptorTexts& texts) {
  texts.messageId[0] = '\0';
  CciChar name[kNameUnits];
  CciElement* folder = findDescriptor(rc, root, name);

  // The descriptor's time is used only when both the date and the time were read, and
  // the message id did not fail.
  bool haveDate = false;
  bool haveTime = false;
  bool failed = false;
  HostDate date{};
  HostTime time{};
  if (folder != nullptr) {
    CciElement* child = checked(rc, cniFirstChild(&rc, folder));
    while (child != nullptr) {
      readName(rc, child, name);
      if (named(name, constPutDate)) {
        date = cniElementDateValue(&rc, child);
        haveDate = rc == CCI_SUCCESS;
        failed |= !haveDate;
      } else if (named(name, constPutTime)) {
        time = cniElementGmtTimeValue(&rc, child);
        haveTime = rc == CCI_SUCCESS;
        failed |= !haveTime;
      } else if (named(name, constMsgId)) {
        // Zero-filled, so that a short id is formatted from zeros.
        uint8_t bytes[kByteArrayBuffer] = {};
        HostByteArray descriptor{bytes, kByteArrayBuffer};
        cniElementByteArrayValue(&rc, child, &descriptor);
        if (rc != CCI_SUCCESS) {
          failed = true;
          texts.messageId[0] = '\0';
        } else {
          formatMessageId(bytes, texts.messageId);
        }
      }
      child = checked(rc, cniNextSibling(&rc, child));
    }
  }

  int seconds = 0;
  if (haveDate && haveTime && !failed && wholeSeconds(time.seconds, seconds)) {
    formatDate(texts.date, date, time, seconds);
  } else {
    formatCurrentDate(texts.date);
  }
}

}  // namespace evaluation
