#pragma once

// Statement logger of the engine and the editor. A statement carries a level (1 most important to
// 8 most detailed), the signature of the function that made it and a text; it is written, one
// comma-separated record per text line, to one log file per process only when its level is at or
// below the configured level. Any thread may log. A suppressed statement costs a level test and
// nothing else: its insertions are skipped and nothing is formatted, so code on the audio thread
// may build statements freely (only an enabled statement formats and writes).

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

namespace logger
{
class manager
{
public:
    // The configured level, 0 to 8; 0 until the preferences set it.
    static std::atomic<int> dynamic_loglevel;
    // Time origin in steady-clock seconds; 0 means not set yet.
    static std::atomic<double> start_ts;

    struct state_t;
    // The shared log state (descriptor, thread counter), made by the first written statement.
    static std::atomic<state_t*> st;

    // True when a statement of this level would be written.
    static bool enabled(unsigned level) noexcept
    {
        return static_cast<unsigned>(dynamic_loglevel.load(std::memory_order_relaxed)) >= level;
    }

    // Steady-clock seconds since the origin; the first call fixes the origin and returns 0.
    static double timestamp() noexcept;

    static void write_statement(const char* function, unsigned level,
                                const std::ostringstream& text) noexcept;
    static void write_statement(const char* function, unsigned level, const char* text) noexcept;

    // Where the log file is (or would be) written: the user's desktop folder, or the home folder
    // when there is no desktop folder.
    static std::string log_file_path();
};

// Streams a pointer as bare hexadecimal digits, for texts that print "0x" themselves.
struct hex
{
    explicit hex(const void* p) noexcept : value(reinterpret_cast<std::uintptr_t>(p)) {}
    std::uintptr_t value;
};
std::ostream& operator<<(std::ostream& os, const hex& h);

// One statement, made as a temporary where something is logged.
class log
{
public:
    log(unsigned level, const char* function) noexcept;
    ~log();

    log(const log&) = delete;
    log& operator=(const log&) = delete;

    bool suppressed() const noexcept { return suppressed_; }

    template <class T>
    log& operator<<(const T& value) noexcept
    {
        if (!suppressed_)
        {
            try
            {
                text() << value;
            }
            catch (...)
            {
                suppressed_ = true;
            }
        }
        return *this;
    }

    log& operator<<(std::ostream& (*manipulator)(std::ostream&)) noexcept;

private:
    std::ostream& text();

    const char* function_;
    std::uint32_t level_;
    bool suppressed_;
    std::optional<std::ostringstream> text_;
};

// Scope guard: "Enter" on construction, "Exit (<seconds> seconds)" on destruction, also when the
// scope is left by an exception.
class log_enter_exit
{
public:
    log_enter_exit(unsigned level, const char* function) noexcept;
    ~log_enter_exit();

    log_enter_exit(const log_enter_exit&) = delete;
    log_enter_exit& operator=(const log_enter_exit&) = delete;

private:
    std::uint32_t level_;
    const char* function_;
    double start_;
};

// The name of e's dynamic type as the run-time type information gives it.
const char* exception_type_name(const std::exception& e) noexcept;
} // namespace logger

// Writes the local time (ctime text without its newline) to standard output.
void dbglog_curtime();

// Nothing to tear down on this platform; called last at unload.
void deinit_debugconsole();

// The signature that a function's guard and statements log under: the compiler's text of the
// function, or the text the function names once, at its top, with FSUM_SIGNATURE("...") (for
// example its declaration with the const qualifiers of its parameters, which the compiler's text
// drops, or the signature of the operation whose statements a helper function makes). The local
// that FSUM_SIGNATURE declares hides this function inside the enclosing function and its lambdas.
inline const char* fsum_signature(const char* compiler_text) noexcept
{
    return compiler_text;
}
#define FSUM_SIGNATURE(text)                                                                                 \
    static constexpr auto fsum_signature = [](const char*) noexcept -> const char* { return text; }

// A guard named after the enclosing function's signature.
#define FSUM_LOG_GUARD(level)                                                                                \
    const ::logger::log_enter_exit fsum_log_guard_((level), fsum_signature(__PRETTY_FUNCTION__))
// A statement under the enclosing function's signature: FSUM_LOG(6) << "text" << value;
#define FSUM_LOG(level) ::logger::log((level), fsum_signature(__PRETTY_FUNCTION__))
