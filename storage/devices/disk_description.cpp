#include "storage/devices/disk_description.h"

#include <atomic>

#include "foundation/text.h"

namespace ZV {

namespace {
std::atomic<uint64_t> released{0};
} // namespace

void IconDeleter::operator()(const Icon *icon) const {
    if (icon == nullptr)
        return;
    delete icon;
    released.fetch_add(1, std::memory_order_relaxed);
}

uint64_t iconsReleased() {
    return released.load(std::memory_order_relaxed);
}

SharedIcon makeSharedIcon(const Icon *icon) {
    if (icon == nullptr)
        return SharedIcon();
    // shared_ptr's constructor calls the deleter itself when the count
    // cannot be allocated, then rethrows.
    return SharedIcon(icon, IconDeleter());
}

IconPair themeIcons(const char *theme_name) {
    if (theme_name == nullptr || *theme_name == '\0')
        return IconPair();
    return IconPair(makeSharedIcon(new Icon{theme_name, 16}), makeSharedIcon(new Icon{theme_name, 32}));
}

std::string DiskDescription::displayName() const {
    std::string name;
    if (!vendor_.empty() || !product_.empty()) {
        name = vendor_ + " " + product_;
    } else if (!friendlyName_.empty()) {
        name = friendlyName_;
    } else if (!devicePath_.empty()) {
        // A stable name: a nameless drive removed and plugged in again must
        // find its medium record by name.
        std::string::size_type slash = devicePath_.find_last_of('/');
        name = "Disk " + (slash == std::string::npos ? devicePath_ : devicePath_.substr(slash + 1));
    } else {
        name = ZV::format("Disk %p", static_cast<const void *>(this));
    }
    return ZV::trim(name);
}

} // namespace ZV
