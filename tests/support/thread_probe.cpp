// Linked into every test program of the plain build: notes each thread a
// test starts and fails a test that starts one without being in the suites
// its CMakeLists.txt labels "threads". The ThreadSanitizer stage runs exactly
// the tests with that label, so a threaded test can never be left out of it.
//
// The probe stands in for pthread_create (the program's own definition is
// found before the C library's, also for calls from the C++ library) and
// hands every call on to the real one.
#include <dlfcn.h>
#include <pthread.h>

#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>

namespace {

std::atomic<unsigned> g_threads_started{0};

using create_fn = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);

class ThreadProbe : public testing::EmptyTestEventListener {
public:
    void OnTestStart(const testing::TestInfo &) override { g_threads_started = 0; }
    void OnTestEnd(const testing::TestInfo &info) override
    {
        if (g_threads_started == 0)
            return;
        // Parameterised suites carry their instantiation's prefix ("Bits/Suite").
        static const std::regex labelled("^([^.]*/)?(" ZV_THREADED_SUITES ")$");
        if (!std::regex_match(std::string(info.test_suite_name()), labelled))
            ADD_FAILURE() << info.test_suite_name() << "." << info.name() << " started " << g_threads_started
                          << " thread(s) but its suite is not labelled \"threads\" in its CMakeLists.txt";
    }
};

// Ahead of the result printer, so that a failure shows in the test's own result line.
const bool g_registered = [] {
    testing::TestEventListeners &listeners = testing::UnitTest::GetInstance()->listeners();
    testing::TestEventListener *printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new ThreadProbe);
    if (printer != nullptr)
        listeners.Append(printer);
    return true;
}();

} // namespace

extern "C" int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg)
{
    static const create_fn real = reinterpret_cast<create_fn>(dlsym(RTLD_NEXT, "pthread_create"));
    g_threads_started++;
    return real(thread, attr, start, arg);
}
