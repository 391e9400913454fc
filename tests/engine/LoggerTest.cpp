// The statement logger: the log file, record format and splitting, thread numbering, guards and
// suppression by level.

#include "EngineTestSupport.h"

#include <gtest/gtest.h>
#include <juce_core/juce_core.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <pthread.h>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <typeinfo>

using logtest::LevelScope;

namespace
{
const std::regex CTIME_TEXT(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");

std::string thread_id_text()
{
    char buf[40];
    std::snprintf(buf, sizeof buf, "%p", reinterpret_cast<void*>(pthread_self()));
    return buf;
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Runs fn on a thread of its own, so that it starts with its own thread number and counter.
template <class Fn>
void on_new_thread(Fn fn)
{
    std::thread t(fn);
    t.join();
}

struct Sample
{
    static std::string run_signature, slow_signature, throw_signature;

    void run(bool yes, int n)
    {
        FSUM_LOG_GUARD(3);
        FSUM_LOG(4) << "Args: this=0x" << logger::hex(this) << ", yes=" << yes << ", n=" << n;
        run_signature = __PRETTY_FUNCTION__;
    }

    void run_slowly()
    {
        FSUM_LOG_GUARD(3);
        slow_signature = __PRETTY_FUNCTION__;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    void run_and_throw()
    {
        FSUM_LOG_GUARD(3);
        throw_signature = __PRETTY_FUNCTION__;
        throw std::runtime_error("boom");
    }
};
std::string Sample::run_signature, Sample::slow_signature, Sample::throw_signature;

struct Counted
{
    int* formatted;
};
std::ostream& operator<<(std::ostream& os, const Counted& c)
{
    ++*c.formatted;
    return os << "counted";
}
} // namespace

// ---------------------------------------------------------------------------------------------
// The file itself

TEST(LogFile, FirstWrittenStatementTruncatesFileWritesHeaderAndSetsMode0644)
{
    if (logger::manager::st.load() != nullptr)
        GTEST_SKIP() << "needs a process that has written no statement yet";
    const std::string path = logger::manager::log_file_path();
    {
        std::FILE* stale = std::fopen(path.c_str(), "w");
        ASSERT_NE(stale, nullptr);
        std::fputs("stale line\nanother\n", stale);
        std::fclose(stale);
        ::chmod(path.c_str(), 0600);
    }

    const LevelScope level(3);
    logger::log(3, "void first()") << "hello";

    const auto lines = logtest::read_lines();
    ASSERT_EQ(lines.size(), 3u);
    ASSERT_EQ(lines[0].rfind("0,0,0,0,logger,", 0), 0u);
    EXPECT_TRUE(std::regex_match(lines[0].substr(15), CTIME_TEXT)) << lines[0];
    const auto thread_record = logtest::parse(lines[1]);
    EXPECT_EQ(lines[1].substr(lines[1].find(',')), ",1,0,0,logger,New thread (" + thread_id_text() + ")");
    EXPECT_TRUE(thread_record.well_formed);
    EXPECT_EQ(lines[2].substr(lines[2].find(',')), ",1,1,3,\"void first()\",hello");
    EXPECT_EQ(thread_record.time, logtest::parse(lines[2]).time);

    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(LogFile, LevelZeroWritesNoFileAtAll)
{
    if (logger::manager::st.load() != nullptr)
        GTEST_SKIP() << "needs a process that has written no statement yet";
    const LevelScope level(0);
    auto everything = []
    {
        for (unsigned l = 1; l <= 8; ++l)
        {
            const logger::log_enter_exit guard(l, "void quiet()");
            logger::log(l, "void quiet()") << "text " << l << true;
        }
    };
    everything();
    on_new_thread(everything);

    EXPECT_FALSE(file_exists(logger::manager::log_file_path()));
    EXPECT_EQ(logger::manager::st.load(), nullptr);
}

TEST(LogFile, LivesOnTheDesktopWhenThereIsOneElseInTheHomeFolder)
{
    const char* home_env = std::getenv("HOME");
    ASSERT_NE(home_env, nullptr);
    const juce::File home(home_env);
    EXPECT_EQ(logger::manager::log_file_path(),
              home.getChildFile("tonewharf_signflux.log").getFullPathName().toStdString());

    const juce::File desktop = home.getChildFile("Desktop");
    ASSERT_TRUE(desktop.createDirectory());
    EXPECT_EQ(logger::manager::log_file_path(),
              desktop.getChildFile("tonewharf_signflux.log").getFullPathName().toStdString());
    desktop.deleteRecursively();
}

// ---------------------------------------------------------------------------------------------
// Records

TEST(LogRecords, OneRecordPerLineWithSharedTimeAndConsecutiveCounters)
{
    const LevelScope level(3);
    std::string thread_text;
    on_new_thread(
        [&]
        {
            thread_text = "New thread (" + thread_id_text() + ")";
            logger::log(3, "void split()") << "one\n\nthree\n";
            logger::log(3, "void split()") << "two\nlines";
            logger::log(3, "void split()") << "";
            logger::log(3, "void split()");
            logger::log(3, "void split()") << "\n";
            logger::log(3, "void split()") << "a,\"quoted\",b";
        });

    const auto all = logtest::read_records();
    const auto records = logtest::records_of("void split()");
    ASSERT_EQ(records.size(), 7u);
    const std::vector<std::string> texts{"one", "", "three", "two", "lines", "", "a,\"quoted\",b"};
    for (std::size_t i = 0; i < records.size(); ++i)
    {
        EXPECT_TRUE(records[i].well_formed);
        EXPECT_EQ(records[i].text, texts[i]);
        EXPECT_EQ(records[i].counter, i + 1);
        EXPECT_EQ(records[i].level, 3u);
        EXPECT_EQ(records[i].thread, records[0].thread);
    }
    EXPECT_EQ(records[0].time, records[1].time);
    EXPECT_EQ(records[1].time, records[2].time);
    EXPECT_EQ(records[3].time, records[4].time);

    // The thread's first record announces it, with counter 0, right before its first statement.
    std::size_t announcements = 0;
    for (std::size_t i = 0; i < all.size(); ++i)
    {
        if (all[i].function == "logger" && all[i].thread == records[0].thread)
        {
            ++announcements;
            EXPECT_EQ(all[i].counter, 0u);
            EXPECT_EQ(all[i].level, 0u);
            EXPECT_EQ(all[i].text, thread_text);
            ASSERT_LT(i + 1, all.size());
            EXPECT_EQ(all[i + 1].line, records[0].line);
            EXPECT_EQ(all[i].time, records[0].time);
        }
    }
    EXPECT_EQ(announcements, 1u);
}

TEST(LogRecords, TimeIsWrittenInGeneralNotationWithEighteenDigits)
{
    const LevelScope level(3);
    for (int i = 0; i < 20; ++i)
    {
        logger::log(3, "void times()") << "tick";
        std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    double previous = -1.0;
    for (const auto& r : logtest::records_of("void times()"))
    {
        const double t = std::strtod(r.time.c_str(), nullptr);
        char expected[40];
        std::snprintf(expected, sizeof expected, "%.18g", t);
        EXPECT_EQ(r.time, expected);
        EXPECT_GE(t, previous);
        previous = t;
    }
    EXPECT_GT(previous, 0.0);
}

TEST(LogRecords, ThreadsWritingAtOnceGetDistinctNumbersAndWholeRecords)
{
    const LevelScope level(6);
    constexpr int THREADS = 8;
    constexpr int STATEMENTS = 300;

    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    std::vector<std::thread> threads;
    for (int w = 0; w < THREADS; ++w)
    {
        threads.emplace_back(
            [&, w]
            {
                {
                    std::unique_lock<std::mutex> lock(m);
                    cv.wait(lock, [&] { return go; });
                }
                for (int s = 0; s < STATEMENTS; ++s)
                    logger::log(6, "void concurrent()")
                        << "w" << w << " s" << s << " a\nw" << w << " s" << s << " b";
            });
    }
    {
        const std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    for (auto& t : threads)
        t.join();

    const auto all = logtest::read_records();
    for (const auto& r : all)
        ASSERT_TRUE(r.well_formed || r.line.rfind("0,0,0,0,logger,", 0) == 0) << r.line;

    // Per thread number: the writer it belongs to and the counters seen so far.
    struct seen_t
    {
        int writer = -1;
        std::uint32_t next_counter = 0;
        int lines = 0;
    };
    std::map<std::uint32_t, seen_t> seen;
    for (const auto& r : all)
    {
        if (r.function == "logger" && r.text.rfind("New thread (", 0) == 0)
        {
            ASSERT_EQ(seen.count(r.thread), 0u) << "thread number " << r.thread << " announced twice";
            EXPECT_EQ(r.counter, 0u);
            seen[r.thread].next_counter = 1;
            continue;
        }
        if (r.function != "void concurrent()")
            continue;
        ASSERT_EQ(seen.count(r.thread), 1u) << "statement before its thread's announcement: " << r.line;
        seen_t& s = seen[r.thread];
        EXPECT_EQ(r.counter, s.next_counter++);
        int writer = -1, statement = -1;
        char half = 0;
        ASSERT_EQ(std::sscanf(r.text.c_str(), "w%d s%d %c", &writer, &statement, &half), 3) << r.text;
        if (s.writer < 0)
            s.writer = writer;
        EXPECT_EQ(writer, s.writer);
        EXPECT_EQ(statement, s.lines / 2);
        EXPECT_EQ(half, s.lines % 2 == 0 ? 'a' : 'b');
        ++s.lines;
    }

    std::set<int> writers;
    for (const auto& [number, s] : seen)
    {
        if (s.writer < 0)
            continue;
        EXPECT_EQ(s.lines, 2 * STATEMENTS);
        writers.insert(s.writer);
    }
    EXPECT_EQ(writers.size(), static_cast<std::size_t>(THREADS));
}

// ---------------------------------------------------------------------------------------------
// Guards and suppression

TEST(LogGuard, EnterArgumentsAndExitWithNineDecimals)
{
    const LevelScope level(4);
    Sample sample;
    sample.run(true, 5);
    sample.run(false, -3);
    sample.run_slowly();

    // The compiler's text: gcc and clang spell the unnamed namespace differently.
    EXPECT_TRUE(Sample::run_signature == "void {anonymous}::Sample::run(bool, int)" ||
                Sample::run_signature == "void (anonymous namespace)::Sample::run(bool, int)")
        << Sample::run_signature;
    const auto texts = logtest::texts_of(Sample::run_signature);
    ASSERT_EQ(texts.size(), 6u);
    std::ostringstream self;
    self << std::hex << reinterpret_cast<std::uintptr_t>(&sample);
    EXPECT_EQ(texts[0], "Enter");
    EXPECT_EQ(texts[1], "Args: this=0x" + self.str() + ", yes=true, n=5");
    EXPECT_EQ(texts[4], "Args: this=0x" + self.str() + ", yes=false, n=-3");

    const std::regex exit_text(R"(Exit \(([0-9]+\.[0-9]{9}) seconds\))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(texts[2], m, exit_text)) << texts[2];

    const auto slow = logtest::texts_of(Sample::slow_signature);
    ASSERT_EQ(slow.size(), 2u);
    ASSERT_TRUE(std::regex_match(slow[1], m, exit_text)) << slow[1];
    const double seconds = std::stod(m[1]);
    EXPECT_GE(seconds, 0.029);
    EXPECT_LT(seconds, 5.0);
}

TEST(LogGuard, ExitIsLoggedWhenTheFunctionThrows)
{
    const LevelScope level(3);
    Sample sample;
    try
    {
        sample.run_and_throw();
        FAIL() << "no exception";
    }
    catch (const std::exception& e)
    {
        EXPECT_STREQ(logger::exception_type_name(e), typeid(std::runtime_error).name());
    }
    const auto texts = logtest::texts_of(Sample::throw_signature);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Enter");
    EXPECT_EQ(texts[1].rfind("Exit (", 0), 0u);
}

TEST(LogGuard, StatementsAboveTheLevelAreNeitherFormattedNorWritten)
{
    int formatted = 0;
    {
        const LevelScope level(3);
        {
            // A level-3 guard is written, its level-4 argument statement is not.
            const logger::log_enter_exit guard(3, "void level_three()");
            logger::log(4, "void level_three()") << "Args: n=" << Counted{&formatted};
        }
        logger::log(4, "void counted()") << Counted{&formatted} << 12 << 3.5;
        EXPECT_TRUE(logger::log(4, "void counted()").suppressed());
        EXPECT_FALSE(logger::log(3, "void counted()").suppressed());
        const logger::log_enter_exit guard(4, "void counted()");
    }
    EXPECT_EQ(formatted, 0);
    {
        const LevelScope level(4);
        logger::log(4, "void counted()") << Counted{&formatted};
    }
    EXPECT_EQ(formatted, 1);

    const auto texts = logtest::texts_of("void level_three()");
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Enter");
    EXPECT_EQ(texts[1].rfind("Exit (", 0), 0u);
    EXPECT_EQ(logtest::texts_of("void counted()"), std::vector<std::string>{"counted"});
}
