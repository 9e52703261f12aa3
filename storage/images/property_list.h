// ZV::PropertyList: a read-only value tree parsed from an XML property list
// (the "plist" document form). The UDIF reader finds its block tables in one.
//
// Document form, element by element (names are case-sensitive):
//   plist        optional wrapper: its first child element is the value
//   dict         "key" elements, each followed by the element of its value
//   array        the values in order
//   data         base64 text (white space between groups allowed)
//   date         text, kept as it is (ISO 8601 in practice)
//   string       UTF-8 text
//   true, false  empty elements
//   integer      decimal text (std::stoll)
//   real         decimal text (std::stod)
//
// Values held (std::any; copies share the containers and buffers):
//   dict    std::shared_ptr<PropertyList::Dict>
//   array   std::shared_ptr<PropertyList::Array>
//   data    std::shared_ptr<ZV::Buffer>
//   date    std::shared_ptr<std::string>
//   string  std::shared_ptr<zorvant::u8string>
//   true/false bool, integer int64_t, real double
//
// Parsing never throws: anything the document form does not allow (bad XML,
// an unknown element, a key without a value, a bool with content, an empty
// or out-of-range number, bad base64, text that is not UTF-8, nesting past
// the XML parser's depth limit) leaves the whole result empty. Lookups of
// missing keys give empty values, so a chain of lookups is tested once at
// its end.
//
// Not promised: keeping the order of dictionary keys; for a key given twice
// the later value is kept.
#pragma once

#include <any>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "foundation/buffer.h"
#include "foundation/u8string.h"

namespace ZV {

class PropertyList {
public:
    using Dict = std::unordered_map<zorvant::u8string, PropertyList>;
    using Array = std::vector<PropertyList>;

    // Empty: no value held.
    PropertyList() = default;
    explicit PropertyList(std::any value) : value_(std::move(value)) {}

    // parse over the buffer's used bytes.
    static PropertyList fromData(const Buffer &data);
    // The value of an XML property list; empty on any failure (see above).
    static PropertyList parse(const void *data, size_t length);

    bool isValid() const { return value_.has_value(); }
    bool isDict() const { return holds<std::shared_ptr<Dict>>(); }
    bool isArray() const { return holds<std::shared_ptr<Array>>(); }
    bool isData() const { return holds<std::shared_ptr<Buffer>>(); }

    // The held container or buffer; std::bad_any_cast when another kind (or
    // nothing) is held.
    std::shared_ptr<Dict> dict() const { return std::any_cast<std::shared_ptr<Dict>>(value_); }
    std::shared_ptr<Array> array() const { return std::any_cast<std::shared_ptr<Array>>(value_); }
    std::shared_ptr<Buffer> data() const { return std::any_cast<std::shared_ptr<Buffer>>(value_); }

    // The value as held, for the kinds without an accessor of their own.
    const std::any &value() const { return value_; }

    // The value stored under key; empty when this is no dictionary or the
    // key is absent (never throws).
    PropertyList operator[](const char *key) const;

private:
    template <class T>
    bool holds() const { return value_.type() == typeid(T); }

    std::any value_;
};

} // namespace ZV
