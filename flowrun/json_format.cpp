// JSON documents read into message trees through nlohmann-json (ordered, so fields keep the
// document's order): keys become element names, so they must be names the XML writer can write.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "formats.h"
#include "node_schema.h"

namespace flowrun {
namespace {

using memhost::Element;
using Json = nlohmann::ordered_json;

// An array repeats the field; an object gives child elements; other scalars their JSON text.
void addJson(Element& parent, const std::string& name, const Json& value, int depth) {
  // Arrays count too: [[[...]]] adds no tree level but a level of recursion here.
  if (depth > kMaxDepth) throw InputProblem("nested deeper than " + std::to_string(kMaxDepth) + " levels");
  if (!isXmlName(name)) throw InputProblem("key \"" + name + "\" cannot be an element name");
  switch (value.type()) {
    case Json::value_t::array:
      for (const Json& item : value) addJson(parent, name, item, depth + 1);
      break;
    case Json::value_t::object: {
      Element& element = parent.addChild(name);
      for (const auto& [key, item] : value.items()) addJson(element, key, item, depth + 1);
      break;
    }
    case Json::value_t::string:
      parent.addText(name, value.get_ref<const std::string&>());
      break;
    case Json::value_t::null:
      parent.addText(name, "");
      break;
    default:
      parent.addText(name, value.dump());
      break;
  }
}

void jsonMessage(const std::string& label, const Json& object, Reading& reading) {
  addMessage(label, "JSON", [&object](Element& folder) {
    Element& top = folder.addChild("Mail");
    for (const auto& [key, item] : object.items()) {
      if (schema::isOutcomeElement(key)) continue;
      const schema::FieldRow* field = schema::fieldNamed(key);
      if (field != nullptr && field->role == schema::FieldRole::Body && item.is_array()) {
        // A body given as an array is its lines, not a repeated body of which the node keeps one.
        Element& body = top.addChild(key);
        for (const Json& line : item) addJson(body, "Line", line, 3);
      } else {
        addJson(top, key, item, 2);
      }
    }
  }, reading);
}

}  // namespace

void readJson(const std::string& label, const std::string& text, Reading& reading) {
  Json doc;
  try {
    doc = Json::parse(text);
  } catch (const Json::parse_error& e) {
    // The library's text names the line and column; strip its "[json.exception...]" tag.
    std::string reason = e.what();
    if (auto pos = reason.find("] "); reason.rfind("[json.exception", 0) == 0 && pos != std::string::npos) {
      reason = reason.substr(pos + 2);
    }
    reading.errors.push_back({label, reason});
    return;
  }
  if (doc.is_object()) {
    jsonMessage(label, doc, reading);
  } else if (doc.is_array() && std::all_of(doc.begin(), doc.end(), [](const Json& j) { return j.is_object(); })) {
    std::size_t n = 0;
    for (const Json& item : doc) jsonMessage(label + "#" + std::to_string(++n), item, reading);
  } else {
    reading.errors.push_back({label, "line 1: a JSON message is an object, or an array of objects"});
  }
}

}  // namespace flowrun
