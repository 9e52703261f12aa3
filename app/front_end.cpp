#include "app/front_end.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>
#include <thread>

#include "app/output_filter.h"
#include "app/workspace_lock.h"
#include "foundation/number_format.h"

namespace zvapp {

namespace {

// Hidden from the disk list: disks above this size are no cards.
constexpr int64_t kLargestCard = int64_t(1) << 38; // 256 GiB
constexpr auto kPollInterval = std::chrono::milliseconds(100);
// Ctrl-C is looked at more often than the progress is drawn, so an abort
// reaches the engine within a few milliseconds.
constexpr auto kSignalInterval = std::chrono::milliseconds(5);
// Without a terminal a progress line is written when the text changes or
// the fraction has moved by this much, so a log stays readable.
constexpr double kPlainStep = 0.05;
// Bytes of a progress line on a terminal, so that it stays on one line.
constexpr size_t kLineWidth = 150;

// A closing terminal's SIGHUPs come within this of each other.
constexpr long long kHangupMomentNs = 500000000;
// A command still running this long after the first signal is stuck.
constexpr auto kStuckAfter = std::chrono::milliseconds(500);

// Set on the signal thread, read on the others: lock-free atomics, which a
// handler may use.
std::atomic<int> g_interrupts{0};
std::atomic<bool> g_stop{false};
std::atomic<long long> g_hangup_ns{-1}; // when the SIGHUP counted last came (CLOCK_MONOTONIC)
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<long long>::is_always_lock_free,
              "the signal flags must be lock-free");

void say(const char *text, size_t size)
{
    const ssize_t written = write(STDERR_FILENO, text, size);
    (void)written;
}

// The first SIGINT, SIGTERM or SIGHUP raises the flag the waits turn into
// an abort. A second one ends the process at once: a command stuck in a
// system call (a hung network or FUSE target, a dead card reader) never
// gets to look at the flag. The workspace lock is dropped first: a thread
// waiting in the kernel for a request the FUSE server has taken (or for a
// dead reader's read) cannot be ended, and keeps the process and its
// descriptors (the card, the mount's file) until that wait ends. What
// stays is what a killed process leaves. A closing terminal sends SIGHUP
// twice within a millisecond (the shell passes its own on, and the kernel
// sends one more to the group): a SIGHUP within a moment of the last one
// is that one hang-up, not a second signal; a later one is. Only
// async-signal-safe calls.
void on_interrupt(int signal)
{
    if (signal == SIGHUP) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ns = (long long)now.tv_sec * 1000000000 + now.tv_nsec;
        const long long last = g_hangup_ns.load();
        if (last >= 0 && ns - last < kHangupMomentNs)
            return;
        g_hangup_ns = ns;
    }
    if (g_interrupts.fetch_add(1) > 0) {
        release_workspace_lock();
        static const char kEnded[] = "\nzorvant: ended at once by a second signal (a scan under way stays listed "
                                     "as unfinished; a file being recovered keeps its temporary name; a save "
                                     "leaves the file it was to replace either untouched, its temporary file "
                                     "beside it, or already replaced whole by the new save)\n";
        say(kEnded, sizeof kEnded - 1);
        _exit(EXIT_INTERRUPTED);
    }
}

// On the signal thread, after a handler has run: a command that has not
// ended a moment after the first signal is told to be stopping, and how to
// end it at once. Sleeping here is safe: the second signal interrupts the
// sleep and ends the process from its handler.
void after_signal()
{
    static bool told = false;
    if (told || !interrupted())
        return;
    told = true;
    std::this_thread::sleep_for(kStuckAfter);
    static const char kStopping[] = "\nzorvant: stopping; a card, image or folder that does not answer can hold it "
                                    "up: a second Ctrl-C (or SIGTERM) ends zorvant at once\n";
    say(kStopping, sizeof kStopping - 1);
}

void on_quit(int)
{
    g_stop = true;
}

std::string read_all(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string program_folder()
{
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0)
        return "";
    buffer[n] = '\0';
    std::string path(buffer);
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string percent(double fraction)
{
    if (fraction < 0)
        return "  -  ";
    char text[16];
    std::snprintf(text, sizeof text, "%5.1f%%", fraction * 100.0);
    return text;
}

} // namespace

bool disk_hidden(const HV::Disk &disk)
{
    return disk.busType() == HV::kDiskBusVirtual || disk.size() > kLargestCard ||
           (!disk.hasFilePath() && disk.isRemovable() == 0);
}

std::string user_language()
{
    const char *value = nullptr;
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        value = std::getenv(name);
        if (value != nullptr && value[0] != '\0')
            break;
        value = nullptr;
    }
    if (value == nullptr)
        return "";
    std::string lang(value);
    lang = lang.substr(0, lang.find_first_of("_.@"));
    if (lang == "C" || lang == "POSIX" || lang == "en")
        return "";
    for (char c : lang)
        if (c < 'a' || c > 'z')
            return ""; // not a language code: no table
    return lang;
}

