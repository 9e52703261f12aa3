// Sources of file modules (see module_source.h).
#include "foundation/module_source.h"

#include <atomic>

namespace {

std::atomic<int> g_builtin_enabled{1};
std::atomic<bool> g_builtin_current{false};

} // namespace

void prop_use_builtin_source()
{
    g_builtin_current = true;
}

int fm_src_builtin_enabled()
{
    return g_builtin_enabled.load();
}

int fm_src_set_builtin_enabled(int enabled)
{
    return g_builtin_enabled.exchange(enabled != 0 ? 1 : 0);
}

const char *fm_src_current_name()
{
    return g_builtin_current ? "BUILTIN" : "";
}
