// Parsing XML property lists (document form in property_list.h).
//
// Implementation notes:
// - tinyxml2 builds the document tree; conversion walks it recursively. The
//   parser refuses documents nested deeper than TINYXML2_MAX_ELEMENT_DEPTH
//   (100 in the version we build with), so the walk's depth is bounded by
//   it; plists in disk images nest about six levels.
// - Failures inside the conversion are thrown as std::runtime_error with a
//   text naming the reason and caught once in parse: the caller only sees
//   an empty result.
#include "storage/images/property_list.h"

#include <tinyxml2.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "foundation/text.h"

namespace ZV {

namespace {

[[noreturn]] void fail(const std::string &why)
{
    throw std::runtime_error(why);
}

// The text of the element's first child when that is text, else NULL.
const char *textOf(const tinyxml2::XMLElement *element)
{
    return element->GetText();
}

PropertyList convert(const tinyxml2::XMLElement *element);

PropertyList convertDict(const tinyxml2::XMLElement *element)
{
    auto dict = std::make_shared<PropertyList::Dict>();
    for (const tinyxml2::XMLElement *key = element->FirstChildElement(); key != nullptr;) {
        if (std::strcmp(key->Name(), "key") != 0)
            fail(std::string("Invalid dictionary object element: ") + key->Name());
        const char *name = textOf(key);
        const std::string keyText = name != nullptr ? name : "";
        const tinyxml2::XMLElement *value = key->NextSiblingElement();
        if (value == nullptr)
            fail("No object element for key: " + keyText);
        (*dict)[zorvant::u8string(keyText)] = convert(value);
        key = value->NextSiblingElement();
    }
    return PropertyList(dict);
}

PropertyList convertArray(const tinyxml2::XMLElement *element)
{
    auto array = std::make_shared<PropertyList::Array>();
    for (const tinyxml2::XMLElement *child = element->FirstChildElement(); child != nullptr;
         child = child->NextSiblingElement())
        array->push_back(convert(child));
    return PropertyList(array);
}

PropertyList convertData(const tinyxml2::XMLElement *element)
{
    auto buffer = std::make_shared<Buffer>();
    const char *text = textOf(element);
    if (text == nullptr)
        return PropertyList(buffer);
    uint32_t size = 0;
    uint8_t *bytes = base64_decode(text, &size);
    if (bytes == nullptr)
        fail("PropertyList: Invalid base 64 data");
    try {
        buffer->append(bytes, size);
    } catch (...) {
        std::free(bytes);
        throw;
    }
    std::free(bytes);
    return PropertyList(buffer);
}

PropertyList convertBool(const tinyxml2::XMLElement *element, bool value)
{
    if (!element->NoChildren())
        fail("PropertyList: bool element must be empty");
    return PropertyList(value);
}

PropertyList convert(const tinyxml2::XMLElement *element)
{
    const char *name = element->Name();
    if (std::strcmp(name, "dict") == 0)
        return convertDict(element);
    if (std::strcmp(name, "array") == 0)
        return convertArray(element);
    if (std::strcmp(name, "data") == 0)
        return convertData(element);
    if (std::strcmp(name, "date") == 0) {
        const char *text = textOf(element);
        return PropertyList(std::make_shared<std::string>(text != nullptr ? text : ""));
    }
    if (std::strcmp(name, "string") == 0) {
        const char *text = textOf(element);
        return PropertyList(std::make_shared<zorvant::u8string>(text != nullptr ? text : ""));
    }
    if (std::strcmp(name, "true") == 0)
        return convertBool(element, true);
    if (std::strcmp(name, "false") == 0)
        return convertBool(element, false);
    if (std::strcmp(name, "integer") == 0) {
        const char *text = textOf(element);
        if (text == nullptr)
            fail("PropertyList: empty integer element not allowed");
        return PropertyList(int64_t(std::stoll(text, nullptr, 10)));
    }
    if (std::strcmp(name, "real") == 0) {
        const char *text = textOf(element);
        if (text == nullptr)
            fail("PropertyList: empty real element not allowed");
        return PropertyList(std::stod(text));
    }
    fail(std::string("PropertyList: Unknown node: ") + name);
}

} // namespace

PropertyList PropertyList::fromData(const Buffer &data)
{
    return parse(data.data(), data.length());
}

PropertyList PropertyList::parse(const void *data, size_t length)
{
    try {
        if (data == nullptr || length == 0)
            fail("PropertyList invalid data");
        tinyxml2::XMLDocument document(true, tinyxml2::PRESERVE_WHITESPACE);
        if (document.Parse(static_cast<const char *>(data), length) != tinyxml2::XML_SUCCESS)
            fail("PropertyList: Invalid XML");
        const tinyxml2::XMLElement *root = document.FirstChildElement();
        if (root == nullptr)
            fail("PropertyList: No root element");
        if (std::strcmp(root->Name(), "plist") == 0) {
            root = root->FirstChildElement();
            if (root == nullptr)
                fail("PropertyList: No root element");
        }
        return convert(root);
    } catch (...) {
        return PropertyList();
    }
}

PropertyList PropertyList::operator[](const char *key) const
{
    if (key == nullptr || !isDict())
        return PropertyList();
    try {
        const std::shared_ptr<Dict> &map = std::any_cast<const std::shared_ptr<Dict> &>(value_);
        auto found = map->find(zorvant::u8string(key));
        return found != map->end() ? found->second : PropertyList();
    } catch (...) {
        return PropertyList(); // a key that is not UTF-8 is in no dictionary
    }
}

} // namespace ZV
