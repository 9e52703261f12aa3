// The XML property-list parser on arbitrary bytes. Checked besides memory
// safety and termination: parsing never throws, every value held is one of
// the document form's kinds, and lookups on any value never throw.
//
// Seeds (corpus/plist/), written by the property-list tests:
//   plistlib   a document of every kind written by Python's plistlib;
//   udif_blkx  the property list of a two-table UDIF image from the writer;
//   edges      an unwrapped dictionary: empty key, entities, wrapped base64.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_support.h"
#include "storage/images/property_list.h"

namespace {

using fuzzsupport::require;

bool isScalar(const std::any &value)
{
    const std::type_info &type = value.type();
    return type == typeid(std::shared_ptr<std::string>) || type == typeid(std::shared_ptr<zorvant::u8string>) ||
           type == typeid(bool) || type == typeid(int64_t) || type == typeid(double);
}

void walk(const ZV::PropertyList &value)
{
    require(value.isValid());
    (void)value["blkx"]["Data"].isValid();
    if (value.isDict()) {
        for (const auto &entry : *value.dict()) {
            require(value[entry.first.c_str()].isValid());
            walk(entry.second);
        }
    } else if (value.isArray()) {
        for (const ZV::PropertyList &element : *value.array())
            walk(element);
    } else if (value.isData()) {
        require(value.data() != nullptr);
    } else {
        require(isScalar(value.value()));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ZV::PropertyList plist = ZV::PropertyList::parse(data, size);
    if (plist.isValid())
        walk(plist);
    return 0;
}