std::string strings_text_for(const std::string &language)
{
    if (language.empty())
        return "";
    const std::string folder = program_folder();
    for (const std::string &candidate :
         {folder + "/" + language + ".strings", folder + "/../share/zorvant/" + language + ".strings"}) {
        std::string text = read_all(candidate);
        if (!text.empty())
            return text;
    }
    return "";
}

std::string size_text(uint64_t bytes)
{
    return ZV::NumberFormatter::byteCountString(bytes, 0, 1);
}

void Callbacks::operationDidFinish(HV::Command command, const HV::CommandResult &result)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_[command]++;
        last_[command] = result;
    }
    done_.notify_all();
}

void Callbacks::operationWillStart(HV::Command)
{
    std::lock_guard<std::mutex> lock(mutex_);
    target_open_ = false;
}

void Callbacks::recoveryTargetOpened(const std::string &folder)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (folder != target_shown_) {
        std::printf("Recovering into %s\n", folder.c_str());
        std::fflush(stdout);
        target_shown_ = folder;
    }
    target_open_ = true;
}

void Callbacks::slowRead(const zorvant::u8string &name, int64_t position, uint32_t milliseconds)
{
    std::fprintf(stderr, "\nslow read of %s near byte %lld (%u ms)\n", name.c_str(), (long long)position,
                 milliseconds);
}

HV::CommandResult Callbacks::wait(HVEngine &engine, HV::Command command, bool show_progress,
                                  double stop_after_seconds)
{
    const bool tty = isatty(STDOUT_FILENO) != 0;
    const auto started = std::chrono::steady_clock::now();
    bool abort_sent = false, stop_sent = false;
    std::string last_line;
    double last_fraction = -2;
    size_t drawn = 0;
    auto next_draw = started;
    const bool recovery = command == HV::Command::RecoverNode || command == HV::Command::RecoverMarked;
    std::unique_lock<std::mutex> lock(mutex_);
    while (finished_[command] == waited_[command]) {
        done_.wait_for(lock, kSignalInterval);
        if (finished_[command] != waited_[command])
            break;
        const bool shown = show_progress && (!recovery || target_open_);
        lock.unlock();
        if (interrupted() && !abort_sent && engine.canCancel()) {
            engine.abort();
            abort_sent = true;
        }
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (!stop_sent && (stop_asked() || (stop_after_seconds > 0 && elapsed >= stop_after_seconds))) {
            engine.stopEarly();
            stop_sent = true;
        }
        const bool draw = std::chrono::steady_clock::now() >= next_draw;
        if (draw)
            next_draw = std::chrono::steady_clock::now() + kPollInterval;
        if (shown && draw) {
            EngineProgress p;
            engine.progress(p);
            if (p.overall_fraction >= 0 || !p.task_text.empty()) {
                std::string line = percent(p.overall_fraction) + " " + p.overall_text;
                if (!p.task_text.empty() && p.task_text != p.overall_text)
                    line += " | " + percent(p.task_fraction) + " " + p.task_text;
                if (tty) {
                    // Cut at a character's start, never inside one.
                    size_t cut = std::min(line.size(), kLineWidth);
                    while (cut > 0 && cut < line.size() && (line[cut] & 0xC0) == 0x80)
                        cut--;
                    line.resize(cut);
                    // The terminal's carriage return and erase-line as they
                    // are; the text (names among it) through the filter.
                    output_raw("\r");
                    std::printf("%s", line.c_str());
                    output_raw("\x1b[K");
                    drawn = line.size();
                } else if (line != last_line && (last_fraction < -1 || p.overall_fraction - last_fraction >= kPlainStep ||
                                                 p.overall_fraction < last_fraction)) {
                    std::printf("%s\n", line.c_str());
                    std::fflush(stdout);
                    last_fraction = p.overall_fraction;
                }
                last_line = line;
            }
        }
        lock.lock();
    }
    waited_[command]++;
    HV::CommandResult result = last_[command];
    lock.unlock();
    if (tty && drawn > 0)
        output_raw("\r\x1b[K");
    return result;
}

void install_signal_handlers()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    sigemptyset(&action.sa_mask);
    action.sa_handler = on_interrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr); // the terminal was closed
    action.sa_handler = on_quit;
    sigaction(SIGQUIT, &action, nullptr);
    // The handlers run on a thread of their own that does nothing else
    // (but say that a command still running after the first is stopping): a
    // signal goes to a thread that does not block it, and one stuck in a
    // system call would hold it unhandled (and a second of the same kind
    // would be dropped). Every other thread blocks them, the engine's
    // threads too, which are started later and inherit the mask.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&handled, signal);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    try {
        std::thread([handled] {
            pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
            for (;;) {
                pause();
                after_signal();
            }
        }).detach();
    } catch (const std::system_error &) {
        pthread_sigmask(SIG_UNBLOCK, &handled, nullptr); // no thread to spare: handled where they land
    }
    // Output piped into a reader that ends (`| head`) must not kill a scan
    // half-way: the writes fail instead, and the scan ends as it would.
    action.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &action, nullptr);
}

bool interrupted()
{
    return g_interrupts > 0;
}

bool stop_asked()
{
    return g_stop;
}

} // namespace zvapp
