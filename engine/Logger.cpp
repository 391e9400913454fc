#include "engine/Logger.h"

#include <juce_core/juce_core.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iomanip>
#include <iostream>
#include <locale>
#include <mutex>
#include <pthread.h>
#include <sys/stat.h>
#include <typeinfo>
#include <unistd.h>

namespace logger
{
struct manager::state_t
{
    int fd = -1;
    std::atomic<std::uint32_t> thread_counter{1};
    std::once_flag open_once;
};

std::atomic<int> manager::dynamic_loglevel{0};
std::atomic<double> manager::start_ts{0.0};
std::atomic<manager::state_t*> manager::st{nullptr};

namespace
{
struct tls_block
{
    std::uint32_t initialised = 0;
    std::uint32_t thread_number = 0;
    std::uint32_t counter = 0;
};

thread_local tls_block tls_mem;

const char* const LOG_FILE_NAME = "tonewharf_signflux.log";

double steady_seconds() noexcept
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<double>(ns.count()) * 1e-9;
}

// Sets the origin when it is not set yet and returns it.
double origin(double now) noexcept
{
    double expected = 0.0;
    if (manager::start_ts.compare_exchange_strong(expected, now, std::memory_order_relaxed))
        return now;
    return expected;
}

// Made once, even when several threads write their first statement at the same moment; never freed
// (its destructor is trivial), so statements made during unload still find it.
manager::state_t& shared_state()
{
    static manager::state_t* const state = []
    {
        static manager::state_t instance;
        manager::st.store(&instance, std::memory_order_release);
        return &instance;
    }();
    return *state;
}

std::string ctime_text()
{
    const std::time_t now = std::time(nullptr);
    char buf[64] = {};
    if (ctime_r(&now, buf) == nullptr)
        return "\n";
    return buf;
}

// Opens the log file once (never retried) and writes the bytes with one write call.
void write_logfile(int& fd, const char* data, std::size_t length)
{
    manager::state_t& state = shared_state();
    std::call_once(state.open_once,
                   [&fd]
                   {
                       const std::string path = manager::log_file_path();
                       const int opened =
                           ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
                       if (opened < 0)
                           return;
                       ::fchmod(opened, 0644);
                       const std::string header = "0,0,0,0,logger," + ctime_text();
                       [[maybe_unused]] const ssize_t written = ::write(opened, header.data(), header.size());
                       fd = opened;
                   });
    if (fd >= 0)
    {
        [[maybe_unused]] const ssize_t written = ::write(fd, data, length);
    }
}

// Both number formats are independent of the process locale: a host that sets a locale with a
// decimal comma must not break the comma-separated records.
void append_unsigned(std::string& out, std::uint64_t value)
{
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// General notation with 18 significant digits, trailing zeros dropped (as "%.18g" would).
void append_time(std::string& out, double t)
{
    char buf[40];
    const auto res = std::to_chars(buf, buf + sizeof buf, t, std::chars_format::general, 18);
    out.append(buf, res.ptr);
}
} // namespace

std::ostream& operator<<(std::ostream& os, const hex& h)
{
    const auto flags = os.flags();
    os << std::hex << std::noshowbase << h.value;
    os.flags(flags);
    return os;
}

double manager::timestamp() noexcept
{
    const double now = steady_seconds();
    return now - origin(now);
}

std::string manager::log_file_path()
{
    juce::File folder = juce::File::getSpecialLocation(juce::File::userDesktopDirectory);
    if (!folder.isDirectory())
        folder = juce::File::getSpecialLocation(juce::File::userHomeDirectory);
    return folder.getChildFile(LOG_FILE_NAME).getFullPathName().toStdString();
}

void manager::write_statement(const char* function, unsigned level, const std::ostringstream& text) noexcept
{
    try
    {
        const std::string s = text.str();
        write_statement(function, level, s.c_str());
    }
    catch (...)
    {
    }
}

void manager::write_statement(const char* function, unsigned level, const char* text) noexcept
{
    if (text == nullptr || *text == '\0')
        return;
    try
    {
        const double now = steady_seconds();
        const double t = now - origin(now);
        manager::state_t& state = shared_state();

        std::string record;
        record.reserve(160);
        if (!tls_mem.initialised || tls_mem.thread_number == 0)
        {
            tls_mem.initialised = 1;
            tls_mem.counter = 0;
            tls_mem.thread_number = state.thread_counter.fetch_add(1);
            append_time(record, t);
            record += ',';
            append_unsigned(record, tls_mem.thread_number);
            record += ',';
            append_unsigned(record, tls_mem.counter++);
            char id[40];
            std::snprintf(id, sizeof id, "%p", reinterpret_cast<void*>(pthread_self()));
            record += ",0,logger,New thread (";
            record += id;
            record += ")\n";
            write_logfile(state.fd, record.data(), record.size());
        }

        const char* line = text;
        while (*line != '\0')
        {
            const char* end = std::strchr(line, '\n');
            const std::size_t len = end ? static_cast<std::size_t>(end - line) : std::strlen(line);
            record.clear();
            append_time(record, t);
            record += ',';
            append_unsigned(record, tls_mem.thread_number);
            record += ',';
            append_unsigned(record, tls_mem.counter++);
            record += ',';
            append_unsigned(record, level);
            record += ",\"";
            record += function;
            record += "\",";
            record.append(line, len);
            record += '\n';
            write_logfile(state.fd, record.data(), record.size());
            if (end == nullptr)
                break;
            line = end + 1;
        }
    }
    catch (...)
    {
    }
}

log::log(unsigned level, const char* function) noexcept
    : function_(function), level_(level), suppressed_(!manager::enabled(level))
{
    if (manager::start_ts.load(std::memory_order_relaxed) == 0.0)
        manager::timestamp();
}

log::~log()
{
    if (!suppressed_ && text_)
        manager::write_statement(function_, level_, *text_);
}

std::ostream& log::text()
{
    if (!text_)
    {
        text_.emplace();
        text_->imbue(std::locale::classic());
        *text_ << std::boolalpha;
    }
    return *text_;
}

log& log::operator<<(std::ostream& (*manipulator)(std::ostream&)) noexcept
{
    if (!suppressed_)
    {
        try
        {
            manipulator(text());
        }
        catch (...)
        {
            suppressed_ = true;
        }
    }
    return *this;
}

log_enter_exit::log_enter_exit(unsigned level, const char* function) noexcept
    : level_(level), function_(function), start_(-1.0)
{
    log enter(level, function);
    if (!enter.suppressed())
    {
        start_ = manager::timestamp();
        enter << "Enter";
    }
}

log_enter_exit::~log_enter_exit()
{
    log exit(level_, function_);
    if (exit.suppressed())
        return;
    // A guard made while its level was off has no start time: report no elapsed time.
    const double elapsed = start_ < 0.0 ? 0.0 : manager::timestamp() - start_;
    exit << "Exit (" << std::fixed << std::setprecision(9) << elapsed << " seconds)";
}

const char* exception_type_name(const std::exception& e) noexcept
{
    return typeid(e).name();
}
} // namespace logger

void dbglog_curtime()
{
    std::string text = logger::ctime_text();
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    std::cout << text;
}

void deinit_debugconsole() {}
